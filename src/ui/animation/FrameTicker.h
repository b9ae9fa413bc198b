#pragma once

#include <QtQml/qqmlregistration.h>

#include <QObject>

namespace brimo::ui {

// A view's handle on the window's frame clock: `ticked` on the clock's ticks while `running`.
class FrameTicker : public QObject {
    Q_OBJECT
    QML_ELEMENT

    Q_PROPERTY(bool running READ running WRITE setRunning NOTIFY runningChanged)

  public:
    explicit FrameTicker(QObject* parent = nullptr);
    ~FrameTicker() override;
    FrameTicker(const FrameTicker&) = delete;
    FrameTicker& operator=(const FrameTicker&) = delete;
    FrameTicker(FrameTicker&&) = delete;
    FrameTicker& operator=(FrameTicker&&) = delete;

    [[nodiscard]] bool running() const { return running_; }
    void setRunning(bool running);

  Q_SIGNALS:
    void runningChanged();
    void ticked();

  private:
    bool running_ = false;
};

}  // namespace brimo::ui
