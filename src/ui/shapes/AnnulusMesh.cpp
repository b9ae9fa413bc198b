#include "ui/shapes/AnnulusMesh.h"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace brimo::ui {

void AnnulusMesh::write(std::span<AnnulusVertex, kVertexCount> out, double centreX, double centreY,
                        double inner, double outer) {
    const double step = 2.0 * std::numbers::pi / kSides;
    // The polygon's edges touch the outer circle when its corners lie this much further out.
    const double outerCorner = std::max(outer, 0.0) / std::cos(step / 2.0);
    const double innerCorner = std::clamp(inner, 0.0, std::max(outer, 0.0));
    for (int i = 0; i <= kSides; ++i) {
        // The last pair repeats the first exactly, so the strip closes without a crack.
        const double angle = i == kSides ? 0.0 : step * i;
        const double c = std::cos(angle);
        const double s = std::sin(angle);
        const auto at = [&](double radius) {
            return AnnulusVertex{static_cast<float>(centreX + radius * c),
                                 static_cast<float>(centreY + radius * s),
                                 static_cast<float>(radius * c), static_cast<float>(radius * s)};
        };
        const auto pair = 2 * static_cast<std::size_t>(i);
        out[pair] = at(outerCorner);
        out[pair + 1] = at(innerCorner);
    }
}

}  // namespace brimo::ui
