import QtQuick
import Brimolavetrix

// The application's one window: no title bar, a fixed 420 × 620, the main screen as content.
Window {
    id: window

    required property AudioManager audioManager
    required property Desktop desktop
    required property AuthService authService
    required property VersionCheck versionCheck
    required property AccountLinks accountLinks

    readonly property alias contentView: contentView

    title: "Brimola Vetrix"
    flags: Qt.Window | Qt.FramelessWindowHint
    width: 420
    height: 620
    minimumWidth: 420
    maximumWidth: 420
    minimumHeight: 620
    maximumHeight: 620
    color: "black"
    visible: true

    Shortcut {
        sequences: ["Ctrl+Q", StandardKey.Quit]
        context: Qt.ApplicationShortcut
        onActivated: Qt.quit()
    }

    WindowVisibility {
        id: visibility
        window: window
    }

    ContentView {
        id: contentView
        anchors.fill: parent
        isOnScreen: visibility.isOnScreen
        // Covered by other windows, nothing of the screen is drawn: animations that still run
        // (the account layer's) then redraw an empty window.
        visible: !visibility.isCovered
        audioManager: window.audioManager
        desktop: window.desktop
        authService: window.authService
        versionCheck: window.versionCheck
        accountLinks: window.accountLinks
    }
}
