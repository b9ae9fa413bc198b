#include "audio/manager/SystemOutputRestorer.h"

#include <fstream>
#include <system_error>
#include <utility>

namespace brimo::audio {

namespace {

// The record: the UID of the virtual device the output left, then the UID it went to.
struct MoveRecord {
    std::string fromUid;
    std::string toUid;
};

std::optional<MoveRecord> readRecord(const std::filesystem::path& path) {
    std::ifstream in(path);
    MoveRecord record;
    if (!std::getline(in, record.fromUid) || !std::getline(in, record.toUid) ||
        record.fromUid.empty() || record.toUid.empty()) {
        return std::nullopt;
    }
    return record;
}

bool writeRecord(const std::filesystem::path& path, const MoveRecord& record) {
    std::error_code error;
    std::filesystem::create_directories(path.parent_path(), error);
    // Written beside and renamed over, so a quit cut short leaves the old record or the new.
    const auto temporary = path.parent_path() / (path.filename().string() + ".new");
    {
        std::ofstream out(temporary, std::ios::trunc);
        out << record.fromUid << '\n' << record.toUid << '\n';
        if (!out.flush()) {
            return false;
        }
    }
    std::filesystem::rename(temporary, path, error);
    return !error;
}

}  // namespace

SystemOutputRestorer::SystemOutputRestorer(AudioDeviceService& devices, Options options)
    : devices_(devices), options_(std::move(options)) {}

std::filesystem::path SystemOutputRestorer::recordPath() const {
    return options_.stateDirectory / kRecordName;
}

bool SystemOutputRestorer::restoreAfterStart() {
    if (options_.stateDirectory.empty()) {
        return false;
    }
    const auto path = recordPath();
    const auto record = readRecord(path);
    std::error_code error;
    std::filesystem::remove(path, error);
    if (!record) {
        return false;
    }
    const auto current = devices_.getDefaultOutputDevice();
    if (!current || current->uid != record->toUid) {
        options_.log("🔊 [RESTORE] System output changed since the last quit; leaving it as it is");
        return false;
    }
    for (const auto& device : devices_.getAllDevices()) {
        if (device.uid == record->fromUid && device.isOutput) {
            if (!devices_.setDefaultOutputDevice(device.id)) {
                options_.log("❌ [RESTORE] Could not move the system output back to '" +
                             device.name + "'");
                return false;
            }
            options_.log("🔊 [RESTORE] System output moved back to '" + device.name +
                         "' (the last quit had moved it to '" + current->name + "')");
            return true;
        }
    }
    options_.log("⚠️ [RESTORE] The device the last quit moved away from is gone");
    return false;
}

bool SystemOutputRestorer::handBackBeforeQuit(const std::optional<AudioDevice>& playbackDevice) {
    const auto current = devices_.getDefaultOutputDevice();
    if (!current || !current->isVirtualLoopback() || !playbackDevice) {
        return false;
    }
    if (!devices_.setDefaultOutputDevice(playbackDevice->id)) {
        options_.log("❌ [QUIT] Could not move the system output to '" + playbackDevice->name +
                     "'; it stays on '" + current->name + "'");
        return false;
    }
    const bool recorded = !options_.stateDirectory.empty() &&
                          writeRecord(recordPath(), {current->uid, playbackDevice->uid});
    options_.log("🔊 [QUIT] System output moved from '" + current->name + "' to '" +
                 playbackDevice->name + "' so the computer is not left silent" +
                 (recorded ? "" : " (not remembered for the next start)"));
    return true;
}

}  // namespace brimo::audio
