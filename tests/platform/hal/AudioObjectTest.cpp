#include <gtest/gtest.h>

#include <vector>

#include "platform/hal/AudioObject.h"
#include "platform/hal/HalTestSupport.h"
#include "platform/hal/sim/ScopedSimulatedBackend.h"

namespace brimo::hal {
namespace {

using sim::DeviceConfig;
using test::address;
using test::read;
using test::valueOf;

class AudioObjectTest : public ::testing::Test {
  protected:
    sim::ScopedSimulatedBackend sim;
};

// The channel count of the first buffer of a device's stream configuration, read the way the
// engine does: size first, then the list into storage of that size.
OSStatus firstBufferChannels(AudioDeviceID device, AudioObjectPropertyScope scope,
                             UInt32& channels) {
    const auto where = address(kAudioDevicePropertyStreamConfiguration, scope);
    UInt32 size = 0;
    if (const OSStatus s = AudioObjectGetPropertyDataSize(device, &where, 0, nullptr, &size);
        s != noErr) {
        return s;
    }
    std::vector<unsigned char> storage(size);
    if (const OSStatus s =
            AudioObjectGetPropertyData(device, &where, 0, nullptr, &size, storage.data());
        s != noErr) {
        return s;
    }
    const auto* list = reinterpret_cast<const AudioBufferList*>(storage.data());
    channels = list->mNumberBuffers == 0 ? 0 : list->mBuffers[0].mNumberChannels;
    return noErr;
}

OSStatus setDefaultOutput(AudioDeviceID device) {
    const auto where = address(kAudioHardwarePropertyDefaultOutputDevice);
    return AudioObjectSetPropertyData(kAudioObjectSystemObject, &where, 0, nullptr, sizeof(device),
                                      &device);
}

TEST(AudioObjectWithoutBackend, EveryCallReportsNotRunning) {
    const ScopedAudioHardwareBackend none(nullptr);
    UInt32 size = 0;
    const auto where = address(kAudioHardwarePropertyDevices);
    EXPECT_EQ(AudioObjectGetPropertyDataSize(kAudioObjectSystemObject, &where, 0, nullptr, &size),
              kAudioHardwareNotRunningError);
    EXPECT_FALSE(AudioObjectHasProperty(kAudioObjectSystemObject, &where));
    EXPECT_EQ(setDefaultOutput(1), kAudioHardwareNotRunningError);
}

TEST_F(AudioObjectTest, DevicesAreListedInTheOrderTheyAppearWithTheirProperties) {
    auto speakersConfig = DeviceConfig::speakers("Speakers", "speakers-uid");
    speakersConfig.id = 57;
    speakersConfig.nominalSampleRate = 44100.0;
    speakersConfig.outputStreams = {2, 4};
    const AudioDeviceID speakers = sim->addDevice(speakersConfig);
    const AudioDeviceID vetrix =
        sim->addDevice(DeviceConfig::loopbackDevice("Brimola Vetrix", "BrimolaVetrix_UID"));
    const AudioDeviceID mic = sim->addDevice(DeviceConfig::microphone("Mic", "mic-uid"));

    EXPECT_EQ(speakers, 57U);
    EXPECT_EQ(test::deviceList(), (std::vector<AudioObjectID>{57, vetrix, mic}));

    EXPECT_EQ(valueOf<AudioObjectPropertyString>(vetrix, address(kAudioObjectPropertyName)),
              "Brimola Vetrix");
    EXPECT_EQ(test::deviceUID(speakers), "speakers-uid");
    EXPECT_EQ(valueOf<Float64>(speakers, address(kAudioDevicePropertyNominalSampleRate)), 44100.0);

    // Stream lists per direction: their sizes are what tells capture from playback.
    auto streamBytes = [](AudioDeviceID d, AudioObjectPropertyScope scope) {
        const auto where = address(kAudioDevicePropertyStreams, scope);
        UInt32 size = 99;
        EXPECT_EQ(AudioObjectGetPropertyDataSize(d, &where, 0, nullptr, &size), noErr);
        return size;
    };
    EXPECT_EQ(streamBytes(speakers, kAudioObjectPropertyScopeInput), 0U);
    EXPECT_EQ(streamBytes(speakers, kAudioObjectPropertyScopeOutput), 8U);
    EXPECT_EQ(streamBytes(mic, kAudioObjectPropertyScopeOutput), 0U);
    EXPECT_EQ(streamBytes(vetrix, kAudioObjectPropertyScopeInput), 4U);

    UInt32 channels = 0;
    ASSERT_EQ(firstBufferChannels(speakers, kAudioObjectPropertyScopeOutput, channels), noErr);
    EXPECT_EQ(channels, 2U) << "only the first stream counts";

    EXPECT_EQ(test::defaultOutputDevice(), speakers) << "the first device with playback";
}

TEST_F(AudioObjectTest, SizesAndAddressesAreChecked) {
    const AudioDeviceID a = sim->addDevice(DeviceConfig::speakers("A", "a"));
    sim->addDevice(DeviceConfig::speakers("B", "b"));

    // An array is cut to the whole elements that fit, and the size says how many came.
    AudioObjectID one[1] = {};
    UInt32 size = 7;
    const auto devices = address(kAudioHardwarePropertyDevices);
    ASSERT_EQ(
        AudioObjectGetPropertyData(kAudioObjectSystemObject, &devices, 0, nullptr, &size, one),
        noErr);
    EXPECT_EQ(size, 4U);
    EXPECT_EQ(one[0], a);

    // A fixed-size value that does not fit is refused.
    UInt32 tooSmall = 0;
    size = sizeof tooSmall;
    const auto rate = address(kAudioDevicePropertyNominalSampleRate);
    EXPECT_EQ(AudioObjectGetPropertyData(a, &rate, 0, nullptr, &size, &tooSmall),
              kAudioHardwareBadPropertySizeError);

    Float64 value = 0;
    EXPECT_EQ(read(4242, rate, value), kAudioHardwareBadObjectError);
    EXPECT_EQ(read(a, address(fourCharCode("zzzz")), value), kAudioHardwareUnknownPropertyError);
    EXPECT_EQ(
        read(a, {kAudioDevicePropertyNominalSampleRate, kAudioObjectPropertyScopeGlobal, 3}, value),
        kAudioHardwareUnknownPropertyError);
    EXPECT_EQ(AudioObjectGetPropertyData(a, &rate, 0, nullptr, nullptr, &value), kAudio_ParamError);
    EXPECT_TRUE(AudioObjectHasProperty(a, &rate));
    const auto configuration = address(kAudioDevicePropertyStreamConfiguration);
    EXPECT_FALSE(AudioObjectHasProperty(a, &configuration)) << "needs a direction";
}

// The failure points that device discovery, the engine and driver detection must survive.
TEST_F(AudioObjectTest, FailuresCanBeInjectedPerObjectPropertyAndCall) {
    const AudioDeviceID d = sim->addDevice(DeviceConfig::loopbackDevice("Brimola Vetrix", "bv"));
    const auto devices = address(kAudioHardwarePropertyDevices);
    UInt32 size = 0;

    // The device count fails, or only the list read after it.
    sim->failProperty({kAudioObjectSystemObject, kAudioHardwarePropertyDevices, std::nullopt,
                       sim::PropertyFault::Call::dataSize, -1});
    EXPECT_EQ(AudioObjectGetPropertyDataSize(kAudioObjectSystemObject, &devices, 0, nullptr, &size),
              -1);
    sim->clearFaults();
    sim->failProperty({kAudioObjectSystemObject, kAudioHardwarePropertyDevices, std::nullopt,
                       sim::PropertyFault::Call::data, 1852797029});
    ASSERT_EQ(AudioObjectGetPropertyDataSize(kAudioObjectSystemObject, &devices, 0, nullptr, &size),
              noErr);
    AudioObjectID id = 0;
    EXPECT_EQ(
        AudioObjectGetPropertyData(kAudioObjectSystemObject, &devices, 0, nullptr, &size, &id),
        1852797029);
    sim->clearFaults();

    // A UID that fails and a name that reads as no string at all.
    sim->failProperty({d, kAudioDevicePropertyDeviceUID, std::nullopt,
                       sim::PropertyFault::Call::anyRead, kAudioHardwareUnspecifiedError});
    sim->makeStringAbsent(d, kAudioObjectPropertyName);
    AudioObjectPropertyString text = "stale";
    EXPECT_EQ(read(d, address(kAudioDevicePropertyDeviceUID), text),
              kAudioHardwareUnspecifiedError);
    EXPECT_EQ(read(d, address(kAudioObjectPropertyName), text), noErr);
    EXPECT_FALSE(text.has_value());

    // A nominal rate that cannot be read.
    sim->failProperty({d, kAudioDevicePropertyNominalSampleRate, std::nullopt,
                       sim::PropertyFault::Call::anyRead, kAudioHardwareBadDeviceError});
    Float64 rate = 0;
    EXPECT_EQ(read(d, address(kAudioDevicePropertyNominalSampleRate), rate),
              kAudioHardwareBadDeviceError);

    // A stream configuration with no buffers, and one that cannot be read in one scope only.
    sim->emptyStreamConfiguration(d, kAudioObjectPropertyScopeOutput);
    UInt32 channels = 99;
    ASSERT_EQ(firstBufferChannels(d, kAudioObjectPropertyScopeOutput, channels), noErr);
    EXPECT_EQ(channels, 0U);
    sim->failProperty({d, kAudioDevicePropertyStreamConfiguration, kAudioObjectPropertyScopeInput,
                       sim::PropertyFault::Call::data, -10});
    EXPECT_EQ(firstBufferChannels(d, kAudioObjectPropertyScopeInput, channels), -10);

    sim->clearFaults();
    EXPECT_EQ(read(d, address(kAudioObjectPropertyName), text), noErr);
    EXPECT_EQ(text, "Brimola Vetrix");
    ASSERT_EQ(firstBufferChannels(d, kAudioObjectPropertyScopeOutput, channels), noErr);
    EXPECT_EQ(channels, 2U);
}

TEST_F(AudioObjectTest, RuntimeChangesShowInTheNextRead) {
    const AudioDeviceID a = sim->addDevice(DeviceConfig::speakers("A", "a"));
    const AudioDeviceID b = sim->addDevice(DeviceConfig::loopbackDevice("B", "b"));
    sim->renameDevice(a, "Headphones");
    sim->setNominalSampleRate(a, 96000.0);
    sim->setBufferFrameSize(a, 256);
    sim->setStreams(a, kAudioObjectPropertyScopeInput, {1});
    sim->setDefaultOutputDevice(b);

    EXPECT_EQ(valueOf<AudioObjectPropertyString>(a, address(kAudioObjectPropertyName)),
              "Headphones");
    EXPECT_EQ(valueOf<Float64>(a, address(kAudioDevicePropertyNominalSampleRate)), 96000.0);
    EXPECT_EQ(valueOf<UInt32>(a, address(kAudioDevicePropertyBufferFrameSize)), 256U);
    UInt32 channels = 0;
    EXPECT_EQ(firstBufferChannels(a, kAudioObjectPropertyScopeInput, channels), noErr);
    EXPECT_EQ(channels, 1U);
    EXPECT_EQ(test::defaultOutputDevice(), b);

    // The default moves on when its device goes, to the first one left with playback.
    sim->removeDevice(b);
    EXPECT_EQ(test::defaultOutputDevice(), a);
    EXPECT_EQ(test::deviceList(), std::vector<AudioObjectID>{a});
    Float64 rate = 0;
    EXPECT_EQ(read(b, address(kAudioDevicePropertyNominalSampleRate), rate),
              kAudioHardwareBadObjectError);
}

OSStatus countCall(AudioObjectID /*object*/, UInt32 /*count*/,
                   const AudioObjectPropertyAddress* /*addresses*/, void* calls) {
    ++*static_cast<int*>(calls);
    return noErr;
}

TEST_F(AudioObjectTest, TheDefaultOutputCanBeSetToADeviceThatPlays) {
    const AudioDeviceID speakers = sim->addDevice(DeviceConfig::speakers("Speakers", "s"));
    const AudioDeviceID vetrix =
        sim->addDevice(DeviceConfig::loopbackDevice("Brimola Vetrix", "v"));
    const AudioDeviceID mic = sim->addDevice(DeviceConfig::microphone("Mic", "m"));
    int calls = 0;
    const auto where = address(kAudioHardwarePropertyDefaultOutputDevice);
    ASSERT_EQ(AudioObjectAddPropertyListener(kAudioObjectSystemObject, &where, &countCall, &calls),
              noErr);

    bool settable = false;
    EXPECT_EQ(AudioObjectIsPropertySettable(kAudioObjectSystemObject, &where, &settable), noErr);
    EXPECT_TRUE(settable);
    const auto devices = address(kAudioHardwarePropertyDevices);
    EXPECT_EQ(AudioObjectIsPropertySettable(kAudioObjectSystemObject, &devices, &settable), noErr);
    EXPECT_FALSE(settable);

    EXPECT_EQ(setDefaultOutput(vetrix), noErr);
    sim->waitForNotifications();
    EXPECT_EQ(test::defaultOutputDevice(), vetrix);
    EXPECT_EQ(calls, 1);

    // Setting what is already the default changes nothing and tells nobody.
    EXPECT_EQ(setDefaultOutput(vetrix), noErr);
    // Refusals leave the default where it was.
    for (const AudioDeviceID refused : {mic, AudioDeviceID{999}, kAudioObjectUnknown}) {
        EXPECT_EQ(setDefaultOutput(refused), kAudioHardwareBadDeviceError) << refused;
    }
    const auto set = [](AudioObjectID object, const AudioObjectPropertyAddress& at, UInt32 size,
                        const void* data) {
        return AudioObjectSetPropertyData(object, &at, 0, nullptr, size, data);
    };
    const UInt64 wide = speakers;
    EXPECT_EQ(set(kAudioObjectSystemObject, where, sizeof wide, &wide),
              kAudioHardwareBadPropertySizeError);
    EXPECT_EQ(set(kAudioObjectSystemObject, where, sizeof speakers, nullptr), kAudio_ParamError);
    EXPECT_EQ(set(kAudioObjectSystemObject, devices, sizeof speakers, &speakers),
              kAudioHardwareIllegalOperationError);
    EXPECT_EQ(set(4242, address(kAudioObjectPropertyName), sizeof speakers, &speakers),
              kAudioHardwareBadObjectError);
    sim->failProperty({kAudioObjectSystemObject, kAudioHardwarePropertyDefaultOutputDevice,
                       std::nullopt, sim::PropertyFault::Call::setData,
                       kAudioHardwareUnspecifiedError});
    EXPECT_EQ(setDefaultOutput(speakers), kAudioHardwareUnspecifiedError);
    // A set fault leaves reads alone.
    EXPECT_EQ(test::defaultOutputDevice(), vetrix);
    sim->clearFaults();
    sim->waitForNotifications();
    EXPECT_EQ(calls, 1);

    EXPECT_EQ(setDefaultOutput(speakers), noErr);
    sim->waitForNotifications();
    EXPECT_EQ(test::defaultOutputDevice(), speakers);
    EXPECT_EQ(calls, 2);
    EXPECT_EQ(
        AudioObjectRemovePropertyListener(kAudioObjectSystemObject, &where, &countCall, &calls),
        noErr);
}

}  // namespace
}  // namespace brimo::hal
