#pragma once

#include <memory>
#include <mutex>
#include <utility>

#include "platform/dispatch/MainQueue.h"

namespace brimo::dispatch {

// The process-wide instance of a service that lives on the main queue: made on first use by
// `Service::create` with default `Service::Options` but for `mainQueue`, and never released.
// A later call's queue is ignored; the first caller's is the one.
template <typename Service>
std::shared_ptr<Service> sharedService(MainQueue& mainQueue) {
    static std::once_flag once;
    static std::shared_ptr<Service> instance;
    std::call_once(once, [&mainQueue] {
        typename Service::Options options;
        options.mainQueue = &mainQueue;
        instance = Service::create(std::move(options));
    });
    return instance;
}

}  // namespace brimo::dispatch
