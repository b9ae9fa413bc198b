import QtQuick
import QtQuick.Controls.Basic
import Qt5Compat.GraphicalEffects
import Brimolavetrix

// The gold call to action of every step. `available` is the step's condition: while false the
// button is drawn at half opacity and does nothing.
AbstractButton {
    id: control

    property bool available: true

    readonly property color gold: Qt.rgba(0.85, 0.65, 0.2, 1)
    readonly property color lightGold: Qt.rgba(0.98, 0.82, 0.4, 1)

    enabled: available
    opacity: available ? 1.0 : 0.5
    implicitWidth: 200
    implicitHeight: 48
    focusPolicy: Qt.StrongFocus
    Accessible.role: Accessible.Button
    Accessible.name: text
    Keys.onReturnPressed: clicked()
    Keys.onEnterPressed: clicked()

    background: Item {
        RectangularGlow {
            // The gold shadow: 0.4, blur 12, 6 down.
            y: 6
            width: parent.width
            height: parent.height
            glowRadius: 6
            cornerRadius: 14 + glowRadius
            color: Theme.withOpacity(control.gold, 0.4)
        }
        Rectangle {
            id: face
            anchors.fill: parent
            radius: 14
            visible: false
        }
        LinearGradient {
            anchors.fill: parent
            source: face
            start: Qt.point(0, 0)
            end: Qt.point(width, height)
            gradient: Gradient {
                GradientStop { position: 0.0; color: control.lightGold }
                GradientStop { position: 1.0; color: control.gold }
            }
        }
        LinearGradient {
            anchors.fill: parent
            source: face
            start: Qt.point(0, 0)
            end: Qt.point(0, height / 2)
            gradient: Gradient {
                GradientStop { position: 0.0; color: Theme.white(0.4) }
                GradientStop { position: 1.0; color: "transparent" }
            }
        }
        Rectangle {
            anchors.fill: parent
            radius: 14
            color: control.down ? Qt.rgba(0, 0, 0, 0.08) : "transparent"
            border.width: control.visualFocus ? 2 : 1
            border.color: control.visualFocus ? "white" : Theme.white(0.3)
        }
    }
    contentItem: Text {
        text: control.text
        color: "black"
        font.pixelSize: 15
        font.weight: Font.DemiBold
        horizontalAlignment: Text.AlignHCenter
        verticalAlignment: Text.AlignVCenter
    }
}
