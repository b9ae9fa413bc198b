import QtQuick
import Qt5Compat.GraphicalEffects

// What lies behind a glass panel, blurred: the part of `source` under this item, in a rounded
// rectangle. `source` must not contain this item.
Item {
    id: backdrop

    property Item source: null
    property real radius: 20
    property real blurRadius: 40

    visible: source !== null

    ShaderEffectSource {
        id: capture
        anchors.fill: parent
        sourceItem: backdrop.source
        // The panels are centred and do not move while shown: their place is read once per size.
        sourceRect: {
            if (!backdrop.source)
                return Qt.rect(0, 0, 0, 0)
            const origin = backdrop.mapToItem(backdrop.source, 0, 0)
            return Qt.rect(origin.x, origin.y, backdrop.width, backdrop.height)
        }
        visible: false
    }
    FastBlur {
        id: blurred
        anchors.fill: parent
        source: capture
        radius: backdrop.blurRadius
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
