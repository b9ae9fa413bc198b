#include "ui/equalizer/EqualizerRing.h"

#include <algorithm>
#include <cmath>
#include <numbers>
#include <stdexcept>

#include "ui/equalizer/SystemColours.h"

namespace brimo::ui {

namespace {

// A level that is not a finite number has no meaning on screen; it shows as silence rather
// than as an undefined integer conversion.
float drawableLevel(float level) {
    return std::isfinite(level) ? std::max(level, 0.0F) : 0.0F;
}

}  // namespace

EqualizerRing::EqualizerRing(bool isActive, float audioLevel, double radius, int barCount)
    : isActive_(isActive),
      audioLevel_(drawableLevel(audioLevel)),
      radius_(radius),
      barCount_(barCount) {
    if (barCount < 0) {
        throw std::invalid_argument("a level ring needs a bar count of zero or more");
    }
    variations_.reserve(static_cast<std::size_t>(barCount));
    for (int i = 0; i < barCount; ++i) {
        variations_.push_back(std::abs(std::sin(i * 1.618033988749)) * 0.3 + 0.85);
    }
}

void EqualizerRing::setAudioLevel(float audioLevel) {
    audioLevel_ = drawableLevel(audioLevel);
}

double EqualizerRing::side() const {
    return 2.0 * (radius_ + kSegmentsPerBar * (kSegmentLength + kSegmentGap)) + 20.0;
}

int EqualizerRing::litSegments(int bar, double seconds) const {
    const double wave =
        std::sin(4.0 * seconds + 2.0 * std::numbers::pi * bar / static_cast<double>(barCount_));
    const double gain = (wave * 0.25 + 0.75) * variations_[static_cast<std::size_t>(bar)];
    const double wanted =
        std::ceil(3.0 * static_cast<double>(audioLevel_) * gain * kSegmentsPerBar);
    // Any level above a full bar lights the whole bar; capping first keeps the conversion defined.
    return static_cast<int>(std::clamp(wanted, 0.0, static_cast<double>(kSegmentsPerBar)));
}

RingSegment EqualizerRing::segment(int bar, int j, double width, double height,
                                   double seconds) const {
    const double cx = width * 0.5;
    const double cy = height * 0.5;
    // Bar 0 points up; on screen (y downwards) the bars follow each other clockwise.
    const double angle = 2.0 * std::numbers::pi / barCount_ * bar - std::numbers::pi / 2.0;
    const double c = std::cos(angle);
    const double s = std::sin(angle);
    const double r0 = radius_ + (kSegmentLength + kSegmentGap) * j;
    const double r1 = r0 + kSegmentLength;
    const bool isLit = j < litSegments(bar, seconds) && audioLevel_ > 0.001F;
    return {cx + c * r0, cy + s * r0, cx + c * r1, cy + s * r1, isLit, colour(j, isLit)};
}

RingColour EqualizerRing::colour(int j, bool isLit) const {
    const double f = j / static_cast<double>(kSegmentsPerBar - 1);
    if (isActive_) {
        if (!isLit) {
            return {0.85, 0.65, 0.2, 0.15};
        }
        return {0.95 + 0.05 * f, std::max(0.75 - 0.35 * f, 0.3), std::max(0.3 - 0.2 * f, 0.1),
                0.8 + 0.2 * (kSegmentsPerBar - j) / static_cast<double>(kSegmentsPerBar)};
    }
    if (!isLit) {
        return {systemGray.red, systemGray.green, systemGray.blue, 0.12};
    }
    return {systemCyan.red, systemCyan.green, systemCyan.blue, 0.5 + 0.4 * (1.0 - f)};
}

}  // namespace brimo::ui
