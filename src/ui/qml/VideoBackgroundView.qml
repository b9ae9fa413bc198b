import QtQuick
import Brimolavetrix

// The full-window background: the calm off-state video, and above it the warm on-state one
// scaled by 1.15, cross-faded over 0.8 s whenever the shift is switched. A video that cannot be
// seen (window unseen, layer faded out) is not decoded.
Item {
    id: background

    property bool isActive: false
    property bool isOnScreen: true
    readonly property VideoPlayerManager playerManager: VideoPlayerManager {}
    readonly property alias offLayer: offLayer
    readonly property alias onLayer: onLayer

    // Set up once the window shows its first frame: a video that starts while the window's
    // first frame is still being drawn stalls the main thread for a second.
    function setUpOnce() {
        if (playerManager.isSetUp)
            return
        playerManager.setUp()
        if (isActive)
            playerManager.restart(true)
        follow()
    }
    // A layer is seen while it belongs to the state or has not yet faded out.
    function follow() {
        playerManager.follow(isOnScreen && (!isActive || offLayer.visible),
                             isOnScreen && (isActive || onLayer.visible))
    }
    Connections {
        target: background.Window.window
        enabled: !background.playerManager.isSetUp
        function onFrameSwapped() {
            background.setUpOnce()
        }
    }
    onIsActiveChanged: {
        if (!playerManager.isSetUp)
            return
        playerManager.restart(isActive)
        follow()
    }
    onIsOnScreenChanged: follow()

    VideoPlayerLayer {
        id: offLayer
        anchors.fill: parent
        player: background.playerManager.offPlayer
        opacity: background.isActive ? 0 : 1
        visible: opacity > 0
        onVisibleChanged: background.follow()
        Behavior on opacity {
            NumberAnimation {
                duration: 800
                easing.type: Easing.BezierSpline
                easing.bezierCurve: Theme.easeInOut
            }
        }
    }
    VideoPlayerLayer {
        id: onLayer
        anchors.fill: parent
        player: background.playerManager.onPlayer
        scale: 1.15
        opacity: background.isActive ? 1 : 0
        // A fully faded-out layer is not drawn at all.
        visible: opacity > 0
        onVisibleChanged: background.follow()
        Behavior on opacity {
            NumberAnimation {
                duration: 800
                easing.type: Easing.BezierSpline
                easing.bezierCurve: Theme.easeInOut
            }
        }
    }
}
