#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <numbers>
#include <stdexcept>

#include "ui/equalizer/CapsuleMesh.h"
#include "ui/equalizer/EqualizerRing.h"

namespace brimo::ui {
namespace {

constexpr double kSide = 254.0;
constexpr int kSegments = EqualizerRing::kSegmentsPerBar;

int litCount(const EqualizerRing& ring, double t) {
    int lit = 0;
    for (int bar = 0; bar < ring.barCount(); ++bar) {
        for (int j = 0; j < kSegments; ++j) {
            lit += ring.segment(bar, j, kSide, kSide, t).isLit ? 1 : 0;
        }
    }
    return lit;
}

TEST(EqualizerRingTest, BarsStartAtTwelveOClockAndRunClockwise) {
    const EqualizerRing ring(false, 0.0F, 72.0, 96);
    EXPECT_DOUBLE_EQ(ring.side(), kSide);
    const auto top = ring.segment(0, 0, kSide, kSide, 0.0);
    EXPECT_NEAR(top.x0, 127.0, 1e-9);
    EXPECT_NEAR(top.y0, 127.0 - 72.0, 1e-9);
    EXPECT_NEAR(top.y1, 127.0 - 78.0, 1e-9);
    const auto right = ring.segment(24, 5, kSide, kSide, 0.0);
    EXPECT_NEAR(right.x0, 127.0 + 72.0 + 5 * 7.5, 1e-9);
    EXPECT_NEAR(right.x1, 127.0 + 72.0 + 5 * 7.5 + 6.0, 1e-9);
    EXPECT_NEAR(right.y0, 127.0, 1e-9);
}

TEST(EqualizerRingTest, GainsAreFixedPerBarWithinTheirRange) {
    const EqualizerRing ring(true, 0.5F, 72.0, 96);
    ASSERT_EQ(ring.randomVariations().size(), 96U);
    EXPECT_DOUBLE_EQ(ring.randomVariations()[0], 0.85);
    EXPECT_DOUBLE_EQ(ring.randomVariations()[1], std::abs(std::sin(1.618033988749)) * 0.3 + 0.85);
    for (const double gain : ring.randomVariations()) {
        EXPECT_GE(gain, 0.85);
        EXPECT_LE(gain, 1.15);
    }
    EXPECT_TRUE(EqualizerRing(true, 0.5F, 72.0, 0).randomVariations().empty());
    EXPECT_THROW(EqualizerRing(true, 0.5F, 72.0, -1), std::invalid_argument);
}

TEST(EqualizerRingTest, SilenceIsUnlitAndTheSmallestLevelLightsTheInnermostSegment) {
    for (const float level : {0.0F, 0.001F}) {
        EXPECT_EQ(litCount(EqualizerRing(true, level, 72.0, 96), 1.25), 0);
        EXPECT_EQ(litCount(EqualizerRing(false, level, 72.0, 96), 7.0), 0);
    }
    const EqualizerRing quiet(false, 0.01F, 72.0, 96);
    for (int bar = 0; bar < 96; ++bar) {
        EXPECT_TRUE(quiet.segment(bar, 0, kSide, kSide, 3.0).isLit) << bar;
        EXPECT_FALSE(quiet.segment(bar, 1, kSide, kSide, 3.0).isLit) << bar;
    }
    // Above 5 / (18 × 0.425) every segment is lit whatever the wave.
    EXPECT_EQ(litCount(EqualizerRing(true, 0.66F, 72.0, 96), 0.3), 96 * kSegments);
    EXPECT_LT(litCount(EqualizerRing(true, 0.3F, 72.0, 96), 0.3), 96 * kSegments);
}

TEST(EqualizerRingTest, ColoursOfBothStates) {
    const EqualizerRing active(true, 1.0F, 72.0, 96);
    const RingColour inner = active.colour(0, true);
    EXPECT_DOUBLE_EQ(inner.red, 0.95);
    EXPECT_DOUBLE_EQ(inner.green, 0.75);
    EXPECT_DOUBLE_EQ(inner.blue, 0.3);
    EXPECT_DOUBLE_EQ(inner.opacity, 1.0);
    const RingColour outer = active.colour(5, true);
    EXPECT_DOUBLE_EQ(outer.red, 1.0);
    EXPECT_NEAR(outer.green, 0.4, 1e-12);
    EXPECT_NEAR(outer.blue, 0.1, 1e-12);
    EXPECT_NEAR(outer.opacity, 0.8 + 0.2 / 6.0, 1e-12);
    EXPECT_EQ(active.colour(3, false), (RingColour{0.85, 0.65, 0.2, 0.15}));

    const EqualizerRing passthrough(false, 1.0F, 72.0, 96);
    EXPECT_NEAR(passthrough.colour(0, true).opacity, 0.9, 1e-12);
    EXPECT_NEAR(passthrough.colour(5, true).opacity, 0.5, 1e-12);
    EXPECT_NEAR(passthrough.colour(2, false).opacity, 0.12, 1e-12);
}

TEST(EqualizerRingTest, ALevelThatIsNoNumberDrawsAsSilenceInsteadOfOverflowing) {
    EXPECT_EQ(litCount(EqualizerRing(true, std::numeric_limits<float>::quiet_NaN(), 72, 96), 1), 0);
    EXPECT_EQ(litCount(EqualizerRing(true, std::numeric_limits<float>::infinity(), 72, 96), 1), 0);
    const EqualizerRing loud(true, 1e30F, 72.0, 96);
    EXPECT_EQ(loud.litSegments(10, 1.0), kSegments);
}

TEST(CapsuleMeshTest, OneCapsuleIsAQuadAPixelLargerThanItWithItsOwnFrame) {
    CapsuleMesh mesh(0.5);
    // From (10, 10) up to (10, 4): 6 long, 2.5 wide.
    mesh.addCapsule(10, 10, 10, 4, 2.5, 1.0, 0.5, 0.0, 0.5);
    ASSERT_EQ(mesh.vertices().size(), static_cast<std::size_t>(CapsuleMesh::kVerticesPerCapsule));
    ASSERT_EQ(mesh.indices().size(), static_cast<std::size_t>(CapsuleMesh::kIndicesPerCapsule));
    float minX = 100;
    float maxX = 0;
    float minY = 100;
    float maxY = 0;
    for (const auto& v : mesh.vertices()) {
        EXPECT_EQ(v.alpha, 128);
        EXPECT_EQ(v.red, 128);  // premultiplied
        EXPECT_EQ(v.green, 64);
        EXPECT_FLOAT_EQ(v.halfLength, 3.0F);
        EXPECT_FLOAT_EQ(v.radius, 1.25F);
        // Each corner's place in the capsule's frame is where it lies from the centre (10, 7).
        EXPECT_FLOAT_EQ(std::abs(v.along), 3.0F + 1.25F + 0.25F);
        EXPECT_FLOAT_EQ(std::abs(v.across), 1.25F + 0.25F);
        EXPECT_NEAR(std::hypot(v.x - 10.0F, v.y - 7.0F), std::hypot(v.along, v.across), 1e-5);
        minX = std::min(minX, v.x);
        maxX = std::max(maxX, v.x);
        minY = std::min(minY, v.y);
        maxY = std::max(maxY, v.y);
    }
    // The caps reach half the width beyond the ends, the fringe half a pixel more.
    EXPECT_NEAR(minY, 4.0 - 1.25 - 0.25, 1e-5);
    EXPECT_NEAR(maxY, 10.0 + 1.25 + 0.25, 1e-5);
    EXPECT_NEAR(maxX - minX, 2.5 + 0.5, 1e-5);
    mesh.reset(1.0);
    EXPECT_TRUE(mesh.vertices().empty());
    EXPECT_TRUE(mesh.indices().empty());
}

TEST(CapsuleMeshTest, CoverageIsFullInsideRoundAtTheCapsAndFadesOverOnePixel) {
    const double half = 3.0;
    const double radius = 1.25;
    const double pixel = 0.5;
    EXPECT_DOUBLE_EQ(CapsuleMesh::coverage(0, 0, half, radius, pixel), 1.0);
    EXPECT_DOUBLE_EQ(CapsuleMesh::coverage(2.9, 1.0, half, radius, pixel), 1.0);
    // On the edge, half covered; half a pixel in, full; half a pixel out, clear.
    EXPECT_DOUBLE_EQ(CapsuleMesh::coverage(0, radius, half, radius, pixel), 0.5);
    EXPECT_DOUBLE_EQ(CapsuleMesh::coverage(0, radius - 0.25, half, radius, pixel), 1.0);
    EXPECT_DOUBLE_EQ(CapsuleMesh::coverage(0, radius + 0.25, half, radius, pixel), 0.0);
    // Beyond an end the edge is a half circle around it: the corner of the quad is clear
    // where a square cap would still cover it.
    EXPECT_DOUBLE_EQ(CapsuleMesh::coverage(half + radius, 0, half, radius, pixel), 0.5);
    const double diagonal = radius / std::sqrt(2.0);
    EXPECT_NEAR(CapsuleMesh::coverage(-half - diagonal, diagonal, half, radius, pixel), 0.5, 1e-12);
    EXPECT_DOUBLE_EQ(CapsuleMesh::coverage(half + radius, radius, half, radius, pixel), 0.0);
}

}  // namespace
}  // namespace brimo::ui
