#pragma once

#include <functional>
#include <string>
#include <variant>

namespace brimo::browser {

// Why a session ended without a callback.
struct SessionError {
    std::string localizedDescription;  // for the user, e.g. "Google sign-in was cancelled."
    std::string fullDescription;       // for console lines: the kind and its detail
};

// The callback URL the browser was sent to, or why there is none.
using SessionOutcome = std::variant<std::string, SessionError>;

// Shows a sign-in page in a browser and waits for the browser to be sent to a URL of the
// callback scheme. Main thread only; the completion runs once, on the main thread, never inside
// start().
class WebAuthenticationSession {
  public:
    using Completion = std::function<void(SessionOutcome outcome)>;

    virtual ~WebAuthenticationSession() = default;

    // One session at a time: a start while one is pending fails at once (through completion).
    virtual void start(const std::string& url, const std::string& callbackScheme,
                       Completion completion) = 0;
    // Ends a pending session with the cancellation error; nothing when none is pending.
    virtual void cancel() = 0;
    [[nodiscard]] virtual bool isPending() const = 0;
    // A URL that reached the application from outside (its command line, a second start).
    // True when it was the pending session's callback and ended it.
    virtual bool deliver(const std::string& url) = 0;
};

}  // namespace brimo::browser
