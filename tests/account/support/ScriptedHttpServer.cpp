#include "account/support/ScriptedHttpServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <stdexcept>

namespace brimo::testing {
namespace {

std::string reasonFor(int status) {
    switch (status) {
        case 200:
            return "OK";
        case 302:
            return "Found";
        case 400:
            return "Bad Request";
        case 401:
            return "Unauthorized";
        case 404:
            return "Not Found";
        case 409:
            return "Conflict";
        case 422:
            return "Unprocessable Entity";
        case 500:
            return "Internal Server Error";
        default:
            return "Status";
    }
}

std::string lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

}  // namespace

struct ScriptedHttpServer::TlsContext {
    SSL_CTX* context = nullptr;
    ~TlsContext() { SSL_CTX_free(context); }
};

// One connection's reads and writes, plain or through TLS.
class Connection {
  public:
    Connection(int fd, SSL_CTX* tls, int stopFd) : fd_(fd), stopFd_(stopFd) {
        if (tls != nullptr) {
            ssl_ = SSL_new(tls);
            SSL_set_fd(ssl_, fd_);
        }
    }
    ~Connection() {
        if (ssl_ != nullptr) {
            SSL_shutdown(ssl_);
            SSL_free(ssl_);
        }
        ::close(fd_);
    }
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    bool handshake() {
        if (ssl_ == nullptr) {
            return true;
        }
        for (;;) {
            const int result = SSL_accept(ssl_);
            if (result == 1) {
                return true;
            }
            const int reason = SSL_get_error(ssl_, result);
            if ((reason != SSL_ERROR_WANT_READ && reason != SSL_ERROR_WANT_WRITE) || !wait()) {
                return false;
            }
        }
    }

    // Up to `size` bytes; 0 at the end or when the server stops.
    std::size_t read(char* data, std::size_t size) {
        for (;;) {
            if (ssl_ != nullptr && SSL_pending(ssl_) == 0 && !wait()) {
                return 0;
            }
            if (ssl_ == nullptr && !wait()) {
                return 0;
            }
            if (ssl_ != nullptr) {
                const int got = SSL_read(ssl_, data, static_cast<int>(size));
                if (got > 0) {
                    return static_cast<std::size_t>(got);
                }
                const int reason = SSL_get_error(ssl_, got);
                if (reason == SSL_ERROR_WANT_READ || reason == SSL_ERROR_WANT_WRITE) {
                    continue;
                }
                return 0;
            }
            const ssize_t got = ::recv(fd_, data, size, 0);
            return got > 0 ? static_cast<std::size_t>(got) : 0;
        }
    }

