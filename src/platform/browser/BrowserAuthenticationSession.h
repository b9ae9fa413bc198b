#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/browser/WebAuthenticationSession.h"
#include "platform/console/ConsoleOutput.h"
#include "platform/dispatch/MainQueue.h"

namespace brimo::browser {

// The user's own browser as the sign-in page, with their cookies. The browser's redirect to the
// callback scheme comes back through the application's desktop entry and the single-instance
// channel as deliver(url). A browser tells nobody when its tab is closed, so the user ends a
// forgotten session with cancel(), and a session nobody answers ends by itself.
class BrowserAuthenticationSession final
    : public WebAuthenticationSession,
      public std::enable_shared_from_this<BrowserAuthenticationSession> {
  public:
    // Opens the URL in a browser; why not, when it could not even start one.
    using Opener = std::function<std::optional<std::string>(const std::string& url)>;

    static constexpr const char* cancelledText = "Google sign-in was cancelled.";
    static constexpr const char* timedOutText = "Google sign-in timed out.";
    static constexpr const char* callbackPath = "/oauth2callback";

    struct Options {
        dispatch::MainQueue* mainQueue = nullptr;
        // openInDefaultBrowser unless given.
        Opener open;
        std::chrono::nanoseconds timeout = std::chrono::minutes(10);
        console::LineWriter print;
    };

    static std::shared_ptr<BrowserAuthenticationSession> create(Options options);

    void start(const std::string& url, const std::string& callbackScheme,
               Completion completion) override;
    void cancel() override;
    [[nodiscard]] bool isPending() const override { return completion_ != nullptr; }

    // A URL handed over by a second start of the application (main thread). Taken, and true,
    // only when a session is pending and the URL is of its scheme with the callback path;
    // anything else is left alone with one line that does not repeat it.
    bool deliver(const std::string& url) override;

  private:
    explicit BrowserAuthenticationSession(Options options);
    void finish(SessionOutcome outcome);

    dispatch::MainQueue& mainQueue_;
    const Opener open_;
    const std::chrono::nanoseconds timeout_;
    const console::LineWriter print_;
    Completion completion_;
    std::string callbackScheme_;
    // Tells a late timer or a late open failure from the session that is pending now.
    std::uint64_t generation_ = 0;
};

// `xdg-open url`, found on PATH as the desktop finds it, started without waiting for it: some
// browsers keep it running until they close. A later non-zero exit is only printed; the user
// still has "Cancel".
std::optional<std::string> openInDefaultBrowser(const std::string& url);

}  // namespace brimo::browser
