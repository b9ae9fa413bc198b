#include "account/update/VersionCheckService.h"

#include <utility>

#include "account/api/ServiceAddress.h"
#include "account/update/RunningVersion.h"
#include "account/update/VersionOrdering.h"
#include "platform/dispatch/SharedService.h"
#include "platform/text/PrintableText.h"

namespace brimo::account {

std::shared_ptr<VersionCheckService> VersionCheckService::create(Options options) {
    dispatch::MainQueue& queue = *options.mainQueue;
    std::shared_ptr<VersionCheckService> service(new VersionCheckService(std::move(options)));
    queue.post([weak = std::weak_ptr<VersionCheckService>(service)] {
        if (auto self = weak.lock()) {
            self->checkForUpdates();
        }
    });
    return service;
}

std::shared_ptr<VersionCheckService> VersionCheckService::shared(dispatch::MainQueue& mainQueue) {
    return dispatch::sharedService<VersionCheckService>(mainQueue);
}

VersionCheckService::VersionCheckService(Options options)
    : api_(options.api ? std::move(options.api) : APIService::shared(*options.mainQueue)),
      print_(console::orStandardOutput(std::move(options.print))),
      currentVersion_(options.currentVersion ? std::move(*options.currentVersion)
                                             : runningVersion()) {}

void VersionCheckService::checkForUpdates(std::function<void()> done) {
    updateStatus_ = UpdateStatus::checking();
    api_->request<VersionResponse>(
        "/app/version", "GET",
        [weak = weak_from_this(), done = std::move(done)](const Result<VersionResponse>& result) {
            if (auto self = weak.lock()) {
                if (result.isSuccess()) {
                    self->apply(result.value());
                } else {
                    self->print_("Error checking for updates: " + result.error().fullDescription());
                    self->updateStatus_ =
                        UpdateStatus::error(result.error().localizedDescription());
                }
            }
            if (done) {
                done();
            }
        });
}

void VersionCheckService::apply(const VersionResponse& answer) {
    latestVersion_ = answer.version;
    releaseNotes_ = answer.releaseNotes;
    // Only a web address is handed on to be opened; anything else keeps the previous one.
    if (isWebAddress(answer.downloadUrl)) {
        downloadURL_ = answer.downloadUrl;
    }
    const bool isNewer = isNewerVersion(answer.version, currentVersion_.value());
    isUpdateAvailable_ = isNewer;
    updateStatus_ = isNewer ? UpdateStatus::updateAvailable() : UpdateStatus::upToDate();
    print_("Current: " + currentVersion_.value() + ", Remote: " + text::printable(answer.version) +
           ", Update Available: " + (isNewer ? "true" : "false"));
}

}  // namespace brimo::account
