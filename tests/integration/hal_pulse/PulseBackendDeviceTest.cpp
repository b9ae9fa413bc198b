#include <gtest/gtest.h>

#include <sstream>

#include "integration/hal_pulse/PulseBackendFixture.h"

namespace brimo::testing {
namespace {

using namespace std::chrono_literals;

class PulseBackendDevices : public PulseBackendTest {};

// The sample rate the server reports for a sink, from `pactl list short sinks`.
double serverRate(const std::string& sinkName) {
    std::istringstream sinks(pactl({"list", "short", "sinks"}));
    std::string line;
    while (std::getline(sinks, line)) {
        if (line.find("\t" + sinkName + "\t") != std::string::npos) {
            const auto hz = line.rfind("Hz");
            const auto start = line.rfind(' ', hz) + 1;
            return std::stod(line.substr(start, hz - start));
        }
    }
    return 0.0;
}

TEST_F(PulseBackendDevices, ListsAndClassifiesTheServersDevices) {
    EXPECT_NE(brimola, speakers);
    EXPECT_GT(std::min(brimola, speakers), kAudioObjectSystemObject);
    EXPECT_EQ(text(brimola, kAudioObjectPropertyName), "Brimola Vetrix");
    EXPECT_EQ(text(speakers, kAudioObjectPropertyName), "speakers");

    // The virtual device has both sides, its monitor being the input; no monitor is a device.
    EXPECT_EQ(streamCount(brimola, kAudioObjectPropertyScopeInput), 1U);
    EXPECT_EQ(streamCount(brimola, kAudioObjectPropertyScopeOutput), 1U);
    for (AudioDeviceID id : deviceIds()) {
        EXPECT_EQ(text(id, kAudioDevicePropertyDeviceUID).find(".monitor"), std::string::npos);
    }

    hal::DeviceIOFormat format;
    ASSERT_EQ(backend->deviceIOFormat(brimola, format), noErr);
    EXPECT_EQ(format.sampleRate, serverRate("brimola_vetrix"));
    EXPECT_EQ(format.inputChannels, 2U);
    EXPECT_EQ(format.outputChannels, 2U);
    EXPECT_EQ(format.bufferFrameSize, 512U);

    Float64 rate = 0.0;
    UInt32 size = sizeof(rate);
    const auto nominalRate = address(kAudioDevicePropertyNominalSampleRate);
    ASSERT_EQ(AudioObjectGetPropertyData(speakers, &nominalRate, 0, nullptr, &size, &rate), noErr);
    EXPECT_EQ(rate, serverRate("speakers"));
}

OSStatus setDefaultOutput(AudioDeviceID device) {
    const auto where = address(kAudioHardwarePropertyDefaultOutputDevice);
    return AudioObjectSetPropertyData(kAudioObjectSystemObject, &where, 0, nullptr, sizeof(device),
                                      &device);
}

std::string serverDefaultSink() {
    std::string name = pactl({"get-default-sink"});
    while (!name.empty() && (name.back() == '\n' || name.back() == ' ')) {
        name.pop_back();
    }
    return name;
}

TEST_F(PulseBackendDevices, ReportsAndSetsTheDefaultOutputAndHearsOnlyItsRealChanges) {
    ASSERT_EQ(defaultOutput(), speakers);

    ListenerProbe probe(kAudioObjectSystemObject, kAudioHardwarePropertyDefaultOutputDevice);
    ASSERT_EQ(probe.status, noErr);

    pactl({"set-default-sink", "brimola_vetrix"});
    ASSERT_TRUE(eventually([&] { return probe.calls.load() == 1; }, 3s));
    EXPECT_EQ(defaultOutput(), brimola);

    // Events that leave the default output as it was are not changes of it.
    pactl({"set-default-sink", "brimola_vetrix"});
    loadNullSink("bystander", "bystander");
    ASSERT_TRUE(eventually([&] { return deviceWithUid("bystander") != 0; }, 3s));
    const AudioDeviceID gone = deviceWithUid("bystander");
    pactl({"unload-module", nullSinkModule("bystander").value_or("none")});
    ASSERT_TRUE(eventually([&] { return deviceWithUid("bystander") == 0; }, 3s));
    std::this_thread::sleep_for(200ms);
    backend->waitForNotifications();
    EXPECT_EQ(probe.calls.load(), 1);

    // Set through the layer: read back at once, by us and by every other client of the server.
    ASSERT_EQ(setDefaultOutput(speakers), noErr);
    EXPECT_EQ(defaultOutput(), speakers);
    EXPECT_EQ(serverDefaultSink(), "speakers");
    ASSERT_TRUE(eventually([&] { return probe.calls.load() == 2; }, 3s));
    // A device without a playback side, or one that has gone, is refused and changes nothing.
    EXPECT_EQ(setDefaultOutput(gone), kAudioHardwareBadDeviceError);
    EXPECT_EQ(setDefaultOutput(kAudioObjectSystemObject), kAudioHardwareBadDeviceError);
    EXPECT_EQ(serverDefaultSink(), "speakers");
    ASSERT_EQ(setDefaultOutput(brimola), noErr);
    EXPECT_EQ(serverDefaultSink(), "brimola_vetrix");
    ASSERT_TRUE(eventually([&] { return probe.calls.load() == 3; }, 3s));

    ASSERT_EQ(probe.remove(), noErr);
    pactl({"set-default-sink", "speakers"});
    ASSERT_TRUE(eventually([&] { return defaultOutput() == speakers; }, 3s));
    backend->waitForNotifications();
    EXPECT_EQ(probe.calls.load(), 3);
}

}  // namespace
}  // namespace brimo::testing
