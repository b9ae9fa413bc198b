#include <gtest/gtest.h>

#include "integration/hal_pulse/AudioClients.h"
#include "integration/hal_pulse/HalUnit.h"
#include "integration/hal_pulse/PulseBackendFixture.h"

namespace brimo::testing {
namespace {

using namespace std::chrono_literals;

class PulseBackendServer : public PulseBackendTest {};

// What a driver installation does to the running system: the audio server restarts.
TEST_F(PulseBackendServer, FollowsTheServerThroughARestart) {
    const char* dir =
        std::getenv("BRIMO_AUDIO_SERVER_DIR");  // NOLINT(concurrency-mt-unsafe): read-only use
    if (dir == nullptr) {
        GTEST_SKIP() << "restarting needs the server directory CTest passes";
    }
    ListenerProbe deviceList(kAudioObjectSystemObject, kAudioHardwarePropertyDevices);
    ASSERT_EQ(deviceList.status, noErr);
    Recorder recorder(48000);
    HalUnit captureUnit(brimola, recorder, 48000.0);
    ASSERT_EQ(captureUnit.start(), noErr);

    const auto restart = process::runProgram({BRIMO_AUDIO_SERVERS_SCRIPT, "restart", dir});
    ASSERT_EQ(restart.exitStatus, 0) << restart.errorText;

    // The running capture is ended and reported; the device comes back as a new object.
    EXPECT_TRUE(eventually([&] { return backend->statistics().killedStreams == 1; }, 3s));
    AudioDeviceID after = kAudioObjectUnknown;
    ASSERT_TRUE(eventually([&] { return (after = deviceWithUid("brimola_vetrix")) != 0; }, 5s));
    EXPECT_NE(after, brimola);
    EXPECT_TRUE(backend->isConnected());
    EXPECT_EQ(defaultOutput(), deviceWithUid("speakers"));
    backend->waitForNotifications();
    EXPECT_GE(deviceList.calls.load(), 2);  // the devices went, and came back

    DeviceIOFormat format;
    EXPECT_EQ(backend->deviceIOFormat(brimola, format), kAudioHardwareBadDeviceError);
    captureUnit.stop();
}

}  // namespace
}  // namespace brimo::testing
