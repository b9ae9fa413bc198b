#include "http/HttpServer.h"

#include <arpa/inet.h>
#include <microhttpd.h>
#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

#include <charconv>
#include <fstream>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <variant>

#include "platform/text/PrintableText.h"

namespace brimo::server {

using Clock = std::chrono::steady_clock;

// One connection's request clock: it starts when the connection opens and again after each
// answer, and runs while the request arrives; a request on the pool stops it.
struct HttpServer::Connection {
    int fd = -1;
    Clock::time_point requestStart = Clock::now();
    bool busy = false;
    bool cut = false;
};

// One request from its request line to its answer.
struct HttpServer::Exchange {
    Clock::time_point start = Clock::now();
    std::size_t requestTargetBytes = 0;
    bool headRead = false;
    bool dispatched = false;
    const Route* route = nullptr;
    std::optional<HttpReply> refusal;  // decided while reading: answered once it is read
    HttpRequest request;
    std::mutex mutex;  // guards `reply`, written by a worker
    std::optional<HttpReply> reply;
    int status = 0;  // what was sent, for the access log
    std::size_t bytes = 0;
};

namespace {

std::string readWhole(const std::filesystem::path& path, const char* what) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    if (!in || text.str().empty()) {
        throw std::runtime_error(std::string("cannot read the TLS ") + what + " " + path.string());
    }
    return text.str();
}

std::string addressText(const sockaddr* address) {
    std::array<char, INET6_ADDRSTRLEN> text{};
    if (address == nullptr) {
        return "";
    }
    if (address->sa_family == AF_INET) {
        const auto* v4 = reinterpret_cast<const sockaddr_in*>(address);
        ::inet_ntop(AF_INET, &v4->sin_addr, text.data(), text.size());
    } else if (address->sa_family == AF_INET6) {
        const auto* v6 = reinterpret_cast<const sockaddr_in6*>(address);
        ::inet_ntop(AF_INET6, &v6->sin6_addr, text.data(), text.size());
    }
    return text.data();
}

// application/x-www-form-urlencoded fields, decoded by the library's own unescaping.
void appendFormFields(const std::string& body,
                      std::vector<std::pair<std::string, std::string>>& out) {
    auto decode = [](std::string text) {
        for (char& c : text) {
            if (c == '+') {
                c = ' ';
            }
        }
        text.resize(MHD_http_unescape(text.data()));
        return text;
    };
    std::size_t at = 0;
    while (at <= body.size()) {
        const std::size_t end = std::min(body.find('&', at), body.size());
        const std::string field = body.substr(at, end - at);
        if (!field.empty()) {
            const auto equals = field.find('=');
            out.emplace_back(decode(field.substr(0, equals)),
                             equals == std::string::npos ? "" : decode(field.substr(equals + 1)));
        }
        at = end + 1;
    }
}

MHD_Result collectPair(void* target, MHD_ValueKind, const char* key, const char* value) {
    static_cast<std::vector<std::pair<std::string, std::string>>*>(target)->emplace_back(
        key != nullptr ? key : "", value != nullptr ? value : "");
    return MHD_YES;
}

HttpServer::Connection* connectionOf(MHD_Connection* connection) {
    const auto* info = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_SOCKET_CONTEXT);
    return info != nullptr ? static_cast<HttpServer::Connection*>(info->socket_context) : nullptr;
}

}  // namespace

// The library's callbacks, with access to the server's state.
struct HttpServerCallbacks {
    static void* requestLine(void* self, const char* uri, MHD_Connection*) {
        (void)self;
        auto* exchange = new HttpServer::Exchange;  // NOLINT(cppcoreguidelines-owning-memory)
        exchange->requestTargetBytes = std::char_traits<char>::length(uri);
        return exchange;
    }

