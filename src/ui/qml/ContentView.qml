import QtQuick
import QtQuick.Controls
import Brimolavetrix

// The main screen: the background video, the logo, one of three centre states (driver card,
// output card, power area inside the level ring), the output device section and the volume.
// It polls the manager twice a second and asks once for the automatic driver installation.
Item {
    id: root

    required property AudioManager audioManager
    required property Desktop desktop

    // View state.
    property var installationMessage: undefined
    property bool showInstallationAlert: false
    property real refreshRotation: 0.0
    property real refreshScale: 1.0

    // False while nobody can see the window (minimised, unmapped, covered): the videos pause
    // and the animations stop.
    property bool isOnScreen: true

    // Account integration: the account service, the update checker and the desktop links.
    // Without an account service the screen has no account side and the power button follows
    // the driver and output conditions only.
    property AuthService authService: null
    property VersionCheck versionCheck: null
    property AccountLinks accountLinks: null
    readonly property bool isSignedIn: authService !== null && authService.isAuthenticated
    // A signed-out user cannot switch the shift on, but a shift still on can be switched off.
    property bool isSignInSatisfied: authService === null || audioManager.isActive || isSignedIn
    readonly property var accountLayerView: accountLayerLoader.item

    readonly property string screenState: !audioManager.isDriverInstalled ? "driverCard"
                                          : !audioManager.isBrimolavetrixSelectedAsOutput ? "outputCard"
                                          : "powerArea"
    readonly property bool isPowerButtonUsable: audioManager.isDriverInstalled
                                                && audioManager.isBrimolavetrixSelectedAsOutput
                                                && isSignInSatisfied

    // For tests and screenshots.
    readonly property alias pollTimer: pollTimer
    readonly property alias refreshButton: refreshButton
    readonly property alias deviceMenu: deviceMenu
    readonly property alias volumeRow: volumeRow
    readonly property alias installationAlert: installationAlert
    readonly property alias settingsAlert: settingsAlert
    readonly property alias useBrimolaButton: useBrimolaButton
    readonly property alias background: background
    readonly property alias centre: centre
    // The slot in front of the device menu (the account's settings button) and the layer
    // above everything (settings panel, sign-in overlay).
    readonly property alias controlsRowLeading: controlsRowLeading
    readonly property alias accountLayer: accountLayer

    width: 420
    height: 620

    Component.onCompleted: audioManager.autoInstallDriverIfNeeded()

    Timer {
        id: pollTimer
        interval: 500
        repeat: true
        running: true
        onTriggered: root.audioManager.refreshDevices()
    }

    Connections {
        target: root.audioManager
        // Automatic: a message opens the alert; a plain success only refreshes.
        function onAutoInstallCompleted(success, message) {
            if (message !== undefined && message !== null) {
                root.installationMessage = message
                root.showInstallationAlert = true
            } else if (success && root.audioManager.isDriverInstalled) {
                root.audioManager.refreshDevices()
            }
        }
        // Manual: always an alert (the manager already refreshed on success).
        function onInstallCompleted(success, message) {
            if (message !== undefined && message !== null)
                root.installationMessage = message
            else
                root.installationMessage = success
                        ? "Driver installed! Now select 'Brimola Vetrix' as output."
                        : "Installation failed. Try again."
            root.showInstallationAlert = true
        }
    }

    function installManually() {
        audioManager.installDriver()
    }

    function pressRefresh() {
        refreshRotation += 360
        scaleBack.restart()
        audioManager.refreshDevices()
    }

    function openSoundSettings() {
        if (!desktop.openSoundSettings())
            settingsAlert.open()
    }

    // Main layer: the background, and under everything else a press that moves the window.
    VideoBackgroundView {
        id: background
        anchors.fill: parent
        isActive: root.audioManager.isActive
        isOnScreen: root.isOnScreen
    }
    MouseArea {
        anchors.fill: parent
        onPressed: if (root.Window.window) root.Window.window.startSystemMove()
    }

    Column {
        id: mainColumn
        anchors.fill: parent
        spacing: 12

        // 1. Header: the logo, or the name while the logo cannot be read.
        Item {
            id: header
            width: parent.width
            height: 16 + 20
            Image {
                id: logo
                anchors.horizontalCenter: parent.horizontalCenter
                y: 16
                height: 20
                width: Math.min(parent.width - 24, sourceSize.height > 0
                                ? 20 * sourceSize.width / sourceSize.height : 0)
                source: Resources.url("BrimolavetrixLogo", "png")
                fillMode: Image.PreserveAspectFit
                smooth: true
                mipmap: true
                visible: status === Image.Ready
                Accessible.role: Accessible.Graphic
                Accessible.name: "Brimola Vetrix"
            }
            Text {
                anchors.horizontalCenter: parent.horizontalCenter
                y: 16
                height: 20
                verticalAlignment: Text.AlignVCenter
                visible: logo.status !== Image.Ready
                text: "BRIMOLA VETRIX"
                color: Theme.white(0.9)
                font.pixelSize: 18
                font.weight: Font.Bold
                font.letterSpacing: 4
            }
        }

        // 2. The flexible space, then 20 pt.
        Item {
            width: parent.width
            height: Math.max(0, root.height - header.height - 20 - centre.height - bottom.height
                             - 4 * mainColumn.spacing)
        }
        Item {
            width: parent.width
            height: 20
        }

        // 3. Centre: exactly one of the three states.
        Item {
            id: centre
            width: parent.width
            height: root.screenState === "powerArea" ? powerArea.height
                    : root.screenState === "driverCard" ? driverCard.height : outputCard.height

            StatusCard {
                id: driverCard
                visible: root.screenState === "driverCard"
                x: 20
                width: parent.width - 40
                height: implicitHeight
                accent: Theme.systemOrange
                symbolName: "exclamationmark.triangle.fill"
                title: "Audio Driver Required"
                body: "Install the driver to enable 432 Hz tuning."
                CapsuleButton {
                    id: installCardButton
                    accent: Theme.systemOrange
                    busy: root.audioManager.isInstallingDriver
                    symbolName: "arrow.down.circle.fill"
                    text: root.audioManager.isInstallingDriver ? "Installing..." : "Install Driver"
                    enabled: !root.audioManager.isInstallingDriver
                    onClicked: root.installManually()
                }
            }

            StatusCard {
                id: outputCard
                visible: root.screenState === "outputCard"
                x: 20
                width: parent.width - 40
                height: implicitHeight
                accent: Theme.systemCyan
                symbolName: "speaker.wave.2.circle.fill"
                title: "Configure Audio Output"
                body: "Select 'Brimola Vetrix' as output in System Settings."
                CapsuleButton {
                    accent: Theme.systemCyan
                    symbolName: "gear"
                    text: "Open Settings"
                    onClicked: root.openSoundSettings()
                }
                CapsuleButton {
                    id: useBrimolaButton
                    accent: Theme.systemCyan
                    fillOpacity: 0.35
                    symbolName: "checkmark"
                    text: "Use Brimola Vetrix"
                    onClicked: {
                        if (!root.audioManager.useBrimolaVetrixAsOutput())
                            settingsAlert.open()
                    }
                }
            }

            Column {
                id: powerArea
                visible: root.screenState === "powerArea"
                width: parent.width
                spacing: 24

                Item {
                    width: 280
                    height: 280
                    anchors.horizontalCenter: parent.horizontalCenter
                    Loader {
                        // Discarded with the power area and made again when it returns.
                        anchors.fill: parent
                        active: root.screenState === "powerArea"
                        sourceComponent: Item {
                            CircularEqualizerView {
                                objectName: "levelRing"
                                // Nothing to draw for no one.
                                visible: root.isOnScreen
                                anchors.centerIn: parent
                                width: implicitWidth
                                height: implicitHeight
                                isActive: root.audioManager.isActive
                                audioLevel: root.audioManager.audioLevel
                                radius: 72
                                barCount: 96
                            }
                            PowerButton {
                                objectName: "powerButton"
                                anchors.centerIn: parent
                                width: 160
                                height: 160
                                isActive: root.audioManager.isActive
                                isOnScreen: root.isOnScreen
                                enabled: root.isPowerButtonUsable
                                opacity: enabled ? 1.0 : 0.5
                                action: function () {
                                    root.audioManager.toggle()
                                }
                            }
                        }
                    }
                }
                Text {
                    objectName: "statusLine"
                    x: 40
                    width: parent.width - 80
                    text: root.audioManager.isActive ? "Your system audio is now tuned to 432 Hz"
                                                     : "Tap to tune your audio to 432 Hz"
                    color: Theme.white(0.5)
                    font.pixelSize: 14
                    font.weight: Font.Medium
                    horizontalAlignment: Text.AlignHCenter
                    wrapMode: Text.WordWrap
                }
            }
        }

        // 4. Bottom: device section and volume.
        Column {
            id: bottom
            width: parent.width
            spacing: 16
            bottomPadding: 24

            Column {
                x: 30
                width: parent.width - 60
                spacing: 10
                Text {
                    text: "OUTPUT DEVICE"
                    color: Theme.white(0.4)
                    font.pixelSize: 10
                    font.weight: Font.Bold
                    font.letterSpacing: 2
                }
                Row {
                    id: controlsRow
                    width: parent.width
                    spacing: 12
                    Row {
                        // The account's settings button goes here while signed in.
                        id: controlsRowLeading
                        spacing: 12
                        visible: root.isSignedIn
                        SettingsButton {
                            id: settingsButton
                            objectName: "settingsButton"
                            onClicked: root.accountLayerView.openSettings()
                        }
                    }
                    DeviceMenu {
                        id: deviceMenu
                        audioManager: root.audioManager
                        width: controlsRow.width - (controlsRowLeading.visible
                                                    ? controlsRowLeading.width + controlsRow.spacing : 0)
                               - (installButton.visible ? 40 + controlsRow.spacing : 0)
                               - 40 - controlsRow.spacing
                        height: 40
                    }
                    CircleButton {
                        id: installButton
                        visible: !root.audioManager.isDriverInstalled
                        symbolName: "arrow.down.circle"
                        symbolSize: 18
                        Accessible.name: qsTr("Install driver")
                        onClicked: root.installManually()
                    }
                    CircleButton {
                        id: refreshButton
                        symbolName: "arrow.clockwise"
                        symbolSize: 14
                        Accessible.name: qsTr("Refresh devices")
                        onClicked: root.pressRefresh()
                        symbolItem.rotation: root.refreshRotation
                        symbolItem.scale: root.refreshScale
                        Behavior on symbolItem.rotation {
                            NumberAnimation {
                                duration: 600
                                easing.type: Easing.BezierSpline
                                easing.bezierCurve: Theme.easeInOut
                            }
                        }
                    }
                }
            }

            VolumeRow {
                id: volumeRow
                audioManager: root.audioManager
                x: 40
                width: parent.width - 80
                topPadding: -4
            }
        }
    }

    // The refresh icon's bounce: 1.15 with a 0.15 s ease-out, back to 1.0 with an ease-in
    // 0.15 s later.
    SequentialAnimation {
        id: scaleBack
        NumberAnimation {
            target: root
            property: "refreshScale"
            to: 1.15
            duration: 150
            easing.type: Easing.BezierSpline
            easing.bezierCurve: Theme.easeOut
        }
        NumberAnimation {
            target: root
            property: "refreshScale"
            to: 1.0
            duration: 150
            easing.type: Easing.BezierSpline
            easing.bezierCurve: Theme.easeIn
        }
    }

    // Above everything: the account's settings panel and sign-in overlay.
    Item {
        id: accountLayer
        anchors.fill: parent
        Loader {
            id: accountLayerLoader
            anchors.fill: parent
            active: root.authService !== null
            sourceComponent: AccountLayer {
                authService: root.authService
                versionCheck: root.versionCheck
                links: root.accountLinks
                audioManager: root.audioManager
                mainScreen: root
                onWindowMoveRequested: if (root.Window.window) root.Window.window.startSystemMove()
            }
        }
    }

    // A popup of its own, above every other (the sign-in overlay, the panels, the alerts): a
    // modal popup takes every press outside itself, and the window has no other way to be
    // closed or minimised with the mouse.
    Popup {
        id: windowControlsLayer
        parent: root.Overlay.overlay
        z: 1000
        x: parent ? parent.width - width - 10 : 0
        y: 10
        padding: 0
        modal: false
        focus: false
        closePolicy: Popup.NoAutoClose
        background: null
        visible: root.Window.window !== null
        contentItem: WindowControls {
            objectName: "windowControls"
            window: root.Window.window
        }
    }

    AlertDialog {
        id: installationAlert
        title: "Driver Installation"
        message: (root.installationMessage !== undefined && root.installationMessage !== null
                  && root.installationMessage !== "") ? root.installationMessage : "Installation complete"
        visible: root.showInstallationAlert
        onClosed: root.showInstallationAlert = false
    }
    AlertDialog {
        id: settingsAlert
        title: "Sound Settings"
        message: "No sound settings application was found. Open your desktop's sound settings "
                 + "and choose 'Brimola Vetrix' as the output device, or press 'Use Brimola Vetrix'."
    }
}
