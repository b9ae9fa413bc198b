import QtQuick

// A square item showing a disc with a three-stop radial gradient (radii in points from the
// centre); see shaders/radialdisc.frag.
ShaderEffect {
    id: disc

    property color color0
    property color color1
    property color color2: "transparent"
    property real stop0: 0
    property real stop1: width / 4
    property real stop2: width / 2

    readonly property real radius0: stop0 / (width / 2)
    readonly property real radius1: stop1 / (width / 2)
    readonly property real radius2: stop2 / (width / 2)

    blending: true
    fragmentShader: "qrc:/Brimolavetrix/shaders/radialdisc.frag.qsb"
}
