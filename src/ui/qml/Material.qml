import QtQuick
import Brimolavetrix

// The ultra-thin translucent material behind cards, the device menu and the power button's
// face: a thin veil over the background, cheap enough to draw on every video frame.
Rectangle {
    color: Theme.material
}
