#include "ui/equalizer/CapsuleMesh.h"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace brimo::ui {

namespace {

std::uint8_t channel(double value) {
    return static_cast<std::uint8_t>(std::lround(std::clamp(value, 0.0, 1.0) * 255.0));
}

}  // namespace

void CapsuleMesh::reset(double pixel) {
    pixel_ = pixel;
    vertices_.clear();
    indices_.clear();
}

void CapsuleMesh::addCapsule(double x0, double y0, double x1, double y1, double width, double red,
                             double green, double blue, double opacity) {
    const double length = std::hypot(x1 - x0, y1 - y0);
    const double dx = length > 0.0 ? (x1 - x0) / length : 1.0;
    const double dy = length > 0.0 ? (y1 - y0) / length : 0.0;
    const double half = width * 0.5;
    // The solid core stops half a pixel inside the stroke's edge, the fringe half a pixel out.
    const double inner = std::max(half - pixel_ * 0.5, 0.0);
    const double outer = half + pixel_ * 0.5;
    const double a = std::clamp(opacity, 0.0, 1.0);
    const MeshVertex solid{0,         0, channel(red * a), channel(green * a), channel(blue * a),
                           channel(a)};

    const auto base = static_cast<std::uint16_t>(vertices_.size());
    // The outline: a half circle around the outer end, then one around the inner end.
    for (int ring = 0; ring < 2; ++ring) {
        const double r = ring == 0 ? inner : outer;
        for (int k = 0; k < kOutlinePoints; ++k) {
            const bool atOuterEnd = k <= kCapSteps;
            const int step = atOuterEnd ? k : k - (kCapSteps + 1);
            const double theta = std::numbers::pi * (static_cast<double>(step) / kCapSteps - 0.5) +
                                 (atOuterEnd ? 0.0 : std::numbers::pi);
            const double ux = dx * std::cos(theta) - dy * std::sin(theta);
            const double uy = dx * std::sin(theta) + dy * std::cos(theta);
            const double cx = atOuterEnd ? x1 : x0;
            const double cy = atOuterEnd ? y1 : y0;
            MeshVertex v = ring == 0 ? solid : MeshVertex{0, 0, 0, 0, 0, 0};
            v.x = static_cast<float>(cx + ux * r);
            v.y = static_cast<float>(cy + uy * r);
            vertices_.push_back(v);
        }
    }
    // The core as a fan (the outline is convex), then the fringe as a strip of quads.
    for (int k = 1; k + 1 < kOutlinePoints; ++k) {
        indices_.insert(indices_.end(), {base, static_cast<std::uint16_t>(base + k),
                                         static_cast<std::uint16_t>(base + k + 1)});
    }
    for (int k = 0; k < kOutlinePoints; ++k) {
        const int next = (k + 1) % kOutlinePoints;
        const auto i0 = static_cast<std::uint16_t>(base + k);
        const auto i1 = static_cast<std::uint16_t>(base + next);
        const auto o0 = static_cast<std::uint16_t>(base + kOutlinePoints + k);
        const auto o1 = static_cast<std::uint16_t>(base + kOutlinePoints + next);
        indices_.insert(indices_.end(), {i0, o0, o1, i0, o1, i1});
    }
}

}  // namespace brimo::ui
