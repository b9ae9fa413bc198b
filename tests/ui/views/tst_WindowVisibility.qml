import QtQuick
import QtQuick.Window
import QtTest
import QtMultimedia
import Brimolavetrix

// Whether a window can be seen, from the X server itself: shown, hidden, covered by another
// window; and what the main screen stops while it cannot.
Item {
    id: stage
    width: 420
    height: 620

    Component {
        id: windowComponent
        Window {
            x: 20
            y: 20
            width: 200
            height: 200
            color: "black"
            flags: Qt.Window | Qt.FramelessWindowHint
            readonly property WindowVisibility visibility: WindowVisibility {}
            Component.onCompleted: visibility.window = this
        }
    }
    Component {
        id: coverComponent
        Window {
            x: 0
            y: 0
            width: 400
            height: 400
            color: "gray"
            flags: Qt.Window | Qt.FramelessWindowHint
        }
    }
    Component {
        id: contentViewComponent
        ContentView {}
    }

    TestCase {
        name: "WindowVisibility"
        when: windowShown

        function test_shown_hidden_and_covered_windows() {
            const window = createTemporaryObject(windowComponent, stage)
            compare(window.visibility.isOnScreen, false)
            window.show()
            tryCompare(window.visibility, "isOnScreen", true, 5000)

            const cover = createTemporaryObject(coverComponent, stage)
            cover.show()
            tryCompare(window.visibility, "isCovered", true, 5000)
            compare(window.visibility.isOnScreen, false)
            cover.hide()
            tryCompare(window.visibility, "isOnScreen", true, 5000)
            compare(window.visibility.isCovered, false)

            window.hide()
            tryCompare(window.visibility, "isOnScreen", false, 5000)
            window.show()
            tryCompare(window.visibility, "isOnScreen", true, 5000)
        }

        function test_an_unseen_screen_pauses_its_videos_and_goes_on_after() {
            const manager = TestSystem.start({})
            const view = createTemporaryObject(contentViewComponent, stage, {
                "audioManager": manager,
                "desktop": TestSystem.desktop()
            })
            tryCompare(view, "screenState", "powerArea", 3000)
            const players = view.background.playerManager
            tryCompare(players.offPlayer, "playbackState", MediaPlayer.PlayingState, 5000)
            const ring = findChild(view, "levelRing")
            compare(ring.visible, true)

            view.isOnScreen = false
            compare(players.offPlayer.playbackState, MediaPlayer.PausedState)
            compare(ring.visible, false)
            // Switching on while unseen starts nothing that decodes.
            view.audioManager.toggle()
            tryCompare(view.audioManager, "isActive", true, 1000)
            compare(players.onPlayer.playbackState, MediaPlayer.PausedState)
            compare(findChild(view, "powerButton").glowAnimation, true)

            view.isOnScreen = true
            compare(players.onPlayer.playbackState, MediaPlayer.PlayingState)
            compare(ring.visible, true)
            // The faded-out off-state video waits until it is seen again.
            tryCompare(view.background.offLayer, "visible", false, 5000)
            compare(players.offPlayer.playbackState, MediaPlayer.PausedState)
            view.audioManager.toggle()
            tryCompare(view.audioManager, "isActive", false, 1000)
            compare(players.offPlayer.playbackState, MediaPlayer.PlayingState)
            tryCompare(view.background.onLayer, "visible", false, 5000)
            compare(players.onPlayer.playbackState, MediaPlayer.PausedState)
        }
    }
}
