import QtQuick
import QtQuick.Controls
import Brimolavetrix

// A modal alert in the window: title, message and one "OK" button.
Popup {
    id: alert

    property string title
    property string message

    anchors.centerIn: Overlay.overlay
    width: 300
    modal: true
    focus: true
    padding: 20
    closePolicy: Popup.CloseOnEscape

    Overlay.modal: Rectangle {
        color: Qt.rgba(0, 0, 0, 0.5)
    }
    background: Rectangle {
        radius: 14
        color: Qt.rgba(0.14, 0.14, 0.15, 0.98)
        border.width: 1
        border.color: Theme.white(0.12)
    }
    contentItem: Column {
        spacing: 12
        Accessible.role: Accessible.AlertMessage
        Accessible.name: alert.title
        Text {
            width: parent.width
            text: alert.title
            color: "white"
            font.pixelSize: 14
            font.weight: Font.Bold
            horizontalAlignment: Text.AlignHCenter
            wrapMode: Text.WordWrap
        }
        Text {
            objectName: "message"
            width: parent.width
            text: alert.message
            color: Theme.white(0.8)
            font.pixelSize: 12
            horizontalAlignment: Text.AlignHCenter
            wrapMode: Text.WordWrap
        }
        CapsuleButton {
            id: okButton
            anchors.horizontalCenter: parent.horizontalCenter
            text: "OK"
            accent: Theme.systemBlue
            focus: true
            onClicked: alert.close()
        }
    }
    onOpened: okButton.forceActiveFocus()
}
