import QtQuick
import QtMultimedia
import Brimolavetrix

// One full-window background video: the player's picture filling the frame (aspect fill),
// taken in on the window's frame clock.
VideoOutput {
    id: layer

    property MediaPlayer player

    fillMode: VideoOutput.PreserveAspectCrop

    ClockedVideoSink {
        id: clocked
        output: layer
    }
    onPlayerChanged: if (player) player.videoOutput = clocked.videoSink
    Component.onCompleted: if (player) player.videoOutput = clocked.videoSink
}