    static void connectionEvent(void* cls, MHD_Connection* connection, void** socketContext,
                                MHD_ConnectionNotificationCode code) {
        auto& server = *static_cast<HttpServer*>(cls);
        std::lock_guard lock(server.mutex_);
        if (code == MHD_CONNECTION_NOTIFY_STARTED) {
            auto* state = new HttpServer::Connection;  // NOLINT(cppcoreguidelines-owning-memory)
            const auto* info =
                MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CONNECTION_FD);
            state->fd = info != nullptr ? info->connect_fd : -1;
            server.connections_.insert(state);
            *socketContext = state;
        } else {
            // Called before the library closes the socket: the deadline sweep, which holds
            // the same lock, never touches a descriptor that may have been reused.
            auto* state = static_cast<HttpServer::Connection*>(*socketContext);
            server.connections_.erase(state);
            delete state;  // NOLINT(cppcoreguidelines-owning-memory)
            *socketContext = nullptr;
        }
    }

    static void completed(void* cls, MHD_Connection* connection, void** context,
                          MHD_RequestTerminationCode) {
        auto& server = *static_cast<HttpServer*>(cls);
        auto* exchange = static_cast<HttpServer::Exchange*>(*context);
        *context = nullptr;
        {
            std::lock_guard lock(server.mutex_);
            if (auto* state = connectionOf(connection)) {
                state->busy = false;
                state->requestStart = Clock::now();
            }
            if (exchange != nullptr && exchange->dispatched) {
                --server.unfinished_;
                server.changed_.notify_all();
            }
        }
        if (exchange == nullptr) {
            return;
        }
        // A request cut short before its answer (deadline, oversize head, client gone) is
        // logged with status 0.
        const double ms =
            std::chrono::duration<double, std::milli>(Clock::now() - exchange->start).count();
        const auto* info = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
        server.accessLog_.write(exchange->request.client.empty() && info != nullptr
                                    ? addressText(info->client_addr)
                                    : exchange->request.client,
                                exchange->request.method, exchange->request.path, exchange->status,
                                ms, exchange->bytes);
        delete exchange;  // NOLINT(cppcoreguidelines-owning-memory)
    }

    static MHD_Result send(HttpServer& server, MHD_Connection* connection,
                           HttpServer::Exchange& exchange, const HttpReply& reply) {
        auto* response = MHD_create_response_from_buffer(
            reply.body.size(), const_cast<char*>(reply.body.data()), MHD_RESPMEM_MUST_COPY);
        if (response == nullptr) {
            return MHD_NO;
        }
        MHD_add_response_header(response, "Content-Type", reply.contentType.c_str());
        // API answers carry tokens and account data: never cached.
        MHD_add_response_header(response, "Cache-Control", "no-store");
        MHD_add_response_header(response, "X-Content-Type-Options", "nosniff");
        if (server.config_.tls.enabled()) {
            MHD_add_response_header(response, "Strict-Transport-Security", "max-age=31536000");
        }
        if (exchange.refusal) {
            // What follows a refused request is not worth reading.
            MHD_add_response_header(response, "Connection", "close");
        }
        for (const auto& [name, value] : reply.headers) {
            MHD_add_response_header(response, name.c_str(), value.c_str());
        }
        const MHD_Result queued =
            MHD_queue_response(connection, static_cast<unsigned>(reply.status), response);
        MHD_destroy_response(response);
        exchange.status = reply.status;
        exchange.bytes = reply.body.size();
        return queued;
    }

    // The request line and headers are in: check them against the limits and find the route.
    static std::optional<HttpReply> readHead(HttpServer& server, MHD_Connection* connection,
                                             HttpServer::Exchange& exchange, const char* url,
                                             const char* method) {
        const auto& limits = server.config_.http;
        auto& req = exchange.request;
        req.method = method;
        req.path = url;
        req.tls = server.config_.tls.enabled();
        const auto* info = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
        req.client = info != nullptr ? addressText(info->client_addr) : "";
        if (exchange.requestTargetBytes > limits.requestLineBytes) {
            return errorReply(414);
        }
        MHD_get_connection_values(connection, MHD_HEADER_KIND, &collectPair, &req.headers);
        std::size_t headerBytes = 0;
        for (const auto& [name, value] : req.headers) {
            headerBytes += name.size() + value.size() + 4;  // ": " and the line break
        }
        if (req.headers.size() > limits.headerCount || headerBytes > limits.headerBytes) {
            return errorReply(431);
        }
        const std::string length = req.header("Content-Length");
        std::size_t stated = 0;
        if (!length.empty() &&
            (std::from_chars(length.data(), length.data() + length.size(), stated).ec !=
                 std::errc() ||
             stated > server.config_.bodyLimitBytes)) {
            return errorReply(413);
        }
        for (const auto& route : server.routes_) {
            if (route.path == req.path && route.method == req.method) {
                exchange.route = &route;
                return std::nullopt;
            }
        }
        return errorReply(404);
    }

    static HttpReply handle(HttpServer& server, const HttpServer::Exchange& exchange) {
        const auto& req = exchange.request;
        try {
            return exchange.route->handler(req);
        } catch (const StoreUnavailable& e) {
            server.errorLog_(text::printable(req.method + " " + req.path) + ": " + e.what());
            return errorReply(503);
        } catch (const std::exception& e) {
            server.errorLog_(text::printable(req.method + " " + req.path) + ": " + e.what());
        } catch (...) {
            server.errorLog_(text::printable(req.method + " " + req.path) + ": unknown failure");
        }
        return errorReply(500);
    }

    static MHD_Result request(void* cls, MHD_Connection* connection, const char* url,
                              const char* method, const char*, const char* uploadData,
                              std::size_t* uploadSize, void** context) {
        auto& server = *static_cast<HttpServer*>(cls);
        auto* exchange = static_cast<HttpServer::Exchange*>(*context);
        if (exchange == nullptr) {  // the request line callback always runs first
            return MHD_NO;
        }
        if (!exchange->headRead) {
            exchange->headRead = true;
            exchange->refusal = readHead(server, connection, *exchange, url, method);
            // Refused before the body: the library closes the connection after the answer
            // rather than reading a body nobody wants.
            return exchange->refusal ? send(server, connection, *exchange, *exchange->refusal)
                                     : MHD_YES;
        }
        if (*uploadSize > 0) {
            auto& body = exchange->request.body;
            // A chunked body past the limit is read on but not kept (the library cannot
            // answer in the middle of a body), within the request's deadline, then refused.
            if (exchange->refusal || body.size() + *uploadSize > server.config_.bodyLimitBytes) {
                if (!exchange->refusal) {
                    body = std::string();
                    exchange->refusal = errorReply(413);
                }
                *uploadSize = 0;
                return MHD_YES;
            }
            body.append(uploadData, *uploadSize);
            *uploadSize = 0;
            return MHD_YES;
        }
        if (exchange->refusal) {
            return exchange->status == 0 ? send(server, connection, *exchange, *exchange->refusal)
                                         : MHD_YES;
        }
        if (exchange->dispatched) {  // resumed: the worker's answer is ready
            std::unique_lock lock(exchange->mutex);
            const HttpReply reply = std::move(*exchange->reply);
            lock.unlock();
            return send(server, connection, *exchange, reply);
        }

        auto& req = exchange->request;
        MHD_get_connection_values(connection, MHD_GET_ARGUMENT_KIND, &collectPair, &req.params);
        if (req.header("Content-Type").starts_with("application/x-www-form-urlencoded")) {
            appendFormFields(req.body, req.params);
        }
        const Route& route = *exchange->route;
        if (route.lane == Lane::quick) {
            return send(server, connection, *exchange, handle(server, *exchange));
        }
        // Admitted before it waits for a worker, so the refusal comes at once.
        LanePlace place;
        if (route.lane == Lane::hashing && route.admit) {
            auto admission = route.admit();
            if (auto* busy = std::get_if<HttpReply>(&admission)) {
                return send(server, connection, *exchange, *busy);
            }
            place = std::move(std::get<LanePlace>(admission));
        }
        {
            std::lock_guard lock(server.mutex_);
            if (server.draining_) {
                exchange->refusal = errorReply(503);
            } else {
                exchange->dispatched = true;
                ++server.unfinished_;
                if (auto* state = connectionOf(connection)) {
                    state->busy = true;
                }
            }
        }
        if (exchange->refusal) {
            return send(server, connection, *exchange, *exchange->refusal);
        }
        MHD_suspend_connection(connection);
        auto& lane = route.lane == Lane::hashing ? *server.hashingWorkers_ : *server.workers_;
        lane.post([&server, connection, exchange, place = std::move(place)]() mutable {
            HttpReply reply = handle(server, *exchange);
            place.reset();  // the hashing is done before the answer goes
            {
                std::lock_guard lock(exchange->mutex);
                exchange->reply = std::move(reply);
            }
            MHD_resume_connection(connection);
        });
        return MHD_YES;
    }
};

