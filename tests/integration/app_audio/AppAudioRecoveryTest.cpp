#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <optional>
#include <string>

#include "integration/app_audio/AppAudioFixture.h"
#include "integration/hal_pulse/AudioClients.h"
#include "integration/hal_pulse/HalUnit.h"
#include "support/ToneAnalysis.h"

namespace brimo::testing {
namespace {

using namespace std::chrono_literals;

constexpr double kRate = 48000.0;

// Where in `heard` (from `from` on) the tone is first clean again: a 50 ms window at the
// expected frequency and at least half its level. In seconds after `from`.
std::optional<double> toneBackAfter(const std::vector<float>& heard, std::size_t from,
                                    double expectedHz) {
    constexpr std::size_t window = 2400;
    constexpr std::size_t hop = 240;
    for (std::size_t at = from; at + window <= heard.size(); at += hop) {
        const auto part = slice(heard, at, window);
        if (peak(part) >= 0.2F && std::fabs(toneFrequency(part, kRate) - expectedHz) < 5.0) {
            return static_cast<double>(at - from) / kRate;
        }
    }
    return std::nullopt;
}

// A sink PipeWire itself owns (a sound card's node stands so), destroyed by its node ID.
class LingeringSink {
  public:
    LingeringSink(const std::string& dir, const std::string& name) {
        const auto made =
            process::runProgram({BRIMO_AUDIO_SERVERS_SCRIPT, "linger-sink", dir, name});
        if (made.exitStatus == 0) {
            node_ = made.output.substr(0, made.output.find('\n'));
        }
    }
    ~LingeringSink() {
        if (!node_.empty()) {
            process::runProgram({"pw-cli", "destroy", node_});
        }
    }
    LingeringSink(const LingeringSink&) = delete;
    LingeringSink& operator=(const LingeringSink&) = delete;
    LingeringSink(LingeringSink&&) = delete;
    LingeringSink& operator=(LingeringSink&&) = delete;

    [[nodiscard]] bool made() const { return !node_.empty(); }

  private:
    std::string node_;
};

class AppAudioRecovery : public AppAudioTest {
  protected:
    // The engine in passthrough, carrying a tone the test plays into "Brimola Vetrix" for as
    // long as the fixture lives, onto `output`, whose monitor is recorded.
    void startCarryingTone(AudioDeviceID output) {
        pactl({"set-default-sink", "brimola_vetrix"});
        ASSERT_TRUE(pumpUntil([&] { return engineRuns(); }, kPatience));
        player.emplace(brimola, tone, kRate);
        heard.emplace(output, recorder, kRate);
        ASSERT_EQ(player->start(), noErr);
        ASSERT_EQ(heard->start(), noErr);
        ASSERT_TRUE(pumpUntil([&] { return recorder.heardAnything(0.2F); }, kPatience))
            << "the tone never reached the output";
    }

    // How long after this call the tone is clean on the recorded output again (within 3 s).
    std::optional<double> measureToneBack() {
        const std::size_t mark = recorder.recordedFrames();
        pumpUntil([&] { return recorder.recordedFrames() >= mark + 3 * 48000; }, 6s);
        return toneBackAfter(recorder.samples(), mark, 440.0);
    }

    ToneSource tone{440.0};
    Recorder recorder{48000 * 60};
    std::optional<HalUnit> player;
    std::optional<HalUnit> heard;
};

// An idle-suspend of "Brimola Vetrix" and its resume (`pactl suspend-sink`). PipeWire runs the
// node again at once (its streams are linked), so its state never reads suspended, but the
// suspend leaves the link to a capture stream paused for good: made before, the stream hears
// only zeros ever after. The sound must be back within a second of the resume, on both servers.
TEST_F(AppAudioRecovery, ToneIsBackWithinASecondOfAResume) {
    startCarryingTone(speakers);
    ASSERT_FALSE(HasFatalFailure());
    pumpFor(500ms);
    pactl({"suspend-sink", "brimola_vetrix", "1"});
    pumpFor(500ms);
    pactl({"suspend-sink", "brimola_vetrix", "0"});
    const auto back = measureToneBack();
    ASSERT_TRUE(back.has_value()) << "no clean tone on the speakers within 3 s of the resume ("
                                  << backend->statistics().captureReconnects
                                  << " capture reconnections)";
    std::printf(
        "the tone was back %.0f ms after the resume (%llu capture reconnections, %llu relinks)\n",
        *back * 1000.0, static_cast<unsigned long long>(backend->statistics().captureReconnects),
        static_cast<unsigned long long>(backend->statistics().captureRelinks));
    EXPECT_LE(*back, 1.0);
    EXPECT_TRUE(engineRuns());
}

// pipewire-pulse restarted alone (an upgrade does it): PipeWire and the sound card's node stay,
// the connection and every stream of ours go. Every device there must be found again and the
// engine run on the same output again within a second of the server answering.
TEST_F(AppAudioRecovery, EngineRunsAgainWithinASecondOfAPulseServerRestart) {
    const std::string dir = serverDirectory();
    if (serverKind(dir) != "pipewire") {
        GTEST_SKIP() << "only PipeWire has a PulseAudio server of its own to restart";
    }
    LingeringSink card(dir, "headphones");
    ASSERT_TRUE(card.made());
    AudioDeviceID headphones = kAudioObjectUnknown;
    ASSERT_TRUE(
        pumpUntil([&] { return (headphones = deviceWithUid("headphones")) != 0; }, kPatience));
    pactl({"set-default-sink", "brimola_vetrix"});
    ASSERT_TRUE(pumpUntil([&] { return engineRuns(); }, kPatience));
    manager->refreshDevices();
    for (const auto& device : manager->outputDevices().value()) {
        if (device.uid == "headphones") {
            manager->selectOutputDevice(device);
        }
    }
    ASSERT_TRUE(pumpUntil(
        [&] { return engineRuns() && manager->audioEngine().outputDeviceID() == headphones; },
        kPatience));

    const auto restart = process::runProgram({BRIMO_AUDIO_SERVERS_SCRIPT, "restart-pulse", dir});
    ASSERT_EQ(restart.exitStatus, 0) << restart.errorText;
    const auto restarted = std::chrono::steady_clock::now();
    const bool back = pumpUntil(
        [&] {
            const AudioDeviceID output = deviceWithUid("headphones");
            return output != kAudioObjectUnknown && engineRuns() &&
                   manager->audioEngine().outputDeviceID() == output &&
                   manager->audioEngine().inputDeviceID() == deviceWithUid("brimola_vetrix");
        },
        kPatience);
    const double took =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - restarted).count();
    ASSERT_TRUE(back) << "the engine did not run on the headphones again within "
                      << kPatience.count() << " ms";
    std::printf("the engine ran again %.0f ms after pipewire-pulse answered\n", took * 1000.0);
    EXPECT_LE(took, 1.0);
    bool found = false;
    for (const auto& device : manager->outputDevices().value()) {
        found = found || device.uid == "headphones";
    }
    EXPECT_TRUE(found) << "the manager's device list lacks the headphones";
    const auto afterRestart = playTone({deviceWithUid("headphones")}, 440.0, 2.0)[0];
    EXPECT_TRUE(afterRestart.arrived) << "nothing reached the headphones after the restart";
    EXPECT_NEAR(afterRestart.frequencyHz, 440.0, 1.0);
}

}  // namespace
}  // namespace brimo::testing
