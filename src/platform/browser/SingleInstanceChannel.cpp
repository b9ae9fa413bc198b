#include "platform/browser/SingleInstanceChannel.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <utility>

namespace brimo::browser {
namespace {

constexpr const char* kSocketName = "instance.socket";
constexpr const char* kLockName = "instance.lock";

// Closes the descriptor when it goes out of scope unless released.
class Descriptor {
  public:
    explicit Descriptor(int fd) : fd_(fd) {}
    ~Descriptor() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    Descriptor(Descriptor&&) = delete;
    Descriptor& operator=(Descriptor&&) = delete;
    [[nodiscard]] int get() const { return fd_; }
    int release() { return std::exchange(fd_, -1); }

  private:
    int fd_;
};

std::optional<sockaddr_un> socketAddress(const std::filesystem::path& folder) {
    const std::string path = (folder / kSocketName).string();
    sockaddr_un address{};
    if (path.size() >= sizeof(address.sun_path)) {
        return std::nullopt;
    }
    address.sun_family = AF_UNIX;
    std::memcpy(static_cast<char*>(address.sun_path), path.c_str(), path.size() + 1);
    return address;
}

// The folder exists (made here if not), is a real folder, ours, and closed to everyone else.
std::optional<std::string> whyFolderIsUnsafe(const std::filesystem::path& folder) {
    if (folder.empty() || !folder.is_absolute()) {
        return "no runtime folder";
    }
    if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
        return "cannot make " + folder.string();
    }
    struct stat status {};
    if (::lstat(folder.c_str(), &status) != 0 || !S_ISDIR(status.st_mode)) {
        return folder.string() + " is not a folder";
    }
    if (status.st_uid != ::getuid()) {
        return folder.string() + " belongs to another user";
    }
    if ((status.st_mode & 077U) != 0) {
        return folder.string() + " is open to other users";
    }
    return std::nullopt;
}

// Waits until the descriptor is readable or the deadline passes; false on time-out or stop.
bool waitReadable(int fd, int stopFd, std::chrono::steady_clock::time_point deadline) {
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            return false;
        }
        std::array<pollfd, 2> fds{pollfd{fd, POLLIN, 0}, pollfd{stopFd, POLLIN, 0}};
        const int ready = ::poll(fds.data(), fds.size(), static_cast<int>(left.count()));
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        if (ready <= 0 || (fds[1].revents & POLLIN) != 0) {
            return false;
        }
        return true;
    }
}

}  // namespace

std::filesystem::path SingleInstanceChannel::defaultFolder() {
    // NOLINTNEXTLINE(concurrency-mt-unsafe): read-only use
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime == nullptr || *runtime != '/') {
        return {};
    }
    return std::filesystem::path(runtime) / "brimolavetrix";
}

