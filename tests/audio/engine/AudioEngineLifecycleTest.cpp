#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "audio/engine/EngineTestFixture.h"
#include "platform/hal/AudioUnitImplementation.h"

using brimo::testing::EngineTest;
using Lines = std::vector<std::string>;
namespace hal = brimo::hal;

namespace {

const std::string kRunningLine =
    "✅ [START] Running with TimePitch! Pitch: 0.0 cents, Latency: ~100ms, Gain: 1.0x";

bool contains(const Lines& lines, const std::string& line) {
    return std::find(lines.begin(), lines.end(), line) != lines.end();
}

class EngineLifecycleTest : public EngineTest {
  protected:
    // What one start writes, on its own.
    Lines startAndLog() {
        clearLog();
        engine_->start();
        engine_->waitUntilIdle();
        return logLines();
    }
};

}  // namespace

TEST_F(EngineLifecycleTest, StartWritesTheDesignedSequenceAndRuns) {
    engine_->setInputDevice(device(kVirtualID, "Brimola Vetrix"));
    engine_->setOutputDevice(device(kSpeakersID, "Speakers"));
    EXPECT_EQ(
        logLines(),
        (Lines{"🎵 [INPUT] Brimola Vetrix (ID: 62)", "🎵 [OUTPUT] Setting: Speakers (ID: 57)",
               "🎵 [OUTPUT] Device sample rate: 48000.0 Hz", "🎵 [OUTPUT] Device channels: 2"}));
    EXPECT_EQ(startAndLog(),
              (Lines{"🎵 [START] ======", "🎵 [START] In:62 Out:57 SR:48000.0",
                     "🎵 [START] Pre-filled 4800 frames (100ms lookahead)",
                     "✅ [TIMEPITCH] Created with pitch 0.0 cents, overlap=32 (max quality)",
                     "✅ [INPUT] Created", "🎵 [OUTPUT_CREATE] Creating for DeviceID: 57",
                     "🎵 [OUTPUT_CREATE] Device native sample rate: 48000.0 Hz",
                     "🎵 [OUTPUT_CREATE] Engine sample rate: 48000.0 Hz",
                     "🎵 [OUTPUT_CREATE] Device output channels: 2",
                     "✅ [OUTPUT_CREATE] Device ID set successfully",
                     "🎵 [OUTPUT_CREATE] Setting format: 48000.0 Hz, 2ch, 32-bit float interleaved",
                     "✅ [OUTPUT_CREATE] StreamFormat set successfully",
                     "✅ [OUTPUT] Created successfully", kRunningLine}));
    EXPECT_TRUE(engine_->isRunning());
    EXPECT_TRUE(sim_->isRunning(kVirtualID));
    EXPECT_TRUE(sim_->isRunning(kSpeakersID));
}

TEST_F(EngineLifecycleTest, StartRefusesMissingOrIdenticalDevicesAndUnusableRates) {
    engine_->setInputDevice(device(kVirtualID, "Brimola Vetrix"));
    EXPECT_EQ(startAndLog(), (Lines{"🎵 [START] ======", "❌ [START] No devices"}));

    engine_->setOutputDevice(device(kVirtualID, "Brimola Vetrix"));
    EXPECT_EQ(startAndLog(), (Lines{"🎵 [START] ======",
                                    "❌ [START] Feedback Loop Detected! Input Device == Output "
                                    "Device (ID: 62). Aborting."}));
    EXPECT_FALSE(engine_->isRunning());
    EXPECT_FALSE(sim_->isRunning(kVirtualID));

    // A device reporting a nonsense rate must not size the ring buffer.
    sim_->setNominalSampleRate(kVirtualID, 1.0);
    engine_->setOutputDevice(device(kSpeakersID, "Speakers"));
    EXPECT_EQ(startAndLog().back(), "❌ [START] Unusable sample rate 1.0 Hz. Aborting.");
    EXPECT_FALSE(engine_->isRunning());
}

TEST_F(EngineLifecycleTest, CaptureRateWinsAndSizesTheLookahead) {
    sim_->setNominalSampleRate(kVirtualID, 44100.0);
    engine_->setOutputDevice(device(kSpeakersID, "Speakers"));
    engine_->setInputDevice(device(kVirtualID, "Brimola Vetrix"));  // reads 44100 silently
    sim_->setNominalSampleRate(kVirtualID, 44100.0);
    engine_->setOutputDevice(device(kSpeakersID, "Speakers"));  // back to 48000
    const Lines lines = startAndLog();
    EXPECT_TRUE(contains(lines,
                         "🎵 [START] Updating internal sample rate from 48000.0 to 44100.0 "
                         "match Input Device"));
    EXPECT_TRUE(contains(lines, "🎵 [START] Pre-filled 4410 frames (100ms lookahead)"));
    EXPECT_TRUE(contains(lines,
                         "⚠️ [OUTPUT_CREATE] Rate mismatch - CoreAudio will convert 44100.0 "
                         "-> 48000.0"));
    EXPECT_TRUE(engine_->isRunning());
    EXPECT_EQ(engine_->sampleRate(), 44100.0);
}

