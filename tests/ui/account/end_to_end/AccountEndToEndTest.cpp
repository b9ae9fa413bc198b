#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <thread>

#include "platform/process/ProcessRunner.h"
#include "support/FileText.h"
#include "ui/account/end_to_end/AccountWindowTest.h"

namespace brimo::testing {
namespace {

using namespace std::chrono_literals;

constexpr auto kStep = kWindowStep;
constexpr const char* kPassword = "correcthorse-battery";

// Places in the window (420 × 620, laid out at fixed sizes), measured from the view tests'
// screenshots: the controls row's settings button, the settings panel's rows, the update
// alert's buttons, the reset panel's button and its confirmation's envelope.
struct Point {
    int x;
    int y;
};
constexpr Point kPowerButton{210, 312};
constexpr Point kSettingsButton{50, 551};
constexpr Point kContactRow{210, 236};
constexpr Point kLogoutRow{210, 292};
constexpr Point kUpdateButton{210, 390};
constexpr Point kLaterButton{150, 366};
constexpr Point kUpdateNowButton{246, 366};
// Inside "Update Now" above its text, and the Google button of the sign-in card under it.
constexpr Point kUpdateNowFill{270, 356};
constexpr Point kGoogleUnderAlert{100, 421};
constexpr Point kSendLinkButton{210, 360};
constexpr Point kSentEnvelope{195, 257};
// Inside the reset panel's gold button, left of its text.
constexpr Point kSendLinkGold{100, 367};
// The card's text field lies this far above the lower edge of its primary button (the upper
// edge blurs into the button's glow once it is enabled).
constexpr int kFieldAboveButtonBottom = 89;
// "Forgot password?" lies this far below the login step's primary button.
constexpr int kForgotBelowButton = 21;

// A new user signs up through the overlay by typing into the real window, switches the shift
// on, opens the settings panel, logs out, is refused with a wrong password, has a reset link
// mailed, and signs in again; every URL the application opens reaches a stand-in `xdg-open`.
class AccountEndToEndTest : public AccountWindowTest {
  protected:
    void SetUp() override {
        AccountWindowTest::SetUp();
        if (IsSkipped() || HasFatalFailure()) {
            return;
        }
        address_ = "listener.e2e+" + kind_ + "@brimo-test.example.io";
    }
    void checkEnvironment() override {
        ASSERT_FALSE(environmentValue("BRIMO_ACCOUNT_DATABASE").empty())
            << "run under with-account-service --signed-out --update VERSION";
    }
    // The desktop's URL opener, as the application finds it on PATH: it only records.
    void installUrlOpener(const std::filesystem::path& bin) override {
        record_ = work_.path() / "opened-urls";
        {
            std::ofstream opener(bin / "xdg-open");
            opener << "#!/bin/sh\nprintf '%s\\n' \"$*\" >>'" << record_.string() << "'\n";
        }
        std::filesystem::permissions(bin / "xdg-open", std::filesystem::perms::owner_all);
    }

    void launch() { session_.launch(work_.path() / "app.log"); }
    bool cardGone() {
        return windowShows([](const WindowPicture& picture) { return !cardLayout(picture); });
    }

    void click(Point at) const { session_.click(at.x, at.y); }
    void type(const std::string& text) { runCommand({"xdotool", "type", "--delay", "15", text}); }
    void key(const std::string& name) { runCommand({"xdotool", "key", name}); }

    [[nodiscard]] std::size_t openedCount(const std::string& url) const {
        std::istringstream lines(readFileText(record_));
        std::size_t count = 0;
        for (std::string line; std::getline(lines, line);) {
            count += line == url ? 1 : 0;
        }
        return count;
    }
    [[nodiscard]] int sessions() const {
        return accountServiceCount(
            "SELECT COUNT(*) FROM sessions s JOIN users u ON u.id = s.user_id "
            "WHERE u.email = '" +
            address_ + "'");
    }
    [[nodiscard]] std::size_t mails() const {
        std::size_t count = 0;
        std::error_code error;
        for (const auto& entry : std::filesystem::directory_iterator(
                 std::filesystem::path(environmentValue("BRIMO_ACCOUNT_MAILDIR")) / "new", error)) {
            count += readFileText(entry.path()).find(address_) != std::string::npos ? 1 : 0;
        }
        return count;
    }

