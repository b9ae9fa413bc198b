#include "ui/shapes/RadialGradientMaterial.h"

#include <QMatrix4x4>
#include <QSGMaterialShader>
#include <cstring>

#include "ui/shapes/AnnulusMesh.h"

namespace brimo::ui {
namespace {

// The uniform block: qt_Matrix, qt_Opacity, then (std140) the parameters from byte 80.
constexpr int kOpacityOffset = 64;
constexpr int kParametersOffset = 80;

class RadialGradientShader : public QSGMaterialShader {
  public:
    explicit RadialGradientShader(RadialGradientMaterial::Kind kind) {
        setShaderFileName(VertexStage, QStringLiteral(":/Brimolavetrix/shaders/radial.vert.qsb"));
        setShaderFileName(FragmentStage,
                          kind == RadialGradientMaterial::Kind::Disc
                              ? QStringLiteral(":/Brimolavetrix/shaders/radialdisc.frag.qsb")
                              : QStringLiteral(":/Brimolavetrix/shaders/gradientring.frag.qsb"));
    }

    bool updateUniformData(RenderState& state, QSGMaterial* newMaterial,
                           QSGMaterial* /*oldMaterial*/) override {
        // A few dozen bytes: written whole every time rather than tracking what changed.
        QByteArray* buffer = state.uniformData();
        const QMatrix4x4 matrix = state.combinedMatrix();
        std::memcpy(buffer->data(), matrix.constData(), 64);
        const float opacity = state.opacity();
        std::memcpy(buffer->data() + kOpacityOffset, &opacity, sizeof(float));
        const auto& parameters = static_cast<RadialGradientMaterial*>(newMaterial)->parameters();
        std::memcpy(buffer->data() + kParametersOffset, parameters.data(),
                    sizeof(float) * parameters.size());
        return true;
    }
};

}  // namespace

RadialGradientMaterial::RadialGradientMaterial(Kind kind) : kind_(kind) {
    setFlag(Blending);
}

const QSGGeometry::AttributeSet& RadialGradientMaterial::attributes() {
    static const QSGGeometry::Attribute attributes[] = {
        QSGGeometry::Attribute::createWithAttributeType(0, 2, QSGGeometry::FloatType,
                                                        QSGGeometry::PositionAttribute),
        QSGGeometry::Attribute::createWithAttributeType(1, 2, QSGGeometry::FloatType,
                                                        QSGGeometry::TexCoordAttribute),
    };
    static const QSGGeometry::AttributeSet set = {2, sizeof(AnnulusVertex), attributes};
    return set;
}

QSGMaterialType* RadialGradientMaterial::type() const {
    static QSGMaterialType disc;
    static QSGMaterialType ring;
    return kind_ == Kind::Disc ? &disc : &ring;
}

QSGMaterialShader* RadialGradientMaterial::createShader(
    QSGRendererInterface::RenderMode /*mode*/) const {
    return new RadialGradientShader(kind_);
}

int RadialGradientMaterial::compare(const QSGMaterial* other) const {
    return std::memcmp(parameters_.data(),
                       static_cast<const RadialGradientMaterial*>(other)->parameters_.data(),
                       sizeof(float) * parameters_.size());
}

bool RadialGradientMaterial::set(const std::array<QColor, 3>& colours,
                                 const std::array<float, 4>& shape) {
    Parameters next{};
    for (std::size_t i = 0; i < colours.size(); ++i) {
        const auto alpha = static_cast<float>(colours[i].alphaF());
        next[(4 * i) + 0] = static_cast<float>(colours[i].redF()) * alpha;
        next[(4 * i) + 1] = static_cast<float>(colours[i].greenF()) * alpha;
        next[(4 * i) + 2] = static_cast<float>(colours[i].blueF()) * alpha;
        next[(4 * i) + 3] = alpha;
    }
    std::copy(shape.begin(), shape.end(), next.begin() + 12);
    if (next == parameters_) {
        return false;
    }
    parameters_ = next;
    return true;
}

}  // namespace brimo::ui