HttpServer::HttpServer(std::vector<Route> routes, const ServerConfig& config, AccessLog& accessLog,
                       ErrorLog errorLog)
    : routes_(std::move(routes)),
      config_(config),
      accessLog_(accessLog),
      errorLog_(std::move(errorLog)) {
    if (config_.tls.enabled()) {
        if (MHD_is_feature_supported(MHD_FEATURE_TLS) != MHD_YES) {
            throw std::runtime_error("this build of libmicrohttpd cannot serve HTTPS");
        }
        certificatePem_ = readWhole(config_.tls.certificate, "certificate");
        keyPem_ = readWhole(config_.tls.key, "key");
        // A daemon without a socket tries the pair now, so a bad one stops the start.
        MHD_Daemon* trial = MHD_start_daemon(
            MHD_USE_TLS | MHD_USE_NO_LISTEN_SOCKET, 0, nullptr, nullptr,
            &HttpServerCallbacks::request, this, MHD_OPTION_HTTPS_MEM_CERT, certificatePem_.c_str(),
            MHD_OPTION_HTTPS_MEM_KEY, keyPem_.c_str(), MHD_OPTION_END);
        if (trial == nullptr) {
            throw std::runtime_error("cannot load the TLS certificate " +
                                     config_.tls.certificate.string() + " and key " +
                                     config_.tls.key.string());
        }
        MHD_stop_daemon(trial);
    }
}

