import QtQuick
import QtQuick.Controls.Basic
import Brimolavetrix

// A plain text button ("Forgot password?", "Close", "Cancel").
AbstractButton {
    id: control

    property real fontSize: 12
    property int fontWeight: Font.Medium
    property color textColor: Theme.white(0.4)

    focusPolicy: Qt.StrongFocus
    padding: 4
    Accessible.role: Accessible.Button
    Accessible.name: text
    Keys.onReturnPressed: clicked()
    Keys.onEnterPressed: clicked()

    contentItem: Text {
        text: control.text
        color: control.textColor
        opacity: control.down ? 0.6 : 1.0
        font.pixelSize: control.fontSize
        font.weight: control.fontWeight
        font.underline: control.visualFocus
        horizontalAlignment: Text.AlignHCenter
        verticalAlignment: Text.AlignVCenter
    }
    background: Item {}
}
