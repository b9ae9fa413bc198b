#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/browser/SingleInstanceChannel.h"
#include "platform/console/ConsoleOutput.h"

namespace brimo::browser {

// Passes the channel's messages on to whoever takes them once the application is up; until
// then, and after, they are dropped with one line each.
class MessageRelay {
  public:
    using Target = std::function<void(std::string message)>;
    explicit MessageRelay(console::LineWriter print) : print_(std::move(print)) {}
    void setTarget(Target target);
    void operator()(std::string message);

  private:
    std::mutex mutex_;
    Target target_;
    console::LineWriter print_;
};

// What one start of the application does with the single-instance channel, decided before
// anything else starts.
struct InstanceLaunch {
    // Held by the instance for its whole life; none when another process is the instance or
    // the channel cannot be used.
    std::unique_ptr<SingleInstanceChannel> channel;
    std::shared_ptr<MessageRelay> relay;
    // The link on the command line (the browser's redirect through the desktop entry).
    std::optional<std::string> link;
    // The link went to the running instance: this process ends at once with status 0.
    bool handedOver = false;
    // Another process holds the channel but took no link in two seconds: this process ends
    // with a failure rather than start a second window on the same sound.
    bool isRefused = false;
};

// The first argument that is not an option, if any.
std::optional<std::string> linkArgument(int argc, char** argv);

// Claims the channel in `folder`; when another process holds it and there is a link, hands
// the link over (the instance may still be starting: a few tries over two seconds).
InstanceLaunch launchInstance(const std::filesystem::path& folder, std::optional<std::string> link,
                              console::LineWriter print = {});

}  // namespace brimo::browser
