#pragma once

#include <QtQml/qqmlregistration.h>

#include <QObject>
#include <QString>
#include <QStringList>
#include <functional>

namespace brimo::ui {

// What the views ask of the desktop itself: its sound settings.
class DesktopAdapter : public QObject {
    Q_OBJECT
    QML_NAMED_ELEMENT(Desktop)
    QML_UNCREATABLE("The application hands the desktop to the views")

    // The last command started, program first (tests read it).
    Q_PROPERTY(QStringList lastCommand READ lastCommand NOTIFY lastCommandChanged)

  public:
    // Starts a program detached; false when it could not be started.
    using Launcher = std::function<bool(const QStringList& command)>;
    // Whether a program is on the PATH.
    using ProgramLookup = std::function<bool(const QString& program)>;

    // The real desktop unless given: XDG_CURRENT_DESKTOP, the PATH and detached processes.
    explicit DesktopAdapter(QObject* parent = nullptr, Launcher launcher = {},
                            ProgramLookup lookup = {}, QString currentDesktop = {});

    // False when this desktop has no sound settings to open (the view then explains).
    Q_INVOKABLE bool openSoundSettings();

    [[nodiscard]] QStringList lastCommand() const { return lastCommand_; }

  Q_SIGNALS:
    void lastCommandChanged();

  private:
    Launcher launcher_;
    ProgramLookup lookup_;
    QString currentDesktop_;
    QStringList lastCommand_;
};

}  // namespace brimo::ui
