import QtQuick

// Copies the button's pressed state into `isPressed`; the face's scale follows it with a 0.1 s
// ease-out (see PowerButton). The label itself is left unchanged.
QtObject {
    property bool pressed: false
    property bool isPressed: false
    onPressedChanged: isPressed = pressed
}
