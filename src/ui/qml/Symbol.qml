import QtQuick
import Qt5Compat.GraphicalEffects
import Brimolavetrix

// A named symbol at a size and colour: the icon the symbol table maps it to, tinted; a text
// glyph of the same meaning while no icon file is found.
Item {
    id: symbol

    property string name
    property real size: 12
    property color color: "white"

    readonly property url iconSource: Resources.symbolUrl(name)
    readonly property bool hasIcon: iconSource.toString() !== "" && icon.status === Image.Ready

    implicitWidth: size
    implicitHeight: size

    readonly property var fallbackGlyphs: ({
        "exclamationmark.triangle.fill": "\u26a0",
        "exclamationmark.triangle": "\u26a0",
        "speaker.wave.2.circle.fill": "\u25c9",
        "arrow.down.circle.fill": "\u2b07",
        "arrow.down.circle": "\u2b07",
        "gear": "\u2699",
        "gearshape": "\u2699",
        "arrow.clockwise": "\u21bb",
        "speaker.wave.2.fill": "\u266b",
        "speaker.wave.3.fill": "\u266b",
        "speaker.fill": "\u266a",
        "chevron.down": "\u25be",
        "checkmark": "\u2713",
        "checkmark.circle.fill": "\u2714",
        "eye.circle.fill": "\u25c9",
        "envelope": "\u2709",
        "arrow.triangle.2.circlepath": "\u27f3",
        "xmark": "\u2715",
        "minus": "\u2013"
    })

    Image {
        id: icon
        anchors.fill: parent
        source: symbol.iconSource
        sourceSize.width: Math.ceil(symbol.size * 2)
        sourceSize.height: Math.ceil(symbol.size * 2)
        fillMode: Image.PreserveAspectFit
        smooth: true
        visible: false
    }
    ColorOverlay {
        anchors.fill: parent
        source: icon
        color: symbol.color
        visible: symbol.hasIcon
    }
    Text {
        anchors.centerIn: parent
        visible: !symbol.hasIcon
        text: symbol.fallbackGlyphs[symbol.name] || ""
        color: symbol.color
        font.pixelSize: symbol.size
    }
}
