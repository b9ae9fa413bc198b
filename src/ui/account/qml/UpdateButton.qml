import QtQuick
import QtQuick.Controls.Basic
import Brimolavetrix

// The settings panel's update check: its look follows the checker's status.
AbstractButton {
    id: control

    // idle, checking, upToDate, updateAvailable or error.
    property string status: "idle"

    readonly property var looks: ({
        "idle": { symbol: "arrow.triangle.2.circlepath", label: "Check", colour: Theme.white(0.7) },
        "checking": { symbol: "", label: "Checking...", colour: Theme.white(0.7) },
        "upToDate": { symbol: "checkmark.circle.fill", label: "Up to date", colour: Theme.systemGreen },
        "updateAvailable": { symbol: "arrow.down.circle.fill", label: "Update", colour: Theme.systemBlue },
        "error": { symbol: "exclamationmark.triangle", label: "Error", colour: Theme.systemOrange }
    })
    readonly property var look: looks[status] || looks["idle"]
    readonly property color tint: look.colour
    readonly property string symbolName: look.symbol

    text: look.label
    implicitHeight: 12 + 2 * 8 + 2
    topPadding: 8
    bottomPadding: 8
    focusPolicy: Qt.StrongFocus
    Accessible.role: Accessible.Button
    Accessible.name: status === "idle" ? qsTr("Check for updates") : text
    Keys.onReturnPressed: clicked()
    Keys.onEnterPressed: clicked()

    background: Rectangle {
        radius: 8
        color: Theme.white(control.down ? 0.1 : 0.05)
        border.width: control.visualFocus ? 1 : 0
        border.color: Theme.white(0.6)
    }
    contentItem: Item {
        implicitHeight: Math.max(14, label.implicitHeight)
        Row {
            anchors.centerIn: parent
            spacing: 6
            Item {
                objectName: "checkingIndicator"
                visible: control.status === "checking"
                width: 14
                height: 14
                anchors.verticalCenter: parent.verticalCenter
                Spinner {
                    anchors.centerIn: parent
                    width: 14
                    height: 14
                    scale: 0.7
                    color: control.tint
                }
            }
            Symbol {
                objectName: "updateSymbol"
                visible: control.symbolName !== ""
                anchors.verticalCenter: parent.verticalCenter
                name: control.symbolName
                size: 12
                color: control.tint
            }
            Text {
                id: label
                objectName: "updateLabel"
                anchors.verticalCenter: parent.verticalCenter
                text: control.text
                color: control.tint
                font.pixelSize: 12
                font.weight: Font.Medium
            }
        }
    }
}
