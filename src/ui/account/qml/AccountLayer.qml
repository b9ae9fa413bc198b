import QtQuick
import Brimolavetrix

// The main screen's account and update side above its main layer: the settings panel, the
// sign-in overlay on top of everything, the update alert, and the rule that a sign-out
// switches the shift off.
Item {
    id: layer

    required property AuthService authService
    required property VersionCheck versionCheck
    required property AccountLinks links
    required property AudioManager audioManager

    property bool showSettingsConfirmation: false
    // The update button's check, told apart from the others (the first check at start-up).
    property int pendingUpdateCheck: -1

    readonly property alias settingsPanel: settingsPanel
    readonly property alias signInLayer: signInLayer
    readonly property alias updateAlert: updateAlert

    // A press on the sign-in backdrop: the window has no title bar to drag by.
    signal windowMoveRequested

    function openSettings() {
        showSettingsConfirmation = true
    }
    function logout() {
        showSettingsConfirmation = false
        authService.logout()
    }
    function checkForUpdatesAndOpen() {
        pendingUpdateCheck = versionCheck.checkForUpdates()
    }

    onShowSettingsConfirmationChanged: {
        if (showSettingsConfirmation)
            settingsPanel.open()
        else
            settingsPanel.close()
    }

    Connections {
        target: layer.authService
        function onIsAuthenticatedChanged() {
            if (layer.authService.isAuthenticated)
                return
            // The overlay lies above everything: nothing of the panel stays open under it.
            layer.showSettingsConfirmation = false
            if (layer.audioManager.isActive)
                layer.audioManager.toggle()
        }
    }
    Connections {
        target: layer.versionCheck
        function onCheckFinished(check) {
            if (check !== layer.pendingUpdateCheck)
                return
            layer.pendingUpdateCheck = -1
            if (layer.versionCheck.isUpdateAvailable && layer.versionCheck.hasDownloadURL)
                layer.links.openUrl(layer.versionCheck.downloadURL)
        }
    }

    SettingsPanel {
        id: settingsPanel
        objectName: "settingsPanel"
        z: 1
        versionCheck: layer.versionCheck
        onClosed: layer.showSettingsConfirmation = false
        onContactRequested: layer.links.openSupportMail()
        onLogoutRequested: layer.logout()
        onUpdateRequested: layer.checkForUpdatesAndOpen()
    }

    SignInLayer {
        id: signInLayer
        objectName: "signInLayer"
        z: 2
        authService: layer.authService
        onBackdropPressed: layer.windowMoveRequested()
    }

    UpdateAlert {
        id: updateAlert
        objectName: "updateAlert"
        z: 3
        versionCheck: layer.versionCheck
        onUpdateNowRequested: {
            if (layer.versionCheck.hasDownloadURL)
                layer.links.openUrl(layer.versionCheck.downloadURL)
        }
    }
}
