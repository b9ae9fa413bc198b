#pragma once

#include <span>

namespace brimo::ui {

// One corner of an annulus' triangle strip: where it is in the item and where relative to the
// annulus' centre (points), from which the fragments find their colour and cover.
struct AnnulusVertex {
    float x;
    float y;
    float fromCentreX;
    float fromCentreY;
};

// The triangle strip that covers every point between two circles and little else: the inner
// polygon inscribed in the inner circle, the outer one circumscribed about the outer circle.
// An inner radius of 0 makes it a disc. Only these pixels are shaded, not the whole square.
class AnnulusMesh {
  public:
    [[nodiscard]] static constexpr int vertexCount(int sides) { return 2 * (sides + 1); }

    // Writes vertexCount(sides) vertices into `out` (which holds that many): a polygon of
    // `sides` sides at least 3.
    static void write(std::span<AnnulusVertex> out, int sides, double centreX, double centreY,
                      double inner, double outer);
};

}  // namespace brimo::ui
