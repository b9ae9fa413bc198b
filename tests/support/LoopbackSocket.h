#pragma once

#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>

namespace brimo::testing {

// A TCP socket on 127.0.0.1 that a test drives byte by byte: raw requests to a server under
// test, or a port of the test's own. Closed when dropped. Failures to connect or send are not
// reported: they show as an empty or short answer, which the tests check.
class LoopbackSocket {
  public:
    // On a free port of its own, so no other program takes it meanwhile. Not listening,
    // connections to it are refused; listening, they wait for accept().
    static LoopbackSocket bound(bool listening = false) {
        LoopbackSocket socket(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        sockaddr_in address = loopback(0);
        socklen_t length = sizeof address;
        if (::bind(socket.fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
            throw std::runtime_error("no free loopback port");
        }
        ::getsockname(socket.fd_, reinterpret_cast<sockaddr*>(&address), &length);
        socket.port_ = ntohs(address.sin_port);
        if (listening) {
            ::listen(socket.fd_, 1);
        }
        return socket;
    }

    // Connected to `port`; with `wait` false the handshake is only begun (poll fd() for
    // POLLOUT to see it complete).
    // `from` picks another loopback source address (127.0.0.2…), a client of its own to a
    // server that limits connections per address.
    static LoopbackSocket connectedTo(int port, bool wait = true,
                                      std::uint32_t from = INADDR_LOOPBACK) {
        LoopbackSocket socket(
            ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | (wait ? 0 : SOCK_NONBLOCK), 0));
        if (from != INADDR_LOOPBACK) {
            sockaddr_in source = loopback(0);
            source.sin_addr.s_addr = htonl(from);
            (void)::bind(socket.fd_, reinterpret_cast<sockaddr*>(&source), sizeof source);
        }
        sockaddr_in address = loopback(port);
        (void)::connect(socket.fd_, reinterpret_cast<sockaddr*>(&address), sizeof address);
        return socket;
    }

    // The next connection to a listening socket, or a closed one after `limit`.
    [[nodiscard]] LoopbackSocket accept(std::chrono::milliseconds limit) const {
        pollfd waiting{fd_, POLLIN, 0};
        return LoopbackSocket(::poll(&waiting, 1, static_cast<int>(limit.count())) == 1
                                  ? ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC)
                                  : -1);
    }

    LoopbackSocket(LoopbackSocket&& other) noexcept  // copies are deleted with it
        : fd_(std::exchange(other.fd_, -1)), port_(other.port_) {}
    ~LoopbackSocket() { ::close(fd_); }  // -1 when moved from: a harmless EBADF

    [[nodiscard]] int fd() const { return fd_; }
    [[nodiscard]] int port() const { return port_; }  // of a bound one

    // Sends all of `bytes`, waiting for a begun handshake to complete; with `endWriting` the
    // sending side is closed afterwards (for noise a server would otherwise wait for more of).
    void send(std::string_view bytes, bool endWriting = false) const {
        ::fcntl(fd_, F_SETFL, ::fcntl(fd_, F_GETFL) & ~O_NONBLOCK);
        (void)::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (endWriting) {
            ::shutdown(fd_, SHUT_WR);
        }
    }

    // What arrived once `until` has been seen (with `until` empty: once the peer closed) or
    // the peer closed or reset; nullopt when nothing more came for `limit` before that.
    [[nodiscard]] std::optional<std::string> receive(
        std::string_view until = {},
        std::chrono::milliseconds limit = std::chrono::seconds(20)) const {
        std::string answer;
        std::array<char, 4096> buffer{};
        pollfd waiting{fd_, POLLIN, 0};
        while (until.empty() || answer.find(until) == std::string::npos) {
            if (::poll(&waiting, 1, static_cast<int>(limit.count())) != 1) {
                return std::nullopt;
            }
            const ssize_t n = ::recv(fd_, buffer.data(), buffer.size(), 0);
            if (n <= 0) {
                break;
            }
            answer.append(buffer.data(), static_cast<std::size_t>(n));
        }
        return answer;
    }

  private:
    explicit LoopbackSocket(int fd) : fd_(fd) {}

    static sockaddr_in loopback(int port) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<std::uint16_t>(port));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        return address;
    }

    int fd_;
    int port_ = 0;
};

}  // namespace brimo::testing
