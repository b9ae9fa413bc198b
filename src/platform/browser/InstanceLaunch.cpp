#include "platform/browser/InstanceLaunch.h"

#include <chrono>
#include <thread>
#include <utility>

namespace brimo::browser {

void MessageRelay::setTarget(Target target) {
    const std::lock_guard guard(mutex_);
    target_ = std::move(target);
}

void MessageRelay::operator()(std::string message) {
    const std::lock_guard guard(mutex_);
    if (target_) {
        target_(std::move(message));
        return;
    }
    // A sign-in callback carries its code: only the length is said.
    print_("Ignored a link handed over while the window was not ready (" +
           std::to_string(message.size()) + " characters)");
}

std::optional<std::string> linkArgument(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        const std::string argument =
            argv[i];  // NOLINT(cppcoreguidelines-pro-bounds-pointer-arithmetic)
        if (!argument.empty() && argument.front() != '-') {
            return argument;
        }
    }
    return std::nullopt;
}

InstanceLaunch launchInstance(const std::filesystem::path& folder, std::optional<std::string> link,
                              console::LineWriter print) {
    print = console::orStandardOutput(std::move(print));
    InstanceLaunch launch;
    launch.relay = std::make_shared<MessageRelay>(print);
    launch.link = std::move(link);
    for (int attempt = 0;; ++attempt) {
        SingleInstanceChannel::Options options;
        options.folder = folder;
        options.onMessage = [relay = launch.relay](std::string message) {
            (*relay)(std::move(message));
        };
        options.print = print;
        launch.channel = SingleInstanceChannel::claim(std::move(options));
        if (launch.channel || !launch.link || folder.empty()) {
            return launch;
        }
        if (SingleInstanceChannel::sendToRunningInstance(folder, *launch.link)) {
            launch.handedOver = true;
            return launch;
        }
        if (attempt == 20) {
            print("The running window did not take the link");
            launch.isRefused = true;
            return launch;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
}

}  // namespace brimo::browser
