#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>

#include "integration/app_audio/ToneCapture.h"
#include "integration/hal_pulse/HalQueries.h"
#include "integration/hal_pulse/PrivateAudioServer.h"
#include "platform/hal/pulse/PulseAudioBackend.h"
#include "support/TemporaryDirectory.h"
#include "ui/end_to_end/WindowSession.h"

namespace brimo::testing {
namespace {

using namespace std::chrono_literals;

// The power button's centre in the window (the power area's layout is fixed at 420 × 620).
constexpr int kPowerButtonX = 210;
constexpr int kPowerButtonY = 312;
// How long one step may take: generous, for a machine busy with other builds.
constexpr auto kStep = 30s;

std::string defaultSink() {
    return runCommand({"pactl", "get-default-sink"});
}

// The application as a user runs it, on a virtual X server and a private audio server: the
// cards, the power area, a click through the X server, the re-tuned tone on the speakers, and
// the system output handed back at quit and taken again at the next start.
class WindowEndToEndTest : public PrivateAudioServerTest {
  protected:
    void SetUp() override {
        PrivateAudioServerTest::SetUp();
        if (IsSkipped()) {
            return;
        }
        // The environment is read before any other thread runs.
        ASSERT_NE(std::getenv("DISPLAY"), nullptr)  // NOLINT(concurrency-mt-unsafe)
            << "run under tests/ui/with-xvfb";
        pactl({"set-default-sink", "speakers"});
        // What a quit remembers for the next start belongs to this test alone, not to the next
        // test on the same audio server.
        std::filesystem::create_directories(work_.path() / "state");
        // NOLINTNEXTLINE(concurrency-mt-unsafe): no other thread runs yet
        ::setenv("XDG_STATE_HOME", (work_.path() / "state").c_str(), 1);
        const char* shots = std::getenv("BRIMO_UI_SCREENSHOTS");  // NOLINT(concurrency-mt-unsafe)
        shots_ = shots != nullptr ? shots : std::filesystem::current_path().string();
        std::filesystem::create_directories(shots_);
        kind_ = runCommand(
            {"sh", "-c", "pactl info | grep -q PipeWire && echo pipewire || echo pulseaudio"});
    }
    void TearDown() override {
        session_.close();
        if (!IsSkipped()) {
            pactl({"set-default-sink", "speakers"});
        }
    }

    void launch() { session_.launch(work_.path() / "app.log"); }
    [[nodiscard]] ApplicationProcess& app() const { return session_.app(); }
    void screenshot(const std::string& state) const {
        session_.screenshot(shots_ + "/end-to-end-" + kind_ + "-" + state + ".png");
    }

    TemporaryDirectory work_;
    WindowSession session_;
    std::string shots_;
    std::string kind_;
};

TEST_F(WindowEndToEndTest, TheScreenFollowsTheSystemOutputAndQuitRestoresIt) {
    launch();
    ASSERT_TRUE(app().waitFor("Brimola Vetrix selected as output: false", kStep)) << app().output();
    screenshot("output-card");

    pactl({"set-default-sink", "brimola_vetrix"});
    const auto chosen = std::chrono::steady_clock::now();
    // The screen shows the power area as soon as the manager sees the new output.
    ASSERT_TRUE(app().waitFor("Brimola Vetrix selected as output: true", kStep)) << app().output();
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - chosen).count();
    // The listener answers at once and the poll within 0.5 s; a busy machine adds its delay.
    std::printf("power area %.3f s after \"Brimola Vetrix\" became the output\n", seconds);
    EXPECT_LT(seconds, 5.0);
    ASSERT_TRUE(app().waitFor("✅ [AUTO_START] Engine started in passthrough mode", kStep))
        << app().output();
    screenshot("power-off");

    EXPECT_EQ(app().stop(SIGTERM), 0);
    EXPECT_TRUE(eventually([] { return defaultSink() == "speakers"; }, 5s));
    EXPECT_EQ(app().count("[QUIT] System output moved from 'Brimola Vetrix' to 'speakers'"), 1U)
        << app().output();

    // The next start takes the output back and runs the engine again.
    launch();
    EXPECT_TRUE(app().waitFor("[RESTORE] System output moved back to 'Brimola Vetrix'", kStep))
        << app().output();
    EXPECT_TRUE(eventually([] { return defaultSink() == "brimola_vetrix"; }, 5s));
    EXPECT_TRUE(app().waitFor("✅ [AUTO_START] Engine started in passthrough mode", kStep));
    EXPECT_EQ(app().stop(SIGINT), 0);
    EXPECT_TRUE(eventually([] { return defaultSink() == "speakers"; }, 5s));
}

TEST_F(WindowEndToEndTest, AClickRetunesTheSpeakers) {
    // Switching on needs a signed-in user: the test command runs a private account service and
    // starts the application with that account's session stored (with-account-service).
    launch();
    pactl({"set-default-sink", "brimola_vetrix"});
    ASSERT_TRUE(app().waitFor("✅ [AUTO_START] Engine started in passthrough mode", kStep))
        << app().output();
    session_.click(kPowerButtonX, kPowerButtonY);
    ASSERT_TRUE(app().waitFor("[PITCH_FADE] Fade complete at 432.0", kStep)) << app().output();
    screenshot("power-on");

    // Listen from outside the application, as the speakers would.
    auto backend = hal::pulse::PulseAudioBackend::create();
    {
        const hal::ScopedAudioHardwareBackend installation(backend);
        const auto brimola = deviceWithUid("brimola_vetrix");
        const auto speakers = deviceWithUid("speakers");
        const auto heard = playToneAndRecord(
            {brimola, speakers}, 432.0, 3.0,
            [](const std::function<bool()>& done, std::chrono::milliseconds timeout) {
                return eventually(done, timeout);
            });
        ASSERT_TRUE(heard[1].arrived) << "nothing arrived on the speakers";
        EXPECT_NEAR(heard[1].frequencyHz, 432.0, 0.1);
        std::printf("440 Hz into \"Brimola Vetrix\" came out of \"speakers\" at %.3f Hz\n",
                    heard[1].frequencyHz);
    }
    backend.reset();
}

}  // namespace
}  // namespace brimo::testing
