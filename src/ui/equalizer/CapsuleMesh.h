#pragma once

#include <cstdint>
#include <vector>

namespace brimo::ui {

struct MeshVertex {
    float x;
    float y;
    // Premultiplied, as the scene graph's vertex-colour material expects.
    std::uint8_t red;
    std::uint8_t green;
    std::uint8_t blue;
    std::uint8_t alpha;
};

// Round-capped line segments as one triangle list, each with a one-pixel fringe that fades to
// clear, so hundreds of short strokes draw smoothly in a single geometry without multisampling.
class CapsuleMesh {
  public:
    static constexpr int kCapSteps = 4;
    static constexpr int kOutlinePoints = 2 * (kCapSteps + 1);
    static constexpr int kVerticesPerCapsule = 2 * kOutlinePoints;
    static constexpr int kIndicesPerCapsule = 3 * (kOutlinePoints - 2) + 6 * kOutlinePoints;

    // `pixel`: one device pixel in the coordinates of the points (the fringe's width).
    explicit CapsuleMesh(double pixel = 1.0) : pixel_(pixel) {}

    // Empties the mesh, keeping its storage, for a frame drawn at the given pixel size.
    void reset(double pixel);
    // Colour components in 0 ... 1, not premultiplied.
    void addCapsule(double x0, double y0, double x1, double y1, double width, double red,
                    double green, double blue, double opacity);

    [[nodiscard]] const std::vector<MeshVertex>& vertices() const { return vertices_; }
    [[nodiscard]] const std::vector<std::uint16_t>& indices() const { return indices_; }

  private:
    double pixel_;
    std::vector<MeshVertex> vertices_;
    std::vector<std::uint16_t> indices_;
};

}  // namespace brimo::ui
