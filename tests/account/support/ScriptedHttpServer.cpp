#include "account/support/ScriptedHttpServer.h"

#include <algorithm>
#include <cctype>
#include <stdexcept>

namespace brimo::testing {

namespace {
// Not a request of the test's: the one made before it, so that the HTTP library's lazily
// built tables exist before concurrent requests (ThreadSanitizer cannot see the library's
// own guard, which is built without it).
constexpr const char* kWarmUp = "/.scripted-http-server/ready";
}  // namespace

ScriptedHttpServer::ScriptedHttpServer(Script script, std::optional<Tls> tls)
    : script_(std::move(script)), tls_(tls.has_value()) {
    if (tls) {
        server_ = std::make_unique<httplib::SSLServer>(tls->certificate.c_str(), tls->key.c_str());
    } else {
        server_ = std::make_unique<httplib::Server>();
    }
    if (!server_->is_valid()) {
        throw std::runtime_error("the test server cannot load its certificate");
    }
    server_->set_keep_alive_max_count(1);  // one request per connection, as clients see most
    const auto handler = [this](const httplib::Request& request, httplib::Response& response) {
        answer(request, response);
    };
    server_->Get(".*", handler).Post(".*", handler).Put(".*", handler).Delete(".*", handler);
    port_ = server_->bind_to_any_port("127.0.0.1");  // a free port: parallel runs never collide
    if (port_ <= 0) {
        throw std::runtime_error("the test server cannot listen");
    }
    serving_ = std::thread([this] { server_->listen_after_bind(); });
    httplib::Client warmUp(std::string(tls_ ? "https" : "http") +
                           "://127.0.0.1:" + std::to_string(port_));
    warmUp.enable_server_certificate_verification(false);
    (void)warmUp.Get(kWarmUp);
}

ScriptedHttpServer::~ScriptedHttpServer() {
    {
        const std::lock_guard guard(mutex_);
        stopping_ = true;
    }
    released_.notify_all();
    server_->stop();
    serving_.join();
}

std::string ScriptedHttpServer::baseURL() const {
    return std::string(tls_ ? "https" : "http") + "://127.0.0.1:" + std::to_string(port_) + "/api";
}

std::vector<ScriptedHttpServer::Request> ScriptedHttpServer::requests() const {
    const std::lock_guard guard(mutex_);
    return requests_;
}

void ScriptedHttpServer::answer(const httplib::Request& request, httplib::Response& response) {
    if (request.path == kWarmUp) {
        return;
    }
    Request recorded{request.method, request.target, {}, request.body};
    for (const auto& [name, value] : request.headers) {
        std::string lower = name;
        std::transform(lower.begin(), lower.end(), lower.begin(),
                       [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
        recorded.headers[lower] = value;
    }
    {
        const std::lock_guard guard(mutex_);
        requests_.push_back(recorded);
    }
    const Reply reply = script_(recorded);
    if (reply.isHeld) {
        std::unique_lock lock(mutex_);
        released_.wait(lock, [this] { return stopping_; });
        return;
    }
    response.status = reply.status;
    response.headers = reply.headers;
    if (reply.contentType.empty()) {
        response.body = reply.body;
    } else {
        response.set_content(reply.body, reply.contentType.c_str());
    }
}

}  // namespace brimo::testing
