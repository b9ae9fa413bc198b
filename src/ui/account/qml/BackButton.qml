import QtQuick
import QtQuick.Controls.Basic
import Brimolavetrix

// Back to the e-mail step: a chevron in a faint 36 × 36 circle.
AbstractButton {
    id: control

    implicitWidth: 36
    implicitHeight: 36
    focusPolicy: Qt.StrongFocus
    Accessible.role: Accessible.Button
    Accessible.name: qsTr("Back")
    Keys.onReturnPressed: clicked()
    Keys.onEnterPressed: clicked()

    background: Rectangle {
        radius: width / 2
        color: Theme.white(control.down ? 0.14 : 0.08)
        border.width: 1
        border.color: control.visualFocus ? Theme.white(0.7) : Theme.white(0.12)
    }
    contentItem: Item {
        Symbol {
            anchors.centerIn: parent
            name: "chevron.left"
            size: 14
            color: Theme.white(0.5)
        }
    }
}
