import QtQuick
import QtQuick.Controls.Basic
import Qt5Compat.GraphicalEffects
import Brimolavetrix

// The sign-in text field: a faint glass capsule with its placeholder inside while empty; the
// secure variant hides what is typed.
TextField {
    id: field

    property bool secure: false

    echoMode: secure ? TextInput.Password : TextInput.Normal
    passwordCharacter: "\u2022"
    color: "white"
    selectionColor: Theme.white(0.3)
    selectedTextColor: "white"
    font.pixelSize: 14
    font.weight: Font.Medium
    leftPadding: 16
    rightPadding: 16
    topPadding: 14
    bottomPadding: 14
    implicitWidth: 200
    // Shown by the placeholder text below rather than the control's own, for its colour.
    placeholderTextColor: "transparent"
    inputMethodHints: secure ? Qt.ImhSensitiveData | Qt.ImhNoPredictiveText | Qt.ImhHiddenText
                             : Qt.ImhNone
    selectByMouse: true
    Accessible.name: placeholderText
    Accessible.passwordEdit: secure

    Text {
        x: 16
        anchors.verticalCenter: parent.verticalCenter
        visible: field.text.length === 0 && field.preeditText.length === 0
        text: field.placeholderText
        color: Theme.white(0.25)
        font.pixelSize: 14
        font.weight: Font.Medium
    }

    background: Item {
        implicitHeight: 48
        Rectangle {
            anchors.fill: parent
            radius: 14
            color: Theme.white(0.06)
        }
        Rectangle {
            id: outline
            anchors.fill: parent
            radius: 14
            color: "transparent"
            border.width: 1
            border.color: "white"
            visible: false
        }
        LinearGradient {
            anchors.fill: parent
            source: outline
            start: Qt.point(0, 0)
            end: Qt.point(width, height)
            gradient: Gradient {
                GradientStop { position: 0.0; color: Theme.white(field.activeFocus ? 0.45 : 0.2) }
                GradientStop { position: 1.0; color: Theme.white(field.activeFocus ? 0.2 : 0.08) }
            }
        }
    }
}
