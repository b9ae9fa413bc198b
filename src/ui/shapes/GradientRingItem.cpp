#include "ui/shapes/GradientRingItem.h"

namespace brimo::ui {

GradientRingItem::GradientRingItem(QQuickItem* parent)
    : RadialShapeItem(RadialGradientMaterial::Kind::Ring, parent) {
    fitImplicitSize();
}

void GradientRingItem::fitImplicitSize() {
    setImplicitWidth(diameter_ + lineWidth_ + 2.0);
    setImplicitHeight(diameter_ + lineWidth_ + 2.0);
}

void GradientRingItem::setDiameter(double diameter) {
    change(diameter_, diameter);
    fitImplicitSize();
}

void GradientRingItem::setLineWidth(double width) {
    change(lineWidth_, width);
    fitImplicitSize();
}

RadialShapeItem::Extent GradientRingItem::extent() const {
    // The stroke fades out over half a pixel either side of its edges.
    const double fringe = pixel() / 2.0;
    return {(diameter_ / 2.0) - (lineWidth_ / 2.0) - fringe,
            (diameter_ / 2.0) + (lineWidth_ / 2.0) + fringe};
}

std::array<float, 4> GradientRingItem::shape() const {
    return {static_cast<float>(diameter_), static_cast<float>(lineWidth_),
            static_cast<float>(pixel()), 0.0F};
}

}  // namespace brimo::ui
