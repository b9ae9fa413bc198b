import QtQuick
import QtMultimedia
import Brimolavetrix

// The two background players, made empty with the background and kept for the window's life.
// setUp() gives them their looping, muted videos and starts the off-state one; a missing file
// leaves its player empty.
QtObject {
    id: manager

    property MediaPlayer offPlayer: MediaPlayer {
        loops: MediaPlayer.Infinite
    }
    property MediaPlayer onPlayer: MediaPlayer {
        loops: MediaPlayer.Infinite
    }
    property bool isSetUp: false
    // The on-state video loops from the first activation on.
    property bool isOnPlayerStarted: false

    function setUp() {
        if (isSetUp)
            return
        isSetUp = true
        // No audio output is attached, so both players are silent.
        offPlayer.source = Resources.url("WarpStreamOFF", "mp4")
        onPlayer.source = Resources.url("WarpStreamON", "mp4")
        if (offPlayer.source.toString() !== "")
            offPlayer.play()
    }

    // The player of the new state starts again from its first frame; the other keeps looping
    // behind, faded out.
    function restart(isActive) {
        const player = isActive ? onPlayer : offPlayer
        if (player.source.toString() === "")
            return
        player.position = 0
        player.play()
        if (isActive)
            isOnPlayerStarted = true
    }

    // Each player plays while its picture can be seen and waits where it is otherwise (window
    // unseen, layer faded out); it goes on from there when seen again. The on-state video
    // waits for its first activation.
    function follow(isOffSeen, isOnSeen) {
        if (!isSetUp)
            return
        if (isOffSeen && offPlayer.source.toString() !== "")
            offPlayer.play()
        else
            offPlayer.pause()
        if (isOnSeen && isOnPlayerStarted && onPlayer.source.toString() !== "")
            onPlayer.play()
        else
            onPlayer.pause()
    }
}
