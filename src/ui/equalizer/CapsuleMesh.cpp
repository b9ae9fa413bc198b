#include "ui/equalizer/CapsuleMesh.h"

#include <algorithm>
#include <cmath>

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
    const double halfLength = length * 0.5;
    const double radius = width * 0.5;
    // The quad reaches half a pixel beyond the capsule, where its fringe ends.
    const double alongExtent = halfLength + radius + pixel_ * 0.5;
    const double acrossExtent = radius + pixel_ * 0.5;
    const double cx = (x0 + x1) * 0.5;
    const double cy = (y0 + y1) * 0.5;
    const double a = std::clamp(opacity, 0.0, 1.0);

    const auto base = static_cast<std::uint16_t>(vertices_.size());
    for (const auto& [along, across] :
         {std::pair{-1.0, -1.0}, std::pair{1.0, -1.0}, std::pair{1.0, 1.0}, std::pair{-1.0, 1.0}}) {
        const double u = along * alongExtent;
        const double v = across * acrossExtent;
        vertices_.push_back(CapsuleVertex{
            static_cast<float>(cx + dx * u - dy * v), static_cast<float>(cy + dy * u + dx * v),
            static_cast<float>(u), static_cast<float>(v), static_cast<float>(halfLength),
            static_cast<float>(radius), channel(red * a), channel(green * a), channel(blue * a),
            channel(a)});
    }
    indices_.insert(
        indices_.end(),
        {base, static_cast<std::uint16_t>(base + 1), static_cast<std::uint16_t>(base + 2), base,
         static_cast<std::uint16_t>(base + 2), static_cast<std::uint16_t>(base + 3)});
}

double CapsuleMesh::coverage(double along, double across, double halfLength, double radius,
                             double pixel) {
    const double beyondCore = std::max(std::abs(along) - halfLength, 0.0);
    const double distance = std::hypot(beyondCore, across);
    return std::clamp((radius - distance) / pixel + 0.5, 0.0, 1.0);
}

}  // namespace brimo::ui
