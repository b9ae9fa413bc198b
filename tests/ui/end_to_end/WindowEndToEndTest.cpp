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
#include "platform/process/ProcessRunner.h"
#include "support/TemporaryDirectory.h"
#include "ui/end_to_end/ApplicationProcess.h"
#include "ui/end_to_end/X11WindowFinder.h"

namespace brimo::testing {
namespace {

using namespace std::chrono_literals;

// The power button's centre in the window (the power area's layout is fixed at 420 × 620).
constexpr int kPowerButtonX = 210;
constexpr int kPowerButtonY = 312;
// How long one step may take: generous, for a machine busy with other builds.
constexpr auto kStep = 30s;

std::string run(const std::vector<std::string>& command) {
    const auto result = process::runProgram(command);
    EXPECT_EQ(result.exitStatus, 0) << command[0] << ": " << result.errorText;
    std::string output = result.output;
    while (!output.empty() && output.back() == '\n') {
        output.pop_back();
    }
    return output;
}

std::string defaultSink() {
    return run({"pactl", "get-default-sink"});
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
        kind_ =
            run({"sh", "-c", "pactl info | grep -q PipeWire && echo pipewire || echo pulseaudio"});
    }
    void TearDown() override {
        app_.reset();
        if (!IsSkipped()) {
            pactl({"set-default-sink", "speakers"});
        }
    }

    void launch() {
        app_ = std::make_unique<ApplicationProcess>(BRIMO_APPLICATION, work_.path() / "app.log");
        ASSERT_TRUE(app_->started());
        // A start on a loaded machine (GStreamer's registry, the shaders) can take many seconds.
        const auto window = waitForMappedWindow(app_->pid(), "Brimola Vetrix", 60s);
        ASSERT_TRUE(window.has_value()) << "no window appeared\n" << app_->output();
        window_ = *window;
    }
    void screenshot(const std::string& state) {
        // A window still drawing its first frame is all black (a tiny PNG): try again a while.
        const std::string path = shots_ + "/end-to-end-" + kind_ + "-" + state + ".png";
        for (int attempt = 0; attempt < 20; ++attempt) {
            std::this_thread::sleep_for(500ms);
            run({"import", "-window", window_, path});
            std::error_code error;
            if (std::filesystem::file_size(path, error) > 4096) {
                return;
            }
        }
    }
    void clickPowerButton() {
        run({"xdotool", "mousemove", "--window", window_, std::to_string(kPowerButtonX),
             std::to_string(kPowerButtonY), "click", "1"});
    }

    TemporaryDirectory work_;
    std::unique_ptr<ApplicationProcess> app_;
    std::string window_;
    std::string shots_;
    std::string kind_;
};

TEST_F(WindowEndToEndTest, TheScreenFollowsTheSystemOutputAndQuitRestoresIt) {
    launch();
    ASSERT_TRUE(app_->waitFor("Brimola Vetrix selected as output: false", kStep)) << app_->output();
    screenshot("output-card");

    pactl({"set-default-sink", "brimola_vetrix"});
    const auto chosen = std::chrono::steady_clock::now();
    // The screen shows the power area as soon as the manager sees the new output.
    ASSERT_TRUE(app_->waitFor("Brimola Vetrix selected as output: true", kStep)) << app_->output();
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - chosen).count();
    // The listener answers at once and the poll within 0.5 s; a busy machine adds its delay.
    std::printf("power area %.3f s after \"Brimola Vetrix\" became the output\n", seconds);
    EXPECT_LT(seconds, 5.0);
    ASSERT_TRUE(app_->waitFor("✅ [AUTO_START] Engine started in passthrough mode", kStep))
        << app_->output();
    screenshot("power-off");

    EXPECT_EQ(app_->stop(SIGTERM), 0);
    EXPECT_TRUE(eventually([] { return defaultSink() == "speakers"; }, 5s));
    EXPECT_EQ(app_->count("[QUIT] System output moved from 'Brimola Vetrix' to 'speakers'"), 1U)
        << app_->output();

    // The next start takes the output back and runs the engine again.
    launch();
    EXPECT_TRUE(app_->waitFor("[RESTORE] System output moved back to 'Brimola Vetrix'", kStep))
        << app_->output();
    EXPECT_TRUE(eventually([] { return defaultSink() == "brimola_vetrix"; }, 5s));
    EXPECT_TRUE(app_->waitFor("✅ [AUTO_START] Engine started in passthrough mode", kStep));
    EXPECT_EQ(app_->stop(SIGINT), 0);
    EXPECT_TRUE(eventually([] { return defaultSink() == "speakers"; }, 5s));
}

TEST_F(WindowEndToEndTest, AClickRetunesTheSpeakers) {
    // Switching on needs a signed-in user: the test command runs a private account service and
    // starts the application with that account's session stored (with-account-service).
    launch();
    pactl({"set-default-sink", "brimola_vetrix"});
    ASSERT_TRUE(app_->waitFor("✅ [AUTO_START] Engine started in passthrough mode", kStep))
        << app_->output();
    clickPowerButton();
    ASSERT_TRUE(app_->waitFor("[PITCH_FADE] Fade complete at 432.0", kStep)) << app_->output();
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
