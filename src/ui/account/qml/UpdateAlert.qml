import QtQuick
import QtQuick.Controls
import Brimolavetrix

// "Update Available": shown while the checker reports a newer version; either button puts
// that flag back to false.
Popup {
    id: alert

    required property VersionCheck versionCheck

    readonly property alias updateNowButton: updateNowButton
    readonly property alias laterButton: laterButton
    readonly property string message: "A new version (" + versionCheck.latestVersion
                                      + ") of Brimola Vetrix is available.\n\n"
                                      + versionCheck.releaseNotes

    signal updateNowRequested

    parent: Overlay.overlay
    anchors.centerIn: parent
    width: 300
    modal: true
    focus: true
    padding: 20
    // Escape is the cancel role: "Later".
    closePolicy: Popup.CloseOnEscape
    // Two-way with the checker's flag: it opens and closes the alert, and closing clears it.
    function follow() {
        if (versionCheck.isUpdateAvailable)
            open()
        else
            close()
    }
    Connections {
        target: alert.versionCheck
        function onIsUpdateAvailableChanged() { alert.follow() }
    }
    Component.onCompleted: Qt.callLater(follow)
    onClosed: if (versionCheck.isUpdateAvailable) versionCheck.isUpdateAvailable = false
    onOpened: updateNowButton.forceActiveFocus()

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
        Accessible.name: "Update Available"
        Text {
            width: parent.width
            text: "Update Available"
            color: "white"
            font.pixelSize: 14
            font.weight: Font.Bold
            horizontalAlignment: Text.AlignHCenter
        }
        Text {
            objectName: "message"
            width: parent.width
            text: alert.message
            color: Theme.white(0.8)
            font.pixelSize: 12
            horizontalAlignment: Text.AlignHCenter
            wrapMode: Text.Wrap
        }
        Row {
            anchors.horizontalCenter: parent.horizontalCenter
            spacing: 10
            CapsuleButton {
                id: laterButton
                objectName: "laterButton"
                text: "Later"
                accent: Theme.systemGray
                onClicked: alert.close()
                KeyNavigation.tab: updateNowButton
            }
            CapsuleButton {
                id: updateNowButton
                objectName: "updateNowButton"
                text: "Update Now"
                accent: Theme.systemBlue
                onClicked: {
                    alert.updateNowRequested()
                    alert.close()
                }
                KeyNavigation.tab: laterButton
            }
        }
    }
}
