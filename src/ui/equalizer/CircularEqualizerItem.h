#pragma once

#include <QtQml/qqmlregistration.h>

#include <QQuickItem>
#include <QVariantMap>
#include <atomic>

#include "ui/equalizer/CapsuleMesh.h"
#include "ui/equalizer/EqualizerRing.h"

namespace brimo::ui {

// The level ring around the power button. All 576 segments are one scene-graph geometry,
// rebuilt on the window's frame clock (at most every 0.067 s) from the ring's fields and the
// time; nothing is redrawn while the window is not exposed (minimised or hidden).
class CircularEqualizerItem : public QQuickItem {
    Q_OBJECT
    QML_NAMED_ELEMENT(CircularEqualizerView)

    Q_PROPERTY(bool isActive READ isActive WRITE setIsActive NOTIFY isActiveChanged)
    Q_PROPERTY(double audioLevel READ audioLevel WRITE setAudioLevel NOTIFY audioLevelChanged)
    Q_PROPERTY(double radius READ radius WRITE setRadius NOTIFY ringChanged)
    Q_PROPERTY(int barCount READ barCount WRITE setBarCount NOTIFY ringChanged)
    // Seconds on the wave's clock; negative: the wall clock (tests pin it).
    Q_PROPERTY(
        double clockSeconds READ clockSeconds WRITE setClockSeconds NOTIFY clockSecondsChanged)
    Q_PROPERTY(int frameCount READ frameCount NOTIFY frameCountChanged)

  public:
    explicit CircularEqualizerItem(QQuickItem* parent = nullptr);
    ~CircularEqualizerItem() override;
    CircularEqualizerItem(const CircularEqualizerItem&) = delete;
    CircularEqualizerItem& operator=(const CircularEqualizerItem&) = delete;
    CircularEqualizerItem(CircularEqualizerItem&&) = delete;
    CircularEqualizerItem& operator=(CircularEqualizerItem&&) = delete;

    [[nodiscard]] bool isActive() const { return ring_.isActive(); }
    void setIsActive(bool isActive);
    [[nodiscard]] double audioLevel() const { return ring_.audioLevel(); }
    void setAudioLevel(double level);
    [[nodiscard]] double radius() const { return ring_.radius(); }
    void setRadius(double radius);
    [[nodiscard]] int barCount() const { return ring_.barCount(); }
    // A negative count is refused with a QML warning; the ring keeps its bars.
    void setBarCount(int barCount);
    [[nodiscard]] double clockSeconds() const { return clockSeconds_; }
    void setClockSeconds(double seconds);
    [[nodiscard]] int frameCount() const { return frameCount_.load(); }

    // The segment as the next frame draws it: x0, y0, x1, y1, lit, red, green, blue, opacity.
    Q_INVOKABLE QVariantMap segmentAt(int bar, int segment) const;
    Q_INVOKABLE double gainAt(int bar) const;

  Q_SIGNALS:
    void isActiveChanged();
    void audioLevelChanged();
    void ringChanged();
    void clockSecondsChanged();
    void frameCountChanged();
    // From the render thread, after each frame built there.
    void frameBuilt();

  protected:
    QSGNode* updatePaintNode(QSGNode* oldNode, UpdatePaintNodeData* data) override;
    void itemChange(ItemChange change, const ItemChangeData& value) override;

  private:
    void rebuild(bool isActive, double level, double radius, int barCount);
    void tick();
    void setTicking(bool ticking);
    [[nodiscard]] double seconds() const;

    EqualizerRing ring_;
    CapsuleMesh mesh_;
    bool isTicking_ = false;
    double clockSeconds_ = -1.0;
    // Counted where frames are built (the render thread, while the main thread waits).
    std::atomic<int> frameCount_{0};
};

}  // namespace brimo::ui
