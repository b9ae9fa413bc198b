import QtQuick
import Qt5Compat.GraphicalEffects

// What lies behind a glass panel, blurred: the part of `source` under this item, in a rounded
// rectangle. `source` must not contain this item. It is a still, taken each time the panel is
// shown or resized: the window keeps to drawing nothing blurred per frame, and what moves
// behind a panel (videos, glows) is too faint through its veil to be missed.
Item {
    id: backdrop

    property Item source: null
    property real radius: 20
    property real blurRadius: 40
    // The source is taken at 1/downscale of its size: a blur needs no detail.
    property real downscale: 1

    visible: source !== null

    function refresh() {
        capture.scheduleUpdate()
    }
    onVisibleChanged: if (visible) refresh()
    onWidthChanged: refresh()
    onHeightChanged: refresh()

    ShaderEffectSource {
        id: capture
        anchors.fill: parent
        sourceItem: backdrop.source
        live: false
        // The panels are centred and move only when their size changes.
        sourceRect: {
            if (!backdrop.source)
                return Qt.rect(0, 0, 0, 0)
            const origin = backdrop.mapToItem(backdrop.source, 0, 0)
            return Qt.rect(origin.x, origin.y, backdrop.width, backdrop.height)
        }
        textureSize: Qt.size(Math.max(1, Math.ceil(backdrop.width / backdrop.downscale)),
                             Math.max(1, Math.ceil(backdrop.height / backdrop.downscale)))
        visible: false
    }
    FastBlur {
        id: blurred
        anchors.fill: parent
        source: capture
        radius: backdrop.blurRadius / backdrop.downscale
        transparentBorder: false
        visible: false
    }
    Rectangle {
        id: shape
        anchors.fill: parent
        radius: backdrop.radius
        visible: false
    }
    OpacityMask {
        anchors.fill: parent
        source: blurred
        maskSource: shape
    }
}
