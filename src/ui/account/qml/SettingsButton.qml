import QtQuick
import Brimolavetrix

// The controls row's settings button, shown while a user is signed in.
CircleButton {
    symbolName: "gearshape"
    symbolSize: 14
    Accessible.name: qsTr("Settings")
}
