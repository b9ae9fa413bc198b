// brimolavetrix-install-device: the one step of Brimolavetrix that runs as root, started by
// pkexec under its own polkit action. It takes no path and no setting from its caller:
//
//   brimolavetrix-install-device              install the virtual device
//   brimolavetrix-install-device --uninstall  remove what an installation put in place
//
// Anything else is refused. The files come from the installed package's share folder (or, in a
// build tree, the source tree's driver bundle) and must match the ones it was built with.
#include <sys/stat.h>
#include <unistd.h>

#include <charconv>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <span>
#include <string>
#include <string_view>
#include <system_error>

#include "driver/AudioServer.h"
#include "driver/installer/DeviceInstaller.h"
#include "platform/log/UnifiedLog.h"

namespace {

using brimo::driver::AudioServerKind;

constexpr int kUsageStatus = 2;

std::filesystem::path executableFolder() {
    std::error_code error;
    const auto executable = std::filesystem::read_symlink("/proc/self/exe", error);
    return error ? std::filesystem::path() : executable.parent_path();
}

// The package's copy relative to this program's own (root-owned) place, else the build's.
std::filesystem::path bundleSource() {
    const auto folder = executableFolder();
    if (!folder.empty()) {
        auto installed = (folder / BRIMO_INSTALLED_BUNDLE_FROM_LIBEXEC).lexically_normal();
        std::error_code error;
        if (std::filesystem::is_directory(installed, error)) {
            return installed;
        }
    }
    return BRIMO_SOURCE_DRIVER_BUNDLE;
}

// The server of the session that asked: pkexec names the asking user; without it (a package
// hook, a plain root shell) both servers are configured.
AudioServerKind askingSessionServer(const char* pkexecUid) {
    if (pkexecUid == nullptr) {
        return AudioServerKind::unknown;
    }
    const std::string_view text(pkexecUid);
    unsigned int uid = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), uid);
    if (error != std::errc() || end != text.data() + text.size() || text.empty()) {
        return AudioServerKind::unknown;
    }
    return brimo::driver::detectAudioServer(std::filesystem::path("/run/user") /
                                            std::to_string(uid));
}

std::filesystem::path destinationRoot() {
#ifdef BRIMO_INSTALLER_TEST_ROOT
    // Test builds only: the installed helper has no such door.
    // NOLINTNEXTLINE(concurrency-mt-unsafe): before any thread
    if (const char* root = std::getenv("BRIMO_INSTALLER_TEST_ROOT"); root != nullptr) {
        return root;
    }
#endif
    return "/";
}

}  // namespace

int main(int argc, char** argv) {
    // Whatever the caller's umask, what we create is readable by every user's audio server.
    ::umask(022);
    const std::span<char*> arguments(argv, static_cast<size_t>(argc));
    bool uninstall = false;
    if (arguments.size() == 2 && std::string_view(arguments[1]) == "--uninstall") {
        uninstall = true;
    } else if (arguments.size() != 1) {
        std::cerr << "refused: brimolavetrix-install-device takes no argument but --uninstall\n";
        return kUsageStatus;
    }

    const brimo::log::Logger journal("com.brimolavetrix", "InstallDevice");
    // NOLINTNEXTLINE(concurrency-mt-unsafe): before any thread
    const char* pkexecUid = std::getenv("PKEXEC_UID");
    const std::string asker = pkexecUid != nullptr ? std::string(" for uid ") + pkexecUid : "";
    // Standard error is kept for the failure, which the application shows as the message.
    const bool hasJournal = brimo::log::journalIsReachable();
    auto log = [&journal, hasJournal](std::string_view line) {
        std::cout << line << '\n';
        if (hasJournal) {
            journal.info(line);
        }
    };

    brimo::driver::installer::DeviceInstaller installer(destinationRoot(), log);
    if (uninstall) {
        log("removing the Brimola Vetrix device" + asker);
        return installer.uninstall() ? 0 : 1;
    }
    const auto source = bundleSource();
    log("installing the Brimola Vetrix device from " + source.string() + asker);
    if (!installer.install(source, askingSessionServer(pkexecUid))) {
        std::cerr << installer.error() << '\n';
        return 1;
    }
    return 0;
}