    std::filesystem::path record_;
    std::string address_;
};

TEST_F(AccountEndToEndTest, ANewUserSignsUpTunesLogsOutAndSignsInAgain) {
    const std::string download = environmentValue("BRIMO_ACCOUNT_DOWNLOAD_URL");
    ASSERT_FALSE(download.empty());
    launch();

    // The service offers a newer version: its alert comes up over the sign-in overlay, which
    // fades in after the window's first frames (the Google button greyed under the alert).
    ASSERT_TRUE(windowShows([](const WindowPicture& p) {
        const Colour google = p.at(kGoogleUnderAlert.x, kGoogleUnderAlert.y);
        return p.at(kUpdateNowFill.x, kUpdateNowFill.y).isBlue() && google.isNeutral() &&
               google.red > 100 && google.red < 180;
    })) << app().output();
    screenshot("update-alert");
    click(kUpdateNowButton);
    ASSERT_TRUE(eventually([&] { return openedCount(download) == 1; }, kStep))
        << readFileText(record_);

    // E-mail step: an address not yet known leads to the register step.
    const auto email = waitForCard([](const CardLayout&) { return true; });
    ASSERT_TRUE(email.has_value()) << "no sign-in card";
    EXPECT_FALSE(email->goldEnabled) << "Continue is enabled without an address";
    screenshot("overlay-email");
    // The alert took the focus: back into the address field.
    click({210, email->goldBottom - kFieldAboveButtonBottom});
    type(address_);
    ASSERT_TRUE(waitForCard([](const CardLayout& c) { return c.goldEnabled; }));
    screenshot("overlay-email-typed");
    key("Return");
    const auto registering = waitForCard([&](const CardLayout& c) {
        return c.goldBottom > email->goldBottom + 8 && !c.goldEnabled;
    });
    ASSERT_TRUE(registering.has_value()) << "no register step";
    screenshot("overlay-register");

    // Seven characters: the orange hint pushes the button down; the eighth takes it away.
    type(std::string(kPassword).substr(0, 7));
    ASSERT_TRUE(waitForCard(
        [&](const CardLayout& c) { return c.goldBottom > registering->goldBottom + 6; }));
    screenshot("overlay-register-short-password");
    type(std::string(kPassword).substr(7, 1));
    ASSERT_TRUE(waitForCard([&](const CardLayout& c) {
        return std::abs(c.goldBottom - registering->goldBottom) <= 2;
    }));
    type(std::string(kPassword).substr(8));
    // A confirmation that differs shows the red hint until it matches.
    key("Tab");
    type(std::string(kPassword).substr(0, 4));
    ASSERT_TRUE(waitForCard(
        [&](const CardLayout& c) { return c.goldBottom > registering->goldBottom + 6; }));
    screenshot("overlay-register-mismatch");
    type(std::string(kPassword).substr(4));
    ASSERT_TRUE(waitForCard([&](const CardLayout& c) {
        return c.goldEnabled && std::abs(c.goldBottom - registering->goldBottom) <= 2;
    }));
    screenshot("overlay-register-ready");
    key("Return");
    ASSERT_TRUE(eventually([&] { return sessions() == 1; }, kStep)) << "no account was made";
    ASSERT_TRUE(eventually([&] { return tokenStored(); }, kStep));
    ASSERT_TRUE(cardGone()) << "the overlay stayed over a signed-in screen";
    screenshot("signed-in");

    // Signed in, the shift can be switched on.
    pactl({"set-default-sink", "brimola_vetrix"});
    ASSERT_TRUE(app().waitFor("✅ [AUTO_START] Engine started in passthrough mode", kStep))
        << app().output();
    click(kPowerButton);
    ASSERT_TRUE(app().waitFor("[PITCH_FADE] Fade complete at 432.0", kStep)) << app().output();
    screenshot("power-on");

    // The settings panel: contact, the update check that opens the download page and raises the
    // alert again, and the logout that switches the shift off.
    const auto panelShown = [](const WindowPicture& p) {
        return p.at(110, kContactRow.y).isPanelGrey() && p.at(110, kLogoutRow.y).isPanelGrey();
    };
    click(kSettingsButton);
    ASSERT_TRUE(windowShows(panelShown)) << "no settings panel";
    screenshot("settings-panel");
    click(kContactRow);
    ASSERT_TRUE(
        eventually([&] { return openedCount("mailto:support@brimolavetrix.com") == 1; }, kStep))
        << readFileText(record_);
    click(kUpdateButton);
    ASSERT_TRUE(eventually([&] { return openedCount(download) == 2; }, kStep))
        << readFileText(record_);
    ASSERT_TRUE(windowShows(
        [](const WindowPicture& p) { return p.at(kUpdateNowFill.x, kUpdateNowFill.y).isBlue(); }));
    screenshot("update-alert-from-settings");
    click(kLaterButton);
    ASSERT_TRUE(windowShows(panelShown)) << "the panel went with the alert";
    EXPECT_EQ(openedCount(download), 2U);
    click(kLogoutRow);
    ASSERT_TRUE(app().waitFor("[PITCH_FADE] Fade complete at 440.0", kStep)) << app().output();
    ASSERT_TRUE(eventually([&] { return !tokenStored(); }, kStep));
    // The service was told: the session ended there too, so a copied token opens nothing.
    ASSERT_TRUE(eventually([&] { return sessions() == 0; }, kStep))
        << "the session outlived the logout";
    const auto signedOut = waitForCard(
        [&](const CardLayout& c) { return std::abs(c.goldBottom - email->goldBottom) <= 2; });
    ASSERT_TRUE(signedOut.has_value()) << "no sign-in overlay after the logout";
    screenshot("signed-out");

    // Signing in again: the focus is in the address field; a known address leads to the login
    // step, where a wrong password shows the service's refusal in the banner.
    type(address_);
    key("Return");
    const auto login = waitForCard([&](const CardLayout& c) {
        return c.goldBottom < email->goldBottom - 8 && !c.goldEnabled;
    });
    ASSERT_TRUE(login.has_value()) << "no login step";
    screenshot("overlay-login");
    type("wrong-horse");
    key("Return");
    const auto refused = waitForCard(
        [&](const CardLayout& c) { return c.googleTop > login->googleTop + 20 && c.goldEnabled; });
    ASSERT_TRUE(refused.has_value()) << "no error banner";
    EXPECT_EQ(sessions(), 0);
    screenshot("overlay-login-wrong-password");

    // "Forgot password?": the reset panel mails a link to the address of the login step.
    click({210, refused->goldBottom + kForgotBelowButton});
    ASSERT_TRUE(windowShows([](const WindowPicture& p) {
        return p.at(kSendLinkGold.x, kSendLinkGold.y).isBrightGold();
    })) << "no reset panel";
    screenshot("overlay-reset-form");
    click(kSendLinkButton);
    ASSERT_TRUE(eventually([&] { return mails() == 1; }, kStep)) << "no reset mail";
    ASSERT_TRUE(windowShows(
        [](const WindowPicture& p) { return p.at(kSentEnvelope.x, kSentEnvelope.y).isGreen(); }));
    screenshot("overlay-reset-sent");
    key("Escape");
    const auto back =
        waitForCard([&](const CardLayout& c) { return c.goldBottom < email->goldBottom - 8; });
    ASSERT_TRUE(back.has_value()) << "the reset panel did not close";

    // The right password this time.
    click({210, back->goldBottom - kFieldAboveButtonBottom});
    key("ctrl+a");
    type(kPassword);
    key("Return");
    ASSERT_TRUE(eventually([&] { return sessions() == 1; }, kStep)) << "no new session";
    ASSERT_TRUE(eventually([&] { return tokenStored(); }, kStep));
    ASSERT_TRUE(cardGone());
    screenshot("signed-in-again");
    EXPECT_EQ(app().count("[PITCH_FADE] Fade complete at 440.0"), 1U);
    EXPECT_EQ(openedCount(download), 2U);

    EXPECT_EQ(app().stop(SIGTERM), 0);
    EXPECT_FALSE(app().signal(0)) << "an ended child's ID is signalled no more";

    // The session outlasts the run: at the next start the shift can be switched on at once,
    // once the restored session has taken the overlay away.
    if (!keyringBus_.empty()) {
        EXPECT_FALSE(std::filesystem::exists(tokenFile())) << "the token went to the file store";
    }
    launch();
    ASSERT_TRUE(windowShows(
        [](const WindowPicture& p) { return p.at(kUpdateNowFill.x, kUpdateNowFill.y).isBlue(); }));
    click(kLaterButton);
    ASSERT_TRUE(app().waitFor("✅ [AUTO_START] Engine started in passthrough mode", kStep))
        << app().output();
    ASSERT_TRUE(eventually(
        [&] {
            // A click while the overlay still lies over the button reaches the overlay.
            if (cardGone()) {
                click(kPowerButton);
            }
            return app().waitFor("[TOGGLE] Activating...", 3s);
        },
        kStep))
        << "still signed out after a restart\n"
        << app().output();
    ASSERT_TRUE(app().waitFor("[PITCH_FADE] Fade complete at 432.0", kStep)) << app().output();
    screenshot("restarted-signed-in");
    EXPECT_EQ(app().stop(SIGTERM), 0);
}

}  // namespace
}  // namespace brimo::testing
