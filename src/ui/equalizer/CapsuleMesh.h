#pragma once

#include <cstdint>
#include <vector>

namespace brimo::ui {

// One corner of a capsule's quad. The quad's fragments find their coverage from where they lie
// relative to the capsule (see CapsuleMaterial): no outline of many small triangles.
struct CapsuleVertex {
    float x;
    float y;
    // This corner in the capsule's own frame (points from its centre, along and across it), and
    // the capsule's half length between the caps' centres and its radius.
    float along;
    float across;
    float halfLength;
    float radius;
    // Premultiplied.
    std::uint8_t red;
    std::uint8_t green;
    std::uint8_t blue;
    std::uint8_t alpha;
};

// Round-capped line segments as one list of quads, each a pixel larger than its capsule on
// every side, so its one-pixel fringe fades to clear; hundreds of short strokes draw smoothly
// in a single geometry without multisampling.
class CapsuleMesh {
  public:
    static constexpr int kVerticesPerCapsule = 4;
    static constexpr int kIndicesPerCapsule = 6;

    // `pixel`: one device pixel in the coordinates of the points (the fringe's width).
    explicit CapsuleMesh(double pixel = 1.0) : pixel_(pixel) {}

    // Empties the mesh, keeping its storage, for a frame drawn at the given pixel size.
    void reset(double pixel);
    // Colour components in 0 ... 1, not premultiplied.
    void addCapsule(double x0, double y0, double x1, double y1, double width, double red,
                    double green, double blue, double opacity);

    [[nodiscard]] double pixel() const { return pixel_; }
    [[nodiscard]] const std::vector<CapsuleVertex>& vertices() const { return vertices_; }
    [[nodiscard]] const std::vector<std::uint16_t>& indices() const { return indices_; }

    // How much of a point at `along`, `across` in a capsule's frame the capsule covers: 1 in
    // its core, falling linearly to 0 across the pixel centred on its edge. What the shader
    // computes for every fragment.
    [[nodiscard]] static double coverage(double along, double across, double halfLength,
                                         double radius, double pixel);

  private:
    double pixel_;
    std::vector<CapsuleVertex> vertices_;
    std::vector<std::uint16_t> indices_;
};

}  // namespace brimo::ui
