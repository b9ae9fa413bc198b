#pragma once

#include <QtQml/qqmlregistration.h>

#include "ui/shapes/RadialShapeItem.h"

namespace brimo::ui {

// A disc centred in the item, filled with a radial gradient from color0 at stop0 through color1
// at stop1 to color2 at stop2 (radii in points), clear beyond: glows, shadows, highlights.
class RadialDiscItem : public RadialShapeItem {
    Q_OBJECT
    QML_NAMED_ELEMENT(RadialDisc)
    Q_PROPERTY(double stop0 READ stop0 WRITE setStop0 NOTIFY shapeChanged)
    Q_PROPERTY(double stop1 READ stop1 WRITE setStop1 NOTIFY shapeChanged)
    Q_PROPERTY(double stop2 READ stop2 WRITE setStop2 NOTIFY shapeChanged)

  public:
    explicit RadialDiscItem(QQuickItem* parent = nullptr);

    [[nodiscard]] double stop0() const { return stop0_; }
    void setStop0(double radius) { change(stop0_, radius); }
    [[nodiscard]] double stop1() const { return stop1_; }
    void setStop1(double radius) { change(stop1_, radius); }
    [[nodiscard]] double stop2() const { return stop2_; }
    void setStop2(double radius) { change(stop2_, radius); }

  protected:
    [[nodiscard]] Extent extent() const override;
    [[nodiscard]] std::array<float, 4> shape() const override;

  private:
    double stop0_ = 0.0;
    double stop1_ = 0.0;
    double stop2_ = 0.0;
};

}  // namespace brimo::ui
