#include "ui/dispatch/QtMainQueue.h"

#include <QCoreApplication>
#include <QEvent>
#include <QThread>
#include <QTimer>
#include <algorithm>
#include <chrono>
#include <utility>

namespace brimo::ui {
namespace {

// A task on its way to the main thread.
class TaskEvent final : public QEvent {
  public:
    explicit TaskEvent(dispatch::Task task) : QEvent(kind()), task_(std::move(task)) {}

    static QEvent::Type kind() {
        static const auto type = static_cast<QEvent::Type>(QEvent::registerEventType());
        return type;
    }
    void run() { task_(); }

  private:
    dispatch::Task task_;
};

// Runs the tasks posted to it; events and timers still pending go with it.
class TaskContext final : public QObject {
  public:
    bool event(QEvent* event) override {
        if (event->type() == TaskEvent::kind()) {
            static_cast<TaskEvent*>(event)->run();
            return true;
        }
        return QObject::event(event);
    }
};

}  // namespace

QtMainQueue::QtMainQueue() : context_(new TaskContext) {}

QtMainQueue::~QtMainQueue() {
    // Pending queued calls and timers bound to the context are dropped with it.
    delete context_;
}

void QtMainQueue::post(dispatch::Task task) {
    // An event rather than a queued functor call: the event queue owns it from here on.
    QCoreApplication::postEvent(context_, new TaskEvent(std::move(task)));
}

void QtMainQueue::postAfter(dispatch::Duration delay, dispatch::Task task) {
    if (delay <= dispatch::Duration::zero()) {
        post(std::move(task));
        return;
    }
    const dispatch::Duration due = now() + delay;
    if (isMainThread()) {
        startTimer(due, std::move(task));
        return;
    }
    // A timer belongs to the thread that starts it: hand the start to the main thread, keeping
    // the due time measured from the moment of posting.
    post([this, due, task = std::move(task)]() mutable { startTimer(due, std::move(task)); });
}

void QtMainQueue::startTimer(dispatch::Duration due, dispatch::Task task) {
    const auto remaining =
        std::chrono::ceil<std::chrono::milliseconds>(std::max(due - now(), dispatch::Duration{}));
    // A timer of the context's own, so it goes with the queue; it lets itself go once fired.
    auto* timer = new QTimer(context_);
    timer->setSingleShot(true);
    timer->setTimerType(Qt::PreciseTimer);
    QObject::connect(timer, &QTimer::timeout, context_, [timer, task = std::move(task)] {
        timer->deleteLater();
        task();
    });
    timer->start(remaining);
}

dispatch::Duration QtMainQueue::now() const {
    return std::chrono::steady_clock::now().time_since_epoch();
}

int QtMainQueue::pendingTimerCount() const {
    return static_cast<int>(context_->findChildren<QTimer*>(Qt::FindDirectChildrenOnly).size());
}

bool QtMainQueue::isMainThread() const {
    return QThread::currentThread() == context_->thread();
}

}  // namespace brimo::ui
