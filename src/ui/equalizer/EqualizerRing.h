#pragma once

#include <vector>

namespace brimo::ui {

struct RingColour {
    double red = 0.0;
    double green = 0.0;
    double blue = 0.0;
    double opacity = 0.0;

    friend bool operator==(const RingColour&, const RingColour&) = default;
};

struct RingSegment {
    double x0 = 0.0;  // inner end
    double y0 = 0.0;
    double x1 = 0.0;  // outer end
    double y1 = 0.0;
    bool isLit = false;
    RingColour colour;
};

// The level ring's fields and its drawing as a pure function of them and the time: bars of
// segments around a circle, lit from the inside out by the level, with a travelling wave and a
// fixed per-bar gain so the ring looks alive. Values only; the view turns them into geometry.
class EqualizerRing {
  public:
    static constexpr int kSegmentsPerBar = 6;
    static constexpr double kSegmentLength = 6.0;
    static constexpr double kSegmentGap = 1.5;
    static constexpr double kBarWidth = 2.5;

    // A negative bar count throws std::invalid_argument: no ring can have one.
    EqualizerRing(bool isActive, float audioLevel, double radius, int barCount);

    [[nodiscard]] bool isActive() const { return isActive_; }
    [[nodiscard]] float audioLevel() const { return audioLevel_; }
    // The level changes many times a second; the bars' fixed gains stay as they are.
    void setAudioLevel(float audioLevel);
    [[nodiscard]] double radius() const { return radius_; }
    [[nodiscard]] int barCount() const { return barCount_; }
    [[nodiscard]] const std::vector<double>& randomVariations() const { return variations_; }

    // Side of the square the ring is drawn in (254 for radius 72).
    [[nodiscard]] double side() const;

    // Segments bar i lights at `seconds`; never more than the bar has.
    [[nodiscard]] int litSegments(int bar, double seconds) const;

    // Segment j of bar i (both from 0) in a canvas of the given size at `seconds`.
    [[nodiscard]] RingSegment segment(int bar, int j, double width, double height,
                                      double seconds) const;

    // The colour of segment j, lit or not, in the ring's state.
    [[nodiscard]] RingColour colour(int j, bool isLit) const;

  private:
    bool isActive_;
    float audioLevel_;
    double radius_;
    int barCount_;
    std::vector<double> variations_;
};

}  // namespace brimo::ui
