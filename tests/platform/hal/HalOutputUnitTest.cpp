#include <gtest/gtest.h>

#include <cmath>
#include <numbers>

#include "platform/hal/HalTestSupport.h"
#include "platform/hal/UnitHarness.h"
#include "platform/hal/sim/ScopedSimulatedBackend.h"
#include "support/ToneAnalysis.h"

namespace brimo::hal {
namespace {

using sim::DeviceConfig;
using test::CaptureHarness;
using test::PlaybackHarness;
using test::ramp;

float tone1k(UInt32 /*channel*/, SInt64 frame, double rate) {
    return 0.5F * static_cast<float>(
                      std::sin(2.0 * std::numbers::pi * std::fmod(1000.0 * frame, rate) / rate));
}

class HalOutputUnitTest : public ::testing::Test {
  protected:
    sim::ScopedSimulatedBackend sim;
};

// A cap on the frames per slice below the device's cycle splits each cycle without a seam.
TEST_F(HalOutputUnitTest, PlaysExactlyWhatItsRenderCallbackWritesInBlocksNoLargerThanTheDevices) {
    struct Case {
        bool interleaved;
        UInt32 deviceFrames;
        UInt32 maximumSlice;  // 0: left at its default
        UInt32 largest;
    };
    for (const Case c :
         {Case{true, 512, 0, 512}, Case{false, 512, 0, 512}, Case{true, 1000, 300, 300}}) {
        SCOPED_TRACE(::testing::Message() << c.interleaved << " " << c.deviceFrames);
        auto config = DeviceConfig::speakers("Speakers", "s");
        config.bufferFrameSize = c.deviceFrames;
        const AudioDeviceID speakers = sim->addDevice(config);
        PlaybackHarness unit(speakers, floatStreamFormat(48000.0, 2, c.interleaved), &ramp);
        if (c.maximumSlice != 0) {
            test::expectSet(unit.unit, kAudioUnitProperty_MaximumFramesPerSlice,
                            kAudioUnitScope_Global, 0, c.maximumSlice);
        }
        ASSERT_EQ(unit.start(), noErr);
        sim->advanceSeconds(0.2);

        const auto played = sim->recording(speakers);
        ASSERT_GT(played.frames(), 9000);
        for (SInt64 f = 0; f < played.frames(); ++f) {
            ASSERT_EQ(played.samples[2 * f], ramp(0, played.firstFrame + f, 0)) << f;
            ASSERT_EQ(played.samples[2 * f + 1], ramp(1, played.firstFrame + f, 0)) << f;
        }
        EXPECT_EQ(unit.largestRequest.load(), c.largest);
    }
}

TEST_F(HalOutputUnitTest, LoopbackCaptureAtEqualRatesIsBitExact) {
    const AudioDeviceID vetrix =
        sim->addDevice(DeviceConfig::loopbackDevice("Brimola Vetrix", "vetrix"));
    sim->play(vetrix, sim::Signal::tone(440.0, 0.3F));
    CaptureHarness capture(vetrix, floatStreamFormat(48000.0, 2, true));
    ASSERT_EQ(capture.start(), noErr);
    sim->advanceSeconds(0.25);

    const auto played = sim->recording(vetrix);
    ASSERT_EQ(played.firstFrame, 0);
    ASSERT_EQ(capture.captured.size(), played.samples.size());
    EXPECT_EQ(capture.captured, played.samples);
    EXPECT_NEAR(brimo::testing::toneFrequency(played.channel(0), 48000.0), 440.0, 1e-3);
    for (const UInt32 frames : capture.blockSizes) {
        EXPECT_EQ(frames, 512U);
    }
}

TEST_F(HalOutputUnitTest, CaptureHandsOverOnlyTheFramesOfTheCurrentCallback) {
    const AudioDeviceID vetrix = sim->addDevice(DeviceConfig::loopbackDevice("V", "v"));
    CaptureHarness capture(vetrix, floatStreamFormat(48000.0, 2, false));
    capture.extraFramesAsked = 1;
    ASSERT_EQ(capture.start(), noErr);
    sim->advanceSeconds(0.02);
    EXPECT_EQ(capture.lastStatus, kAudioUnitErr_TooManyFramesToProcess);
    EXPECT_TRUE(capture.captured.empty());

    float samples[8] = {};
    AudioBufferListStorage<1> list;
    list.mBuffers[0] = {2, sizeof samples, samples};
    EXPECT_EQ(AudioUnitRender(capture.unit, nullptr, nullptr, 1, 4, list.list()),
              kAudioUnitErr_CannotDoInCurrentContext)
        << "outside the input callback there is nothing to hand over";
}

// Devices at another rate than the unit: the unit converts, so a tone keeps its pitch and level.
TEST_F(HalOutputUnitTest, RateConversionKeepsAToneFrequencyAndLevel) {
    auto config = DeviceConfig::speakers("Speakers", "s");
    config.nominalSampleRate = 44100.0;
    const AudioDeviceID speakers = sim->addDevice(config);
    PlaybackHarness playback(speakers, floatStreamFormat(48000.0, 2, true), &tone1k);
    ASSERT_EQ(playback.start(), noErr);

    auto loopConfig = DeviceConfig::loopbackDevice("Vetrix", "v");
    loopConfig.nominalSampleRate = 44100.0;
    loopConfig.bufferFrameSize = 441;
    const AudioDeviceID vetrix = sim->addDevice(loopConfig);
    sim->play(vetrix, sim::Signal::tone(440.0, 0.5F));
    CaptureHarness capture(vetrix, floatStreamFormat(48000.0, 2, true));
    ASSERT_EQ(capture.start(), noErr);

    sim->advanceSeconds(1.5);

    const auto left = sim->recording(speakers).channel(0);
    const auto steady = brimo::testing::slice(left, 4410, left.size() - 4410);
    EXPECT_NEAR(brimo::testing::toneFrequency(steady, 44100.0), 1000.0, 0.001);
    EXPECT_NEAR(brimo::testing::rms(steady), 0.5 / std::sqrt(2.0), 0.0005);
    EXPECT_LE(playback.largestRequest.load(), 512U);

    std::vector<float> captured;
    for (std::size_t i = 0; i < capture.captured.size(); i += 2) {
        captured.push_back(capture.captured[i]);
    }
    const auto settled = brimo::testing::slice(captured, 4800, captured.size() - 4800);
    EXPECT_NEAR(brimo::testing::toneFrequency(settled, 48000.0), 440.0, 0.001);
    EXPECT_NEAR(brimo::testing::rms(settled), 0.5 / std::sqrt(2.0), 0.0005);
    EXPECT_NEAR(static_cast<double>(captured.size()), 1.5 * 48000.0, 441 + 441 * 48000.0 / 44100.0);
    for (const UInt32 frames : capture.blockSizes) {
        EXPECT_EQ(frames, 441U);
    }
}

TEST_F(HalOutputUnitTest, DefaultsAndPropertyChecks) {
    const AudioDeviceID mic = sim->addDevice(DeviceConfig::microphone("Mic", "m"));
    const AudioDeviceID speakers = sim->addDevice(DeviceConfig::speakers("Speakers", "s"));
    AudioUnit unit = nullptr;
    ASSERT_EQ(AudioComponentInstanceNew(test::halOutputComponent(), &unit), noErr);

    UInt32 value = 9;
    using test::getUnitProperty;
    ASSERT_EQ(
        getUnitProperty(unit, kAudioOutputUnitProperty_EnableIO, kAudioUnitScope_Output, 0, value),
        noErr);
    EXPECT_EQ(value, 1U) << "playback on by default";
    ASSERT_EQ(
        getUnitProperty(unit, kAudioOutputUnitProperty_EnableIO, kAudioUnitScope_Input, 1, value),
        noErr);
    EXPECT_EQ(value, 0U) << "capture off by default";
    EXPECT_EQ(test::setUnitProperty(unit, kAudioOutputUnitProperty_EnableIO, kAudioUnitScope_Input,
                                    0, value),
              kAudioUnitErr_InvalidElement);

    // A device that cannot play refuses to be the playback unit's device.
    auto setDevice = [&](AudioDeviceID device, UInt32 bytes = sizeof(AudioDeviceID)) {
        return AudioUnitSetProperty(unit, kAudioOutputUnitProperty_CurrentDevice,
                                    kAudioUnitScope_Global, 0, &device, bytes);
    };
    EXPECT_EQ(setDevice(mic), kAudioUnitErr_InvalidPropertyValue);
    EXPECT_EQ(setDevice(777), kAudioHardwareBadDeviceError);
    EXPECT_EQ(setDevice(speakers, 2), kAudio_ParamError);

    // Formats: 32-bit float of the right size only; the device side is the device's own.
    auto setFormat = [&](AudioUnitScope scope, const AudioStreamBasicDescription& format,
                         UInt32 bytes = sizeof(AudioStreamBasicDescription)) {
        return AudioUnitSetProperty(unit, kAudioUnitProperty_StreamFormat, scope, 0, &format,
                                    bytes);
    };
    auto format = floatStreamFormat(48000.0, 2, true);
    EXPECT_EQ(setFormat(kAudioUnitScope_Input, format, 39), kAudio_ParamError);
    auto integer = format;
    integer.mFormatFlags = kAudioFormatFlagIsSignedInteger | kAudioFormatFlagIsPacked;
    EXPECT_EQ(setFormat(kAudioUnitScope_Input, integer), kAudioUnitErr_FormatNotSupported);
    EXPECT_EQ(setFormat(kAudioUnitScope_Output, format), kAudioUnitErr_PropertyNotWritable);
    EXPECT_EQ(setFormat(kAudioUnitScope_Global, format), kAudioUnitErr_InvalidScope);

    // With no device set, the unit runs on the default output.
    ASSERT_EQ(AudioUnitInitialize(unit), noErr);
    AudioDeviceID current = 0;
    ASSERT_EQ(getUnitProperty(unit, kAudioOutputUnitProperty_CurrentDevice, kAudioUnitScope_Global,
                              0, current),
              noErr);
    EXPECT_EQ(current, speakers);
    AudioStreamBasicDescription deviceSide;
    ASSERT_EQ(getUnitProperty(unit, kAudioUnitProperty_StreamFormat, kAudioUnitScope_Output, 0,
                              deviceSide),
              noErr);
    EXPECT_EQ(deviceSide.mSampleRate, 48000.0);
    EXPECT_EQ(deviceSide.mChannelsPerFrame, 2U);
    EXPECT_EQ(setFormat(kAudioUnitScope_Input, format), kAudioUnitErr_Initialized);
    EXPECT_EQ(AudioComponentInstanceDispose(unit), noErr);
}

TEST_F(HalOutputUnitTest, ChannelCountsDifferingFromTheDevicesAreMapped) {
    auto config = DeviceConfig::speakers("Surround", "s");
    config.outputStreams = {4};
    const AudioDeviceID surround = sim->addDevice(config);
    auto monoConfig = DeviceConfig::speakers("Mono", "m");
    monoConfig.outputStreams = {1};
    const AudioDeviceID mono = sim->addDevice(monoConfig);
    PlaybackHarness toSurround(surround, floatStreamFormat(48000.0, 2, true), &ramp);
    PlaybackHarness toMono(mono, floatStreamFormat(48000.0, 2, true), &ramp);
    ASSERT_EQ(toSurround.start(), noErr);
    ASSERT_EQ(toMono.start(), noErr);
    sim->advanceSeconds(0.02);

    const auto four = sim->recording(surround);
    ASSERT_EQ(four.channels, 4U);
    EXPECT_EQ(four.samples[4 * 100 + 0], ramp(0, 100, 0));
    EXPECT_EQ(four.samples[4 * 100 + 1], ramp(1, 100, 0));
    EXPECT_EQ(four.samples[4 * 100 + 2], 0.0F);
    EXPECT_EQ(sim->recording(mono).samples[100], 0.0F) << "left and right mixed";
}

}  // namespace
}  // namespace brimo::hal
