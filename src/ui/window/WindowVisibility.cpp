#include "ui/window/WindowVisibility.h"

#include <QtGui/qguiapplication_platform.h>
#include <xcb/xcb.h>

#include <QCoreApplication>
#include <QEvent>
#include <QGuiApplication>
#include <cstdlib>
#include <memory>

namespace brimo::ui {

WindowVisibility::WindowVisibility(QObject* parent) : QObject(parent) {
    QCoreApplication::instance()->installNativeEventFilter(this);
}

WindowVisibility::~WindowVisibility() {
    if (QCoreApplication::instance() != nullptr) {
        QCoreApplication::instance()->removeNativeEventFilter(this);
    }
}

void WindowVisibility::setWindow(QWindow* window) {
    if (window == window_) {
        return;
    }
    if (window_) {
        window_->removeEventFilter(this);
        disconnect(window_, nullptr, this, nullptr);
    }
    window_ = window;
    isCovered_ = false;
    isWatchingX11_ = false;
    if (window_) {
        window_->installEventFilter(this);
        connect(window_, &QWindow::visibilityChanged, this, &WindowVisibility::update);
        connect(window_, &QWindow::visibleChanged, this, &WindowVisibility::update);
        watchX11Visibility();
    }
    Q_EMIT windowChanged();
    update();
}

void WindowVisibility::watchX11Visibility() {
    // Qt does not ask the X server whether the window is covered; add that to the events the
    // window already receives.
    auto* x11 = qGuiApp->nativeInterface<QNativeInterface::QX11Application>();
    if (x11 == nullptr || !window_ || window_->handle() == nullptr || isWatchingX11_) {
        return;
    }
    xcb_connection_t* connection = x11->connection();
    const auto id = static_cast<xcb_window_t>(window_->winId());
    const std::unique_ptr<xcb_get_window_attributes_reply_t, decltype(&std::free)> attributes(
        xcb_get_window_attributes_reply(connection, xcb_get_window_attributes(connection, id),
                                        nullptr),
        &std::free);
    if (!attributes) {
        return;
    }
    const uint32_t mask = attributes->your_event_mask | XCB_EVENT_MASK_VISIBILITY_CHANGE;
    xcb_change_window_attributes(connection, id, XCB_CW_EVENT_MASK, &mask);
    xcb_flush(connection);
    isWatchingX11_ = true;
}

bool WindowVisibility::nativeEventFilter(const QByteArray& eventType, void* message,
                                         qintptr* /*result*/) {
    if (eventType != "xcb_generic_event_t" || !window_ || !isWatchingX11_) {
        return false;
    }
    const auto* event = static_cast<const xcb_generic_event_t*>(message);
    if ((event->response_type & 0x7F) != XCB_VISIBILITY_NOTIFY) {
        return false;
    }
    const auto* visibility = static_cast<const xcb_visibility_notify_event_t*>(message);
    if (visibility->window == static_cast<xcb_window_t>(window_->winId())) {
        const bool covered = visibility->state == XCB_VISIBILITY_FULLY_OBSCURED;
        if (covered != isCovered_) {
            isCovered_ = covered;
            Q_EMIT isCoveredChanged();
            update();
        }
    }
    // Qt ignores these events; let it see them anyway.
    return false;
}

bool WindowVisibility::eventFilter(QObject* watched, QEvent* event) {
    if (watched == window_ &&
        (event->type() == QEvent::Expose || event->type() == QEvent::Show ||
         event->type() == QEvent::Hide || event->type() == QEvent::PlatformSurface)) {
        // The native window may only exist from now on.
        watchX11Visibility();
        // The window's own state is already the new one when these arrive.
        update();
    }
    return false;
}

void WindowVisibility::update() {
    const bool onScreen = window_ && window_->isVisible() && window_->isExposed() &&
                          window_->visibility() != QWindow::Minimized &&
                          window_->visibility() != QWindow::Hidden && !isCovered_;
    if (onScreen != isOnScreen_) {
        isOnScreen_ = onScreen;
        Q_EMIT isOnScreenChanged();
    }
}

}  // namespace brimo::ui
