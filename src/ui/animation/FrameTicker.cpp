#include "ui/animation/FrameTicker.h"

#include <QCoreApplication>

#include "ui/animation/FrameClock.h"

namespace brimo::ui {

FrameTicker::FrameTicker(QObject* parent) : QObject(parent) {
    connect(FrameClock::instance(), &FrameClock::ticked, this, [this] {
        if (running_) {
            Q_EMIT ticked();
        }
    });
}

FrameTicker::~FrameTicker() {
    // Without the application its clock is gone too.
    if (running_ && QCoreApplication::instance() != nullptr) {
        FrameClock::instance()->unsubscribe();
    }
}

void FrameTicker::setRunning(bool running) {
    if (running == running_) {
        return;
    }
    running_ = running;
    if (running_) {
        FrameClock::instance()->subscribe();
    } else {
        FrameClock::instance()->unsubscribe();
    }
    Q_EMIT runningChanged();
}

}  // namespace brimo::ui
