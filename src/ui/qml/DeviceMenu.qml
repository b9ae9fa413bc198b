import QtQuick
import QtQuick.Controls
import Brimolavetrix

// The output device pull-down: the selected device in upper case (or "SELECT DEVICE") on a
// material capsule; one item per real output, the selected one checked.
AbstractButton {
    id: control

    required property AudioManager audioManager
    readonly property string label: audioManager.hasSelectedOutputDevice
                                    ? audioManager.selectedOutputDeviceName.toUpperCase()
                                    : "SELECT DEVICE"
    readonly property alias menu: menu

    focusPolicy: Qt.StrongFocus
    Accessible.role: Accessible.ButtonMenu
    Accessible.name: qsTr("Output device: %1").arg(audioManager.hasSelectedOutputDevice
                                                    ? audioManager.selectedOutputDeviceName
                                                    : qsTr("none selected"))
    Keys.onReturnPressed: clicked()
    Keys.onEnterPressed: clicked()
    onClicked: menu.visible ? menu.close() : menu.open()
    leftPadding: 16
    rightPadding: 16
    topPadding: 12
    bottomPadding: 12

    background: Item {
        Material {
            anchors.fill: parent
            radius: height / 2
        }
        Rectangle {
            anchors.fill: parent
            radius: height / 2
            color: "transparent"
            border.width: 1
            border.color: control.visualFocus ? Theme.white(0.7) : Theme.white(0.15)
        }
    }
    contentItem: Row {
        spacing: 10
        Symbol {
            name: "speaker.wave.2.fill"
            size: 14
            color: Theme.white(0.6)
            anchors.verticalCenter: parent.verticalCenter
        }
        Text {
            id: labelText
            width: control.availableWidth - 2 * 10 - 14 - 10
            text: control.label
            color: "white"
            elide: Text.ElideRight
            font.pixelSize: 12
            font.weight: Font.DemiBold
            anchors.verticalCenter: parent.verticalCenter
        }
        Symbol {
            name: "chevron.down"
            size: 10
            color: Theme.white(0.4)
            anchors.verticalCenter: parent.verticalCenter
        }
    }

    Menu {
        id: menu
        y: control.height + 4
        width: Math.max(control.width, 200)
        modal: false

        background: Rectangle {
            implicitWidth: 200
            radius: 10
            color: Qt.rgba(0.12, 0.12, 0.13, 0.97)
            border.width: 1
            border.color: Theme.white(0.15)
        }

        Instantiator {
            model: control.audioManager.outputDevices
            delegate: MenuItem {
                id: item
                required property var modelData
                readonly property bool isSelected: control.audioManager.hasSelectedOutputDevice
                                                   && modelData.id === control.audioManager.selectedOutputDeviceId
                text: modelData.name
                Accessible.name: modelData.name
                onTriggered: control.audioManager.selectOutputDevice(modelData.id)
                contentItem: Row {
                    spacing: 8
                    leftPadding: 4
                    Text {
                        text: item.text
                        color: "white"
                        font.pixelSize: 13
                        anchors.verticalCenter: parent.verticalCenter
                    }
                    Symbol {
                        objectName: "checkmark"
                        visible: item.isSelected
                        name: "checkmark"
                        size: 12
                        color: "white"
                        anchors.verticalCenter: parent.verticalCenter
                    }
                }
                background: Rectangle {
                    color: item.highlighted ? Theme.white(0.12) : "transparent"
                    radius: 6
                }
            }
            onObjectAdded: (index, object) => menu.insertItem(index, object)
            onObjectRemoved: (index, object) => menu.removeItem(object)
        }
    }
}
