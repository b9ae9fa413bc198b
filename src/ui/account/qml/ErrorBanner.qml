import QtQuick
import Brimolavetrix

// The account service's last failure, in red on a faint red plate.
Rectangle {
    id: banner

    property string text

    implicitHeight: label.implicitHeight + 20
    radius: 10
    color: Theme.withOpacity(Theme.systemRed, 0.12)
    border.width: 1
    border.color: Theme.withOpacity(Theme.systemRed, 0.25)
    Accessible.role: Accessible.AlertMessage
    Accessible.name: text

    Text {
        id: label
        x: 14
        y: 10
        width: parent.width - 28
        text: banner.text
        color: Theme.systemRed
        font.pixelSize: 11
        font.weight: Font.Medium
        wrapMode: Text.Wrap
    }
}
