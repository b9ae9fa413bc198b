pragma Singleton
import QtQuick

// Colours, fonts and animation curves every view shares. The named system colours are the
// desktop's dark-appearance accents (SystemColours.h holds the ones the level ring draws).
QtObject {
    readonly property color systemOrange: Qt.rgba(255 / 255, 159 / 255, 10 / 255, 1)
    readonly property color systemCyan: Qt.rgba(100 / 255, 210 / 255, 255 / 255, 1)
    readonly property color systemGray: Qt.rgba(142 / 255, 142 / 255, 147 / 255, 1)
    readonly property color systemRed: Qt.rgba(255 / 255, 69 / 255, 58 / 255, 1)
    readonly property color systemGreen: Qt.rgba(48 / 255, 209 / 255, 88 / 255, 1)
    readonly property color systemBlue: Qt.rgba(10 / 255, 132 / 255, 255 / 255, 1)

    function white(opacity) {
        return Qt.rgba(1, 1, 1, opacity)
    }
    function withOpacity(c, opacity) {
        return Qt.rgba(c.r, c.g, c.b, opacity)
    }

    // The ultra-thin translucent material: a thin dark veil that lets the background through.
    readonly property color material: Qt.rgba(0.11, 0.11, 0.13, 0.42)


    // Cubic timing curves (control points, then the end point, as Easing.Bezier wants them).
    readonly property var easeInOut: [0.42, 0.0, 0.58, 1.0, 1.0, 1.0]
    readonly property var easeIn: [0.42, 0.0, 1.0, 1.0, 1.0, 1.0]
    readonly property var easeOut: [0.0, 0.0, 0.58, 1.0, 1.0, 1.0]

    // The curve's progress at time fraction x (0 ... 1), for values stepped by a timer.
    function bezier(curve, x) {
        const ax = curve[0], ay = curve[1], bx = curve[2], by = curve[3]
        const coordinate = (t, p1, p2) => 3 * (1 - t) * (1 - t) * t * p1 + 3 * (1 - t) * t * t * p2 + t * t * t
        let low = 0, high = 1, t = x
        for (let i = 0; i < 24; ++i) {
            t = (low + high) / 2
            if (coordinate(t, ax, bx) < x)
                low = t
            else
                high = t
        }
        return coordinate(t, ay, by)
    }
}
