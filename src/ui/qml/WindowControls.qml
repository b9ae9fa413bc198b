import QtQuick
import QtQuick.Controls
import Brimolavetrix

// The window has no title bar: two small controls in its top-right corner minimise and close it.
Row {
    id: controls

    property var window

    spacing: 6

    Repeater {
        model: [{
                "symbol": "minus",
                "label": qsTr("Minimise")
            }, {
                "symbol": "xmark",
                "label": qsTr("Close")
            }]
        delegate: AbstractButton {
            id: control
            required property var modelData
            required property int index
            width: 20
            height: 20
            focusPolicy: Qt.StrongFocus
            Accessible.role: Accessible.Button
            Accessible.name: modelData.label
            Keys.onReturnPressed: clicked()
            Keys.onEnterPressed: clicked()
            onClicked: index === 0 ? controls.window.showMinimized() : controls.window.close()
            background: Rectangle {
                radius: 10
                color: control.hovered || control.visualFocus ? Theme.white(0.2) : Theme.white(0.08)
            }
            contentItem: Item {
                Symbol {
                    anchors.centerIn: parent
                    name: control.modelData.symbol
                    size: 10
                    color: Theme.white(0.6)
                }
            }
        }
    }
}
