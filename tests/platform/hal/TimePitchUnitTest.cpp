#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "platform/hal/AudioUnit.h"
#include "platform/hal/HalTestSupport.h"
#include "platform/hal/StreamFormat.h"
#include "platform/hal/TimePitchUnit.h"

namespace brimo::hal {
namespace {

const AudioComponentDescription kTimePitch{kAudioUnitType_FormatConverter,
                                           kAudioUnitSubType_NewTimePitch,
                                           kAudioUnitManufacturer_Apple, 0, 0};

// What the input procedure does on each call.
struct Feed {
    enum class Mode { steady, silentUntouched, ownShortBuffer } mode = Mode::steady;
    std::vector<float> own = std::vector<float>(64, 0.25F);

    static OSStatus proc(void* refCon, AudioUnitRenderActionFlags* flags, const AudioTimeStamp*,
                         UInt32 bus, UInt32 frames, AudioBufferList* data) {
        auto* self = static_cast<Feed*>(refCon);
        EXPECT_EQ(bus, 0U);
        switch (self->mode) {
            case Mode::steady:
                for (UInt32 c = 0; c < 2; ++c) {
                    std::fill_n(static_cast<float*>(data->mBuffers[c].mData), frames, 0.5F);
                }
                return noErr;
            case Mode::silentUntouched:
                *flags = kAudioUnitRenderAction_OutputIsSilence;
                return noErr;
            case Mode::ownShortBuffer:
                // Hands over its own 64-frame buffers whatever was asked for.
                for (UInt32 c = 0; c < 2; ++c) {
                    data->mBuffers[c].mData = self->own.data();
                    data->mBuffers[c].mDataByteSize = 64 * 4;
                }
                *flags = kAudioUnitRenderAction_OutputIsSilence;
                return noErr;
        }
        return noErr;
    }
};

class TimePitchUnitTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_NE(registerTimePitchComponent(), nullptr);
        const AudioComponent component = AudioComponentFindNext(nullptr, &kTimePitch);
        ASSERT_NE(component, nullptr);
        ASSERT_EQ(AudioComponentInstanceNew(component, &unit_), noErr);
        const auto format = floatStreamFormat(48000.0, 2, false);
        for (const AudioUnitScope scope : {kAudioUnitScope_Input, kAudioUnitScope_Output}) {
            test::expectSet(unit_, kAudioUnitProperty_StreamFormat, scope, 0, format);
        }
        test::expectSet(unit_, kAudioUnitProperty_SetRenderCallback, kAudioUnitScope_Input, 0,
                        AURenderCallbackStruct{&Feed::proc, &feed_});
    }
    void TearDown() override { AudioComponentInstanceDispose(unit_); }

    OSStatus render(UInt32 frames, AudioUnitRenderActionFlags* flags = nullptr) {
        storage_.mBuffers[0] = {1, frames * 4, left_.data()};
        storage_.mBuffers[1] = {1, frames * 4, right_.data()};
        return AudioUnitRender(unit_, flags, nullptr, 0, frames, storage_.list());
    }

    AudioUnit unit_ = nullptr;
    Feed feed_;
    std::vector<float> left_ = std::vector<float>(4096, 9.0F);
    std::vector<float> right_ = std::vector<float>(4096, 9.0F);
    AudioBufferListStorage<2> storage_;
};

TEST_F(TimePitchUnitTest, ReportsItsLatencyAndRendersUpToItsMaximumSliceRefusingMore) {
    UInt32 maximum = 0;
    ASSERT_EQ(test::getUnitProperty(unit_, kAudioUnitProperty_MaximumFramesPerSlice,
                                    kAudioUnitScope_Global, 0, maximum),
              noErr);
    EXPECT_EQ(maximum, 512U);
    ASSERT_EQ(AudioUnitInitialize(unit_), noErr);
    Float64 latency = 0.0;
    ASSERT_EQ(test::getUnitProperty(unit_, kAudioUnitProperty_Latency, kAudioUnitScope_Global, 0,
                                    latency),
              noErr);
    EXPECT_GT(latency, 0.0);
    EXPECT_LE(latency, 0.050);
    EXPECT_EQ(render(513), kAudioUnitErr_TooManyFramesToProcess);
    EXPECT_EQ(left_[0], 9.0F);
    EXPECT_EQ(render(512), noErr);
    EXPECT_NE(left_[100], 9.0F);
    EXPECT_EQ(left_[512], 9.0F);
    EXPECT_EQ(left_, right_);
}

