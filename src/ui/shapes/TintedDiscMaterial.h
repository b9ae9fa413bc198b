#pragma once

#include <QPointer>
#include <QSGGeometry>
#include <QSGMaterial>
#include <QSGTextureProvider>
#include <array>

namespace brimo::ui {

// A picture clipped to a disc and tinted (shaders/tinteddisc.vert with eyetint.frag), drawn on
// an AnnulusMesh whose second pair of floats holds each corner's texture coordinates. The
// picture is whatever its provider holds when the frame is rendered, so a new video picture
// needs no change here.
class TintedDiscMaterial : public QSGMaterial {
  public:
    TintedDiscMaterial();

    // The vertex layout of AnnulusVertex.
    static const QSGGeometry::AttributeSet& attributes();

    [[nodiscard]] QSGMaterialType* type() const override;
    [[nodiscard]] QSGMaterialShader* createShader(
        QSGRendererInterface::RenderMode mode) const override;
    [[nodiscard]] int compare(const QSGMaterial* other) const override;

    // The uniforms after qt_Matrix and qt_Opacity: saturation, brightness, contrast, the soft
    // edge's width (a fraction of the radius), padding, the shown part's extent across and down.
    using Parameters = std::array<float, 7>;
    [[nodiscard]] const Parameters& parameters() const { return parameters_; }
    // Whether anything changed.
    bool set(const Parameters& parameters, QSGTextureProvider* provider);

    [[nodiscard]] QSGTextureProvider* provider() const { return provider_; }

  private:
    Parameters parameters_{};
    QPointer<QSGTextureProvider> provider_;
};

}  // namespace brimo::ui
