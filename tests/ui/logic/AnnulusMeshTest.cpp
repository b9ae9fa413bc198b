#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <numbers>

#include "ui/shapes/AnnulusMesh.h"

namespace brimo::ui {
namespace {

using Strip = std::array<AnnulusVertex, AnnulusMesh::kVertexCount>;

double cross(const AnnulusVertex& a, const AnnulusVertex& b, double x, double y) {
    return ((b.x - a.x) * (y - a.y)) - ((b.y - a.y) * (x - a.x));
}

bool covered(const Strip& strip, double x, double y) {
    for (std::size_t i = 0; i + 2 < strip.size(); ++i) {
        const double d0 = cross(strip[i], strip[i + 1], x, y);
        const double d1 = cross(strip[i + 1], strip[i + 2], x, y);
        const double d2 = cross(strip[i + 2], strip[i], x, y);
        const bool hasNegative = d0 < 0 || d1 < 0 || d2 < 0;
        const bool hasPositive = d0 > 0 || d1 > 0 || d2 > 0;
        if (!(hasNegative && hasPositive)) {
            return true;
        }
    }
    return false;
}

// Every point of the annulus is shaded, also halfway between the polygon's corners where its
// edges come closest to the circles; the hole and the corners' surroundings are not.
TEST(AnnulusMeshTest, CoversTheAnnulusAndLittleElse) {
    for (const auto& [inner, outer] : {std::pair{0.0, 110.0}, std::pair{80.5, 84.5}}) {
        SCOPED_TRACE(testing::Message() << inner << " ... " << outer);
        Strip strip{};
        AnnulusMesh::write(strip, 120.0, 100.0, inner, outer);
        for (int step = 0; step < 4 * AnnulusMesh::kSides; ++step) {
            const double angle = 2.0 * std::numbers::pi * (step + 0.5) / (4 * AnnulusMesh::kSides);
            for (const double radius : {inner + 1e-3, (inner + outer) / 2, outer - 1e-3}) {
                EXPECT_TRUE(covered(strip, 120.0 + (radius * std::cos(angle)),
                                    100.0 + (radius * std::sin(angle))))
                    << "radius " << radius << " at " << angle;
            }
            EXPECT_FALSE(covered(strip, 120.0 + ((outer + 0.5) * std::cos(angle)),
                                 100.0 + ((outer + 0.5) * std::sin(angle))));
            if (inner > 1.0) {
                EXPECT_FALSE(covered(strip, 120.0 + ((inner - 0.5) * std::cos(angle)),
                                     100.0 + ((inner - 0.5) * std::sin(angle))));
            }
        }
        // The fragments learn where they are from the centre.
        EXPECT_FLOAT_EQ(strip[0].x - 120.0F, strip[0].fromCentreX);
        EXPECT_FLOAT_EQ(strip[1].y - 100.0F, strip[1].fromCentreY);
    }
}

}  // namespace
}  // namespace brimo::ui
