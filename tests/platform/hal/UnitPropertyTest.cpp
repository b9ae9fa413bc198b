#include <gtest/gtest.h>

#include "platform/hal/UnitProperty.h"

namespace brimo::hal {
namespace {

// A made-up unit: a format on elements 0 and 1 of the input side and element 0 of the output
// side, writable at input element 0 only; a read-only rate; a callback that may change while
// initialized.
constexpr ScopeElements kSides{0, kElement0 | kElement1, kElement0};
constexpr ScopeElements kInputSide{0, kElement0, 0};
constexpr ScopeElements kGlobal{kElement0, 0, 0};
constexpr auto kRows = std::to_array<UnitPropertyRow>({
    {kAudioUnitProperty_StreamFormat, kSides, kInputSide, sizeof(AudioStreamBasicDescription),
     false},
    {kAudioUnitProperty_SampleRate, kGlobal, {}, sizeof(Float64), false},
    {kAudioUnitProperty_SetRenderCallback, kGlobal, kGlobal, sizeof(AURenderCallbackStruct), true},
});
constexpr UnitPropertyTable kTable{kRows};

TEST(UnitPropertyTableTest, AddressesAreCheckedPropertyThenScopeThenElement) {
    UInt32 size = 0;
    bool writable = true;
    EXPECT_EQ(kTable.info(kAudioUnitProperty_Latency, 9, 9, size, writable),
              kAudioUnitErr_InvalidProperty);
    EXPECT_EQ(
        kTable.info(kAudioUnitProperty_StreamFormat, kAudioUnitScope_Global, 9, size, writable),
        kAudioUnitErr_InvalidScope);
    EXPECT_EQ(kTable.info(kAudioUnitProperty_StreamFormat, 3, 0, size, writable),
              kAudioUnitErr_InvalidScope);
    EXPECT_EQ(
        kTable.info(kAudioUnitProperty_StreamFormat, kAudioUnitScope_Output, 1, size, writable),
        kAudioUnitErr_InvalidElement);
    EXPECT_EQ(
        kTable.info(kAudioUnitProperty_StreamFormat, kAudioUnitScope_Input, 40, size, writable),
        kAudioUnitErr_InvalidElement);

    // Writability is per address: the same property is read-only on its other element and
    // on its output side.
    ASSERT_EQ(
        kTable.info(kAudioUnitProperty_StreamFormat, kAudioUnitScope_Input, 0, size, writable),
        noErr);
    EXPECT_EQ(size, sizeof(AudioStreamBasicDescription));
    EXPECT_TRUE(writable);
    ASSERT_EQ(
        kTable.info(kAudioUnitProperty_StreamFormat, kAudioUnitScope_Input, 1, size, writable),
        noErr);
    EXPECT_FALSE(writable);
    ASSERT_EQ(
        kTable.info(kAudioUnitProperty_StreamFormat, kAudioUnitScope_Output, 0, size, writable),
        noErr);
    EXPECT_FALSE(writable);
}

TEST(UnitPropertyTableTest, WritesAreRefusedWhenReadOnlyMisSizedNullOrTooLate) {
    const auto format = AudioStreamBasicDescription{};
    const Float64 rate = 48000.0;
    const AURenderCallbackStruct callback;
    const auto write = [](AudioUnitPropertyID id, AudioUnitScope scope, const void* data,
                          UInt32 size, bool initialized) {
        return kTable.checkWrite(id, scope, 0, data, size, initialized);
    };
    const AudioUnitPropertyID formatID = kAudioUnitProperty_StreamFormat;
    EXPECT_EQ(write(formatID, kAudioUnitScope_Output, &format, sizeof format, false),
              kAudioUnitErr_PropertyNotWritable);
    EXPECT_EQ(
        write(kAudioUnitProperty_SampleRate, kAudioUnitScope_Global, &rate, sizeof rate, false),
        kAudioUnitErr_PropertyNotWritable);
    EXPECT_EQ(write(formatID, kAudioUnitScope_Input, &format, sizeof format - 1, false),
              kAudio_ParamError);
    EXPECT_EQ(write(formatID, kAudioUnitScope_Input, nullptr, sizeof format, false),
              kAudio_ParamError);
    EXPECT_EQ(write(formatID, kAudioUnitScope_Input, &format, sizeof format, false), noErr);
    // A size error is reported before the unit's state is.
    EXPECT_EQ(write(formatID, kAudioUnitScope_Input, &format, 4, true), kAudio_ParamError);
    EXPECT_EQ(write(formatID, kAudioUnitScope_Input, &format, sizeof format, true),
              kAudioUnitErr_Initialized);
    EXPECT_EQ(write(kAudioUnitProperty_SetRenderCallback, kAudioUnitScope_Global, &callback,
                    sizeof callback, true),
              noErr);
}

TEST(UnitPropertyValueTest, ReadsAndWritesCheckTheirBuffers) {
    UInt32 value = 7;
    EXPECT_EQ(readPropertyValue(nullptr, sizeof value, value), kAudio_ParamError);
    const UInt32 incoming = 5;
    EXPECT_EQ(readPropertyValue(&incoming, 8, value), kAudio_ParamError);
    ASSERT_EQ(readPropertyValue(&incoming, sizeof incoming, value), noErr);
    EXPECT_EQ(value, 5U);

    Float64 wide = 0.0;
    UInt32 size = 2;
    EXPECT_EQ(writePropertyValue(value, &wide, size), kAudio_ParamError);
    size = sizeof wide;
    EXPECT_EQ(writePropertyValue(value, nullptr, size), kAudio_ParamError);
    ASSERT_EQ(writePropertyValue(value, &wide, size), noErr);
    EXPECT_EQ(size, sizeof value) << "the size reports the bytes written";
}

}  // namespace
}  // namespace brimo::hal
