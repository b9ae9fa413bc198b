#include "ui/animation/FrameClock.h"

#include <QCoreApplication>

namespace brimo::ui {

FrameClock* FrameClock::instance() {
    // Parented to the application, so it goes with the event loop it runs on.
    static QPointer<FrameClock> clock;
    if (clock == nullptr) {
        clock = new FrameClock(QCoreApplication::instance());
    }
    return clock;
}

FrameClock::FrameClock(QObject* parent) : QObject(parent) {
    timer_.setSingleShot(true);
    timer_.setTimerType(Qt::PreciseTimer);
    connect(&timer_, &QTimer::timeout, this, &FrameClock::tick);
    epoch_.start();
}

void FrameClock::subscribe() {
    ++subscribers_;
    if (!timer_.isActive()) {
        armForNextTick();
    }
}

void FrameClock::unsubscribe() {
    // The timer stops at its next tick if nobody is left, so a subscriber that leaves and
    // joins again between two ticks keeps the grid.
    if (subscribers_ > 0) {
        --subscribers_;
    }
}

void FrameClock::armForNextTick() {
    const qint64 elapsed = epoch_.elapsed();
    const qint64 next = (elapsed / kIntervalMs + 1) * kIntervalMs;
    timer_.start(static_cast<int>(next - elapsed));
}

void FrameClock::tick() {
    if (subscribers_ == 0) {
        return;
    }
    // Armed before the subscribers run: one that leaves now is counted at the next tick.
    armForNextTick();
    Q_EMIT ticked();
}

}  // namespace brimo::ui
