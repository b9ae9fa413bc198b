#pragma once

#include <sys/types.h>

#include <filesystem>
#include <string>

namespace brimo::bench {

// One brimo-server process on a loopback port, with the benchmark's settings (no rate limits or
// per-address connection cap: every client is 127.0.0.1), stopped by its process ID.
class ServiceProcess {
  public:
    // `dir` holds its configuration, mail folder and standard output; threads 0 keeps the
    // service's own default.
    ServiceProcess(const std::filesystem::path& dir, const std::string& database,
                   const std::string& executable, unsigned threads);
    ~ServiceProcess();
    ServiceProcess(const ServiceProcess&) = delete;
    ServiceProcess& operator=(const ServiceProcess&) = delete;
    ServiceProcess(ServiceProcess&&) = delete;
    ServiceProcess& operator=(ServiceProcess&&) = delete;

    [[nodiscard]] int port() const { return port_; }

    // Waits (at most `limitSeconds`) until the process has used under 5 % of a core for half a
    // second: requests a cell left queued (hashes of clients that gave up) must not run into
    // the next cell.
    void waitUntilIdle(double limitSeconds) const;

  private:
    pid_t pid_ = -1;
    int port_ = 0;
};

}  // namespace brimo::bench
