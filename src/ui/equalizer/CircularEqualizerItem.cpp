#include "ui/equalizer/CircularEqualizerItem.h"

#include <QtQml/qqmlinfo.h>

#include <QCoreApplication>
#include <QDateTime>
#include <QQuickWindow>
#include <QSGGeometryNode>
#include <algorithm>
#include <cstring>

#include "ui/animation/FrameClock.h"
#include "ui/equalizer/CapsuleMaterial.h"

namespace brimo::ui {

CircularEqualizerItem::CircularEqualizerItem(QQuickItem* parent)
    : QQuickItem(parent), ring_(false, 0.0F, 72.0, 96) {
    setFlag(ItemHasContents, true);
    setImplicitWidth(ring_.side());
    setImplicitHeight(ring_.side());
    connect(FrameClock::instance(), &FrameClock::ticked, this, &CircularEqualizerItem::tick);
    // Frames are built on the render thread; their count is announced on this one.
    connect(this, &CircularEqualizerItem::frameBuilt, this,
            &CircularEqualizerItem::frameCountChanged, Qt::QueuedConnection);
}

CircularEqualizerItem::~CircularEqualizerItem() {
    // Without the application its clock is gone too.
    if (QCoreApplication::instance() != nullptr) {
        setTicking(false);
    }
}

void CircularEqualizerItem::setTicking(bool ticking) {
    if (ticking == isTicking_) {
        return;
    }
    isTicking_ = ticking;
    if (isTicking_) {
        FrameClock::instance()->subscribe();
    } else {
        FrameClock::instance()->unsubscribe();
    }
}

void CircularEqualizerItem::rebuild(bool isActive, double level, double radius, int barCount) {
    ring_ = EqualizerRing(isActive, static_cast<float>(level), radius, barCount);
    setImplicitWidth(ring_.side());
    setImplicitHeight(ring_.side());
}

void CircularEqualizerItem::setIsActive(bool isActive) {
    if (isActive != ring_.isActive()) {
        rebuild(isActive, ring_.audioLevel(), ring_.radius(), ring_.barCount());
        Q_EMIT isActiveChanged();
    }
}

void CircularEqualizerItem::setAudioLevel(double level) {
    // The level reaches the screen at the next frame, not on every published change.
    if (static_cast<float>(level) != ring_.audioLevel()) {
        ring_.setAudioLevel(static_cast<float>(level));
        Q_EMIT audioLevelChanged();
    }
}

void CircularEqualizerItem::setRadius(double radius) {
    if (radius != ring_.radius()) {
        rebuild(ring_.isActive(), ring_.audioLevel(), radius, ring_.barCount());
        Q_EMIT ringChanged();
        update();
    }
}

void CircularEqualizerItem::setBarCount(int barCount) {
    if (barCount < 0) {
        qmlWarning(this) << "barCount must not be negative; keeping " << ring_.barCount();
        return;
    }
    if (barCount != ring_.barCount()) {
        rebuild(ring_.isActive(), ring_.audioLevel(), ring_.radius(), barCount);
        Q_EMIT ringChanged();
        update();
    }
}

void CircularEqualizerItem::setClockSeconds(double seconds) {
    if (seconds != clockSeconds_) {
        clockSeconds_ = seconds;
        Q_EMIT clockSecondsChanged();
        update();
    }
}

double CircularEqualizerItem::seconds() const {
    if (clockSeconds_ >= 0.0) {
        return clockSeconds_;
    }
    return static_cast<double>(QDateTime::currentMSecsSinceEpoch()) / 1000.0;
}

void CircularEqualizerItem::tick() {
    if (!isTicking_) {
        return;
    }
    // A minimised or hidden window draws nothing, so neither does the ring.
    if (window() != nullptr && window()->isExposed() && isVisible()) {
        update();
    }
}

void CircularEqualizerItem::itemChange(ItemChange change, const ItemChangeData& value) {
    if (change == ItemSceneChange || change == ItemVisibleHasChanged) {
        setTicking(window() != nullptr && isVisible());
    }
    QQuickItem::itemChange(change, value);
}

QVariantMap CircularEqualizerItem::segmentAt(int bar, int segment) const {
    if (bar < 0 || bar >= ring_.barCount() || segment < 0 ||
        segment >= EqualizerRing::kSegmentsPerBar) {
        return {};
    }
    const RingSegment s = ring_.segment(bar, segment, width(), height(), seconds());
    return {{QStringLiteral("x0"), s.x0},
            {QStringLiteral("y0"), s.y0},
            {QStringLiteral("x1"), s.x1},
            {QStringLiteral("y1"), s.y1},
            {QStringLiteral("lit"), s.isLit},
            {QStringLiteral("red"), s.colour.red},
            {QStringLiteral("green"), s.colour.green},
            {QStringLiteral("blue"), s.colour.blue},
            {QStringLiteral("opacity"), s.colour.opacity}};
}

double CircularEqualizerItem::gainAt(int bar) const {
    if (bar < 0 || bar >= ring_.barCount()) {
        return 0.0;
    }
    return ring_.randomVariations()[static_cast<std::size_t>(bar)];
}

QSGNode* CircularEqualizerItem::updatePaintNode(QSGNode* oldNode, UpdatePaintNodeData* /*data*/) {
    auto* node = static_cast<QSGGeometryNode*>(oldNode);
    if (node == nullptr) {
        node = new QSGGeometryNode;
        auto* geometry =
            new QSGGeometry(CapsuleMaterial::attributes(), 0, 0, QSGGeometry::UnsignedShortType);
        geometry->setDrawingMode(QSGGeometry::DrawTriangles);
        node->setGeometry(geometry);
        node->setFlag(QSGNode::OwnsGeometry);
        node->setMaterial(new CapsuleMaterial);
        node->setFlag(QSGNode::OwnsMaterial);
    }

    const double pixel = 1.0 / (window() != nullptr ? window()->effectiveDevicePixelRatio() : 1.0);
    mesh_.reset(pixel);
    const double t = seconds();
    const double w = width();
    const double h = height();
    for (int bar = 0; bar < ring_.barCount(); ++bar) {
        for (int j = 0; j < EqualizerRing::kSegmentsPerBar; ++j) {
            const RingSegment s = ring_.segment(bar, j, w, h, t);
            mesh_.addCapsule(s.x0, s.y0, s.x1, s.y1, EqualizerRing::kBarWidth, s.colour.red,
                             s.colour.green, s.colour.blue, s.colour.opacity);
        }
    }

    auto* material = static_cast<CapsuleMaterial*>(node->material());
    if (material->pixel() != static_cast<float>(pixel)) {
        material->setPixel(static_cast<float>(pixel));
        node->markDirty(QSGNode::DirtyMaterial);
    }
    QSGGeometry* geometry = node->geometry();
    const auto& vertices = mesh_.vertices();
    const auto& indices = mesh_.indices();
    geometry->allocate(static_cast<int>(vertices.size()), static_cast<int>(indices.size()));
    std::memcpy(geometry->vertexData(), vertices.data(), vertices.size() * sizeof(CapsuleVertex));
    std::memcpy(geometry->indexData(), indices.data(), indices.size() * sizeof(std::uint16_t));
    node->markDirty(QSGNode::DirtyGeometry);

    ++frameCount_;
    Q_EMIT frameBuilt();
    return node;
}

}  // namespace brimo::ui
