import QtQuick
import Brimolavetrix

// The login and register steps' header: back button, the title centred, and a clear 36-wide
// space that balances the back button.
Item {
    id: header

    property string title
    readonly property alias backButton: back

    signal backClicked

    implicitHeight: 36

    BackButton {
        id: back
        anchors.left: parent.left
        anchors.verticalCenter: parent.verticalCenter
        onClicked: header.backClicked()
    }
    Text {
        anchors.centerIn: parent
        width: parent.width - 2 * 36
        text: header.title
        color: "white"
        font.pixelSize: 20
        font.weight: Font.Bold
        horizontalAlignment: Text.AlignHCenter
        elide: Text.ElideRight
        Accessible.role: Accessible.Heading
        Accessible.name: text
    }
}