TEST_F(EngineLifecycleTest, StopAndRestartSequencesAndTheirPauses) {
    engine_->stop();
    engine_->waitUntilIdle();
    EXPECT_EQ(logLines(), (Lines{"🎵 [STOP]", "🎵 [STOP] Beginning cleanup...", "✅ [STOP] Done"}));

    clearLog();
    engine_->restart();
    engine_->waitUntilIdle();
    EXPECT_EQ(logLines(), (Lines{"🔄 [RESTART] Requested...",
                                 "⚠️ [RESTART] Aborting - Missing input or output device"}));

    connectAndStart();
    pauses_.clear();
    clearLog();
    engine_->setOutputDevice(device(kSpeakersID, "Speakers"));  // while running: restart
    engine_->waitUntilIdle();
    const Lines lines = logLines();
    EXPECT_TRUE(contains(lines, "🔄 [RESTART] Requested..."));
    EXPECT_TRUE(contains(lines, "🎵 [STOP] Stopping input unit..."));
    EXPECT_TRUE(contains(lines, "🎵 [STOP] Stopping output unit..."));
    EXPECT_TRUE(contains(lines, "🎵 [STOP] Stopping TimePitch unit..."));
    EXPECT_EQ(lines.back(), kRunningLine);
    EXPECT_EQ(pauses(), (std::vector<double>{0.05, 0.2}));
    EXPECT_TRUE(engine_->isRunning());

    // A start over a running engine stops first, with its own pause.
    pauses_.clear();
    engine_->start();
    engine_->waitUntilIdle();
    EXPECT_EQ(pauses(), (std::vector<double>{0.05, 0.1}));
    EXPECT_TRUE(engine_->isRunning());

    engine_->stop();
    engine_->waitUntilIdle();
    EXPECT_FALSE(engine_->isRunning());
    EXPECT_FALSE(sim_->isRunning(kSpeakersID));
}

TEST_F(EngineLifecycleTest, FrequencyBecomesCentsLiveOrForTheNextStart) {
    for (const auto& [hz, cents] :
         {std::pair{880.0, 1200.0F}, std::pair{220.0, -1200.0F}, std::pair{432.0, -31.766653F}}) {
        engine_->setFrequency(hz);
        EXPECT_FLOAT_EQ(engine_->pitchCents(), cents) << hz;
    }
    EXPECT_EQ(logLines().back(), "🎵 [FREQ] 432.0 Hz = -31.766653 cents");
    engine_->setFrequency(440.5);
    EXPECT_NEAR(engine_->pitchCents(), 1.966194, 1e-5);

    engine_->setFrequency(432.0);
    connectAndStart();
    EXPECT_TRUE(contains(logLines(),
                         "✅ [TIMEPITCH] Created with pitch -31.766653 cents, "
                         "overlap=32 (max quality)"));
    engine_->setFrequency(440.0);
    EXPECT_EQ(logLines().back(), "🎵 [FREQ] 440.0 Hz = 0.0 cents (updated live)");
}

struct CreationFailure {
    const char* name;
    hal::sim::UnitFault fault;
    const char* unitLine;  // empty: the unit logs nothing of its own
    const char* startLine;
};

class EngineCreationFailureTest : public EngineLifecycleTest,
                                  public ::testing::WithParamInterface<CreationFailure> {};

TEST_P(EngineCreationFailureTest, EndsTheStartWithItsLinesAndLeavesNothingRunning) {
    sim_->failUnitCall(GetParam().fault);
    connectAndStart();
    const Lines lines = logLines();
    ASSERT_GE(lines.size(), 2U);
    EXPECT_EQ(lines.back(), GetParam().startLine);
    if (*GetParam().unitLine != '\0') {
        EXPECT_EQ(lines[lines.size() - 2], GetParam().unitLine);
    }
    EXPECT_FALSE(engine_->isRunning());

    // The next start disposes the leftovers and succeeds once the fault is gone.
    sim_->clearFaults();
    startAndLog();
    EXPECT_TRUE(engine_->isRunning());
}

