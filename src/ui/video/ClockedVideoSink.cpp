#include "ui/video/ClockedVideoSink.h"

#include <QCoreApplication>
#include <QVariant>
#include <utility>

#include "ui/animation/FrameClock.h"

namespace brimo::ui {

ClockedVideoSink::ClockedVideoSink(QObject* parent) : QObject(parent) {
    // The decoder's thread may announce pictures; they are taken in on this object's thread.
    connect(&input_, &QVideoSink::videoFrameChanged, this, &ClockedVideoSink::receive,
            Qt::QueuedConnection);
    connect(FrameClock::instance(), &FrameClock::ticked, this, &ClockedVideoSink::present);
}

ClockedVideoSink::~ClockedVideoSink() {
    if (QCoreApplication::instance() != nullptr) {
        setWaiting(false);
    }
}

void ClockedVideoSink::setOutput(QObject* output) {
    if (output == output_) {
        return;
    }
    output_ = output;
    Q_EMIT outputChanged();
}

void ClockedVideoSink::receive(const QVideoFrame& frame) {
    // Only the newest picture is kept: one that a faster decoder outran is never shown.
    pending_ = frame;
    setWaiting(true);
}

void ClockedVideoSink::present() {
    if (!isWaiting_) {
        return;
    }
    setWaiting(false);
    QVideoFrame frame;
    std::swap(frame, pending_);
    if (output_ == nullptr) {
        return;
    }
    if (auto* sink = output_->property("videoSink").value<QVideoSink*>(); sink != nullptr) {
        sink->setVideoFrame(frame);
    }
}

void ClockedVideoSink::setWaiting(bool waiting) {
    if (waiting == isWaiting_) {
        return;
    }
    isWaiting_ = waiting;
    if (isWaiting_) {
        FrameClock::instance()->subscribe();
    } else {
        FrameClock::instance()->unsubscribe();
    }
}

}  // namespace brimo::ui