HttpServer::~HttpServer() {
    if (daemon_ != nullptr) {
        MHD_stop_daemon(daemon_);
    }
    if (listeningSocket_ >= 0) {
        ::close(listeningSocket_);
    }
    // The key's copy does not outlive the server.
    std::fill(keyPem_.begin(), keyPem_.end(), '\0');
}

int HttpServer::bind() {
    const std::string where = config_.listenHost + ":" + std::to_string(config_.listenPort);
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
    addrinfo* found = nullptr;
    if (::getaddrinfo(config_.listenHost.c_str(), std::to_string(config_.listenPort).c_str(),
                      &hints, &found) != 0) {
        throw std::runtime_error("cannot listen on " + where + " (not an address)");
    }
    const std::unique_ptr<addrinfo, void (*)(addrinfo*)> addresses(found, &::freeaddrinfo);
    const int fd = ::socket(found->ai_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int yes = 1;
    // No SO_REUSEPORT: a second instance on the same port must fail to start, not share it.
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    if (fd < 0 || ::bind(fd, found->ai_addr, found->ai_addrlen) != 0 ||
        ::listen(fd, SOMAXCONN) != 0) {
        if (fd >= 0) {
            ::close(fd);
        }
        throw std::runtime_error("cannot listen on " + where +
                                 " (in use, or not an address of this machine)");
    }
    listeningSocket_ = fd;
    ipv6_ = found->ai_family == AF_INET6;
    sockaddr_storage bound{};
    socklen_t length = sizeof bound;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &length);
    return ntohs(ipv6_ ? reinterpret_cast<sockaddr_in6*>(&bound)->sin6_port
                       : reinterpret_cast<sockaddr_in*>(&bound)->sin_port);
}

