import QtQuick
import QtQuick.Controls
import Qt5Compat.GraphicalEffects
import Brimolavetrix

// The settings panel over the main screen: contact, sign-out, the version and the update
// check. A modal popup, so the screen below takes neither clicks nor focus while it is open.
Popup {
    id: panel

    required property VersionCheck versionCheck

    readonly property alias contactRow: contactRow
    readonly property alias logoutRow: logoutRow
    readonly property alias updateButton: updateButton
    readonly property alias cancelButton: cancelButton
    readonly property alias versionLabel: versionLabel

    signal contactRequested
    signal logoutRequested
    signal updateRequested

    parent: Overlay.overlay
    anchors.centerIn: parent
    width: 280
    modal: true
    focus: true
    padding: 24
    closePolicy: Popup.CloseOnEscape | Popup.CloseOnPressOutside

    Overlay.modal: Rectangle {
        objectName: "settingsBackdrop"
        color: Qt.rgba(0, 0, 0, 0.6)
    }
    background: Item {
        RectangularGlow {
            y: 10
            width: parent.width
            height: parent.height
            glowRadius: 10
            cornerRadius: 20 + glowRadius
            color: Qt.rgba(0, 0, 0, 0.4)
        }
        Rectangle {
            anchors.fill: parent
            radius: 20
            color: Qt.rgba(0.1, 0.1, 0.1, 0.95)
            border.width: 1
            border.color: Theme.white(0.1)
        }
    }
    onOpened: contactRow.forceActiveFocus()

    contentItem: Column {
        spacing: 20

        Text {
            width: parent.width
            text: "Settings"
            color: "white"
            font.pixelSize: 18
            font.weight: Font.Bold
            horizontalAlignment: Text.AlignHCenter
            Accessible.role: Accessible.Heading
            Accessible.name: text
        }

        Column {
            x: 4
            width: parent.width - 8
            spacing: 12
            SettingsRow {
                id: contactRow
                objectName: "contactRow"
                width: parent.width
                symbolName: "envelope"
                text: "Contact Us"
                textColor: Theme.white(0.9)
                onClicked: panel.contactRequested()
                KeyNavigation.tab: logoutRow
            }
            SettingsRow {
                id: logoutRow
                objectName: "logoutRow"
                width: parent.width
                text: "Logout"
                textColor: Theme.withOpacity(Theme.systemRed, 0.9)
                onClicked: panel.logoutRequested()
                KeyNavigation.tab: updateButton
            }
        }

        Column {
            width: parent.width
            spacing: 8
            topPadding: 8
            Rectangle {
                width: parent.width
                height: 1
                color: Theme.white(0.2)
            }
            Item {
                x: 4
                width: parent.width - 8
                height: Math.max(versionCaption.implicitHeight, versionLabel.implicitHeight)
                Text {
                    id: versionCaption
                    anchors.left: parent.left
                    text: "Version"
                    color: Theme.white(0.6)
                    font.pixelSize: 12
                    font.weight: Font.Medium
                }
                Text {
                    id: versionLabel
                    objectName: "versionLabel"
                    anchors.right: parent.right
                    text: panel.versionCheck.currentVersion
                    color: Theme.white(0.8)
                    font.pixelSize: 12
                    font.weight: Font.Bold
                    Accessible.role: Accessible.StaticText
                    Accessible.name: "Version " + text
                }
            }
            UpdateButton {
                id: updateButton
                objectName: "updateButton"
                width: parent.width
                status: panel.versionCheck.updateStatus
                onClicked: panel.updateRequested()
                KeyNavigation.tab: cancelButton
            }
        }

        TextButton {
            id: cancelButton
            objectName: "cancelButton"
            anchors.horizontalCenter: parent.horizontalCenter
            text: "Cancel"
            fontSize: 12
            fontWeight: Font.Normal
            textColor: Theme.white(0.6)
            onClicked: panel.close()
            KeyNavigation.tab: contactRow
        }
    }
}
