#pragma once

#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <thread>

#include "platform/console/ConsoleOutput.h"

namespace brimo::browser {

// One running instance of the application per user and session: the instance holds a lock
// and listens on a local socket in a folder only the user can enter; a later start of the
// application hands its message (a callback URL) over and ends. Messages are one line.
class SingleInstanceChannel {
  public:
    using MessageHandler = std::function<void(std::string message)>;

    struct Options {
        // Usually defaultFolder(); made 0700 when missing, refused when it is anybody else's,
        // open to others, or a symbolic link.
        std::filesystem::path folder;
        // Runs on the channel's own thread, once per message that arrived whole and in time.
        MessageHandler onMessage;
        // A connection that sends more, or takes longer, is closed without a message.
        std::size_t maximumMessageBytes = 8192;
        std::chrono::milliseconds readTimeout{2000};
        console::LineWriter print;
    };

    // $XDG_RUNTIME_DIR/brimolavetrix; empty when the session has no absolute runtime folder.
    static std::filesystem::path defaultFolder();

    // The instance's end of the channel, or none when another process holds it already or the
    // folder cannot be used safely (said in one line).
    static std::unique_ptr<SingleInstanceChannel> claim(Options options);

    // Hands `message` to the instance holding the channel in `folder`. False when none answers,
    // or the message is not one line of at most `maximumBytes`.
    static bool sendToRunningInstance(const std::filesystem::path& folder, std::string_view message,
                                      std::size_t maximumBytes = 8192);

    // Stops listening (a message being read is dropped) and gives the channel up.
    ~SingleInstanceChannel();
    SingleInstanceChannel(const SingleInstanceChannel&) = delete;
    SingleInstanceChannel& operator=(const SingleInstanceChannel&) = delete;
    SingleInstanceChannel(SingleInstanceChannel&&) = delete;
    SingleInstanceChannel& operator=(SingleInstanceChannel&&) = delete;

  private:
    SingleInstanceChannel(Options options, int lockFd, int listenFd, int stopFd);
    void listen();
    void readOne(int connection);

    const Options options_;
    const console::LineWriter print_;
    const int lockFd_;
    const int listenFd_;
    const int stopFd_;
    std::thread thread_;
};

}  // namespace brimo::browser
