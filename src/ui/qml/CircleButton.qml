import QtQuick
import QtQuick.Controls
import Brimolavetrix

// A plain 40 × 40 button of the controls row: a symbol inside a thin white circle.
AbstractButton {
    id: control

    property string symbolName
    property real symbolSize: 14
    property alias symbolItem: glyph

    implicitWidth: 40
    implicitHeight: 40
    focusPolicy: Qt.StrongFocus
    Accessible.role: Accessible.Button
    Keys.onReturnPressed: clicked()
    Keys.onEnterPressed: clicked()

    background: Rectangle {
        radius: width / 2
        color: "transparent"
        border.width: 1
        border.color: control.visualFocus ? Theme.white(0.7) : Theme.white(0.2)
    }
    contentItem: Item {
        Symbol {
            id: glyph
            anchors.centerIn: parent
            name: control.symbolName
            size: control.symbolSize
            color: Theme.white(0.5)
        }
    }
}
