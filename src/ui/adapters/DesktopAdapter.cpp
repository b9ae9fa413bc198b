#include "ui/adapters/DesktopAdapter.h"

#include <QProcess>
#include <QStandardPaths>
#include <utility>

#include "ui/desktop/SoundSettingsCommand.h"

namespace brimo::ui {

DesktopAdapter::DesktopAdapter(QObject* parent, Launcher launcher, ProgramLookup lookup,
                               QString currentDesktop)
    : QObject(parent),
      launcher_(std::move(launcher)),
      lookup_(std::move(lookup)),
      currentDesktop_(std::move(currentDesktop)) {
    if (!launcher_) {
        launcher_ = [](const QStringList& command) {
            return QProcess::startDetached(command.front(), command.mid(1));
        };
    }
    if (!lookup_) {
        lookup_ = [](const QString& program) {
            return !QStandardPaths::findExecutable(program).isEmpty();
        };
    }
    if (currentDesktop_.isEmpty()) {
        currentDesktop_ = qEnvironmentVariable("XDG_CURRENT_DESKTOP");
    }
}

bool DesktopAdapter::openSoundSettings() {
    const auto command = soundSettingsCommand(
        currentDesktop_.toStdString(),
        [this](const std::string& program) { return lookup_(QString::fromStdString(program)); });
    if (!command) {
        return false;
    }
    QStringList arguments;
    for (const auto& part : *command) {
        arguments.push_back(QString::fromStdString(part));
    }
    lastCommand_ = arguments;
    Q_EMIT lastCommandChanged();
    // A program that exists but fails to start is as good as none: the view explains.
    return launcher_(arguments);
}

}  // namespace brimo::ui
