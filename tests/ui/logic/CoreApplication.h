#pragma once

#include <QCoreApplication>

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

}  // namespace brimo::ui
