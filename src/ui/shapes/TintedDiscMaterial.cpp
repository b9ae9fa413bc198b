#include "ui/shapes/TintedDiscMaterial.h"

#include <QMatrix4x4>
#include <QSGMaterialShader>
#include <QSGTexture>
#include <cstring>

#include "ui/shapes/AnnulusMesh.h"

namespace brimo::ui {
namespace {

// The uniform block: qt_Matrix, qt_Opacity, the three tints, then the edge from byte 80 and
// (std140) the extent from byte 88.
constexpr int kOpacityOffset = 64;
constexpr int kTintOffset = 68;
constexpr int kShapeOffset = 80;
constexpr std::size_t kTintCount = 3;

class TintedDiscShader : public QSGMaterialShader {
  public:
    TintedDiscShader() {
        setShaderFileName(VertexStage,
                          QStringLiteral(":/Brimolavetrix/shaders/tinteddisc.vert.qsb"));
        setShaderFileName(FragmentStage,
                          QStringLiteral(":/Brimolavetrix/shaders/eyetint.frag.qsb"));
    }

    bool updateUniformData(RenderState& state, QSGMaterial* newMaterial,
                           QSGMaterial* /*oldMaterial*/) override {
        QByteArray* buffer = state.uniformData();
        const QMatrix4x4 matrix = state.combinedMatrix();
        std::memcpy(buffer->data(), matrix.constData(), 64);
        const float opacity = state.opacity();
        std::memcpy(buffer->data() + kOpacityOffset, &opacity, sizeof(float));
        const auto& parameters = static_cast<TintedDiscMaterial*>(newMaterial)->parameters();
        std::memcpy(buffer->data() + kTintOffset, parameters.data(), sizeof(float) * kTintCount);
        std::memcpy(buffer->data() + kShapeOffset, parameters.data() + kTintCount,
                    sizeof(float) * (parameters.size() - kTintCount));
        return true;
    }

    void updateSampledImage(RenderState& state, int /*binding*/, QSGTexture** texture,
                            QSGMaterial* newMaterial, QSGMaterial* /*oldMaterial*/) override {
        QSGTextureProvider* provider = static_cast<TintedDiscMaterial*>(newMaterial)->provider();
        QSGTexture* current = provider != nullptr ? provider->texture() : nullptr;
        if (current == nullptr) {
            return;
        }
        // The texture coordinates span the whole picture, not a place in an atlas.
        if (current->isAtlasTexture()) {
            current = current->removedFromAtlas(state.resourceUpdateBatch());
        }
        current->commitTextureOperations(state.rhi(), state.resourceUpdateBatch());
        *texture = current;
    }
};

}  // namespace

TintedDiscMaterial::TintedDiscMaterial() {
    setFlag(Blending);
}

const QSGGeometry::AttributeSet& TintedDiscMaterial::attributes() {
    static const QSGGeometry::Attribute attributes[] = {
        QSGGeometry::Attribute::createWithAttributeType(0, 2, QSGGeometry::FloatType,
                                                        QSGGeometry::PositionAttribute),
        QSGGeometry::Attribute::createWithAttributeType(1, 2, QSGGeometry::FloatType,
                                                        QSGGeometry::TexCoordAttribute),
    };
    static const QSGGeometry::AttributeSet set = {2, sizeof(AnnulusVertex), attributes};
    return set;
}

QSGMaterialType* TintedDiscMaterial::type() const {
    static QSGMaterialType type;
    return &type;
}

QSGMaterialShader* TintedDiscMaterial::createShader(
    QSGRendererInterface::RenderMode /*mode*/) const {
    return new TintedDiscShader;
}

int TintedDiscMaterial::compare(const QSGMaterial* other) const {
    const auto* that = static_cast<const TintedDiscMaterial*>(other);
    if (provider_ != that->provider_) {
        return provider_.data() < that->provider_.data() ? -1 : 1;
    }
    return std::memcmp(parameters_.data(), that->parameters_.data(),
                       sizeof(float) * parameters_.size());
}

bool TintedDiscMaterial::set(const Parameters& parameters, QSGTextureProvider* provider) {
    if (parameters == parameters_ && provider == provider_) {
        return false;
    }
    parameters_ = parameters;
    provider_ = provider;
    return true;
}

}  // namespace brimo::ui
