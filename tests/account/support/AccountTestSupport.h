#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "account/api/APIService.h"
#include "account/auth/AuthService.h"
#include "account/support/ScriptedHttpServer.h"
#include "account/update/VersionCheckService.h"
#include "platform/dispatch/VirtualTimeMainQueue.h"
#include "platform/secrets/MemorySecretStore.h"
#include "support/LineCollector.h"

namespace brimo::testing {

// Answers by request target ("/api/user/me"), changeable while the server runs; 404 for
// anything not set.
class RouteTable {
  public:
    void set(const std::string& target, ScriptedHttpServer::Reply reply) {
        const std::lock_guard guard(mutex_);
        routes_[target] = std::move(reply);
    }
    ScriptedHttpServer::Script script() {
        return [this](const ScriptedHttpServer::Request& request) {
            const std::lock_guard guard(mutex_);
            const auto found = routes_.find(request.target);
            return found != routes_.end()
                       ? found->second
                       : ScriptedHttpServer::json(404, R"({"error":"Not found."})");
        };
    }

  private:
    std::mutex mutex_;
    std::map<std::string, ScriptedHttpServer::Reply> routes_;
};

// Runs the main queue until `isDone` holds: the answers come from real sockets, so the queue
// is drained as they arrive. False after `limit` (a hung request, never a slow one).
template <typename Predicate>
bool runMainQueueUntil(dispatch::VirtualTimeMainQueue& queue, Predicate isDone,
                       std::chrono::seconds limit = std::chrono::seconds(30)) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!isDone()) {
        if (queue.runUntilIdle() == 0) {
            if (std::chrono::steady_clock::now() > deadline) {
                return false;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }
    return true;
}

// One request (with a body or none), its result once it has arrived on the main queue.
template <typename Response, typename... Body>
std::optional<account::Result<Response>> call(dispatch::VirtualTimeMainQueue& queue,
                                              account::APIService& api, const std::string& path,
                                              const std::string& method, const Body&... body) {
    static_assert(sizeof...(Body) <= 1);
    std::optional<account::Result<Response>> result;
    api.request<Response>(path, method, body...,
                          [&](const account::Result<Response>& answer) { result.emplace(answer); });
    runMainQueueUntil(queue, [&] { return result.has_value(); });
    return result;
}

// What every client test holds: the main queue, the token store, the console, the routes.
class AccountClientTest : public ::testing::Test {
  protected:
    std::shared_ptr<account::APIService> makeAPI(
        const std::string& baseURL, account::http::HttpTransportOptions transport = {}) {
        account::APIService::Options options;
        options.mainQueue = &queue;
        options.baseURL = baseURL;
        options.tokenStore = tokens;
        options.transport = std::move(transport);
        options.print = printed.writer();
        return account::APIService::create(std::move(options));
    }

    // The services as the application makes them, on an API of makeAPI's.
    std::shared_ptr<account::AuthService> makeAuth(const std::string& baseURL) {
        account::AuthService::Options options;
        options.mainQueue = &queue;
        options.api = makeAPI(baseURL);
        return account::AuthService::create(std::move(options));
    }
    std::shared_ptr<account::VersionCheckService> makeVersionCheck(const std::string& baseURL,
                                                                   const std::string& current) {
        account::VersionCheckService::Options options;
        options.mainQueue = &queue;
        options.api = makeAPI(baseURL);
        options.currentVersion = current;
        options.print = printed.writer();
        return account::VersionCheckService::create(std::move(options));
    }

    // Runs one operation to its end and returns what it reported.
    template <typename Start>
    bool run(Start start) {
        std::optional<bool> outcome;
        start([&](bool value) { outcome = value; });
        EXPECT_TRUE(runMainQueueUntil(queue, [&] { return outcome.has_value(); }));
        return outcome.value_or(false);
    }

    // No console line carries any of `secrets`.
    void expectNotPrinted(std::initializer_list<std::string> secrets) const {
        for (const auto& line : printed.lines()) {
            for (const auto& secret : secrets) {
                EXPECT_EQ(line.find(secret), std::string::npos) << line;
            }
        }
    }

    dispatch::VirtualTimeMainQueue queue;
    std::shared_ptr<secrets::MemorySecretStore> tokens =
        std::make_shared<secrets::MemorySecretStore>();
    LineCollector printed;
    RouteTable routes;
};

}  // namespace brimo::testing
