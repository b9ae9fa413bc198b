import QtQuick
import Brimolavetrix

// The driver card and the output card: a titled note with its buttons on translucent material
// in a rounded rectangle outlined in the card's accent.
Item {
    id: card

    property color accent: Theme.systemOrange
    property string symbolName
    property string title
    property string body
    default property alias buttons: buttonRow.data

    implicitHeight: column.implicitHeight + 32

    Material {
        anchors.fill: parent
        radius: 16
    }
    Rectangle {
        anchors.fill: parent
        radius: 16
        color: "transparent"
        border.width: 1
        border.color: Theme.withOpacity(card.accent, 0.3)
    }
    Column {
        id: column
        anchors.centerIn: parent
        width: parent.width - 32
        spacing: 10

        Row {
            anchors.horizontalCenter: parent.horizontalCenter
            spacing: 8
            Symbol {
                name: card.symbolName
                size: 14
                color: card.accent
                anchors.verticalCenter: parent.verticalCenter
            }
            Text {
                text: card.title
                color: "white"
                font.pixelSize: 13
                font.weight: Font.DemiBold
                anchors.verticalCenter: parent.verticalCenter
            }
        }
        Text {
            width: parent.width
            text: card.body
            color: Theme.white(0.6)
            font.pixelSize: 11
            font.weight: Font.Medium
            horizontalAlignment: Text.AlignHCenter
            wrapMode: Text.WordWrap
        }
        Row {
            id: buttonRow
            anchors.horizontalCenter: parent.horizontalCenter
            spacing: 8
        }
    }
}