std::unique_ptr<SingleInstanceChannel> SingleInstanceChannel::claim(Options options) {
    const auto print = console::orStandardOutput(options.print);
    if (auto unsafe = whyFolderIsUnsafe(options.folder)) {
        print("Sign-in links cannot reach this window: " + *unsafe);
        return nullptr;
    }
    const auto address = socketAddress(options.folder);
    if (!address) {
        print("Sign-in links cannot reach this window: the runtime folder's path is too long");
        return nullptr;
    }
    Descriptor lock(::open((options.folder / kLockName).c_str(),
                           O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (lock.get() < 0 || ::flock(lock.get(), LOCK_EX | LOCK_NB) != 0) {
        return nullptr;  // another instance holds it (or the lock cannot be had at all)
    }
    // Holding the lock, any socket file left is a dead instance's.
    ::unlink(address->sun_path);
    Descriptor listener(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (listener.get() < 0 ||
        ::bind(listener.get(), reinterpret_cast<const sockaddr*>(&*address),  // NOLINT
               sizeof(*address)) != 0 ||
        ::chmod(address->sun_path, 0600) != 0 || ::listen(listener.get(), 8) != 0) {
        print("Sign-in links cannot reach this window: cannot listen in " +
              options.folder.string());
        return nullptr;
    }
    Descriptor stop(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (stop.get() < 0) {
        return nullptr;
    }
    std::unique_ptr<SingleInstanceChannel> channel(new SingleInstanceChannel(
        std::move(options), lock.release(), listener.release(), stop.release()));
    channel->thread_ = std::thread([raw = channel.get()] { raw->listen(); });
    return channel;
}

SingleInstanceChannel::SingleInstanceChannel(Options options, int lockFd, int listenFd, int stopFd)
    : options_(std::move(options)),
      print_(console::orStandardOutput(options_.print)),
      lockFd_(lockFd),
      listenFd_(listenFd),
      stopFd_(stopFd) {}

SingleInstanceChannel::~SingleInstanceChannel() {
    const std::uint64_t one = 1;
    [[maybe_unused]] const auto written = ::write(stopFd_, &one, sizeof(one));
    if (thread_.joinable()) {
        thread_.join();
    }
    if (const auto address = socketAddress(options_.folder)) {
        ::unlink(address->sun_path);
    }
    ::close(listenFd_);
    ::close(stopFd_);
    ::close(lockFd_);  // gives the lock up
}

void SingleInstanceChannel::listen() {
    for (;;) {
        std::array<pollfd, 2> fds{pollfd{listenFd_, POLLIN, 0}, pollfd{stopFd_, POLLIN, 0}};
        if (::poll(fds.data(), fds.size(), -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            return;
        }
        if ((fds[1].revents & POLLIN) != 0) {
            return;
        }
        const Descriptor connection(::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC));
        if (connection.get() >= 0) {
            readOne(connection.get());
        }
    }
}

void SingleInstanceChannel::readOne(int connection) {
    ucred peer{};
    socklen_t size = sizeof(peer);
    if (::getsockopt(connection, SOL_SOCKET, SO_PEERCRED, &peer, &size) != 0 ||
        peer.uid != ::getuid()) {
        print_("Ignored a connection to the instance channel from another user");
        return;
    }
    const auto deadline = std::chrono::steady_clock::now() + options_.readTimeout;
    std::string message;
    std::array<char, 1024> chunk{};
    for (;;) {
        if (!waitReadable(connection, stopFd_, deadline)) {
            print_("Ignored a message to the instance channel that did not arrive in time");
            return;
        }
        const ssize_t got = ::recv(connection, chunk.data(), chunk.size(), MSG_DONTWAIT);
        if (got < 0 && (errno == EAGAIN || errno == EINTR)) {
            continue;
        }
        if (got <= 0) {
            break;  // the sender is done
        }
        message.append(chunk.data(), static_cast<std::size_t>(got));
        if (message.size() > options_.maximumMessageBytes + 1) {
            print_("Ignored an oversized message to the instance channel");
            return;
        }
        if (message.find('\n') != std::string::npos) {
            break;
        }
    }
    const auto end = message.find('\n');
    if (end == std::string::npos || end > options_.maximumMessageBytes ||
        message.find('\0') < end) {
        print_("Ignored an incomplete message to the instance channel");
        return;
    }
    message.resize(end);
    if (options_.onMessage) {
        options_.onMessage(std::move(message));
    }
}

bool SingleInstanceChannel::sendToRunningInstance(const std::filesystem::path& folder,
                                                  std::string_view message,
                                                  std::size_t maximumBytes) {
    if (message.size() > maximumBytes || message.find('\n') != std::string_view::npos ||
        message.find('\0') != std::string_view::npos) {
        return false;
    }
    // The message is a sign-in callback: it goes only to a process of this user, through a
    // folder nobody else can enter.
    struct stat status {};
    if (!folder.is_absolute() || ::lstat(folder.c_str(), &status) != 0 ||
        !S_ISDIR(status.st_mode) || status.st_uid != ::getuid() || (status.st_mode & 077U) != 0) {
        return false;
    }
    const auto address = socketAddress(folder);
    if (!address) {
        return false;
    }
    const Descriptor connection(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (connection.get() < 0 ||
        ::connect(connection.get(), reinterpret_cast<const sockaddr*>(&*address),  // NOLINT
                  sizeof(*address)) != 0) {
        return false;
    }
    ucred peer{};
    socklen_t size = sizeof(peer);
    if (::getsockopt(connection.get(), SOL_SOCKET, SO_PEERCRED, &peer, &size) != 0 ||
        peer.uid != ::getuid()) {
        return false;
    }
    std::string line(message);
    line += '\n';
    std::string_view left = line;
    while (!left.empty()) {
        const ssize_t sent = ::send(connection.get(), left.data(), left.size(), MSG_NOSIGNAL);
        if (sent < 0 && errno == EINTR) {
            continue;
        }
        if (sent <= 0) {
            return false;
        }
        left.remove_prefix(static_cast<std::size_t>(sent));
    }
    return true;
}

}  // namespace brimo::browser
