import QtQuick
import Brimolavetrix

// The main screen's account and update side above its main layer: the settings panel, the
// sign-in overlay on top of everything, the update alert, and the rule that a sign-out
// switches the shift off.
Item {
    id: accountLayer

    required property AuthService authService
    required property VersionCheck versionCheck
    required property AccountLinks links
    required property AudioManager audioManager
    // The main screen below, which the sign-in overlay blurs.
    property Item mainScreen: null

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
        target: accountLayer.authService
        function onIsAuthenticatedChanged() {
            if (accountLayer.authService.isAuthenticated)
                return
            // The overlay lies above everything: nothing of the panel stays open under it.
            accountLayer.showSettingsConfirmation = false
            if (accountLayer.audioManager.isActive)
                accountLayer.audioManager.toggle()
        }
    }
    Connections {
        target: accountLayer.versionCheck
        function onCheckFinished(check) {
            if (check !== accountLayer.pendingUpdateCheck)
                return
            accountLayer.pendingUpdateCheck = -1
            if (accountLayer.versionCheck.isUpdateAvailable && accountLayer.versionCheck.hasDownloadURL)
                accountLayer.links.openUrl(accountLayer.versionCheck.downloadURL)
        }
    }

    SettingsPanel {
        id: settingsPanel
        objectName: "settingsPanel"
        z: 1
        versionCheck: accountLayer.versionCheck
        onClosed: accountLayer.showSettingsConfirmation = false
        onContactRequested: accountLayer.links.openSupportMail()
        onLogoutRequested: accountLayer.logout()
        onUpdateRequested: accountLayer.checkForUpdatesAndOpen()
    }

    SignInLayer {
        id: signInLayer
        objectName: "signInLayer"
        z: 2
        authService: accountLayer.authService
        backdropSource: accountLayer.mainScreen
        onBackdropPressed: accountLayer.windowMoveRequested()
    }

    UpdateAlert {
        id: updateAlert
        objectName: "updateAlert"
        z: 3
        versionCheck: accountLayer.versionCheck
        onUpdateNowRequested: {
            if (accountLayer.versionCheck.hasDownloadURL)
                accountLayer.links.openUrl(accountLayer.versionCheck.downloadURL)
        }
    }
}