namespace {

using Kind = hal::UnitCallKind;

// A failing call on the time-pitch unit (no device) or on the input (62) or output (57) unit.
hal::sim::UnitFault fault(hal::OSType type, Kind kind, hal::OSStatus status,
                          std::optional<hal::AudioDeviceID> device = std::nullopt,
                          std::optional<hal::UInt32> property = std::nullopt) {
    hal::sim::UnitFault f;
    f.componentType = type;
    f.kind = kind;
    f.status = status;
    f.device = device;
    f.propertyOrParameter = property;
    return f;
}
hal::sim::UnitFault inputUnitFault(Kind kind, hal::OSStatus status) {
    return fault(hal::kAudioUnitType_Output, kind, status, 62);
}
hal::sim::UnitFault outputUnitFault(Kind kind, hal::OSStatus status,
                                    std::optional<hal::UInt32> property = std::nullopt) {
    return fault(hal::kAudioUnitType_Output, kind, status, 57, property);
}

}  // namespace

INSTANTIATE_TEST_SUITE_P(
    EveryFailurePoint, EngineCreationFailureTest,
    ::testing::Values(
        CreationFailure{"TimePitchCreate",
                        fault(hal::kAudioUnitType_FormatConverter, Kind::instanceNew, -10875),
                        "❌ [TIMEPITCH] Create failed: -10875", "❌ [START] TimePitch failed"},
        CreationFailure{"TimePitchCallback",
                        fault(hal::kAudioUnitType_FormatConverter, Kind::setProperty, -10879,
                              std::nullopt, hal::kAudioUnitProperty_SetRenderCallback),
                        "❌ [TIMEPITCH] Callback failed: -10879", "❌ [START] TimePitch failed"},
        CreationFailure{"TimePitchInit",
                        fault(hal::kAudioUnitType_FormatConverter, Kind::initialize, -10875),
                        "❌ [TIMEPITCH] Init failed: -10875", "❌ [START] TimePitch failed"},
        CreationFailure{"InputInit", inputUnitFault(Kind::initialize, -10875), "",
                        "❌ [START] Input failed"},
        CreationFailure{"OutputInstance",
                        [] {
                            auto f = fault(hal::kAudioUnitType_Output, Kind::instanceNew, -10875);
                            f.skip = 1;  // the input unit's instance is made first
                            return f;
                        }(),
                        "❌ [OUTPUT_CREATE] Instance creation failed: -10875",
                        "❌ [START] Output failed"},
        CreationFailure{"OutputDevice",
                        outputUnitFault(Kind::setProperty, 2003329396,
                                        hal::kAudioOutputUnitProperty_CurrentDevice),
                        "❌ [OUTPUT_CREATE] Failed setting device ID: 2003329396 - Device may "
                        "not support output",
                        "❌ [START] Output failed"},
        CreationFailure{
            "OutputFormat",
            outputUnitFault(Kind::setProperty, -10868, hal::kAudioUnitProperty_StreamFormat),
            "❌ [OUTPUT_CREATE] Failed setting StreamFormat (Input Scope): -10868 - "
            "Format not supported by device",
            "❌ [START] Output failed"},
        CreationFailure{
            "OutputCallback",
            outputUnitFault(Kind::setProperty, -10879, hal::kAudioUnitProperty_SetRenderCallback),
            "❌ [OUTPUT_CREATE] Failed setting RenderCallback: -10879", "❌ [START] Output failed"},
        CreationFailure{"OutputInit", outputUnitFault(Kind::initialize, -10875),
                        "❌ [OUTPUT_CREATE] Initialize failed: -10875", "❌ [START] Output failed"},
        CreationFailure{"InputStart", inputUnitFault(Kind::start, -10867), "",
                        "❌ Input start: -10867"},
        CreationFailure{"OutputStart", outputUnitFault(Kind::start, -10867), "",
                        "❌ Output start: -10867"}),
    [](const auto& param) { return std::string(param.param.name); });

TEST_F(EngineLifecycleTest, MissingTimePitchComponentIsReported) {
    const hal::ScopedComponentRemoval removal({hal::kAudioUnitType_FormatConverter,
                                               hal::kAudioUnitSubType_NewTimePitch,
                                               hal::kAudioUnitManufacturer_Apple, 0, 0});
    connectAndStart();
    const Lines lines = logLines();
    EXPECT_EQ(Lines(lines.end() - 2, lines.end()),
              (Lines{"❌ [TIMEPITCH] No component found", "❌ [START] TimePitch failed"}));
}

TEST_F(EngineLifecycleTest, ChannelLinesFollowTheStreamConfiguration) {
    sim_->emptyStreamConfiguration(kSpeakersID, hal::kAudioObjectPropertyScopeOutput);
    connectAndStart();
    EXPECT_TRUE(contains(logLines(), "🎵 [OUTPUT_CREATE] Device output channels: 0"));

    sim_->clearFaults();
    sim_->failProperty({kSpeakersID, hal::kAudioDevicePropertyStreamConfiguration, std::nullopt,
                        hal::sim::PropertyFault::Call::anyRead,
                        hal::kAudioHardwareUnspecifiedError});
    for (const auto& line : startAndLog()) {
        EXPECT_EQ(line.find("Device output channels"), std::string::npos) << line;
    }
}
