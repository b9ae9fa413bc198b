#pragma once

#include <QtQml/qqmlregistration.h>

#include "ui/shapes/RadialShapeItem.h"

namespace brimo::ui {

// A circle of `diameter` points stroked `lineWidth` wide with a linear gradient from its frame's
// top-left to its bottom-right corner. Its implicit size leaves room for the stroke.
class GradientRingItem : public RadialShapeItem {
    Q_OBJECT
    QML_NAMED_ELEMENT(GradientRing)
    Q_PROPERTY(double diameter READ diameter WRITE setDiameter NOTIFY shapeChanged)
    Q_PROPERTY(double lineWidth READ lineWidth WRITE setLineWidth NOTIFY shapeChanged)

  public:
    explicit GradientRingItem(QQuickItem* parent = nullptr);

    [[nodiscard]] double diameter() const { return diameter_; }
    void setDiameter(double diameter);
    [[nodiscard]] double lineWidth() const { return lineWidth_; }
    void setLineWidth(double width);

  protected:
    [[nodiscard]] Extent extent() const override;
    [[nodiscard]] std::array<float, 4> shape() const override;

  private:
    void fitImplicitSize();

    double diameter_ = 100.0;
    double lineWidth_ = 1.0;
};

}  // namespace brimo::ui
