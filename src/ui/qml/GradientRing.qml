import QtQuick

// A circle of `diameter` points stroked `lineWidth` wide with a top-left to bottom-right linear
// gradient; the item is a little larger than the circle so the stroke is not cut.
ShaderEffect {
    property real diameter: 100
    property real lineWidth: 1
    property color color0
    property color color1
    property color color2

    readonly property real side: width
    readonly property real pixel: 1 / Math.max(1, Screen.devicePixelRatio)

    width: diameter + lineWidth + 2
    height: width
    blending: true
    fragmentShader: "qrc:/Brimolavetrix/shaders/gradientring.frag.qsb"
}
