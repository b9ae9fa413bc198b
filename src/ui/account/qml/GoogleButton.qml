import QtQuick
import QtQuick.Controls.Basic
import Brimolavetrix

// "Continue with Google": the four-colour mark and the label on a white plate.
AbstractButton {
    id: control

    text: "Continue with Google"
    implicitWidth: 200
    implicitHeight: 44
    leftPadding: 16
    rightPadding: 16
    focusPolicy: Qt.StrongFocus
    Accessible.role: Accessible.Button
    Accessible.name: text
    Keys.onReturnPressed: clicked()
    Keys.onEnterPressed: clicked()

    background: Rectangle {
        radius: 10
        color: control.down ? Qt.rgba(0.92, 0.92, 0.92, 1) : "white"
        border.width: control.visualFocus ? 2 : 0.6
        border.color: control.visualFocus ? Theme.systemBlue : Qt.rgba(0, 0, 0, 0.08)
    }
    contentItem: Item {
        Row {
            anchors.centerIn: parent
            spacing: 8
            Image {
                objectName: "googleLogo"
                anchors.verticalCenter: parent.verticalCenter
                width: 16
                height: 16
                sourceSize.width: 32
                sourceSize.height: 32
                source: Resources.url("GoogleLogo", "svg")
                smooth: true
            }
            Text {
                anchors.verticalCenter: parent.verticalCenter
                text: control.text
                color: "black"
                font.pixelSize: 13
                font.weight: Font.Medium
            }
        }
    }
}
