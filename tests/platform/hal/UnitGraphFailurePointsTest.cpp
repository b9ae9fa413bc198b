#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "platform/hal/HalTestSupport.h"
#include "platform/hal/StandInConverter.h"
#include "platform/hal/StreamFormat.h"
#include "platform/hal/sim/SimulatedAudioBackend.h"

namespace brimo::hal {
namespace {

using sim::DeviceConfig;
using sim::UnitFault;

// The engine builds its three units with these calls in this order. Each helper reports the
// first call that failed (its name) and the status, or "created".
struct Outcome {
    std::string step = "created";
    OSStatus status = noErr;
    AudioUnit unit = nullptr;
    std::string warning;  // a failed call the engine only logs
};

constexpr AudioComponentDescription kTimePitch{kAudioUnitType_FormatConverter,
                                               kAudioUnitSubType_NewTimePitch,
                                               kAudioUnitManufacturer_Apple, 0, 0};
constexpr AudioComponentDescription kHalOutput{kAudioUnitType_Output, kAudioUnitSubType_HALOutput,
                                               kAudioUnitManufacturer_Apple, 0, 0};

OSStatus silence(void*, AudioUnitRenderActionFlags*, const AudioTimeStamp*, UInt32, UInt32,
                 AudioBufferList*) {
    return noErr;
}

Outcome createTimePitch() {
    Outcome o;
    const AudioComponent c = AudioComponentFindNext(nullptr, &kTimePitch);
    if (c == nullptr) {
        return {"find", noErr, nullptr, {}};
    }
    if ((o.status = AudioComponentInstanceNew(c, &o.unit)) != noErr || o.unit == nullptr) {
        o.step = "new";
        return o;
    }
    const auto format = floatStreamFormat(48000.0, 2, false);
    if (AudioUnitSetProperty(o.unit, kAudioUnitProperty_StreamFormat, kAudioUnitScope_Input, 0,
                             &format, 40) != noErr) {
        o.warning = "input format";
    }
    if (AudioUnitSetProperty(o.unit, kAudioUnitProperty_StreamFormat, kAudioUnitScope_Output, 0,
                             &format, 40) != noErr) {
        o.warning = "output format";
    }
    const AURenderCallbackStruct callback{&silence, nullptr};
    if (const OSStatus s = AudioUnitSetProperty(o.unit, kAudioUnitProperty_SetRenderCallback,
                                                kAudioUnitScope_Input, 0, &callback, 16);
        s != noErr) {
        return {"callback", s, o.unit, {}};
    }
    const UInt32 slice = 512;
    AudioUnitSetProperty(o.unit, kAudioUnitProperty_MaximumFramesPerSlice, kAudioUnitScope_Global,
                         0, &slice, 4);
    AudioUnitSetParameter(o.unit, kNewTimePitchParam_Pitch, kAudioUnitScope_Global, 0, 0.0F, 0);
    if (const OSStatus s = AudioUnitInitialize(o.unit); s != noErr) {
        return {"initialize", s, o.unit, {}};
    }
    return o;
}

Outcome createInput(AudioDeviceID device) {
    Outcome o;
    const AudioComponent c = AudioComponentFindNext(nullptr, &kHalOutput);
    if (c == nullptr) {
        return {"find", noErr, nullptr, {}};
    }
    if ((o.status = AudioComponentInstanceNew(c, &o.unit)) != noErr || o.unit == nullptr) {
        o.step = "new";
        return o;
    }
    const UInt32 on = 1;
    const UInt32 off = 0;
    AudioUnitSetProperty(o.unit, kAudioOutputUnitProperty_EnableIO, kAudioUnitScope_Input, 1, &on,
                         4);
    AudioUnitSetProperty(o.unit, kAudioOutputUnitProperty_EnableIO, kAudioUnitScope_Output, 0, &off,
                         4);
    if (const OSStatus s = AudioUnitSetProperty(o.unit, kAudioOutputUnitProperty_CurrentDevice,
                                                kAudioUnitScope_Global, 0, &device, 4);
        s != noErr) {
        return {"device", s, o.unit, {}};
    }
    const auto format = floatStreamFormat(48000.0, 2, true);
    AudioUnitSetProperty(o.unit, kAudioUnitProperty_StreamFormat, kAudioUnitScope_Output, 1,
                         &format, 40);
    const AURenderCallbackStruct callback{&silence, nullptr};
    AudioUnitSetProperty(o.unit, kAudioOutputUnitProperty_SetInputCallback, kAudioUnitScope_Global,
                         0, &callback, 16);
    if (const OSStatus s = AudioUnitInitialize(o.unit); s != noErr) {
        return {"initialize", s, o.unit, {}};
    }
    return o;
}

Outcome createOutput(AudioDeviceID device) {
    Outcome o;
    const AudioComponent c = AudioComponentFindNext(nullptr, &kHalOutput);
    if (c == nullptr) {
        return {"find", noErr, nullptr, {}};
    }
    if ((o.status = AudioComponentInstanceNew(c, &o.unit)) != noErr || o.unit == nullptr) {
        o.step = "new";
        return o;
    }
    if (const OSStatus s = AudioUnitSetProperty(o.unit, kAudioOutputUnitProperty_CurrentDevice,
                                                kAudioUnitScope_Global, 0, &device, 4);
        s != noErr) {
        return {"device", s, o.unit, {}};
    }
    const auto format = floatStreamFormat(48000.0, 2, true);
    if (const OSStatus s = AudioUnitSetProperty(o.unit, kAudioUnitProperty_StreamFormat,
                                                kAudioUnitScope_Input, 0, &format, 40);
        s != noErr) {
        return {"format", s, o.unit, {}};
    }
    const AURenderCallbackStruct callback{&silence, nullptr};
    if (const OSStatus s = AudioUnitSetProperty(o.unit, kAudioUnitProperty_SetRenderCallback,
                                                kAudioUnitScope_Input, 0, &callback, 16);
        s != noErr) {
        return {"callback", s, o.unit, {}};
    }
    if (const OSStatus s = AudioUnitInitialize(o.unit); s != noErr) {
        return {"initialize", s, o.unit, {}};
    }
    return o;
}

UnitFault fault(UnitCallKind kind, std::optional<UInt32> property = std::nullopt,
                std::optional<AudioUnitScope> scope = std::nullopt) {
    UnitFault f;
    f.kind = kind;
    f.propertyOrParameter = property;
    f.scope = scope;
    f.status = -4242;
    return f;
}

class UnitGraphFailurePointsTest : public ::testing::Test {
  protected:
    void SetUp() override {
        static const AudioComponent timePitch =
            AudioComponentRegister(kTimePitch, "Stand-in time-pitch", 1,
                                   [] { return std::make_unique<test::StandInConverter>(); });
        (void)timePitch;
        auto inConfig = DeviceConfig::loopbackDevice("Brimola Vetrix", "v");
        inConfig.id = 62;
        auto outConfig = DeviceConfig::speakers("Speakers", "s");
        outConfig.id = 57;
        sim->addDevice(inConfig);
        sim->addDevice(outConfig);
    }

