#pragma once

#include <chrono>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>

#include "integration/hal_pulse/PrivateAudioServer.h"
#include "support/TemporaryDirectory.h"
#include "ui/account/end_to_end/WindowPicture.h"
#include "ui/end_to_end/WindowSession.h"

namespace brimo::testing {

// How long one step may take: generous, for a machine busy with other builds (a starved
// start-up can block the main thread for tens of seconds).
inline constexpr std::chrono::seconds kWindowStep{60};

// A count from the account service's database (-1 when it cannot be read).
int accountServiceCount(const std::string& query);

// The real window of a signed-out user on a private audio server, under with-account-service
// and with-private-keyring on a virtual X server: screenshots in a folder per audio server, the
// desktop's URL opener on PATH in a private folder, the token in the unlocked keyring.
class AccountWindowTest : public PrivateAudioServerTest {
  protected:
    void SetUp() override;
    void TearDown() override;

    // What the wrapper scripts must have set, checked once the audio server's environment is in.
    virtual void checkEnvironment() {}
    // Puts the `xdg-open` that the application will find on PATH into `bin`.
    virtual void installUrlOpener(const std::filesystem::path& bin) = 0;

    [[nodiscard]] ApplicationProcess& app() const { return session_.app(); }
    bool windowShows(const std::function<bool(const WindowPicture&)>& predicate,
                     std::chrono::milliseconds timeout = kWindowStep);
    // The card once it has settled in a state that `accept` takes.
    std::optional<CardLayout> waitForCard(const std::function<bool(const CardLayout&)>& accept);
    void screenshot(const std::string& state) const {
        session_.screenshot(shots_ / (state + ".png"));
    }
    // Where the application keeps the session token: the keyring's item, else its file.
    [[nodiscard]] bool tokenStored() const;
    // The file store's token, where it goes without a keyring.
    [[nodiscard]] static std::filesystem::path tokenFile();

    TemporaryDirectory work_;
    WindowSession session_;
    std::filesystem::path shots_;
    std::string kind_;
    std::string keyringBus_;
};

}  // namespace brimo::testing
