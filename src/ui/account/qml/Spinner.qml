import QtQuick
import QtQuick.Shapes

// The circular activity indicator, tinted white: an open arc that turns.
Item {
    id: spinner

    property color color: "white"
    property real lineWidth: Math.max(2, width / 10)

    implicitWidth: 24
    implicitHeight: 24

    Shape {
        anchors.fill: parent
        ShapePath {
            strokeColor: spinner.color
            strokeWidth: spinner.lineWidth
            fillColor: "transparent"
            capStyle: ShapePath.RoundCap
            PathAngleArc {
                centerX: spinner.width / 2
                centerY: spinner.height / 2
                radiusX: spinner.width / 2 - spinner.lineWidth
                radiusY: spinner.height / 2 - spinner.lineWidth
                startAngle: 0
                sweepAngle: 270
            }
        }
        RotationAnimator on rotation {
            from: 0
            to: 360
            duration: 900
            loops: Animation.Infinite
            running: spinner.visible
        }
    }
}
