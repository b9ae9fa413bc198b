#pragma once

#include <QtQml/qqmlregistration.h>

#include <QAbstractNativeEventFilter>
#include <QObject>
#include <QPointer>
#include <QWindow>

namespace brimo::ui {

// Whether anything of a window can be seen: shown, exposed (mapped, not minimised) and, on X11,
// not entirely covered by other windows. The views stop their videos and timers while it is
// false, so a window nobody sees costs next to nothing.
class WindowVisibility : public QObject, public QAbstractNativeEventFilter {
    Q_OBJECT
    QML_ELEMENT

    Q_PROPERTY(QWindow* window READ window WRITE setWindow NOTIFY windowChanged)
    Q_PROPERTY(bool isOnScreen READ isOnScreen NOTIFY isOnScreenChanged)
    // Set by the X server's visibility notifications; always false elsewhere.
    Q_PROPERTY(bool isCovered READ isCovered NOTIFY isCoveredChanged)

  public:
    explicit WindowVisibility(QObject* parent = nullptr);
    ~WindowVisibility() override;
    WindowVisibility(const WindowVisibility&) = delete;
    WindowVisibility& operator=(const WindowVisibility&) = delete;
    WindowVisibility(WindowVisibility&&) = delete;
    WindowVisibility& operator=(WindowVisibility&&) = delete;

    [[nodiscard]] QWindow* window() const { return window_; }
    void setWindow(QWindow* window);
    [[nodiscard]] bool isOnScreen() const { return isOnScreen_; }
    [[nodiscard]] bool isCovered() const { return isCovered_; }

    bool nativeEventFilter(const QByteArray& eventType, void* message, qintptr* result) override;

  Q_SIGNALS:
    void windowChanged();
    void isOnScreenChanged();
    void isCoveredChanged();

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    void watchX11Visibility();
    void update();

    QPointer<QWindow> window_;
    bool isOnScreen_ = false;
    bool isCovered_ = false;
    bool isWatchingX11_ = false;
};

}  // namespace brimo::ui
