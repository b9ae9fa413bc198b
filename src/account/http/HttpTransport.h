#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "account/api/APIError.h"

namespace brimo::account::http {

struct HttpRequest {
    std::string url;
    std::string method;  // "GET" or "POST"
    std::vector<std::pair<std::string, std::string>> headers;
    std::optional<std::string> body;
};

struct HttpResponse {
    int statusCode = 0;
    std::string body;
    // The final answer's header fields, in the order they came.
    std::vector<std::pair<std::string, std::string>> headers;
};

// The peer answered, but not in HTTP.
struct NotHttpResponse {};

using HttpOutcome = std::variant<HttpResponse, NotHttpResponse, TransportError>;

struct HttpTransportOptions {
    // Trusted certificate authorities; the system's store when none.
    std::optional<std::filesystem::path> caFile;
    // Longest wait for the connection and between two pieces of the answer.
    std::chrono::milliseconds requestTimeout{30'000};
    // Longest time for the whole exchange.
    std::chrono::milliseconds resourceTimeout{60'000};
    // An answer larger than this is refused rather than held in memory.
    std::size_t maximumResponseBytes = 4U << 20U;
};

// HTTP(S) exchanges on one worker thread that drives a libcurl multi handle. Redirects are not
// followed and only http and https are spoken. Outcome handlers run on the worker thread and
// must return quickly (post the result elsewhere).
class HttpTransport {
  public:
    using RequestID = std::uint64_t;
    using Handler = std::function<void(HttpOutcome outcome)>;

    explicit HttpTransport(HttpTransportOptions options = {});
    // Ends every exchange in flight without calling its handler, then joins the worker.
    ~HttpTransport();
    HttpTransport(const HttpTransport&) = delete;
    HttpTransport& operator=(const HttpTransport&) = delete;

    // Starts the exchange; the handler is called exactly once (unless the transport is
    // destroyed first). Safe from any thread.
    RequestID send(const HttpRequest& request, Handler handler);

    // Ends the exchange; its handler receives TransportError::cancelled() unless it already
    // finished. Safe from any thread, including a handler.
    void cancel(RequestID id);

  private:
    struct Worker;
    std::unique_ptr<Worker> worker_;
};

}  // namespace brimo::account::http
