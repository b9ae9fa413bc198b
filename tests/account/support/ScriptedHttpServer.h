#pragma once

#include <httplib.h>

#include <condition_variable>
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
// says: well-formed JSON answers, broken ones, or no answer until the server stops. Speaks
// HTTPS when given a certificate and key. Records every request.
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
        int status = 200;
        std::string contentType;
        std::string body;
        httplib::Headers headers;
        bool isHeld = false;  // nothing is written; the connection stays open until the end
    };
    static Reply json(int status, std::string body) {
        return text(status, "application/json", std::move(body));
    }
    static Reply text(int status, std::string contentType, std::string body) {
        return Reply{status, std::move(contentType), std::move(body), {}, false};
    }
    static Reply held() { return Reply{0, {}, {}, {}, true}; }

    using Script = std::function<Reply(const Request& request)>;

    struct Tls {
        std::filesystem::path certificate;
        std::filesystem::path key;
    };

    explicit ScriptedHttpServer(Script script, std::optional<Tls> tls = std::nullopt);
    ~ScriptedHttpServer();
    ScriptedHttpServer(const ScriptedHttpServer&) = delete;
    ScriptedHttpServer& operator=(const ScriptedHttpServer&) = delete;

    // "http://127.0.0.1:PORT/api" (https with TLS).
    [[nodiscard]] std::string baseURL() const;
    [[nodiscard]] std::vector<Request> requests() const;

  private:
    void answer(const httplib::Request& request, httplib::Response& response);

    Script script_;
    bool tls_;
    std::unique_ptr<httplib::Server> server_;
    int port_ = 0;
    mutable std::mutex mutex_;
    std::condition_variable released_;
    bool stopping_ = false;
    std::vector<Request> requests_;
    std::thread serving_;
};

}  // namespace brimo::testing
