#include "ui/shapes/TintedDiscItem.h"

#include <QSGGeometryNode>
#include <QSGTextureProvider>
#include <algorithm>
#include <span>

#include "ui/shapes/AnnulusMesh.h"
#include "ui/shapes/TintedDiscMaterial.h"

namespace brimo::ui {
namespace {
// As the radial discs: few wedges, since a software renderer shades each edge twice.
constexpr int kSides = 16;
}  // namespace

TintedDiscItem::TintedDiscItem(QQuickItem* parent) : QQuickItem(parent) {
    setFlag(ItemHasContents, true);
}

void TintedDiscItem::setSource(QQuickItem* source) {
    if (source != source_) {
        source_ = source;
        Q_EMIT sourceChanged();
        update();
    }
}

void TintedDiscItem::setExtent(const QSizeF& extent) {
    if (extent != extent_) {
        extent_ = extent;
        Q_EMIT tintChanged();
        update();
    }
}

void TintedDiscItem::change(double& field, double value) {
    if (value != field) {
        field = value;
        Q_EMIT tintChanged();
        update();
    }
}

void TintedDiscItem::geometryChange(const QRectF& newGeometry, const QRectF& oldGeometry) {
    if (newGeometry.size() != oldGeometry.size()) {
        update();
    }
    QQuickItem::geometryChange(newGeometry, oldGeometry);
}

QSGNode* TintedDiscItem::updatePaintNode(QSGNode* oldNode, UpdatePaintNodeData* /*data*/) {
    QSGTextureProvider* provider =
        source_ != nullptr && source_->isTextureProvider() ? source_->textureProvider() : nullptr;
    if (provider == nullptr || provider->texture() == nullptr || width() <= 0 || height() <= 0) {
        // Nothing to show yet: drawn again once the provider has its first picture.
        if (provider != nullptr && waitingOn_ != provider) {
            waitingOn_ = provider;
            connect(provider, &QSGTextureProvider::textureChanged, this, &QQuickItem::update,
                    Qt::QueuedConnection);
        }
        delete oldNode;
        return nullptr;
    }
    auto* node = static_cast<QSGGeometryNode*>(oldNode);
    const bool sized = node != nullptr && meshSize_ == size();
    if (node == nullptr) {
        node = new QSGGeometryNode;
        auto* geometry =
            new QSGGeometry(TintedDiscMaterial::attributes(), AnnulusMesh::vertexCount(kSides));
        geometry->setDrawingMode(QSGGeometry::DrawTriangleStrip);
        node->setGeometry(geometry);
        node->setFlag(QSGNode::OwnsGeometry);
        node->setMaterial(new TintedDiscMaterial);
        node->setFlag(QSGNode::OwnsMaterial);
    }
    // Each new video picture asks for an update; the mesh changes only with the size, and an
    // unchanged one is not uploaded again.
    if (!sized) {
        meshSize_ = size();
        const std::span<AnnulusVertex> vertices(
            static_cast<AnnulusVertex*>(node->geometry()->vertexData()),
            static_cast<std::size_t>(AnnulusMesh::vertexCount(kSides)));
        const double w = width();
        const double h = height();
        AnnulusMesh::write(vertices, kSides, w / 2.0, h / 2.0, 0.0, std::min(w, h) / 2.0);
        // From the centre in points to texture coordinates over the item's square.
        for (AnnulusVertex& v : vertices) {
            v.fromCentreX = static_cast<float>(0.5 + (v.fromCentreX / w));
            v.fromCentreY = static_cast<float>(0.5 + (v.fromCentreY / h));
        }
        node->markDirty(QSGNode::DirtyGeometry);
    }
    const TintedDiscMaterial::Parameters parameters{static_cast<float>(saturation_),
                                                    static_cast<float>(brightness_),
                                                    static_cast<float>(contrast_),
                                                    static_cast<float>(edge_),
                                                    0.0F,
                                                    static_cast<float>(extent_.width()),
                                                    static_cast<float>(extent_.height())};
    if (static_cast<TintedDiscMaterial*>(node->material())->set(parameters, provider)) {
        node->markDirty(QSGNode::DirtyMaterial);
    }
    return node;
}

}  // namespace brimo::ui
