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
    static constexpr int kSides = 64;
    static constexpr int kVertexCount = 2 * (kSides + 1);

    // Writes kVertexCount vertices into `out`.
    static void write(std::span<AnnulusVertex, kVertexCount> out, double centreX, double centreY,
                      double inner, double outer);
};

}  // namespace brimo::ui
