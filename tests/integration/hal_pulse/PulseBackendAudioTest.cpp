#include <gtest/gtest.h>

#include <cstdio>
#include <thread>

#include "integration/hal_pulse/AudioClients.h"
#include "integration/hal_pulse/BackendQueries.h"
#include "integration/hal_pulse/PrivateAudioServer.h"
#include "integration/hal_pulse/ToneAnalysis.h"
#include "platform/hal/pulse/PulseAudioBackend.h"
#include "support/TemporaryDirectory.h"

namespace brimo::testing {
namespace {

using hal::pulse::PulseAudioBackend;
using std::chrono_literals::operator""ms;
using std::chrono_literals::operator""s;

class PulseBackendAudio : public PrivateAudioServerTest {
  protected:
    void SetUp() override {
        PrivateAudioServerTest::SetUp();
        if (IsSkipped()) {
            return;
        }
        backend = PulseAudioBackend::create();
        ASSERT_TRUE(backend->isConnected());
        brimola = deviceWithUid(*backend, "brimola_vetrix");
        speakers = deviceWithUid(*backend, "speakers");
        ASSERT_NE(brimola, kAudioObjectUnknown);
        ASSERT_NE(speakers, kAudioObjectUnknown);
        ASSERT_EQ(backend->deviceIOFormat(speakers, format), noErr);
    }

    void report(const char* what) {
        const auto stats = backend->statistics();
        std::printf(
            "%s: captured %llu, played %llu frames; %llu underruns, %llu overruns, "
            "%llu hole frames, largest call %u frames\n",
            what, static_cast<unsigned long long>(stats.framesCaptured),
            static_cast<unsigned long long>(stats.framesPlayed),
            static_cast<unsigned long long>(stats.playbackUnderruns),
            static_cast<unsigned long long>(stats.captureOverruns),
            static_cast<unsigned long long>(stats.captureHoleFrames), stats.largestCallbackFrames);
    }

