#include <gtest/gtest.h>

#include <array>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "platform/process/ProcessRunner.h"
#include "support/FileText.h"
#include "ui/account/end_to_end/AccountWindowTest.h"

namespace brimo::testing {
namespace {

using namespace std::chrono_literals;

constexpr auto kStep = kWindowStep;
constexpr int kPowerButtonX = 210;
constexpr int kPowerButtonY = 312;
// The Google button's text lies this far below its upper edge; the card's text field this far
// above the lower edge of its primary button.
constexpr int kGoogleTextBelowTop = 20;
constexpr int kFieldAboveButtonBottom = 89;
// "Cancel" on the progress panel.
constexpr int kCancelY = 344;
constexpr const char* kGoogleEmail = "google.user@example.org";

// A value as a URL carries it: "4/…" codes travel as "4%2F…".
std::string percentEncoded(const std::string& value) {
    std::string encoded;
    for (const char c : value) {
        if (std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '-' || c == '.' || c == '_' ||
            c == '~') {
            encoded += c;
        } else {
            std::array<char, 4> escape{};
            std::snprintf(escape.data(), escape.size(), "%%%02X", static_cast<unsigned char>(c));
            encoded += escape.data();
        }
    }
    return encoded;
}

// "Continue with Google" in the real window of the test build, whose Google is the loopback
// provider: a stand-in browser follows the authorization URL and starts the desktop entry's
// command with the redirect, so the link reaches the window through the single-instance socket.
class GoogleEndToEndTest : public AccountWindowTest {
  protected:
    void checkEnvironment() override {
        provider_ = environmentValue("BRIMO_GOOGLE_PROVIDER_DIR");
        ASSERT_FALSE(provider_.empty()) << "run under with-account-service --signed-out --google";
    }
    void installUrlOpener(const std::filesystem::path& bin) override {
        std::filesystem::create_symlink(BRIMO_STAND_IN_BROWSER, bin / "xdg-open");
        record_ = work_.path() / "browser";
        hold_ = work_.path() / "hold-redirect";
        // NOLINTBEGIN(concurrency-mt-unsafe): no other thread runs yet
        ::setenv("BRIMO_BROWSER_RECORD", record_.c_str(), 1);
        ::setenv("BRIMO_BROWSER_HOLD", hold_.c_str(), 1);
        // NOLINTEND(concurrency-mt-unsafe)
    }

    void clickGoogle(const CardLayout& card) const {
        session_.click(210, card.googleTop + kGoogleTextBelowTop);
    }

    // The provider's control endpoint, over its test authority.
    void controlProvider(const std::string& path, const std::string& body) const {
        static const std::string post =
            "set -e; about=$(python3 -c 'import json,sys; a=json.load(open(sys.argv[1])); "
            "print(a[\"origin\"], a[\"ca\"])' \"$1\"); set -- $about \"$2\" \"$3\"; "
            "curl -sS --fail --noproxy '*' --cacert \"$2\" -H 'Content-Type: application/json' "
            "--data \"$4\" \"$1$3\"";
        const auto result = process::runProgram(
            {"sh", "-c", post, "sh", (provider_ / "provider.json").string(), path, body});
        ASSERT_EQ(result.exitStatus, 0) << result.output;
    }
    [[nodiscard]] std::size_t recorded(const std::string& prefix) const {
        std::istringstream lines(readFileText(record_));
        std::size_t count = 0;
        for (std::string line; std::getline(lines, line);) {
            count += line.starts_with(prefix) ? 1 : 0;
        }
        return count;
    }
    [[nodiscard]] static int googleUsers() {
        return accountServiceCount(std::string("SELECT COUNT(*) FROM users WHERE email = '") +
                                   kGoogleEmail + "'");
    }

    // Every secret the provider issued, as `KIND VALUE` lines.
    [[nodiscard]] std::vector<std::pair<std::string, std::string>> issuedSecrets() const {
        std::vector<std::pair<std::string, std::string>> secrets;
        std::istringstream lines(readFileText(provider_ / "issued.txt"));
        for (std::string kind, value; lines >> kind >> value;) {
            secrets.emplace_back(kind, value);
        }
        return secrets;
    }

