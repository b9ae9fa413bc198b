#include "ui/shapes/RadialShapeItem.h"

#include <QQuickWindow>
#include <QSGGeometryNode>
#include <algorithm>

#include "ui/shapes/AnnulusMesh.h"

namespace brimo::ui {

RadialShapeItem::RadialShapeItem(RadialGradientMaterial::Kind kind, QQuickItem* parent)
    : QQuickItem(parent), kind_(kind) {
    setFlag(ItemHasContents, true);
}

double RadialShapeItem::pixel() const {
    const double ratio = window() != nullptr ? window()->effectiveDevicePixelRatio() : 1.0;
    return 1.0 / std::max(1.0, ratio);
}

void RadialShapeItem::setColour(std::size_t index, const QColor& colour) {
    if (colour != colours_.at(index)) {
        colours_.at(index) = colour;
        Q_EMIT shapeChanged();
        update();
    }
}

void RadialShapeItem::change(double& field, double value) {
    if (value != field) {
        field = value;
        Q_EMIT shapeChanged();
        update();
    }
}

void RadialShapeItem::itemChange(ItemChange change, const ItemChangeData& value) {
    // The ring's soft edge is one device pixel wide.
    if (change == ItemDevicePixelRatioHasChanged) {
        update();
    }
    QQuickItem::itemChange(change, value);
}

void RadialShapeItem::geometryChange(const QRectF& newGeometry, const QRectF& oldGeometry) {
    // The shape stays centred.
    if (newGeometry.size() != oldGeometry.size()) {
        update();
    }
    QQuickItem::geometryChange(newGeometry, oldGeometry);
}

QSGNode* RadialShapeItem::updatePaintNode(QSGNode* oldNode, UpdatePaintNodeData* /*data*/) {
    auto* node = static_cast<QSGGeometryNode*>(oldNode);
    if (node == nullptr) {
        node = new QSGGeometryNode;
        auto* geometry =
            new QSGGeometry(RadialGradientMaterial::attributes(), AnnulusMesh::kVertexCount);
        geometry->setDrawingMode(QSGGeometry::DrawTriangleStrip);
        node->setGeometry(geometry);
        node->setFlag(QSGNode::OwnsGeometry);
        node->setMaterial(new RadialGradientMaterial(kind_));
        node->setFlag(QSGNode::OwnsMaterial);
    }
    const Extent e = extent();
    auto* vertices = static_cast<AnnulusVertex*>(node->geometry()->vertexData());
    AnnulusMesh::write(
        std::span<AnnulusVertex, AnnulusMesh::kVertexCount>(vertices, AnnulusMesh::kVertexCount),
        width() / 2.0, height() / 2.0, e.inner, e.outer);
    node->markDirty(QSGNode::DirtyGeometry);
    if (static_cast<RadialGradientMaterial*>(node->material())->set(colours_, shape())) {
        node->markDirty(QSGNode::DirtyMaterial);
    }
    return node;
}

}  // namespace brimo::ui
