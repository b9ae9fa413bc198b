#pragma once

#include <atomic>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace brimo::testing {

// A web server on a free loopback port that answers each request with what the test's script
// says, byte for byte: well-formed JSON answers, broken ones, no HTTP at all, or no answer
// until the server stops. Speaks HTTPS when given a certificate and key. Records every request.
class ScriptedHttpServer {
  public:
    struct Request {
        std::string method;
        std::string target;                          // e.g. "/api/auth/login"
        std::map<std::string, std::string> headers;  // names in lower case
        std::string body;
        [[nodiscard]] std::optional<std::string> header(const std::string& lowerName) const {
            const auto found = headers.find(lowerName);
            return found == headers.end() ? std::nullopt : std::optional(found->second);
        }
    };

    struct Reply {
        std::string bytes;    // written as they are, then the connection closes
        bool isHeld = false;  // nothing is written; the connection stays open until the end
    };
    static Reply json(int status, const std::string& body);
    static Reply text(int status, const std::string& contentType, const std::string& body);
    static Reply raw(std::string bytes) { return Reply{std::move(bytes), false}; }
    static Reply held() { return Reply{{}, true}; }

    using Script = std::function<Reply(const Request& request)>;

    struct Tls {
        std::filesystem::path certificate;
        std::filesystem::path key;
    };

    explicit ScriptedHttpServer(Script script, std::optional<Tls> tls = std::nullopt);
    ~ScriptedHttpServer();
    ScriptedHttpServer(const ScriptedHttpServer&) = delete;
    ScriptedHttpServer& operator=(const ScriptedHttpServer&) = delete;

    [[nodiscard]] int port() const { return port_; }
    // "http://127.0.0.1:PORT/api" (https with TLS).
    [[nodiscard]] std::string baseURL() const;
    [[nodiscard]] std::vector<Request> requests() const;
    // Connections accepted so far, answered or not.
    [[nodiscard]] int connectionCount() const { return connections_.load(); }

  private:
    struct TlsContext;

    void acceptLoop();
    void serve(int fd);

    Script script_;
    std::unique_ptr<TlsContext> tls_;
    int listenFd_ = -1;
    int stopPipe_[2] = {-1, -1};
    int port_ = 0;
    std::atomic<int> connections_{0};
    mutable std::mutex mutex_;
    std::vector<Request> requests_;
    std::vector<std::thread> workers_;
    std::thread acceptor_;
};

}  // namespace brimo::testing
