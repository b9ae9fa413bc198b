#pragma once

#include <QObject>
#include <QPointer>

#include "platform/dispatch/MainQueue.h"

namespace brimo::ui {

// The main queue on the Qt event loop of the thread that creates it (the GUI thread), so the
// manager, the services and the views share one thread and one loop. Posting is safe from any
// thread; delayed tasks are precise timers on the main thread.
class QtMainQueue final : public dispatch::MainQueue {
  public:
    QtMainQueue();
    ~QtMainQueue() override;
    QtMainQueue(const QtMainQueue&) = delete;
    QtMainQueue& operator=(const QtMainQueue&) = delete;
    QtMainQueue(QtMainQueue&&) = delete;
    QtMainQueue& operator=(QtMainQueue&&) = delete;

    void post(dispatch::Task task) override;
    void postAfter(dispatch::Duration delay, dispatch::Task task) override;
    [[nodiscard]] dispatch::Duration now() const override;
    [[nodiscard]] bool isMainThread() const override;
    // Timers of delayed tasks that have not yet let go (fired ones go at the next loop turn).
    [[nodiscard]] int pendingTimerCount() const;

  private:
    void startTimer(dispatch::Duration due, dispatch::Task task);

    // Tasks are delivered to this object, so they die with the queue instead of running after.
    QObject* context_;
};

}  // namespace brimo::ui
