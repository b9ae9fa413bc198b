#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QPointer>
#include <QTimer>

namespace brimo::ui {

// The window's one frame clock: everything that changes on its own (the level ring, the glow,
// the video pictures) changes on its ticks, so they share one redraw instead of each asking for
// its own. Ticks fall on a fixed grid (every kIntervalMs since the clock was made), wherever a
// subscriber joins; with nobody subscribed the clock stops and costs nothing.
class FrameClock final : public QObject {
    Q_OBJECT

  public:
    // The level ring's cadence: at most one frame every 0.067 s.
    static constexpr int kIntervalMs = 67;

    // The process's clock, owned by the application object (made on first use).
    static FrameClock* instance();

    void subscribe();
    void unsubscribe();
    [[nodiscard]] bool isRunning() const { return timer_.isActive(); }
    [[nodiscard]] int subscriberCount() const { return subscribers_; }

  Q_SIGNALS:
    void ticked();

  private:
    explicit FrameClock(QObject* parent);
    void armForNextTick();
    void tick();

    QTimer timer_;
    QElapsedTimer epoch_;
    int subscribers_ = 0;
};

}  // namespace brimo::ui