    // Runs the three creations in the engine's order, stopping at the first failure, and
    // starts the two output units; returns "<unit>: <step>" and the status.
    std::pair<std::string, OSStatus> build() {
        const Outcome t = createTimePitch();
        units.push_back(t.unit);
        warning = t.warning;
        if (t.step != "created") {
            return {"time-pitch: " + t.step, t.status};
        }
        const Outcome i = createInput(62);
        units.push_back(i.unit);
        if (i.step != "created") {
            return {"input: " + i.step, i.status};
        }
        const Outcome o = createOutput(57);
        units.push_back(o.unit);
        if (o.step != "created") {
            return {"output: " + o.step, o.status};
        }
        if (const OSStatus s = AudioOutputUnitStart(i.unit); s != noErr) {
            return {"input: start", s};
        }
        if (const OSStatus s = AudioOutputUnitStart(o.unit); s != noErr) {
            return {"output: start", s};
        }
        return {"running", noErr};
    }

    void TearDown() override {
        for (AudioUnit u : units) {
            if (u != nullptr) {
                AudioComponentInstanceDispose(u);
            }
        }
    }

    sim::ScopedSimulatedBackend sim;
    std::vector<AudioUnit> units;
    std::string warning;
};

TEST_F(UnitGraphFailurePointsTest, WithoutFaultsAllThreeUnitsRun) {
    EXPECT_EQ(build(), std::make_pair(std::string("running"), noErr));
    EXPECT_TRUE(sim->isRunning(62));
    EXPECT_TRUE(sim->isRunning(57));
}

TEST_F(UnitGraphFailurePointsTest, MissingComponentsAreNotFound) {
    {
        const ScopedComponentRemoval removal(kTimePitch);
        EXPECT_EQ(build().first, "time-pitch: find");
    }
    const ScopedComponentRemoval removal(kHalOutput);
    EXPECT_EQ(build().first, "input: find");
}

TEST_F(UnitGraphFailurePointsTest, EachCreationStepOfTheTimePitchUnitCanFail) {
    using K = UnitCallKind;
    const std::vector<std::pair<UnitFault, std::string>> cases = {
        {fault(K::instanceNew), "time-pitch: new"},
        {fault(K::setProperty, kAudioUnitProperty_StreamFormat, kAudioUnitScope_Output),
         "running"},  // only logged: creation goes on
        {fault(K::setProperty, kAudioUnitProperty_SetRenderCallback), "time-pitch: callback"},
        {fault(K::initialize), "time-pitch: initialize"},
    };
    for (auto [f, expected] : cases) {
        SCOPED_TRACE(expected);
        TearDown();
        units.clear();
        f.componentSubType = kAudioUnitSubType_NewTimePitch;
        sim->clearFaults();
        sim->failUnitCall(f);
        const auto [step, status] = build();
        EXPECT_EQ(step, expected);
        if (expected != "running") {
            EXPECT_EQ(status, -4242);
        } else {
            EXPECT_EQ(warning, "output format");
        }
    }
}

TEST_F(UnitGraphFailurePointsTest, EachCreationAndStartStepOfTheDeviceUnitsCanFail) {
    using K = UnitCallKind;
    auto onDevice = [](UnitFault f, AudioDeviceID d) {
        f.device = d;
        return f;
    };
    auto secondOnly = [](UnitFault f) {
        f.skip = 1;
        return f;
    };
    const std::vector<std::pair<UnitFault, std::string>> cases = {
        {fault(K::instanceNew), "input: new"},
        {secondOnly(fault(K::instanceNew)), "output: new"},
        {onDevice(fault(K::setProperty, kAudioOutputUnitProperty_CurrentDevice), 62),
         "input: device"},
        {onDevice(fault(K::initialize), 62), "input: initialize"},
        {onDevice(fault(K::setProperty, kAudioOutputUnitProperty_CurrentDevice), 57),
         "output: device"},
        {onDevice(fault(K::setProperty, kAudioUnitProperty_StreamFormat), 57), "output: format"},
        {onDevice(fault(K::setProperty, kAudioUnitProperty_SetRenderCallback), 57),
         "output: callback"},
        {onDevice(fault(K::initialize), 57), "output: initialize"},
        {onDevice(fault(K::start), 62), "input: start"},
        {onDevice(fault(K::start), 57), "output: start"},
    };
    for (auto [f, expected] : cases) {
        SCOPED_TRACE(expected);
        TearDown();
        units.clear();
        f.componentSubType = kAudioUnitSubType_HALOutput;
        sim->clearFaults();
        sim->failUnitCall(f);
        EXPECT_EQ(build(), std::make_pair(expected, OSStatus{-4242}));
    }
}

TEST_F(UnitGraphFailurePointsTest, DevicesThatCannotServeTheirSideRefuseToBeBound) {
    // An output device chosen as the capture device, a capture-only one as the playback device.
    const AudioDeviceID mic = sim->addDevice(DeviceConfig::microphone("Mic", "m"));
    Outcome in = createInput(57);
    units.push_back(in.unit);
    EXPECT_EQ(in.step, "device");
    EXPECT_EQ(in.status, kAudioUnitErr_InvalidPropertyValue);
    Outcome out = createOutput(mic);
    units.push_back(out.unit);
    EXPECT_EQ(out.step, "device");

    // A device that is gone by the time the unit starts.
    Outcome late = createOutput(57);
    units.push_back(late.unit);
    ASSERT_EQ(late.step, "created");
    sim->removeDevice(57);
    EXPECT_EQ(AudioOutputUnitStart(late.unit), kAudioHardwareBadDeviceError);
}

TEST_F(UnitGraphFailurePointsTest, PullsFailOnDemandInsideTheCallbacks) {
    ASSERT_EQ(build().first, "running");
    UnitFault f;
    f.kind = UnitCallKind::render;
    f.element = 0;
    f.componentSubType = kAudioUnitSubType_NewTimePitch;
    f.status = kAudioUnitErr_TooManyFramesToProcess;
    sim->failUnitCall(f);
    float left[64] = {};
    float right[64] = {};
    AudioBufferListStorage<2> list;
    list.mBuffers[0] = {1, sizeof left, left};
    list.mBuffers[1] = {1, sizeof right, right};
    EXPECT_EQ(AudioUnitRender(units[0], nullptr, nullptr, 0, 64, list.list()),
              kAudioUnitErr_TooManyFramesToProcess);
}

}  // namespace
}  // namespace brimo::hal
