#pragma once

#include <QtQml/qqmlregistration.h>

#include <QPointer>
#include <QQuickItem>
#include <QSizeF>

namespace brimo::ui {

// A texture provider's picture (an Image, a VideoTexture) clipped to the circle inscribed in the
// item with a soft edge, and tinted: the part given by `extent` (texture coordinates' span across
// and down, centred; beyond the picture clear), then saturation, brightness and contrast. Drawn
// on a disc mesh, so only the circle's pixels are shaded, not the square around it.
class TintedDiscItem : public QQuickItem {
    Q_OBJECT
    QML_NAMED_ELEMENT(TintedDisc)
    Q_PROPERTY(QQuickItem* source READ source WRITE setSource NOTIFY sourceChanged)
    Q_PROPERTY(QSizeF extent READ extent WRITE setExtent NOTIFY tintChanged)
    Q_PROPERTY(double saturation READ saturation WRITE setSaturation NOTIFY tintChanged)
    Q_PROPERTY(double brightness READ brightness WRITE setBrightness NOTIFY tintChanged)
    Q_PROPERTY(double contrast READ contrast WRITE setContrast NOTIFY tintChanged)
    // The soft edge's width as a fraction of the radius.
    Q_PROPERTY(double edge READ edge WRITE setEdge NOTIFY tintChanged)

  public:
    explicit TintedDiscItem(QQuickItem* parent = nullptr);

    [[nodiscard]] QQuickItem* source() const { return source_; }
    void setSource(QQuickItem* source);
    [[nodiscard]] QSizeF extent() const { return extent_; }
    void setExtent(const QSizeF& extent);
    [[nodiscard]] double saturation() const { return saturation_; }
    void setSaturation(double value) { change(saturation_, value); }
    [[nodiscard]] double brightness() const { return brightness_; }
    void setBrightness(double value) { change(brightness_, value); }
    [[nodiscard]] double contrast() const { return contrast_; }
    void setContrast(double value) { change(contrast_, value); }
    [[nodiscard]] double edge() const { return edge_; }
    void setEdge(double value) { change(edge_, value); }

  Q_SIGNALS:
    void sourceChanged();
    void tintChanged();

  protected:
    QSGNode* updatePaintNode(QSGNode* oldNode, UpdatePaintNodeData* data) override;
    void geometryChange(const QRectF& newGeometry, const QRectF& oldGeometry) override;

  private:
    void change(double& field, double value);

    QPointer<QQuickItem> source_;
    QSizeF extent_{1.0, 1.0};
    double saturation_ = 1.0;
    double brightness_ = 0.0;
    double contrast_ = 1.0;
    double edge_ = 0.0;
    // Render thread: the provider that is asked to redraw this item once it has a picture.
    QPointer<QObject> waitingOn_;
    // Render thread: the size the node's mesh was written for.
    QSizeF meshSize_;
};

}  // namespace brimo::ui
