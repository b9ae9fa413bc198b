#pragma once

#include <cstdio>
#include <mutex>
#include <string>

namespace brimo::server {

// One JSON object per request: time, client address, method, path (never the query, which
// may carry a reset token), status, duration and response size. Headers and bodies are never
// written, so no password or token reaches it.
class AccessLog {
  public:
    // "-" for standard output, "off", or a file to append to (created 0640).
    explicit AccessLog(const std::string& destination);
    ~AccessLog();
    AccessLog(const AccessLog&) = delete;
    AccessLog& operator=(const AccessLog&) = delete;

    void write(const std::string& client, const std::string& method, const std::string& path,
               int status, double milliseconds, std::size_t bytes);

  private:
    std::mutex mutex_;
    std::FILE* out_ = nullptr;
    bool owned_ = false;
};

}  // namespace brimo::server
