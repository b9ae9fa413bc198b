#include "platform/hal/AudioHardwareBackend.h"

#include <mutex>

namespace brimo::hal {

namespace {

// Installation is rare and never on a real-time thread, so a plain mutex guards the pointer.
std::mutex& installationMutex() {
    static std::mutex mutex;
    return mutex;
}

std::shared_ptr<AudioHardwareBackend>& installedBackend() {
    static std::shared_ptr<AudioHardwareBackend> backend;
    return backend;
}

}  // namespace

std::shared_ptr<AudioHardwareBackend> currentAudioHardwareBackend() {
    const std::lock_guard guard(installationMutex());
    return installedBackend();
}

std::shared_ptr<AudioHardwareBackend> installAudioHardwareBackend(
    std::shared_ptr<AudioHardwareBackend> backend) {
    const std::lock_guard guard(installationMutex());
    installedBackend().swap(backend);
    return backend;
}

}  // namespace brimo::hal
