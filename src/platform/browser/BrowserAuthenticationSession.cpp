#include "platform/browser/BrowserAuthenticationSession.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <thread>
#include <utility>
#include <vector>

#include "platform/browser/UrlComponents.h"

extern char** environ;  // NOLINT(readability-redundant-declaration): POSIX declares it nowhere

namespace brimo::browser {

std::shared_ptr<BrowserAuthenticationSession> BrowserAuthenticationSession::create(
    Options options) {
    return std::shared_ptr<BrowserAuthenticationSession>(
        new BrowserAuthenticationSession(std::move(options)));
}

BrowserAuthenticationSession::BrowserAuthenticationSession(Options options)
    : mainQueue_(*options.mainQueue),
      open_(options.open ? std::move(options.open) : Opener(&openInDefaultBrowser)),
      timeout_(options.timeout),
      print_(console::orStandardOutput(std::move(options.print))) {}

void BrowserAuthenticationSession::start(const std::string& url, const std::string& callbackScheme,
                                         Completion completion) {
    if (isPending()) {
        mainQueue_.post([completion = std::move(completion)] {
            completion(SessionError{"A Google sign-in is already waiting for the browser.",
                                    "BrowserAuthenticationSession.alreadyPending"});
        });
        return;
    }
    completion_ = std::move(completion);
    callbackScheme_ = callbackScheme;
    const std::uint64_t generation = ++generation_;
    const std::weak_ptr<BrowserAuthenticationSession> weak = weak_from_this();
    mainQueue_.postAfter(timeout_, [weak, generation] {
        auto self = weak.lock();
        if (self && self->isPending() && self->generation_ == generation) {
            self->finish(SessionError{timedOutText, "BrowserAuthenticationSession.timedOut"});
        }
    });
    if (auto failure = open_(url)) {
        mainQueue_.post([weak, generation, reason = std::move(*failure)] {
            auto self = weak.lock();
            if (self && self->isPending() && self->generation_ == generation) {
                self->finish(
                    SessionError{"Could not open the web browser.",
                                 "BrowserAuthenticationSession.cannotOpenBrowser(" + reason + ")"});
            }
        });
    }
}

void BrowserAuthenticationSession::cancel() {
    if (isPending()) {
        finish(SessionError{cancelledText, "BrowserAuthenticationSession.cancelled"});
    }
}

bool BrowserAuthenticationSession::deliver(const std::string& url) {
    // The URL carries the authorization code: only its length is ever printed.
    const std::string size = "(" + std::to_string(url.size()) + " characters)";
    if (!isPending()) {
        print_("Ignored a link handed over while no Google sign-in was waiting " + size);
        return false;
    }
    const auto parts = UrlComponents::parse(url);
    if (!parts || parts->scheme != callbackScheme_ || parts->path != callbackPath) {
        print_("Ignored a link handed over that is not this sign-in's callback " + size);
        return false;
    }
    finish(url);
    return true;
}

void BrowserAuthenticationSession::finish(SessionOutcome outcome) {
    // Cleared first: the completion may start the next session.
    auto completion = std::move(completion_);
    completion_ = nullptr;
    ++generation_;
    completion(std::move(outcome));
}

std::optional<std::string> openInDefaultBrowser(const std::string& url) {
    std::string program = "xdg-open";
    std::string argument = url;
    std::array<char*, 3> arguments{program.data(), argument.data(), nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    pid_t child = 0;
    const int status =
        posix_spawnp(&child, program.c_str(), &actions, nullptr, arguments.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (status != 0) {
        return "xdg-open: " + std::string(std::strerror(status));  // NOLINT(concurrency-mt-unsafe)
    }
    // Reaped on a thread of its own that touches nothing but standard output, so that neither
    // the main thread nor the application's end waits for the browser.
    std::thread([child] {
        int exitStatus = 0;
        while (waitpid(child, &exitStatus, 0) < 0 && errno == EINTR) {
        }
        if (!WIFEXITED(exitStatus) || WEXITSTATUS(exitStatus) != 0) {
            console::printLine("xdg-open could not open the sign-in page (status " +
                               std::to_string(exitStatus) + ")");
        }
    }).detach();
    return std::nullopt;
}

}  // namespace brimo::browser
