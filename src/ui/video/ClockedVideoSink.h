#pragma once

#include <QtQml/qqmlregistration.h>

#include <QObject>
#include <QPointer>
#include <QVideoFrame>
#include <QVideoSink>

namespace brimo::ui {

// Hands a player's pictures to a video output on the window's frame clock: the player writes
// into `videoSink`, and the newest picture reaches `output` at the next tick, in the same
// redraw as every other moving part of the window. Between pictures the clock is left alone.
class ClockedVideoSink : public QObject {
    Q_OBJECT
    QML_ELEMENT

    Q_PROPERTY(QVideoSink* videoSink READ videoSink CONSTANT)
    // A VideoOutput (anything with a `videoSink` property).
    Q_PROPERTY(QObject* output READ output WRITE setOutput NOTIFY outputChanged)

  public:
    explicit ClockedVideoSink(QObject* parent = nullptr);
    ~ClockedVideoSink() override;
    ClockedVideoSink(const ClockedVideoSink&) = delete;
    ClockedVideoSink& operator=(const ClockedVideoSink&) = delete;
    ClockedVideoSink(ClockedVideoSink&&) = delete;
    ClockedVideoSink& operator=(ClockedVideoSink&&) = delete;

    [[nodiscard]] QVideoSink* videoSink() { return &input_; }
    [[nodiscard]] QObject* output() const { return output_; }
    void setOutput(QObject* output);

  Q_SIGNALS:
    void outputChanged();

  private:
    void receive(const QVideoFrame& frame);
    void present();
    void setWaiting(bool waiting);

    QVideoSink input_;
    QPointer<QObject> output_;
    QVideoFrame pending_;
    bool isWaiting_ = false;
};

}  // namespace brimo::ui
