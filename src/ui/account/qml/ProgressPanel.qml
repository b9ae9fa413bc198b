import QtQuick
import Qt5Compat.GraphicalEffects
import Brimolavetrix

// While an account operation runs: a dark layer that takes every click, and a small glass
// plate with a spinner and "Please wait...". While Google's page is open in the browser the
// plate offers "Cancel": a browser never says that its tab was closed.
Item {
    id: progress

    // What the plate's glass blurs.
    property Item blurSource: null
    property bool offersCancel: false

    signal cancelRequested

    Rectangle {
        anchors.fill: parent
        color: Qt.rgba(0, 0, 0, 0.4)
    }
    MouseArea {
        anchors.fill: parent
        hoverEnabled: true
        acceptedButtons: Qt.AllButtons
        onWheel: function (wheel) { wheel.accepted = true }
    }

    Item {
        objectName: "progressPlate"
        anchors.centerIn: parent
        width: column.implicitWidth + 64
        height: column.implicitHeight + 64
        Accessible.role: Accessible.ProgressBar
        Accessible.name: "Please wait..."

        RectangularGlow {
            anchors.fill: parent
            glowRadius: 10
            cornerRadius: 20 + glowRadius
            color: Qt.rgba(0, 0, 0, 0.3)
        }
        BackdropBlur {
            anchors.fill: parent
            source: progress.blurSource
            radius: 20
        }
        Material {
            anchors.fill: parent
            radius: 20
            border.width: 1
            border.color: Theme.white(0.15)
        }
        Column {
            id: column
            anchors.centerIn: parent
            spacing: 16
            Spinner {
                objectName: "progressSpinner"
                anchors.horizontalCenter: parent.horizontalCenter
                // The regular indicator's size, scaled by 1.3.
                width: 24
                height: 24
                scale: 1.3
            }
            Text {
                anchors.horizontalCenter: parent.horizontalCenter
                text: "Please wait..."
                color: Theme.white(0.6)
                font.pixelSize: 12
                font.weight: Font.Medium
            }
            TextButton {
                id: cancelButton
                objectName: "progressCancelButton"
                anchors.horizontalCenter: parent.horizontalCenter
                visible: progress.offersCancel
                text: "Cancel"
                fontSize: 12
                textColor: Theme.white(0.6)
                onClicked: progress.cancelRequested()
            }
        }
    }
}