bool HttpServer::startDaemon() {
    const auto& limits = config_.http;
    unsigned flags =
        MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_POLL | MHD_ALLOW_SUSPEND_RESUME | MHD_USE_ITC;
    if (ipv6_) {
        flags |= MHD_USE_IPv6;
    }
    if (config_.tls.enabled()) {
        flags |= MHD_USE_TLS;
    }
    // The memory one connection may use holds its request line and headers (refused past
    // their own limits with an ErrorResponse well before it fills) and its answer's headers.
    const std::size_t connectionMemory =
        limits.requestLineBytes + limits.headerBytes + limits.headerCount * 64 + 16 * 1024;
    std::vector<MHD_OptionItem> options = {
        {MHD_OPTION_LISTEN_SOCKET, listeningSocket_, nullptr},
        {MHD_OPTION_CONNECTION_MEMORY_LIMIT, static_cast<intptr_t>(connectionMemory), nullptr},
        {MHD_OPTION_CONNECTION_LIMIT, limits.connections, nullptr},
        {MHD_OPTION_PER_IP_CONNECTION_LIMIT, limits.connectionsPerClient, nullptr},
        {MHD_OPTION_CONNECTION_TIMEOUT, limits.idleSeconds, nullptr},
        {MHD_OPTION_URI_LOG_CALLBACK, reinterpret_cast<intptr_t>(&HttpServerCallbacks::requestLine),
         this},
        {MHD_OPTION_NOTIFY_COMPLETED, reinterpret_cast<intptr_t>(&HttpServerCallbacks::completed),
         this},
        {MHD_OPTION_NOTIFY_CONNECTION,
         reinterpret_cast<intptr_t>(&HttpServerCallbacks::connectionEvent), this},
    };
    if (config_.tls.enabled()) {
        options.push_back({MHD_OPTION_HTTPS_MEM_CERT, 0, certificatePem_.data()});
        options.push_back({MHD_OPTION_HTTPS_MEM_KEY, 0, keyPem_.data()});
    }
    options.push_back({MHD_OPTION_END, 0, nullptr});
    workers_ = std::make_unique<WorkerPool>(config_.threads);
    // As many as the store's: those not hashing read or write the store around their hash (a
    // PostgreSQL commit can take as long as a hash), or wait their turn at the hashers.
    hashingWorkers_ = std::make_unique<WorkerPool>(config_.threads);
    daemon_ = MHD_start_daemon(flags, 0, nullptr, nullptr, &HttpServerCallbacks::request, this,
                               MHD_OPTION_ARRAY, options.data(), MHD_OPTION_END);
    return daemon_ != nullptr;
}

bool HttpServer::run() {
    {
        std::lock_guard lock(mutex_);
        if (stopRequested_) {
            return true;
        }
    }
    if (!startDaemon()) {
        errorLog_("cannot start serving");
        return false;
    }
    std::unique_lock lock(mutex_);
    while (!stopRequested_) {
        // The sweep cuts requests past their deadline; a second is fine-grained enough.
        changed_.wait_for(lock, std::chrono::milliseconds(250));
        if (!stopRequested_) {
            lock.unlock();
            cutOverdueConnections();
            lock.lock();
        }
    }
    lock.unlock();
    drainAndStop();
    return true;
}

void HttpServer::stop() {
    std::lock_guard lock(mutex_);
    stopRequested_ = true;
    changed_.notify_all();
}

void HttpServer::cutOverdueConnections() {
    const auto deadline = std::chrono::seconds(config_.http.requestSeconds);
    const auto now = Clock::now();
    std::lock_guard lock(mutex_);
    for (auto* state : connections_) {
        if (!state->busy && !state->cut && now - state->requestStart > deadline) {
            // The event thread sees the end of the stream and closes the connection itself.
            ::shutdown(state->fd, SHUT_RDWR);
            state->cut = true;
        }
    }
}

void HttpServer::drainAndStop() {
    // No new connections; running requests finish and are answered (new ones on open
    // connections get 503), for a bounded time, then every connection is closed.
    const int socket = MHD_quiesce_daemon(daemon_);
    std::unique_lock lock(mutex_);
    draining_ = true;
    changed_.wait_for(lock, std::chrono::seconds(10), [this] { return unfinished_ == 0; });
    lock.unlock();
    // Workers still hashing must not resume a connection of a stopped daemon: wait for them.
    workers_.reset();
    hashingWorkers_.reset();
    MHD_stop_daemon(daemon_);
    daemon_ = nullptr;
    if (socket >= 0) {
        ::close(socket);
    }
    listeningSocket_ = -1;
}

}  // namespace brimo::server
