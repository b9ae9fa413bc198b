#pragma once

#include <QSGGeometry>
#include <QSGMaterial>

namespace brimo::ui {

// Draws a CapsuleMesh: each quad's fragments are covered as far as they lie inside its
// capsule, with a one-pixel fringe (shaders/capsule.vert, capsule.frag).
class CapsuleMaterial : public QSGMaterial {
  public:
    CapsuleMaterial();

    // The vertex layout of CapsuleVertex.
    static const QSGGeometry::AttributeSet& attributes();

    [[nodiscard]] QSGMaterialType* type() const override;
    [[nodiscard]] QSGMaterialShader* createShader(
        QSGRendererInterface::RenderMode mode) const override;
    [[nodiscard]] int compare(const QSGMaterial* other) const override;

    [[nodiscard]] float pixel() const { return pixel_; }
    void setPixel(float pixel) { pixel_ = pixel; }

  private:
    float pixel_ = 1.0F;
};

}  // namespace brimo::ui