    std::filesystem::path provider_;
    std::filesystem::path record_;
    std::filesystem::path hold_;
};

TEST_F(GoogleEndToEndTest, AnErrorCallbackShowsItsBannerThenGoogleSignsInAndThePowerButtonWorks) {
    session_.launch(work_.path() / "app.log");
    const auto email = waitForCard([](const CardLayout&) { return true; });
    ASSERT_TRUE(email.has_value()) << "no sign-in card\n" << app().output();
    screenshot("overlay-email");

    // The user refuses at Google: the callback carries an "error" item and no code.
    controlProvider("/control/settings", R"({"authorize_error": "access_denied"})");
    clickGoogle(*email);
    ASSERT_TRUE(eventually([&] { return recorded("handed over: 0") == 1; }, kStep))
        << readFileText(record_) << app().output();
    const auto refused = waitForCard(
        [&](const CardLayout& c) { return c.googleTop > email->googleTop + 20 && !c.goldEnabled; });
    ASSERT_TRUE(refused.has_value()) << "no error banner\n" << app().output();
    screenshot("error-banner");
    EXPECT_EQ(app().count("Failed to extract authorization code from callback URL"), 1U);
    EXPECT_EQ(googleUsers(), 0);

    // The window stays usable: the address field takes typing.
    session_.click(210, refused->goldBottom - kFieldAboveButtonBottom);
    runCommand({"xdotool", "type", "--delay", "15", "someone@example.org"});
    ASSERT_TRUE(waitForCard([](const CardLayout& c) { return c.goldEnabled; }))
        << "the address field took no typing after the error";
    runCommand({"xdotool", "key", "ctrl+a", "BackSpace"});
    const auto cleared = waitForCard([](const CardLayout& c) { return !c.goldEnabled; });
    ASSERT_TRUE(cleared.has_value());

    // "Cancel" on the progress panel (the redirect held meanwhile) ends the attempt with its
    // banner; the redirect, arriving after all, changes nothing.
    controlProvider("/control/settings", "{}");
    { std::ofstream(hold_) << ""; }
    clickGoogle(*cleared);
    ASSERT_TRUE(eventually([&] { return recorded("opened ") == 2; }, kStep))
        << readFileText(record_);
    ASSERT_TRUE(windowShows([](const WindowPicture& p) { return !cardLayout(p); }))
        << "no progress panel";
    screenshot("progress-cancel");
    session_.click(210, kCancelY);
    const auto cancelled =
        waitForCard([&](const CardLayout& c) { return c.googleTop > email->googleTop + 20; });
    ASSERT_TRUE(cancelled.has_value()) << "no banner after Cancel\n" << app().output();
    screenshot("cancelled");
    EXPECT_TRUE(app().waitFor("Auth session error: Google sign-in was cancelled.", kStep));
    std::filesystem::remove(hold_);
    ASSERT_TRUE(eventually([&] { return recorded("handed over: 0") == 2; }, kStep))
        << readFileText(record_);
    ASSERT_TRUE(
        app().waitFor("Ignored a link handed over while no Google sign-in was waiting", kStep))
        << app().output();
    EXPECT_EQ(googleUsers(), 0);

    // Google agrees this time.
    clickGoogle(*cancelled);
    ASSERT_TRUE(eventually([&] { return recorded("handed over: 0") == 3; }, kStep))
        << readFileText(record_);
    ASSERT_TRUE(eventually([&] { return googleUsers() == 1; }, kStep))
        << "no account for the Google user\n"
        << app().output();
    ASSERT_TRUE(eventually([&] { return tokenStored(); }, kStep));
    ASSERT_TRUE(app().waitFor("========== GOOGLE SIGN-IN COMPLETE ==========", kStep))
        << app().output();
    screenshot("signed-in");

    // Signed in, the shift can be switched on.
    pactl({"set-default-sink", "brimola_vetrix"});
    ASSERT_TRUE(app().waitFor("✅ [AUTO_START] Engine started in passthrough mode", kStep))
        << app().output();
    ASSERT_TRUE(eventually(
        [&] {
            // A click while the overlay still fades out reaches the overlay.
            session_.click(kPowerButtonX, kPowerButtonY);
            return app().waitFor("[TOGGLE] Activating...", 3s);
        },
        kStep))
        << app().output();
    ASSERT_TRUE(app().waitFor("[PITCH_FADE] Fade complete at 432.0", kStep)) << app().output();
    screenshot("power-on");
    EXPECT_EQ(app().stop(SIGTERM), 0);

    // No secret of the sign-in was written anywhere: not in the application's output, the
    // browser's record (with the handing-over instance's output), the service's files and
    // database, or any file of the user's folders.
    const auto secrets = issuedSecrets();
    ASSERT_GE(secrets.size(), 4U) << "the provider issued no code, verifier or tokens";
    std::vector<std::filesystem::path> folders{
        work_.path(),
        std::filesystem::path(environmentValue("BRIMO_ACCOUNT_DATABASE")).parent_path()};
    for (const auto& folder : folders) {
        for (const auto& entry : std::filesystem::recursive_directory_iterator(folder)) {
            if (!entry.is_regular_file() || entry.path().parent_path() == provider_) {
                continue;
            }
            const auto text = readFileText(entry.path());
            for (const auto& [kind, value] : secrets) {
                EXPECT_EQ(text.find(value), std::string::npos)
                    << "the " << kind << " is in " << entry.path();
                EXPECT_EQ(text.find(percentEncoded(value)), std::string::npos)
                    << "the " << kind << " is in " << entry.path() << ", percent-encoded";
            }
        }
    }
}

}  // namespace
}  // namespace brimo::testing