    std::shared_ptr<PulseAudioBackend> backend;
    AudioDeviceID brimola = kAudioObjectUnknown;
    AudioDeviceID speakers = kAudioObjectUnknown;
    DeviceIOFormat format;
};

TEST_F(PulseBackendAudio, CarriesAToneFromBrimolaVetrixOntoSpeakers) {
    const double rate = format.sampleRate;
    SampleFifo fifo(static_cast<std::size_t>(rate) * 2 * 2);
    CaptureIntoFifo capture(fifo);
    PlayFromFifo playback(fifo, 2 * format.bufferFrameSize * 2);
    Recorder speakersMonitor(static_cast<std::size_t>(rate * 10));

    ASSERT_EQ(backend->startDeviceIO(speakers, speakersMonitor, true, false), noErr);
    ASSERT_EQ(backend->startDeviceIO(brimola, capture, true, false), noErr);
    ASSERT_EQ(backend->startDeviceIO(speakers, playback, false, true), noErr);

    TemporaryDirectory directory;
    const std::string tone = (directory.path() / "tone.wav").string();
    writeToneWav(tone, 440.0, 3.0, 48000, 0.5);
    std::thread player([&] { process::runProgram({"paplay", "-d", "brimola_vetrix", tone}); });

    // An idle null sink may hold a new monitor stream back for a while: wait for the sound.
    const bool heard = eventually([&] { return speakersMonitor.heardAnything(0.1F); }, 8s);
    const auto atOnset = backend->statistics();
    std::this_thread::sleep_for(1s);
    const auto captureLatency = backend->latency(brimola, capture);
    const auto playbackLatency = backend->latency(speakers, playback);
    player.join();
    std::this_thread::sleep_for(300ms);
    backend->stopDeviceIO(speakers, playback);
    backend->stopDeviceIO(brimola, capture);
    backend->stopDeviceIO(speakers, speakersMonitor);
    ASSERT_TRUE(heard) << "nothing arrived on the speakers' monitor";

    const auto samples = speakersMonitor.samples();
    const auto onset = firstSound(samples, 0.1F).value_or(0);
    const auto window = static_cast<std::size_t>(rate / 4);
    const auto interior = onset + static_cast<std::size_t>(rate / 2);
    ASSERT_GE(samples.size(), interior + 6 * window) << "the tone arrived cut short";
    for (int i = 0; i < 6; ++i) {
        const double hz = zeroCrossingFrequency(
            samples, interior + static_cast<std::size_t>(i) * window, window, rate);
        EXPECT_NEAR(hz, 440.0, 0.1) << "window " << i;
    }
    const auto disturbed = disturbedPeriods(samples, interior, 6 * window, rate, 440.0);
    EXPECT_NEAR(peak(samples), 0.5F, 0.02F);
    EXPECT_LE(backend->statistics().largestCallbackFrames, format.bufferFrameSize);
    EXPECT_FALSE(capture.stopped || playback.stopped || speakersMonitor.stopped);

    const auto atEnd = backend->statistics();
    std::printf(
        "latency: capture %.1f ms, playback %.1f ms; %zu disturbed periods in 1.5 s; "
        "while the tone ran: %llu underruns, %llu overruns, %zu playback shortfalls\n",
        captureLatency.captureSeconds * 1e3, playbackLatency.playbackSeconds * 1e3, disturbed,
        static_cast<unsigned long long>(atEnd.playbackUnderruns - atOnset.playbackUnderruns),
        static_cast<unsigned long long>(atEnd.captureOverruns - atOnset.captureOverruns),
        playback.shortfalls.load());
    report("tone");
}

TEST_F(PulseBackendAudio, RemovingSpeakersEndsPlaybackWithoutFeedback) {
    // The dangerous case: were our stream moved, it would land on the default sink and feed
    // the virtual device we capture.
    pactl({"set-default-sink", "brimola_vetrix"});
    ToneSource tone(1000.0);
    Recorder brimolaMonitor(static_cast<std::size_t>(format.sampleRate * 10));
    ListenerProbe alive;
    ASSERT_EQ(backend->addPropertyListener(speakers, address(kAudioDevicePropertyDeviceIsAlive),
                                           &ListenerProbe::heard, &alive),
              noErr);
    ASSERT_EQ(backend->startDeviceIO(brimola, brimolaMonitor, true, false), noErr);
    ASSERT_EQ(backend->startDeviceIO(speakers, tone, false, true), noErr);
    // Both streams must really run (idle null sinks start late) before the sink goes.
    const auto quarterSecond = static_cast<std::uint64_t>(format.sampleRate / 4);
    ASSERT_TRUE(eventually(
        [&] {
            return brimolaMonitor.recordedFrames() > 0 &&
                   backend->statistics().framesPlayed > quarterSecond;
        },
        5s));

    pactl({"unload-module", nullSinkModule("speakers").value_or("none")});
    EXPECT_TRUE(eventually([&] { return tone.stopped.load(); }, 3s));
    EXPECT_EQ(tone.stopReason.load(), kAudioHardwareBadDeviceError);
    EXPECT_TRUE(eventually([&] { return alive.calls.load() == 1; }, 3s));
    EXPECT_EQ(deviceWithUid(*backend, "speakers"), kAudioObjectUnknown);
    std::this_thread::sleep_for(1s);

    backend->stopDeviceIO(speakers, tone);
    backend->stopDeviceIO(brimola, brimolaMonitor);
    backend->removePropertyListener(speakers, address(kAudioDevicePropertyDeviceIsAlive),
                                    &ListenerProbe::heard, &alive);
    EXPECT_FALSE(brimolaMonitor.stopped.load());
    EXPECT_GT(brimolaMonitor.recordedFrames(), 0U);
    EXPECT_LT(peak(brimolaMonitor.samples()), 1e-3F) << "our output fed back into the device";
    EXPECT_GE(backend->statistics().killedStreams, 1U);
    report("removal");

    loadNullSink("speakers", "speakers");
    pactl({"set-default-sink", "speakers"});
}

}  // namespace
}  // namespace brimo::testing
