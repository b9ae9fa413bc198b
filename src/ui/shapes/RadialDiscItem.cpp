#include "ui/shapes/RadialDiscItem.h"

#include <algorithm>

namespace brimo::ui {
namespace {
// A software renderer shades the pixels along every edge of a fan more than once: few wedges.
constexpr int kDiscSides = 16;
}  // namespace

RadialDiscItem::RadialDiscItem(QQuickItem* parent)
    : RadialShapeItem(RadialGradientMaterial::Kind::Disc, kDiscSides, parent) {}

RadialShapeItem::Extent RadialDiscItem::extent() const {
    return {0.0, std::max({stop0_, stop1_, stop2_})};
}

std::array<float, 4> RadialDiscItem::shape() const {
    return {static_cast<float>(stop0_), static_cast<float>(stop1_), static_cast<float>(stop2_),
            0.0F};
}

}  // namespace brimo::ui
