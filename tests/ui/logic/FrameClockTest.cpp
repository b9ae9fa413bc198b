#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QVideoFrame>
#include <QVideoFrameFormat>
#include <QVideoSink>
#include <functional>
#include <memory>

#include "ui/animation/FrameClock.h"
#include "ui/animation/FrameTicker.h"
#include "ui/logic/CoreApplication.h"
#include "ui/video/ClockedVideoSink.h"

namespace brimo::ui {
namespace {

// Stands in for a VideoOutput: the clocked sink finds the output's sink by property name.
class FakeVideoOutput : public QObject {
    Q_OBJECT
    Q_PROPERTY(QVideoSink* videoSink READ videoSink CONSTANT)

  public:
    QVideoSink* videoSink() { return &sink_; }

  private:
    QVideoSink sink_;
};

class FrameClockTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { ensureCoreApplication(); }

    // At most two seconds: a generous bound, the clock ticks every 67 ms.
    static bool runUntil(const std::function<bool()>& done) { return runEventsUntil(done, 2000); }

    static QVideoFrame frameOfWidth(int width) {
        return QVideoFrame(QVideoFrameFormat(QSize(width, 2), QVideoFrameFormat::Format_RGBA8888));
    }
};

TEST_F(FrameClockTest, TickersShareEveryTickAndTheClockStopsWhenNobodyListens) {
    auto* clock = FrameClock::instance();
    FrameTicker early;
    FrameTicker late;
    int earlyTicks = 0;
    int lateTicks = 0;
    QObject::connect(&early, &FrameTicker::ticked, [&] { ++earlyTicks; });
    QObject::connect(&late, &FrameTicker::ticked, [&] { ++lateTicks; });
    early.setRunning(true);
    ASSERT_TRUE(runUntil([&] { return earlyTicks >= 2; }));
    late.setRunning(true);
    const int before = earlyTicks;
    ASSERT_TRUE(runUntil([&] { return lateTicks >= 3; }));
    // The one that joined later is told in the same ticks, not on a grid of its own.
    EXPECT_EQ(earlyTicks - before, lateTicks);

    // A ticker that is not running hears nothing, and with nobody left the clock stops.
    early.setRunning(false);
    late.setRunning(false);
    const int stoppedAt = lateTicks;
    EXPECT_EQ(clock->subscriberCount(), 0);
    ASSERT_TRUE(runUntil([&] { return !clock->isRunning(); }));
    QCoreApplication::processEvents(QEventLoop::AllEvents, 200);
    EXPECT_EQ(lateTicks, stoppedAt);
}

TEST_F(FrameClockTest, TheNewestPictureReachesTheOutputAtTheNextTickOnly) {
    FakeVideoOutput output;
    ClockedVideoSink clocked;
    clocked.setOutput(&output);
    int shown = 0;
    QObject::connect(output.videoSink(), &QVideoSink::videoFrameChanged, [&] { ++shown; });

    // Two pictures before a tick: only the second is shown, once.
    FrameTicker probe;
    int ticks = 0;
    QObject::connect(&probe, &FrameTicker::ticked, [&] { ++ticks; });
    clocked.videoSink()->setVideoFrame(frameOfWidth(4));
    clocked.videoSink()->setVideoFrame(frameOfWidth(6));
    EXPECT_EQ(shown, 0);
    ASSERT_TRUE(runUntil([&] { return shown >= 1; }));
    EXPECT_EQ(output.videoSink()->videoFrame().width(), 6);
    probe.setRunning(true);
    ASSERT_TRUE(runUntil([&] { return ticks >= 3; }));
    EXPECT_EQ(shown, 1);

    // With no picture waiting the sink does not hold the clock.
    probe.setRunning(false);
    ASSERT_TRUE(runUntil([] { return !FrameClock::instance()->isRunning(); }));
    clocked.videoSink()->setVideoFrame(frameOfWidth(8));
    ASSERT_TRUE(runUntil([&] { return shown == 2; }));
    EXPECT_EQ(output.videoSink()->videoFrame().width(), 8);
}

TEST_F(FrameClockTest, AnOutputThatWentAwayIsNotTouched) {
    ClockedVideoSink clocked;
    auto output = std::make_unique<FakeVideoOutput>();
    clocked.setOutput(output.get());
    output.reset();
    EXPECT_EQ(clocked.output(), nullptr);
    clocked.videoSink()->setVideoFrame(frameOfWidth(4));
    ASSERT_TRUE(runUntil([] { return FrameClock::instance()->isRunning(); }));
    ASSERT_TRUE(runUntil([] { return !FrameClock::instance()->isRunning(); }));
}

}  // namespace
}  // namespace brimo::ui

#include "FrameClockTest.moc"
