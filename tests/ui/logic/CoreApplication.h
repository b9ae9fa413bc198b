#pragma once

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <functional>

namespace brimo::ui {

// The one application object of the test process, made by whichever suite needs it first.
inline void ensureCoreApplication() {
    if (QCoreApplication::instance() != nullptr) {
        return;
    }
    static int argc = 1;
    static char name[] = "ui_logic_tests";
    static char* argv[] = {name, nullptr};
    static QCoreApplication application(argc, argv);
}

// Runs the event loop until `done` holds, at most `limitMs` milliseconds; whether it held.
inline bool runEventsUntil(const std::function<bool()>& done, int limitMs) {
    QDeadlineTimer deadline(limitMs);
    while (!done() && !deadline.hasExpired()) {
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 20);
    }
    return done();
}

}  // namespace brimo::ui
