import QtQuick
import Brimolavetrix

// The full-window background: the calm off-state video, and above it the warm on-state one
// scaled by 1.15, cross-faded over 0.8 s whenever the shift is switched.
Item {
    id: background

    property bool isActive: false
    readonly property VideoPlayerManager playerManager: VideoPlayerManager {}
    readonly property alias offLayer: offLayer
    readonly property alias onLayer: onLayer

    Component.onCompleted: {
        playerManager.setUp()
        if (isActive)
            playerManager.restart(true)
    }
    onIsActiveChanged: playerManager.restart(isActive)

    VideoPlayerLayer {
        id: offLayer
        anchors.fill: parent
        player: background.playerManager.offPlayer
        opacity: background.isActive ? 0 : 1
        visible: opacity > 0
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
        Behavior on opacity {
            NumberAnimation {
                duration: 800
                easing.type: Easing.BezierSpline
                easing.bezierCurve: Theme.easeInOut
            }
        }
    }
}