    void write(const std::string& bytes) {
        if (ssl_ != nullptr) {
            SSL_write(ssl_, bytes.data(), static_cast<int>(bytes.size()));
            return;
        }
        std::size_t sent = 0;
        while (sent < bytes.size()) {
            const ssize_t n = ::send(fd_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
            if (n <= 0) {
                return;
            }
            sent += static_cast<std::size_t>(n);
        }
    }

    // Waits until the peer hangs up or the server stops.
    void holdUntilClosed() {
        std::array<char, 512> scratch{};
        while (read(scratch.data(), scratch.size()) > 0) {
        }
    }

  private:
    // False when the server stops first.
    bool wait() const {
        std::array<pollfd, 2> fds{pollfd{fd_, POLLIN, 0}, pollfd{stopFd_, POLLIN, 0}};
        while (::poll(fds.data(), fds.size(), -1) < 0) {
        }
        return fds[1].revents == 0;
    }

    int fd_;
    int stopFd_;
    SSL* ssl_ = nullptr;
};

ScriptedHttpServer::Reply ScriptedHttpServer::json(int status, const std::string& body) {
    return text(status, "application/json", body);
}

ScriptedHttpServer::Reply ScriptedHttpServer::text(int status, const std::string& contentType,
                                                   const std::string& body) {
    return Reply{"HTTP/1.1 " + std::to_string(status) + " " + reasonFor(status) +
                     "\r\nContent-Type: " + contentType + "\r\nContent-Length: " +
                     std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body,
                 false};
}

ScriptedHttpServer::ScriptedHttpServer(Script script, std::optional<Tls> tls)
    : script_(std::move(script)) {
    if (tls) {
        tls_ = std::make_unique<TlsContext>();
        tls_->context = SSL_CTX_new(TLS_server_method());
        if (SSL_CTX_use_certificate_chain_file(tls_->context, tls->certificate.c_str()) != 1 ||
            SSL_CTX_use_PrivateKey_file(tls_->context, tls->key.c_str(), SSL_FILETYPE_PEM) != 1) {
            throw std::runtime_error("the test server cannot load its certificate");
        }
    }
    if (::pipe(stopPipe_) != 0) {
        throw std::runtime_error("pipe failed");
    }
    listenFd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;  // a free port, so parallel runs never collide
    // NOLINTNEXTLINE(cppcoreguidelines-pro-type-reinterpret-cast): the socket API's own cast
    auto* generic = reinterpret_cast<sockaddr*>(&address);
    socklen_t length = sizeof address;
    if (::bind(listenFd_, generic, sizeof address) != 0 || ::listen(listenFd_, 64) != 0 ||
        ::getsockname(listenFd_, generic, &length) != 0) {
        throw std::runtime_error("the test server cannot listen");
    }
    port_ = ntohs(address.sin_port);
    acceptor_ = std::thread([this] { acceptLoop(); });
}

ScriptedHttpServer::~ScriptedHttpServer() {
    const char stop = 's';
    [[maybe_unused]] const auto written = ::write(stopPipe_[1], &stop, 1);
    acceptor_.join();
    for (auto& worker : workers_) {
        worker.join();
    }
    ::close(listenFd_);
    ::close(stopPipe_[0]);
    ::close(stopPipe_[1]);
}

std::string ScriptedHttpServer::baseURL() const {
    return std::string(tls_ ? "https" : "http") + "://127.0.0.1:" + std::to_string(port_) + "/api";
}

std::vector<ScriptedHttpServer::Request> ScriptedHttpServer::requests() const {
    const std::lock_guard guard(mutex_);
    return requests_;
}

void ScriptedHttpServer::acceptLoop() {
    for (;;) {
        std::array<pollfd, 2> fds{pollfd{listenFd_, POLLIN, 0}, pollfd{stopPipe_[0], POLLIN, 0}};
        if (::poll(fds.data(), fds.size(), -1) < 0) {
            continue;
        }
        if (fds[1].revents != 0) {
            return;
        }
        const int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) {
            continue;
        }
        ++connections_;
        workers_.emplace_back([this, fd] { serve(fd); });
    }
}

void ScriptedHttpServer::serve(int fd) {
    Connection connection(fd, tls_ ? tls_->context : nullptr, stopPipe_[0]);
    if (!connection.handshake()) {
        return;
    }
    std::string received;
    std::array<char, 4096> chunk{};
    std::size_t headerEnd = std::string::npos;
    while ((headerEnd = received.find("\r\n\r\n")) == std::string::npos) {
        const std::size_t got = connection.read(chunk.data(), chunk.size());
        if (got == 0) {
            return;
        }
        received.append(chunk.data(), got);
    }
    Request request;
    const std::string head = received.substr(0, headerEnd);
    std::size_t lineEnd = head.find("\r\n");
    const std::string requestLine = head.substr(0, lineEnd);
    const std::size_t firstSpace = requestLine.find(' ');
    const std::size_t secondSpace = requestLine.find(' ', firstSpace + 1);
    request.method = requestLine.substr(0, firstSpace);
    request.target = requestLine.substr(firstSpace + 1, secondSpace - firstSpace - 1);
    while (lineEnd != std::string::npos && lineEnd < head.size()) {
        const std::size_t start = lineEnd + 2;
        lineEnd = head.find("\r\n", start);
        const std::string line = head.substr(start, lineEnd - start);
        const std::size_t colon = line.find(':');
        if (colon == std::string::npos) {
            continue;
        }
        std::string value = line.substr(colon + 1);
        value.erase(0, value.find_first_not_of(' '));
        request.headers[lower(line.substr(0, colon))] = value;
    }
    const std::size_t bodyLength = request.headers.count("content-length") != 0
                                       ? std::stoul(request.headers["content-length"])
                                       : 0;
    std::string body = received.substr(headerEnd + 4);
    while (body.size() < bodyLength) {
        const std::size_t got = connection.read(chunk.data(), chunk.size());
        if (got == 0) {
            return;
        }
        body.append(chunk.data(), got);
    }
    request.body = body.substr(0, bodyLength);
    {
        const std::lock_guard guard(mutex_);
        requests_.push_back(request);
    }
    const Reply reply = script_(request);
    if (reply.isHeld) {
        connection.holdUntilClosed();
        return;
    }
    connection.write(reply.bytes);
}

}  // namespace brimo::testing
