#include "ui/dispatch/QtMainQueue.h"

#include <QMetaObject>
#include <QThread>
#include <QTimer>
#include <algorithm>
#include <chrono>
#include <utility>

namespace brimo::ui {

QtMainQueue::QtMainQueue() : context_(new QObject) {}

QtMainQueue::~QtMainQueue() {
    // Pending queued calls and timers bound to the context are dropped with it.
    delete context_;
}

void QtMainQueue::post(dispatch::Task task) {
    QMetaObject::invokeMethod(
        context_, [task = std::move(task)] { task(); }, Qt::QueuedConnection);
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
    QTimer::singleShot(remaining, Qt::PreciseTimer, context_, [task = std::move(task)] { task(); });
}

dispatch::Duration QtMainQueue::now() const {
    return std::chrono::steady_clock::now().time_since_epoch();
}

bool QtMainQueue::isMainThread() const {
    return QThread::currentThread() == context_->thread();
}

}  // namespace brimo::ui
