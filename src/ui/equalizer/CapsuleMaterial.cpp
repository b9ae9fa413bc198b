#include "ui/equalizer/CapsuleMaterial.h"

#include <QMatrix4x4>
#include <QSGMaterialShader>
#include <cstring>

#include "ui/equalizer/CapsuleMesh.h"

namespace brimo::ui {
namespace {

class CapsuleShader : public QSGMaterialShader {
  public:
    CapsuleShader() {
        setShaderFileName(VertexStage, QStringLiteral(":/Brimolavetrix/shaders/capsule.vert.qsb"));
        setShaderFileName(FragmentStage,
                          QStringLiteral(":/Brimolavetrix/shaders/capsule.frag.qsb"));
    }

    bool updateUniformData(RenderState& state, QSGMaterial* newMaterial,
                           QSGMaterial* oldMaterial) override {
        // The uniform block: qt_Matrix (64 bytes), qt_Opacity, pixel.
        QByteArray* buffer = state.uniformData();
        bool changed = false;
        if (state.isMatrixDirty()) {
            const QMatrix4x4 matrix = state.combinedMatrix();
            std::memcpy(buffer->data(), matrix.constData(), 64);
            changed = true;
        }
        if (state.isOpacityDirty()) {
            const float opacity = state.opacity();
            std::memcpy(buffer->data() + 64, &opacity, sizeof(float));
            changed = true;
        }
        const float pixel = static_cast<CapsuleMaterial*>(newMaterial)->pixel();
        if (oldMaterial == nullptr ||
            static_cast<CapsuleMaterial*>(oldMaterial)->pixel() != pixel) {
            std::memcpy(buffer->data() + 68, &pixel, sizeof(float));
            changed = true;
        }
        return changed;
    }
};

}  // namespace

CapsuleMaterial::CapsuleMaterial() {
    setFlag(Blending);
}

const QSGGeometry::AttributeSet& CapsuleMaterial::attributes() {
    static const QSGGeometry::Attribute attributes[] = {
        QSGGeometry::Attribute::createWithAttributeType(0, 2, QSGGeometry::FloatType,
                                                        QSGGeometry::PositionAttribute),
        QSGGeometry::Attribute::createWithAttributeType(1, 4, QSGGeometry::FloatType,
                                                        QSGGeometry::TexCoordAttribute),
        QSGGeometry::Attribute::createWithAttributeType(2, 4, QSGGeometry::UnsignedByteType,
                                                        QSGGeometry::ColorAttribute),
    };
    static const QSGGeometry::AttributeSet set = {3, sizeof(CapsuleVertex), attributes};
    return set;
}

QSGMaterialType* CapsuleMaterial::type() const {
    static QSGMaterialType type;
    return &type;
}

QSGMaterialShader* CapsuleMaterial::createShader(QSGRendererInterface::RenderMode /*mode*/) const {
    return new CapsuleShader;
}

int CapsuleMaterial::compare(const QSGMaterial* other) const {
    const float theirs = static_cast<const CapsuleMaterial*>(other)->pixel();
    return pixel_ < theirs ? -1 : (pixel_ > theirs ? 1 : 0);
}

}  // namespace brimo::ui
