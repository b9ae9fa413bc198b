import QtQuick
import QtQuick.Controls.Basic
import Brimolavetrix

// One action row of the settings panel: full width, on a faint plate with a thin outline.
AbstractButton {
    id: control

    property string symbolName
    property color textColor: Theme.white(0.9)

    topPadding: 12
    bottomPadding: 12
    focusPolicy: Qt.StrongFocus
    Accessible.role: Accessible.Button
    Accessible.name: text
    Keys.onReturnPressed: clicked()
    Keys.onEnterPressed: clicked()

    background: Rectangle {
        radius: 10
        color: Theme.white(control.down ? 0.16 : 0.1)
        border.width: 1
        border.color: control.visualFocus ? Theme.white(0.7) : Theme.white(0.2)
    }
    contentItem: Item {
        implicitHeight: label.implicitHeight
        Row {
            anchors.centerIn: parent
            spacing: 6
            Symbol {
                visible: control.symbolName !== ""
                anchors.verticalCenter: parent.verticalCenter
                name: control.symbolName
                size: 12
                color: control.textColor
            }
            Text {
                id: label
                anchors.verticalCenter: parent.verticalCenter
                text: control.text
                color: control.textColor
                font.pixelSize: 14
                font.weight: Font.Medium
            }
        }
    }
}
