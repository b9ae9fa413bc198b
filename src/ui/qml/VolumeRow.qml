import QtQuick
import QtQuick.Controls
import Brimolavetrix

// Volume: a slider over the manager's 0.0 ... 2.0 (1.0 is unity gain) between a small and a
// loud speaker.
Row {
    id: row

    required property AudioManager audioManager
    readonly property alias slider: slider

    spacing: 12

    Symbol {
        name: "speaker.fill"
        size: 10
        color: Theme.white(0.4)
        anchors.verticalCenter: parent.verticalCenter
    }
    Slider {
        id: slider
        width: row.width - 2 * 10 - 2 * row.spacing
        anchors.verticalCenter: parent.verticalCenter
        from: 0.0
        to: 2.0
        value: row.audioManager.volume
        onMoved: row.audioManager.volume = value
        focusPolicy: Qt.StrongFocus
        Accessible.name: qsTr("Volume")
        stepSize: 0
        // Arrow keys move by a tenth of unity gain.
        Keys.onLeftPressed: { row.audioManager.volume = Math.max(from, value - 0.1) }
        Keys.onRightPressed: { row.audioManager.volume = Math.min(to, value + 0.1) }

        background: Rectangle {
            x: slider.leftPadding
            y: slider.topPadding + slider.availableHeight / 2 - height / 2
            width: slider.availableWidth
            height: 4
            radius: 2
            color: Theme.white(0.15)
            Rectangle {
                width: slider.visualPosition * parent.width
                height: parent.height
                radius: 2
                color: Theme.white(0.8)
            }
        }
        handle: Rectangle {
            x: slider.leftPadding + slider.visualPosition * (slider.availableWidth - width)
            y: slider.topPadding + slider.availableHeight / 2 - height / 2
            width: 16
            height: 16
            radius: 8
            color: "white"
            border.width: slider.visualFocus ? 2 : 0
            border.color: Theme.systemCyan
        }
    }
    Symbol {
        name: "speaker.wave.3.fill"
        size: 10
        color: Theme.white(0.4)
        anchors.verticalCenter: parent.verticalCenter
    }
}
