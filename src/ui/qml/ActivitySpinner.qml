import QtQuick

// A small circular activity indicator: eight spokes, brightest at the head, turning one spoke
// at a time. Stepped by a timer (12 steps a second) rather than animated every frame, so it
// costs a dozen redraws a second while something is busy and none otherwise.
Item {
    id: spinner

    property color color: "white"
    property bool running: true
    property int step: 0

    implicitWidth: 20
    implicitHeight: 20

    Timer {
        interval: 83
        repeat: true
        running: spinner.running && spinner.visible
        onTriggered: spinner.step = (spinner.step + 1) % 8
    }

    Repeater {
        model: 8
        Rectangle {
            required property int index
            // Spoke 0 is the head; the others fade behind it.
            readonly property int age: (index - spinner.step + 8) % 8
            x: (spinner.width - width) / 2
            y: 0
            width: 3
            height: spinner.height * 0.3
            radius: 1.5
            antialiasing: true
            color: spinner.color
            opacity: 1.0 - age * 0.11
            transform: Rotation {
                origin.x: 1.5
                origin.y: spinner.height / 2
                angle: -45 * index
            }
        }
    }
}
