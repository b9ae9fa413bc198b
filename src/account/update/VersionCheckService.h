#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "account/api/APIService.h"
#include "account/update/UpdateStatus.h"
#include "platform/console/ConsoleOutput.h"
#include "platform/dispatch/MainQueue.h"
#include "platform/observable/Published.h"

namespace brimo::account {

// Asks the web service for the latest released version, compares it with the running one and
// publishes the outcome. Shows nothing and downloads nothing. Confined to the main thread.
class VersionCheckService : public std::enable_shared_from_this<VersionCheckService> {
  public:
    struct Options {
        // Where the checks run; must outlive the service.
        dispatch::MainQueue* mainQueue = nullptr;
        // APIService::shared(*mainQueue) unless given.
        std::shared_ptr<APIService> api;
        // runningVersion() unless given.
        std::optional<std::string> currentVersion;
        // Standard output unless given.
        console::LineWriter print;
    };

    // Makes a checker; its first check starts on the main queue unless the checker is released
    // before then.
    static std::shared_ptr<VersionCheckService> create(Options options);

    // The process-wide instance, made for `mainQueue` on first use and never released.
    static std::shared_ptr<VersionCheckService> shared(dispatch::MainQueue& mainQueue);

    VersionCheckService(const VersionCheckService&) = delete;
    VersionCheckService& operator=(const VersionCheckService&) = delete;

    observable::Published<UpdateStatus>& updateStatus() { return updateStatus_; }
    observable::Published<bool>& isUpdateAvailable() { return isUpdateAvailable_; }
    // Where the new version can be downloaded: an absolute http(s) address, or none.
    observable::Published<std::optional<std::string>>& downloadURL() { return downloadURL_; }
    observable::Published<std::string>& releaseNotes() { return releaseNotes_; }
    observable::Published<std::string>& currentVersion() { return currentVersion_; }
    observable::Published<std::string>& latestVersion() { return latestVersion_; }

    // Runs one check; `done` runs when it has finished. Overlapping checks each write their
    // own results when they finish.
    void checkForUpdates(std::function<void()> done = {});

  private:
    explicit VersionCheckService(Options options);

    void apply(const VersionResponse& answer);

    const std::shared_ptr<APIService> api_;
    const console::LineWriter print_;
    observable::Published<UpdateStatus> updateStatus_;
    observable::Published<bool> isUpdateAvailable_{false};
    observable::Published<std::optional<std::string>> downloadURL_;
    observable::Published<std::string> releaseNotes_;
    observable::Published<std::string> currentVersion_;
    observable::Published<std::string> latestVersion_;
};

}  // namespace brimo::account
