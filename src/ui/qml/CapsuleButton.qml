import QtQuick
import QtQuick.Controls
import Brimolavetrix

// A card's button: white label on a capsule filled with the card's accent at 80 %.
AbstractButton {
    id: control

    property color accent: Theme.systemOrange
    property real fillOpacity: 0.8
    property string symbolName
    property bool busy: false
    readonly property alias spinner: spinner

    focusPolicy: Qt.StrongFocus
    Accessible.role: Accessible.Button
    Accessible.name: text
    Keys.onReturnPressed: clicked()
    Keys.onEnterPressed: clicked()
    leftPadding: 16
    rightPadding: 16
    topPadding: 8
    bottomPadding: 8

    background: Rectangle {
        radius: height / 2
        color: Theme.withOpacity(control.accent, control.fillOpacity)
        border.width: control.visualFocus ? 2 : 0
        border.color: "white"
    }
    contentItem: Row {
        spacing: 6
        ActivitySpinner {
            id: spinner
            visible: control.busy
            running: control.busy
            color: "white"
            scale: 0.6
            anchors.verticalCenter: parent.verticalCenter
        }
        Symbol {
            visible: !control.busy && control.symbolName !== ""
            name: control.symbolName
            size: 12
            color: "white"
            anchors.verticalCenter: parent.verticalCenter
        }
        Text {
            text: control.text
            color: "white"
            font.pixelSize: 12
            font.weight: Font.DemiBold
            anchors.verticalCenter: parent.verticalCenter
        }
    }
}
