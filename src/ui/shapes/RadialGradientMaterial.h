#pragma once

#include <QColor>
#include <QSGGeometry>
#include <QSGMaterial>
#include <array>

namespace brimo::ui {

// Colours an AnnulusMesh from each fragment's place relative to the centre (shaders/radial.vert
// with radialdisc.frag or gradientring.frag): a disc filled with a radial gradient of three
// stops, or a circle stroked with a diagonal gradient of three stops.
class RadialGradientMaterial : public QSGMaterial {
  public:
    enum class Kind {
        // shape: the gradient's stops as radii in points (inner, middle, outer), unused.
        Disc,
        // shape: the circle's diameter, the stroke's width, one device pixel (points), unused.
        Ring,
    };

    explicit RadialGradientMaterial(Kind kind);

    // The vertex layout of AnnulusVertex.
    static const QSGGeometry::AttributeSet& attributes();

    [[nodiscard]] QSGMaterialType* type() const override;
    [[nodiscard]] QSGMaterialShader* createShader(
        QSGRendererInterface::RenderMode mode) const override;
    [[nodiscard]] int compare(const QSGMaterial* other) const override;

    // The uniforms after qt_Matrix and qt_Opacity: three premultiplied colours and the shape.
    using Parameters = std::array<float, 16>;
    [[nodiscard]] const Parameters& parameters() const { return parameters_; }
    // Whether anything changed.
    bool set(const std::array<QColor, 3>& colours, const std::array<float, 4>& shape);

  private:
    Kind kind_;
    Parameters parameters_{};
};

}  // namespace brimo::ui
