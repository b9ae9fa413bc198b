import QtQuick
import Qt5Compat.GraphicalEffects
import Brimolavetrix

// The frosted glass behind the sign-in card and the reset panel: the thin material, a white
// sheen from the top-leading corner, a soft light from the top, a bright-to-faint rim and a
// deep shadow below.
Item {
    id: glass

    property real radius: 24
    // What the glass blurs; none draws the thin material alone.
    property Item blurSource: null

    RectangularGlow {
        // The shadow: black 0.4, blur 40, 20 down.
        x: 0
        y: 20
        width: glass.width
        height: glass.height
        glowRadius: 20
        spread: 0.0
        cornerRadius: glass.radius + glowRadius
        color: Qt.rgba(0, 0, 0, 0.4)
    }
    BackdropBlur {
        anchors.fill: parent
        source: glass.blurSource
        radius: glass.radius
    }
    Material {
        anchors.fill: parent
        radius: glass.radius
    }
    Rectangle {
        id: sheenShape
        anchors.fill: parent
        radius: glass.radius
        visible: false
    }
    LinearGradient {
        anchors.fill: parent
        source: sheenShape
        start: Qt.point(0, 0)
        end: Qt.point(width, height)
        gradient: Gradient {
            GradientStop { position: 0.0; color: Theme.white(0.12) }
            GradientStop { position: 1.0; color: Theme.white(0.04) }
        }
    }
    RadialGradient {
        anchors.fill: parent
        source: sheenShape
        horizontalOffset: 0
        verticalOffset: -height / 2
        horizontalRadius: 200
        verticalRadius: 200
        gradient: Gradient {
            GradientStop { position: 0.0; color: Theme.white(0.05) }
            GradientStop { position: 0.5; color: "transparent" }
        }
    }
    Rectangle {
        id: rimShape
        anchors.fill: parent
        radius: glass.radius
        color: "transparent"
        border.width: 1.5
        border.color: "white"
        visible: false
    }
    LinearGradient {
        anchors.fill: parent
        source: rimShape
        start: Qt.point(0, 0)
        end: Qt.point(width, height)
        gradient: Gradient {
            GradientStop { position: 0.0; color: Theme.white(0.5) }
            GradientStop { position: 0.5; color: Theme.white(0.2) }
            GradientStop { position: 1.0; color: Theme.white(0.1) }
        }
    }
}
