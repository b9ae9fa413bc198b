import QtQuick
import Brimolavetrix

// The password-reset panel over the sign-in card: the form, or once the service accepted the
// request, its confirmation. A click on the dark area around it closes it.
Item {
    id: panel

    // The address, shared with the sign-in steps.
    property string email
    property bool sent: false
    // No second request while one is in flight.
    property bool busy: false
    // What the panel's glass blurs.
    property Item blurSource: null

    readonly property alias emailField: emailField
    readonly property alias sendButton: sendButton
    readonly property alias closeButton: closeButton
    readonly property alias card: card

    signal emailEdited(string text)
    signal sendRequested
    signal closeRequested

    function focusFirst() {
        if (sent)
            closeButton.forceActiveFocus()
        else
            emailField.forceActiveFocus()
    }
    onSentChanged: focusFirst()

    Rectangle {
        objectName: "resetShade"
        anchors.fill: parent
        color: Qt.rgba(0, 0, 0, 0.6)
        MouseArea {
            anchors.fill: parent
            onClicked: panel.closeRequested()
        }
    }

    Item {
        id: card
        anchors.centerIn: parent
        width: Math.min(320, panel.width - 2 * 28)
        height: content.implicitHeight + 2 * 28

        GlassPanelBackground {
            anchors.fill: parent
            radius: 24
            blurSource: panel.blurSource
        }
        MouseArea {
            // Clicks on the panel itself stay there.
            anchors.fill: parent
        }

        Column {
            id: content
            x: 28
            y: 28
            width: parent.width - 56
            spacing: 18

            Column {
                width: parent.width
                spacing: 18
                visible: !panel.sent
                Text {
                    width: parent.width
                    text: "Reset Password"
                    color: "white"
                    font.pixelSize: 18
                    font.weight: Font.Bold
                    horizontalAlignment: Text.AlignHCenter
                    Accessible.role: Accessible.Heading
                    Accessible.name: text
                }
                Text {
                    width: parent.width
                    text: "Enter your email to receive a reset link."
                    color: Theme.white(0.5)
                    font.pixelSize: 12
                    font.weight: Font.Medium
                    horizontalAlignment: Text.AlignHCenter
                    wrapMode: Text.Wrap
                }
                GlassTextField {
                    id: emailField
                    objectName: "resetEmailField"
                    width: parent.width
                    placeholderText: "Email"
                    text: panel.email
                    inputMethodHints: Qt.ImhEmailCharactersOnly | Qt.ImhNoAutoUppercase
                    onTextEdited: panel.emailEdited(text)
                    onAccepted: if (!panel.busy) panel.sendRequested()
                    KeyNavigation.tab: sendButton
                }
                PrimaryButton {
                    id: sendButton
                    objectName: "sendLinkButton"
                    width: parent.width
                    text: "Send Link"
                    onClicked: if (!panel.busy) panel.sendRequested()
                    KeyNavigation.tab: closeButton
                }
            }

            Column {
                width: parent.width
                spacing: 12
                visible: panel.sent
                Rectangle {
                    objectName: "sentBadge"
                    anchors.horizontalCenter: parent.horizontalCenter
                    width: 60
                    height: 60
                    radius: 30
                    color: Theme.withOpacity(Theme.systemGreen, 0.2)
                    Symbol {
                        anchors.centerIn: parent
                        name: "envelope.badge.fill"
                        size: 28
                        color: Theme.systemGreen
                    }
                }
                Text {
                    width: parent.width
                    text: "Email sent!"
                    color: "white"
                    font.pixelSize: 15
                    font.weight: Font.DemiBold
                    horizontalAlignment: Text.AlignHCenter
                    Accessible.role: Accessible.StaticText
                    Accessible.name: text
                }
                Text {
                    width: parent.width
                    text: "Check your inbox for the reset link."
                    color: Theme.white(0.5)
                    font.pixelSize: 12
                    font.weight: Font.Medium
                    horizontalAlignment: Text.AlignHCenter
                    wrapMode: Text.Wrap
                }
            }

            TextButton {
                id: closeButton
                objectName: "closeResetButton"
                anchors.horizontalCenter: parent.horizontalCenter
                text: "Close"
                fontSize: 12
                textColor: Theme.white(0.4)
                onClicked: panel.closeRequested()
                KeyNavigation.tab: panel.sent ? closeButton : emailField
            }
        }
    }
}
