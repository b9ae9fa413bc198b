#include "ui/account/end_to_end/AccountWindowTest.h"

#include <cstdio>
#include <cstdlib>

#include "platform/process/ProcessRunner.h"

namespace brimo::testing {

int accountServiceCount(const std::string& query) {
    const auto result = process::runProgram(
        {"sqlite3", "-readonly", environmentValue("BRIMO_ACCOUNT_DATABASE"), query});
    return result.exitStatus == 0 ? std::atoi(result.output.c_str()) : -1;
}

void AccountWindowTest::SetUp() {
    // The session bus of with-private-keyring, before the audio server's environment (its own
    // bus, where D-Bus would start a keyring without a login collection) replaces it.
    keyringBus_ = environmentValue("BRIMO_KEYRING_BUS");
    PrivateAudioServerTest::SetUp();
    if (IsSkipped()) {
        return;
    }
    ASSERT_NE(std::getenv("DISPLAY"), nullptr)  // NOLINT(concurrency-mt-unsafe)
        << "run under tests/ui/with-xvfb";
    checkEnvironment();
    if (HasFatalFailure()) {
        return;
    }
    pactl({"set-default-sink", "speakers"});
    kind_ = runCommand(
        {"sh", "-c", "pactl info | grep -q PipeWire && echo pipewire || echo pulseaudio"});
    const std::string shots = environmentValue("BRIMO_UI_SCREENSHOTS");
    shots_ =
        (shots.empty() ? std::filesystem::current_path() : std::filesystem::path(shots)) / kind_;
    // Only this run's pictures: a failure's picture from an earlier run would mislead.
    std::filesystem::remove_all(shots_);
    std::filesystem::create_directories(shots_);
    std::printf("screenshots: %s\n", shots_.c_str());

    const auto bin = work_.path() / "bin";
    std::filesystem::create_directories(bin);
    installUrlOpener(bin);
    std::filesystem::create_directories(work_.path() / "state");
    // NOLINTBEGIN(concurrency-mt-unsafe): no other thread runs yet
    ::setenv("PATH", (bin.string() + ":" + environmentValue("PATH")).c_str(), 1);
    ::setenv("XDG_STATE_HOME", (work_.path() / "state").c_str(), 1);
    // The token goes to the unlocked keyring, or without one (no bus) to the file store.
    ::setenv("DBUS_SESSION_BUS_ADDRESS",
             (keyringBus_.empty() ? "unix:path=" + (work_.path() / "no-bus").string() : keyringBus_)
                 .c_str(),
             1);
    // NOLINTEND(concurrency-mt-unsafe)
}

void AccountWindowTest::TearDown() {
    if (HasFailure() && session_.isOpen()) {
        screenshot("failure");
    }
    session_.close();
    if (!IsSkipped()) {
        pactl({"set-default-sink", "speakers"});
    }
}

bool AccountWindowTest::windowShows(const std::function<bool(const WindowPicture&)>& predicate,
                                    std::chrono::milliseconds timeout) {
    return eventually(
        [&] {
            const auto picture = WindowPicture::capture(session_.window());
            return picture && predicate(*picture);
        },
        timeout);
}

std::optional<CardLayout> AccountWindowTest::waitForCard(
    const std::function<bool(const CardLayout&)>& accept) {
    std::optional<CardLayout> found;
    windowShows([&](const WindowPicture& picture) {
        found = cardLayout(picture);
        return found && accept(*found);
    });
    if (found && !accept(*found)) {
        found.reset();
    }
    return found;
}

std::filesystem::path AccountWindowTest::tokenFile() {
    return std::filesystem::path(environmentValue("XDG_DATA_HOME")) / "brimolavetrix" / "secrets" /
           "com.brimolavetrix.auth@jwt_token";
}

bool AccountWindowTest::tokenStored() const {
    if (keyringBus_.empty()) {
        return std::filesystem::exists(tokenFile());
    }
    const auto found = process::runProgram(
        {"gdbus", "call", "--session", "--dest", "org.freedesktop.secrets", "--object-path",
         "/org/freedesktop/secrets", "--method", "org.freedesktop.Secret.Service.SearchItems",
         "{'service': 'com.brimolavetrix.auth', 'account': 'jwt_token'}"});
    return found.exitStatus == 0 && found.output.find("/collection/login/") != std::string::npos;
}

}  // namespace brimo::testing
