#include <gtest/gtest.h>

#include "integration/hal_pulse/AudioClients.h"
#include "integration/hal_pulse/BackendQueries.h"
#include "integration/hal_pulse/PrivateAudioServer.h"
#include "platform/hal/pulse/PulseAudioBackend.h"

namespace brimo::testing {
namespace {

using hal::pulse::PulseAudioBackend;
using std::chrono_literals::operator""s;

class PulseBackendServer : public PrivateAudioServerTest {};

// What a driver installation does to the running system: the audio server restarts.
TEST_F(PulseBackendServer, FollowsTheServerThroughARestart) {
    const char* dir = std::getenv("BRIMO_AUDIO_SERVER_DIR");
    if (dir == nullptr) {
        GTEST_SKIP() << "restarting needs the server directory CTest passes";
    }
    auto backend = PulseAudioBackend::create();
    ASSERT_TRUE(backend->isConnected());
    const AudioDeviceID before = deviceWithUid(*backend, "brimola_vetrix");
    ASSERT_NE(before, kAudioObjectUnknown);
    ListenerProbe deviceList;
    ASSERT_EQ(backend->addPropertyListener(kAudioObjectSystemObject,
                                           address(kAudioHardwarePropertyDevices),
                                           &ListenerProbe::heard, &deviceList),
              noErr);
    Recorder capture(48000);
    ASSERT_EQ(backend->startDeviceIO(before, capture, true, false), noErr);

    const auto restart = process::runProgram({BRIMO_AUDIO_SERVERS_SCRIPT, "restart", dir});
    ASSERT_EQ(restart.exitStatus, 0) << restart.errorText;

    // The running capture hears that its server went; the device comes back as a new object.
    EXPECT_TRUE(eventually([&] { return capture.stopped.load(); }, 3s));
    EXPECT_EQ(capture.stopReason.load(), kAudioHardwareNotRunningError);
    AudioDeviceID after = kAudioObjectUnknown;
    ASSERT_TRUE(
        eventually([&] { return (after = deviceWithUid(*backend, "brimola_vetrix")) != 0; }, 5s));
    EXPECT_NE(after, before);
    EXPECT_TRUE(backend->isConnected());
    EXPECT_EQ(defaultOutput(*backend), deviceWithUid(*backend, "speakers"));
    backend->waitForNotifications();
    EXPECT_GE(deviceList.calls.load(), 2);  // the devices went, and came back

    DeviceIOFormat format;
    EXPECT_EQ(backend->deviceIOFormat(before, format), kAudioHardwareBadDeviceError);
    backend->stopDeviceIO(before, capture);
    backend->removePropertyListener(kAudioObjectSystemObject,
                                    address(kAudioHardwarePropertyDevices), &ListenerProbe::heard,
                                    &deviceList);
}

}  // namespace
}  // namespace brimo::testing
