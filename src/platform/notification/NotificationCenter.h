#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace brimo::notification {

// The process's notification centre: named notifications without a payload, delivered
// synchronously on the posting thread to every observer of that name, in the order they were
// added. Observers are identified by an opaque owner pointer, so an object can remove all of
// its observations at once. Safe from any thread.
class NotificationCenter {
  public:
    using Handler = std::function<void()>;

    NotificationCenter() = default;
    NotificationCenter(const NotificationCenter&) = delete;
    NotificationCenter& operator=(const NotificationCenter&) = delete;

    // The one centre of the process; never destroyed.
    static NotificationCenter& defaultCenter();

    void addObserver(const void* observer, std::string name, Handler handler);

    // Removes every observation `observer` made, of every name. When this returns on the thread
    // that posts, none of them runs again; an observer removed by another observer during a
    // post is skipped for the rest of that post.
    void removeObserver(const void* observer);

    void post(std::string_view name);

    [[nodiscard]] std::size_t observerCount() const;

  private:
    struct Observation {
        const void* observer;
        std::string name;
        Handler handler;
        bool isActive = true;
    };

    mutable std::mutex mutex_;
    std::vector<std::shared_ptr<Observation>> observations_;
};

}  // namespace brimo::notification
