#include <gtest/gtest.h>

#include "platform/hal/AudioUnitImplementation.h"
#include "platform/hal/HalTestSupport.h"
#include "platform/hal/StandInConverter.h"
#include "platform/hal/sim/ScopedSimulatedBackend.h"

namespace brimo::hal {
namespace {

using sim::DeviceConfig;

constexpr AudioComponentDescription kCopyDescription{fourCharCode("aufc"), fourCharCode("copy"),
                                                     fourCharCode("test"), 0, 0};

AudioComponent copyComponent() {
    static const AudioComponent component = AudioComponentRegister(
        kCopyDescription, "Copy", 1, [] { return std::make_unique<test::StandInConverter>(); });
    return component;
}

OSStatus countFrames(void* refCon, AudioUnitRenderActionFlags*, const AudioTimeStamp*, UInt32,
                     UInt32 frames, AudioBufferList* data) {
    *static_cast<UInt32*>(refCon) += frames;
    auto* samples = static_cast<float*>(data->mBuffers[0].mData);
    for (UInt32 i = 0; i < frames; ++i) {
        samples[i] = static_cast<float>(i);
    }
    return noErr;
}

class AudioUnitTest : public ::testing::Test {
  protected:
    sim::ScopedSimulatedBackend sim;
};

TEST_F(AudioUnitTest, ComponentsAreFoundByDescriptionWithZeroAsWildcard) {
    const AudioComponent registered = copyComponent();
    const AudioComponentDescription hal{kAudioUnitType_Output, kAudioUnitSubType_HALOutput,
                                        kAudioUnitManufacturer_Apple, 0, 0};
    const AudioComponent found = AudioComponentFindNext(nullptr, &hal);
    ASSERT_NE(found, nullptr);
    EXPECT_EQ(AudioComponentFindNext(found, &hal), nullptr);
    EXPECT_EQ(AudioComponentCopyName(found), "HAL output");

    EXPECT_EQ(AudioComponentFindNext(nullptr, &kCopyDescription), registered);
    const AudioComponentDescription anyOutput{kAudioUnitType_Output, 0, 0, 0, 0};
    int outputs = 0;
    for (AudioComponent c = AudioComponentFindNext(nullptr, &anyOutput); c != nullptr;
         c = AudioComponentFindNext(c, &anyOutput)) {
        AudioComponentDescription d;
        ASSERT_EQ(AudioComponentGetDescription(c, &d), noErr);
        EXPECT_EQ(d.componentType, kAudioUnitType_Output);
        ++outputs;
    }
    EXPECT_EQ(outputs, 2) << "the HAL output unit and its default-output variant";
}

// A test can hide a component for its scope and get it back; a component whose factory makes
// no instance fails its creation and can be unregistered for good.
TEST_F(AudioUnitTest, ComponentsCanBeHiddenForAScopeOrForGood) {
    const AudioComponent registered = copyComponent();
    AudioComponentInstance unit = nullptr;
    {
        const ScopedComponentRemoval removal(kCopyDescription);
        EXPECT_EQ(AudioComponentFindNext(nullptr, &kCopyDescription), nullptr);
        EXPECT_EQ(AudioComponentInstanceNew(registered, &unit), kAudioHardwareBadObjectError);
        EXPECT_EQ(unit, nullptr);
    }
    EXPECT_EQ(AudioComponentFindNext(nullptr, &kCopyDescription), registered);

    const AudioComponentDescription d{fourCharCode("aufc"), fourCharCode("none"),
                                      fourCharCode("test"), 0, 0};
    const AudioComponent component = AudioComponentRegister(d, "None", 1, [] { return nullptr; });
    EXPECT_EQ(AudioComponentInstanceNew(component, &unit), kAudioUnitErr_FailedInitialization);
    EXPECT_EQ(unit, nullptr);
    EXPECT_EQ(AudioComponentUnregister(component), noErr);
    EXPECT_EQ(AudioComponentFindNext(nullptr, &d), nullptr);
}

TEST_F(AudioUnitTest, UnitsPassCallsToTheirImplementationAndGuardTheirState) {
    AudioComponentInstance unit = nullptr;
    ASSERT_EQ(AudioComponentInstanceNew(copyComponent(), &unit), noErr);
    ASSERT_NE(unit, nullptr);
    EXPECT_EQ(test::StandInConverter::live.load(), 1);

    UInt32 pulled = 0;
    test::expectSet(unit, kAudioUnitProperty_SetRenderCallback, kAudioUnitScope_Input, 0,
                    AURenderCallbackStruct{&countFrames, &pulled});
    EXPECT_EQ(AudioUnitSetParameter(unit, kNewTimePitchParam_Pitch, kAudioUnitScope_Global, 0,
                                    -31.766653F, 0),
              noErr);
    AudioUnitParameterValue pitch = 0;
    EXPECT_EQ(
        AudioUnitGetParameter(unit, kNewTimePitchParam_Pitch, kAudioUnitScope_Global, 0, &pitch),
        noErr);
    EXPECT_FLOAT_EQ(pitch, -31.766653F);

    float samples[16] = {};
    AudioBufferListStorage<1> list;
    list.mBuffers[0] = {1, sizeof samples, samples};
    AudioUnitRenderActionFlags flags = 0;
    const AudioTimeStamp time{};
    EXPECT_EQ(AudioUnitRender(unit, &flags, &time, 0, 16, list.list()),
              kAudioUnitErr_Uninitialized);
    ASSERT_EQ(AudioUnitInitialize(unit), noErr);
    EXPECT_EQ(AudioUnitRender(unit, nullptr, nullptr, 0, 16, list.list()), noErr);
    EXPECT_EQ(pulled, 16U);
    EXPECT_EQ(samples[15], 15.0F);
    EXPECT_EQ(AudioOutputUnitStart(unit), kAudioUnitErr_InvalidProperty) << "not an output unit";

    EXPECT_EQ(AudioComponentInstanceDispose(unit), noErr);
    EXPECT_EQ(test::StandInConverter::live.load(), 0);
    EXPECT_EQ(AudioComponentInstanceDispose(nullptr), kAudio_ParamError);
    EXPECT_EQ(AudioUnitInitialize(nullptr), kAudio_ParamError);
}

// Every creation step of the engine's three units can be made to fail: by component, call,
// property, scope, device, and with skip / times to pick one call among equal ones.
TEST_F(AudioUnitTest, UnitCallsFailOnDemand) {
    const AudioDeviceID speakers = sim->addDevice(DeviceConfig::speakers("Speakers", "s"));
    const AudioDeviceID other = sim->addDevice(DeviceConfig::speakers("Other", "o"));

    sim::UnitFault secondInstance;
    secondInstance.componentSubType = kAudioUnitSubType_HALOutput;
    secondInstance.kind = UnitCallKind::instanceNew;
    secondInstance.status = -108;
    secondInstance.skip = 1;
    secondInstance.times = 1;
    sim->failUnitCall(secondInstance);

    AudioComponentInstance first = nullptr;
    AudioComponentInstance second = nullptr;
    AudioComponentInstance third = nullptr;
    EXPECT_EQ(AudioComponentInstanceNew(test::halOutputComponent(), &first), noErr);
    EXPECT_EQ(AudioComponentInstanceNew(test::halOutputComponent(), &second), -108);
    EXPECT_EQ(second, nullptr);
    EXPECT_EQ(AudioComponentInstanceNew(test::halOutputComponent(), &third), noErr);

    // The device refuses to be bound; another device is accepted.
    sim->refuseAsCurrentDevice(speakers, kAudioHardwareBadDeviceError);
    EXPECT_EQ(test::setUnitProperty(first, kAudioOutputUnitProperty_CurrentDevice,
                                    kAudioUnitScope_Global, 0, speakers),
              kAudioHardwareBadDeviceError);
    test::expectSet(first, kAudioOutputUnitProperty_CurrentDevice, kAudioUnitScope_Global, 0,
                    other);

    // Initialize fails only for units bound to `other`.
    sim::UnitFault init;
    init.kind = UnitCallKind::initialize;
    init.device = other;
    init.status = kAudioUnitErr_FailedInitialization;
    sim->failUnitCall(init);
    EXPECT_EQ(AudioUnitInitialize(first), kAudioUnitErr_FailedInitialization);
    EXPECT_EQ(AudioUnitInitialize(third), noErr) << "bound to the default output";

    // A format on one scope only.
    sim::UnitFault format;
    format.kind = UnitCallKind::setProperty;
    format.propertyOrParameter = kAudioUnitProperty_StreamFormat;
    format.scope = kAudioUnitScope_Output;
    format.status = kAudioUnitErr_FormatNotSupported;
    sim->failUnitCall(format);
    AudioComponentInstance unit = nullptr;
    ASSERT_EQ(AudioComponentInstanceNew(copyComponent(), &unit), noErr);
    const AudioStreamBasicDescription asbd{};
    EXPECT_EQ(test::setUnitProperty(unit, kAudioUnitProperty_StreamFormat, kAudioUnitScope_Output,
                                    0, asbd),
              kAudioUnitErr_FormatNotSupported);
    EXPECT_EQ(test::setUnitProperty(unit, kAudioUnitProperty_StreamFormat, kAudioUnitScope_Input, 0,
                                    asbd),
              noErr)
        << "the other scope reaches the unit";

    sim->clearFaults();
    EXPECT_EQ(AudioUnitInitialize(first), noErr);
    for (AudioComponentInstance u : {first, third, unit}) {
        EXPECT_EQ(AudioComponentInstanceDispose(u), noErr);
    }
}

}  // namespace
}  // namespace brimo::hal