TEST_F(TimePitchUnitTest, ClampsParametersAndRefusesWrongAddresses) {
    AudioUnitParameterValue value = 0.0F;
    const std::pair<AudioUnitParameterID, std::pair<float, float>> cases[] = {
        {kNewTimePitchParam_Pitch, {-3000.0F, -2400.0F}},
        {kNewTimePitchParam_Rate, {64.0F, 32.0F}},
        {kNewTimePitchParam_Overlap, {2.0F, 3.0F}},
        {kNewTimePitchParam_EnablePeakLocking, {0.0F, 0.0F}},
    };
    for (const auto& [id, values] : cases) {
        EXPECT_EQ(AudioUnitSetParameter(unit_, id, kAudioUnitScope_Global, 0, values.first, 0),
                  noErr);
        EXPECT_EQ(AudioUnitGetParameter(unit_, id, kAudioUnitScope_Global, 0, &value), noErr);
        EXPECT_EQ(value, values.second) << id;
    }
    EXPECT_EQ(AudioUnitSetParameter(unit_, 2, kAudioUnitScope_Global, 0, 1.0F, 0),
              kAudioUnitErr_InvalidParameter);
    EXPECT_EQ(
        AudioUnitSetParameter(unit_, kNewTimePitchParam_Pitch, kAudioUnitScope_Input, 0, 1.0F, 0),
        kAudioUnitErr_InvalidScope);
    EXPECT_EQ(
        AudioUnitSetParameter(unit_, kNewTimePitchParam_Pitch, kAudioUnitScope_Global, 1, 1.0F, 0),
        kAudioUnitErr_InvalidElement);
}

TEST_F(TimePitchUnitTest, RefusesInterleavedOrTooFastFormatsAndChangesWhileInitialized) {
    for (const auto& refused :
         {floatStreamFormat(48000.0, 2, true), floatStreamFormat(384000.0, 2, false)}) {
        EXPECT_EQ(test::setUnitProperty(unit_, kAudioUnitProperty_StreamFormat,
                                        kAudioUnitScope_Input, 0, refused),
                  kAudioUnitErr_FormatNotSupported);
    }
    ASSERT_EQ(AudioUnitInitialize(unit_), noErr);
    EXPECT_EQ(test::setUnitProperty(unit_, kAudioUnitProperty_MaximumFramesPerSlice,
                                    kAudioUnitScope_Global, 0, UInt32{1024}),
              kAudioUnitErr_Initialized);
}

TEST_F(TimePitchUnitTest, TreatsFramesTheInputProcedureLeftAloneAsSilence) {
    ASSERT_EQ(AudioUnitSetParameter(unit_, kNewTimePitchParam_Pitch, kAudioUnitScope_Global, 0,
                                    -31.766653F, 0),
              noErr);
    ASSERT_EQ(AudioUnitInitialize(unit_), noErr);
    feed_.mode = Feed::Mode::silentUntouched;
    const auto silent = [](const std::vector<float>& v) {
        return std::all_of(v.begin(), v.begin() + 512, [](float s) { return s == 0.0F; });
    };
    for (int b = 0; b < 4; ++b) {
        ASSERT_EQ(render(512), noErr);
        ASSERT_TRUE(silent(left_) && silent(right_)) << b;
    }
}

TEST_F(TimePitchUnitTest, ReadsAProcedureBufferOnlyAsFarAsItsByteSize) {
    ASSERT_EQ(AudioUnitInitialize(unit_), noErr);
    feed_.mode = Feed::Mode::ownShortBuffer;
    // At 0 cents the output is the input: each 512-frame slice becomes 64 frames of 0.25 and
    // silence, whatever lies in memory after the procedure's 64 frames.
    for (int b = 0; b < 6; ++b) {
        ASSERT_EQ(render(512), noErr);
        ASSERT_TRUE(std::all_of(left_.begin(), left_.begin() + 512, [](float s) {
            return s == 0.0F || s == 0.25F;
        })) << b;
    }
}

}  // namespace
}  // namespace brimo::hal
