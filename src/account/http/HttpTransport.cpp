#include "account/http/HttpTransport.h"

#include <curl/curl.h>
#include <curl/header.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <mutex>
#include <thread>
#include <unordered_map>

namespace brimo::account::http {
namespace {

void initialiseCurlOnce() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

struct Exchange {
    HttpTransport::RequestID id = 0;
    CURL* easy = nullptr;
    curl_slist* headers = nullptr;
    std::string received;
    std::size_t limit = 0;
    bool isTooLarge = false;
    HttpTransport::Handler handler;
    std::array<char, CURL_ERROR_SIZE> errorText{};

    Exchange() = default;
    Exchange(const Exchange&) = delete;
    Exchange& operator=(const Exchange&) = delete;
    ~Exchange() {
        if (easy != nullptr) {
            curl_easy_cleanup(easy);
        }
        curl_slist_free_all(headers);
    }
};

std::size_t receive(char* data, std::size_t size, std::size_t count, void* context) {
    auto* exchange = static_cast<Exchange*>(context);
    const std::size_t bytes = size * count;
    if (exchange->received.size() + bytes > exchange->limit) {
        exchange->isTooLarge = true;
        return 0;  // makes libcurl end the exchange with a write error
    }
    exchange->received.append(data, bytes);
    return bytes;
}

TransportError transportError(CURLcode code, const Exchange& exchange) {
    using Kind = TransportError::Kind;
    std::string detail = exchange.errorText.front() != '\0' ? std::string(exchange.errorText.data())
                                                            : curl_easy_strerror(code);
    switch (code) {
        case CURLE_OPERATION_TIMEDOUT:
            return {Kind::timedOut, "The request timed out.", std::move(detail)};
        case CURLE_COULDNT_CONNECT:
            return {Kind::cannotConnect, "Could not connect to the server.", std::move(detail)};
        case CURLE_COULDNT_RESOLVE_HOST:
        case CURLE_COULDNT_RESOLVE_PROXY:
            return {Kind::cannotFindHost,
                    "A server with the specified hostname could not be found.", std::move(detail)};
        case CURLE_GOT_NOTHING:
        case CURLE_RECV_ERROR:
        case CURLE_SEND_ERROR:
        case CURLE_PARTIAL_FILE:
        case CURLE_HTTP2:
        case CURLE_HTTP2_STREAM:
            return {Kind::connectionLost, "The network connection was lost.", std::move(detail)};
        case CURLE_SSL_CONNECT_ERROR:
        case CURLE_PEER_FAILED_VERIFICATION:
        case CURLE_SSL_CERTPROBLEM:
        case CURLE_SSL_CIPHER:
        case CURLE_SSL_CACERT_BADFILE:
        case CURLE_SSL_ISSUER_ERROR:
        case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
        case CURLE_SSL_INVALIDCERTSTATUS:
        case CURLE_SSL_CRL_BADFILE:
        case CURLE_SSL_SHUTDOWN_FAILED:
        case CURLE_USE_SSL_FAILED:
            return {Kind::secureConnectionFailed,
                    "An SSL error has occurred and a secure connection to the server cannot be "
                    "made.",
                    std::move(detail)};
        default:
            return {Kind::other,
                    std::string("The network request failed: ") + curl_easy_strerror(code) + ".",
                    std::move(detail)};
    }
}

HttpOutcome outcomeOf(CURLcode code, Exchange& exchange) {
    // A declared length over the limit stops libcurl before the body; a longer body than
    // declared stops our own write callback.
    if ((code == CURLE_WRITE_ERROR && exchange.isTooLarge) || code == CURLE_FILESIZE_EXCEEDED) {
        return TransportError{TransportError::Kind::answerTooLarge,
                              "The server's answer is too large.",
                              "more than " + std::to_string(exchange.limit) + " bytes"};
    }
    const std::string_view errorText(exchange.errorText.data());
    // A peer that answers with something other than a status line: libcurl reads it as
    // HTTP/0.9, which it refuses, or as a reply it cannot parse.
    if (code == CURLE_WEIRD_SERVER_REPLY ||
        (code == CURLE_UNSUPPORTED_PROTOCOL && errorText.find("HTTP/0.9") != std::string::npos)) {
        return NotHttpResponse{};
    }
    if (code != CURLE_OK) {
        return transportError(code, exchange);
    }
    long status = 0;
    curl_easy_getinfo(exchange.easy, CURLINFO_RESPONSE_CODE, &status);
    if (status <= 0) {
        return NotHttpResponse{};
    }
    HttpResponse response{static_cast<int>(status), std::move(exchange.received), {}};
    // -1: the last request of the exchange, the only one since redirects are not followed.
    curl_header* previous = nullptr;
    while (curl_header* header = curl_easy_nextheader(exchange.easy, CURLH_HEADER, -1, previous)) {
        response.headers.emplace_back(header->name, header->value);
        previous = header;
    }
    return response;
}

}  // namespace

struct HttpTransport::Worker {
    explicit Worker(HttpTransportOptions transportOptions)
        : options(std::move(transportOptions)), multi(curl_multi_init()) {
        thread = std::thread([this] { run(); });
    }
    Worker(const Worker&) = delete;
    Worker& operator=(const Worker&) = delete;
    ~Worker() {
        {
            const std::lock_guard guard(mutex);
            isStopping = true;
        }
        curl_multi_wakeup(multi);
        thread.join();
        curl_multi_cleanup(multi);
    }

