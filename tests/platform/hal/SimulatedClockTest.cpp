#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <iterator>
#include <mutex>
#include <set>
#include <thread>

#include "platform/hal/HalTestSupport.h"
#include "platform/hal/UnitHarness.h"
#include "platform/hal/sim/ScopedSimulatedBackend.h"
#include "support/ToneAnalysis.h"

namespace brimo::hal {
namespace {

using sim::DeviceConfig;
using test::PlaybackHarness;
using test::ramp;

// Every render callback, with its device's time stamp.
struct Timeline {
    std::mutex mutex;
    struct Entry {
        int device;
        AudioTimeStamp time;
        std::thread::id thread;
    };
    std::vector<Entry> entries;
};

struct Listener {
    Timeline* timeline;
    int device;
};

OSStatus note(void* refCon, AudioUnitRenderActionFlags*, const AudioTimeStamp* time, UInt32, UInt32,
              AudioBufferList*) {
    auto* l = static_cast<Listener*>(refCon);
    const std::lock_guard guard(l->timeline->mutex);
    l->timeline->entries.push_back({l->device, *time, std::this_thread::get_id()});
    return noErr;
}

AudioUnit startNoting(AudioDeviceID device, Listener& listener) {
    AudioUnit unit =
        test::newPlaybackUnit(device, floatStreamFormat(48000.0, 2, true), {&note, &listener});
    EXPECT_EQ(test::initializeAndStart(unit), noErr);
    return unit;
}

TEST(SimulatedClock, EachDeviceRunsOnItsOwnDriftingClockAndCallbacksComeInTimeOrder) {
    const sim::ScopedSimulatedBackend sim;
    auto fastConfig = DeviceConfig::speakers("Fast", "f");
    fastConfig.driftPpm = 100.0;
    auto slowConfig = DeviceConfig::speakers("Slow", "s");
    slowConfig.driftPpm = -100.0;
    slowConfig.bufferFrameSize = 480;
    const AudioDeviceID fast = sim->addDevice(fastConfig);
    const AudioDeviceID slow = sim->addDevice(slowConfig);

    Timeline timeline;
    Listener fastListener{&timeline, 0};
    Listener slowListener{&timeline, 1};
    AudioUnit a = startNoting(fast, fastListener);
    AudioUnit b = startNoting(slow, slowListener);
    sim->advanceSeconds(20.0);

    // Cycle k of a device is due at k × frames / (rate × (1 + ppm)); every cycle due by the end
    // of the span has run, cycle 0 at the start.
    auto expectedCycles = [](double frames, double ppm) {
        return static_cast<UInt64>(std::floor(20.0 * 48000.0 * (1.0 + ppm * 1e-6) / frames)) + 1;
    };
    EXPECT_EQ(sim->cycleCount(fast), expectedCycles(512, 100.0));
    EXPECT_EQ(sim->cycleCount(slow), expectedCycles(480, -100.0));
    EXPECT_EQ(sim->now(), 20'000'000'000U);

    // Host time and sample time agree through the drifted rate, to the nanosecond.
    UInt64 lastHostTime = 0;
    for (const auto& e : timeline.entries) {
        ASSERT_GE(e.time.mHostTime, lastHostTime);
        lastHostTime = e.time.mHostTime;
        EXPECT_EQ(e.thread, std::this_thread::get_id()) << "stepped callbacks run on the caller";
        EXPECT_DOUBLE_EQ(e.time.mRateScalar, e.device == 0 ? 1.0001 : 0.9999);
        ASSERT_NEAR(static_cast<double>(e.time.mHostTime),
                    e.time.mSampleTime / (48000.0 * e.time.mRateScalar) * 1e9, 1.0);
    }
    AudioComponentInstanceDispose(a);
    AudioComponentInstanceDispose(b);
}

constexpr auto kPrefill = static_cast<std::ptrdiff_t>(test::LoopbackChain::kPrefill);

std::vector<float> runChain(double seconds) {
    const sim::ScopedSimulatedBackend sim;
    const AudioDeviceID vetrix = sim->addDevice(DeviceConfig::loopbackDevice("Vetrix", "v"));
    const AudioDeviceID speakers = sim->addDevice(DeviceConfig::speakers("Speakers", "s"));
    sim->play(vetrix, sim::Signal::tone(440.0, 0.25F));
    const test::LoopbackChain chain(vetrix, speakers);
    sim->advanceSeconds(seconds);
    return sim->recording(speakers).samples;
}

TEST(SimulatedClock, SteppedRunsAreRepeatableToTheSampleAndLoopbackIsLossless) {
    const auto first = runChain(1.0);
    const auto second = runChain(1.0);
    EXPECT_EQ(first, second);

    // The speakers play the tone exactly, 4800 frames late.
    const sim::ScopedSimulatedBackend reference;
    const AudioDeviceID d = reference->addDevice(DeviceConfig::speakers("Reference", "r"));
    reference->play(d, sim::Signal::tone(440.0, 0.25F));
    reference->advanceSeconds(1.0);
    const auto tone = reference->recording(d).samples;
    ASSERT_EQ(tone.size(), first.size());
    EXPECT_TRUE(
        std::all_of(first.begin(), first.begin() + kPrefill, [](float s) { return s == 0; }));
    EXPECT_TRUE(std::equal(first.begin() + kPrefill, first.end(), tone.begin()));
}

TEST(SimulatedClock, FormatChangesWhileRunningKeepTheStreamContinuous) {
    const sim::ScopedSimulatedBackend sim;
    const AudioDeviceID speakers = sim->addDevice(DeviceConfig::speakers("Speakers", "s"));
    PlaybackHarness unit(speakers, floatStreamFormat(48000.0, 2, true), &ramp);
    ASSERT_EQ(unit.start(), noErr);
    sim->advanceSeconds(0.1);
    sim->setBufferFrameSize(speakers, 128);
    sim->advanceSeconds(0.1);

    const auto played = sim->recording(speakers);
    for (SInt64 f = 0; f < played.frames(); ++f) {
        ASSERT_EQ(played.samples[2 * f], ramp(0, played.firstFrame + f, 0)) << f;
    }
    // 0.1 s of 512-frame cycles, then 128-frame ones from the cycle that was due next.
    const SInt64 firstPart = SInt64{4800 / 512 + 1} * 512;
    const SInt64 secondPart = static_cast<SInt64>(std::floor((9600.0 - firstPart) / 128) + 1) * 128;
    EXPECT_EQ(played.framesPlayed, firstPart + secondPart);
}

OSStatus countChanges(AudioObjectID, UInt32, const AudioObjectPropertyAddress*, void* data) {
    static_cast<std::atomic<int>*>(data)->fetch_add(1);
    return noErr;
}

// Real time: a thread per running device, while the control thread changes the system under
// it. Run under ThreadSanitizer this shows the locking is sound.
TEST(SimulatedClock, RealTimeModeRunsEveryDeviceOnAThreadOfItsOwn) {
    const sim::ScopedSimulatedBackend sim(sim::ClockMode::realTime);
    auto small = [](DeviceConfig c) {
        c.bufferFrameSize = 256;
        return c;
    };
    const AudioDeviceID vetrix = sim->addDevice(small(DeviceConfig::loopbackDevice("Vetrix", "v")));
    const AudioDeviceID speakers = sim->addDevice(small(DeviceConfig::speakers("Speakers", "s")));
    const AudioDeviceID headphones =
        sim->addDevice(small(DeviceConfig::speakers("Headphones", "h")));
    sim->play(vetrix, sim::Signal::tone(440.0, 0.25F));

    std::atomic<int> changes{0};
    const auto defaultOutput = test::address(kAudioHardwarePropertyDefaultOutputDevice);
    ASSERT_EQ(AudioObjectAddPropertyListener(kAudioObjectSystemObject, &defaultOutput,
                                             &countChanges, &changes),
              noErr);

    Timeline timeline;
    Listener headphonesListener{&timeline, 2};
    {
        const test::LoopbackChain chain(vetrix, speakers);
        AudioUnit noting = startNoting(headphones, headphonesListener);
        const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(300);
        int round = 0;
        while (std::chrono::steady_clock::now() < until) {
            sim->setDefaultOutputDevice(round % 2 == 0 ? headphones : speakers);
            sim->renameDevice(speakers, round % 2 == 0 ? "Speakers" : "Speakers 2");
            if (round % 5 == 0) {
                sim->setNominalSampleRate(headphones, round % 10 == 0 ? 44100.0 : 48000.0);
                ASSERT_EQ(AudioOutputUnitStop(noting), noErr);
                ASSERT_EQ(AudioOutputUnitStart(noting), noErr);
            }
            (void)test::deviceList();
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
            ++round;
        }
        AudioComponentInstanceDispose(noting);
    }
    sim->waitForNotifications();
    EXPECT_GT(changes.load(), 10);
    EXPECT_GT(sim->cycleCount(vetrix), 0U);
    EXPECT_GT(sim->recording(speakers).framesPlayed, 0);
    EXPECT_GT(brimo::testing::rms(sim->recording(speakers).samples), 0.0);

    std::set<std::thread::id> threads;
    std::ranges::transform(timeline.entries, std::inserter(threads, threads.end()),
                           &Timeline::Entry::thread);
    EXPECT_EQ(threads.size(), 1U) << "one device, one thread";
    EXPECT_EQ(threads.count(std::this_thread::get_id()), 0U);
    AudioObjectRemovePropertyListener(kAudioObjectSystemObject, &defaultOutput, &countChanges,
                                      &changes);
}

}  // namespace
}  // namespace brimo::hal
