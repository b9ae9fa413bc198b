#pragma once

#include <QColor>
#include <QQuickItem>
#include <array>

#include "ui/shapes/RadialGradientMaterial.h"

namespace brimo::ui {

// A round shape centred in the item, coloured by a three-stop gradient and drawn as an annulus
// mesh, so that only the pixels it can colour are shaded (see RadialDiscItem, GradientRingItem).
class RadialShapeItem : public QQuickItem {
    Q_OBJECT
    Q_PROPERTY(QColor color0 READ color0 WRITE setColor0 NOTIFY shapeChanged)
    Q_PROPERTY(QColor color1 READ color1 WRITE setColor1 NOTIFY shapeChanged)
    Q_PROPERTY(QColor color2 READ color2 WRITE setColor2 NOTIFY shapeChanged)

  public:
    [[nodiscard]] QColor color0() const { return colours_[0]; }
    void setColor0(const QColor& colour) { setColour(0, colour); }
    [[nodiscard]] QColor color1() const { return colours_[1]; }
    void setColor1(const QColor& colour) { setColour(1, colour); }
    [[nodiscard]] QColor color2() const { return colours_[2]; }
    void setColor2(const QColor& colour) { setColour(2, colour); }

  Q_SIGNALS:
    void shapeChanged();

  protected:
    RadialShapeItem(RadialGradientMaterial::Kind kind, QQuickItem* parent);

    // What the subclass draws, asked on the render thread while the main thread waits.
    struct Extent {
        double inner;
        double outer;
    };
    [[nodiscard]] virtual Extent extent() const = 0;
    [[nodiscard]] virtual std::array<float, 4> shape() const = 0;
    // One device pixel in points.
    [[nodiscard]] double pixel() const;
    // Sets a property of the shape and redraws.
    void change(double& field, double value);

    QSGNode* updatePaintNode(QSGNode* oldNode, UpdatePaintNodeData* data) override;
    void itemChange(ItemChange change, const ItemChangeData& value) override;
    void geometryChange(const QRectF& newGeometry, const QRectF& oldGeometry) override;

  private:
    void setColour(std::size_t index, const QColor& colour);

    RadialGradientMaterial::Kind kind_;
    std::array<QColor, 3> colours_{QColor(Qt::transparent), QColor(Qt::transparent),
                                   QColor(Qt::transparent)};
};

}  // namespace brimo::ui
