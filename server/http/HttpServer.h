#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "config/ServerConfig.h"
#include "http/AccessLog.h"
#include "http/HttpExchange.h"
#include "http/WorkerPool.h"

struct MHD_Daemon;
struct MHD_Connection;

namespace brimo::server {

// The connection layer: one event thread reads and writes every connection, so a slow client
// holds a little memory and a connection slot, never a thread. Each request is bounded (request
// line, header count and size, body stated or chunked, a deadline for the whole of it) and
// refused with its status and an ErrorResponse; handlers that touch the store run on a small
// worker pool while their connection waits, suspended, and those that hash a password on a
// lane of their own, once admitted.
class HttpServer {
  public:
    using ErrorLog = std::function<void(const std::string&)>;

    // HTTPS when the configuration names a certificate and key (both are read here).
    HttpServer(std::vector<Route> routes, const ServerConfig& config, AccessLog& accessLog,
               ErrorLog errorLog);
    ~HttpServer();
    HttpServer(const HttpServer&) = delete;
    HttpServer& operator=(const HttpServer&) = delete;

    // Binds the configured address (port 0: any free port) and returns the port.
    int bind();
    // Serves until stop() is called from another thread; false if serving failed to start.
    bool run();
    // Safe from any thread at any time, also before run() has begun (run then returns at once).
    void stop();

    struct Exchange;
    struct Connection;

  private:
    bool startDaemon();
    void drainAndStop();
    void cutOverdueConnections();

    friend struct HttpServerCallbacks;

    std::vector<Route> routes_;
    const ServerConfig& config_;
    AccessLog& accessLog_;
    ErrorLog errorLog_;
    std::string certificatePem_;
    std::string keyPem_;
    int listeningSocket_ = -1;
    bool ipv6_ = false;
    MHD_Daemon* daemon_ = nullptr;
    std::unique_ptr<WorkerPool> workers_;
    std::unique_ptr<WorkerPool> hashingWorkers_;

    // Serving state: stop request, requests on the pool, the connections' request clocks.
    std::mutex mutex_;
    std::condition_variable changed_;
    bool stopRequested_ = false;
    bool draining_ = false;
    unsigned unfinished_ = 0;  // handed to the pool and not yet answered
    std::set<Connection*> connections_;
};

}  // namespace brimo::server