    void run() {
        std::unordered_map<RequestID, std::unique_ptr<Exchange>> running;
        for (;;) {
            std::vector<std::unique_ptr<Exchange>> arrived;
            std::vector<RequestID> ended;
            bool stop = false;
            {
                const std::lock_guard guard(mutex);
                arrived.swap(submitted);
                ended.swap(cancelled);
                stop = isStopping;
            }
            if (stop) {
                for (auto& [id, exchange] : running) {
                    curl_multi_remove_handle(multi, exchange->easy);
                }
                return;
            }
            for (auto& exchange : arrived) {
                curl_multi_add_handle(multi, exchange->easy);
                const RequestID id = exchange->id;
                running.emplace(id, std::move(exchange));
            }
            for (const RequestID id : ended) {
                const auto found = running.find(id);
                if (found == running.end()) {
                    continue;
                }
                auto exchange = std::move(found->second);
                running.erase(found);
                curl_multi_remove_handle(multi, exchange->easy);
                exchange->handler(TransportError::cancelled());
            }

            int stillRunning = 0;
            curl_multi_perform(multi, &stillRunning);
            int waiting = 0;
            while (CURLMsg* message = curl_multi_info_read(multi, &waiting)) {
                if (message->msg != CURLMSG_DONE) {
                    continue;
                }
                Exchange* done = nullptr;
                curl_easy_getinfo(message->easy_handle, CURLINFO_PRIVATE, &done);
                const CURLcode code = message->data.result;
                const auto found = running.find(done->id);
                auto exchange = std::move(found->second);
                running.erase(found);
                curl_multi_remove_handle(multi, exchange->easy);
                exchange->handler(outcomeOf(code, *exchange));
            }
            curl_multi_poll(multi, nullptr, 0, 1000, nullptr);
        }
    }

    const HttpTransportOptions options;
    CURLM* const multi;
    std::mutex mutex;
    std::vector<std::unique_ptr<Exchange>> submitted;
    std::vector<RequestID> cancelled;
    bool isStopping = false;
    std::atomic<RequestID> nextID{1};
    std::thread thread;
};

HttpTransport::HttpTransport(HttpTransportOptions options) {
    initialiseCurlOnce();
    worker_ = std::make_unique<Worker>(std::move(options));
}

HttpTransport::~HttpTransport() = default;

HttpTransport::RequestID HttpTransport::send(const HttpRequest& request, Handler handler) {
    const HttpTransportOptions& options = worker_->options;
    auto exchange = std::make_unique<Exchange>();
    exchange->id = worker_->nextID.fetch_add(1);
    exchange->handler = std::move(handler);
    exchange->limit = options.maximumResponseBytes;
    exchange->easy = curl_easy_init();
    CURL* easy = exchange->easy;

    curl_easy_setopt(easy, CURLOPT_URL, request.url.c_str());
    curl_easy_setopt(easy, CURLOPT_PRIVATE, exchange.get());
    curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, exchange->errorText.data());
    curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 0L);
    // Loopback never goes through a proxy named in the environment.
    curl_easy_setopt(easy, CURLOPT_NOPROXY, "127.0.0.0/8,::1,localhost");
    curl_easy_setopt(easy, CURLOPT_ACCEPT_ENCODING, "");
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, receive);
    curl_easy_setopt(easy, CURLOPT_WRITEDATA, exchange.get());
    curl_easy_setopt(easy, CURLOPT_MAXFILESIZE_LARGE,
                     static_cast<curl_off_t>(options.maximumResponseBytes));
    curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT_MS,
                     static_cast<long>(options.requestTimeout.count()));
    curl_easy_setopt(easy, CURLOPT_TIMEOUT_MS, static_cast<long>(options.resourceTimeout.count()));
    // An answer that stalls longer than the request time-out ends the exchange.
    curl_easy_setopt(easy, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(easy, CURLOPT_LOW_SPEED_TIME,
                     std::max(1L, static_cast<long>(options.requestTimeout.count() / 1000)));
    if (options.caFile) {
        curl_easy_setopt(easy, CURLOPT_CAINFO, options.caFile->c_str());
    }

    for (const auto& [name, value] : request.headers) {
        std::string line = name;
        line += ": ";
        line += value;
        exchange->headers = curl_slist_append(exchange->headers, line.c_str());
    }
    // No "Expect: 100-continue" round trip before a larger body.
    exchange->headers = curl_slist_append(exchange->headers, "Expect:");
    curl_easy_setopt(easy, CURLOPT_HTTPHEADER, exchange->headers);

    if (request.method == "GET") {
        curl_easy_setopt(easy, CURLOPT_HTTPGET, 1L);
    } else {
        const std::string body = request.body.value_or("");
        curl_easy_setopt(easy, CURLOPT_POST, 1L);
        curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
        curl_easy_setopt(easy, CURLOPT_COPYPOSTFIELDS, body.c_str());
        if (request.method != "POST") {
            curl_easy_setopt(easy, CURLOPT_CUSTOMREQUEST, request.method.c_str());
        }
    }

    const RequestID id = exchange->id;
    {
        const std::lock_guard guard(worker_->mutex);
        worker_->submitted.push_back(std::move(exchange));
    }
    curl_multi_wakeup(worker_->multi);
    return id;
}

void HttpTransport::cancel(RequestID id) {
    {
        const std::lock_guard guard(worker_->mutex);
        worker_->cancelled.push_back(id);
    }
    curl_multi_wakeup(worker_->multi);
}

}  // namespace brimo::account::http
