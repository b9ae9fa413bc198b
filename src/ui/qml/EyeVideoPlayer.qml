import QtQuick
import QtMultimedia
import Brimolavetrix

// Shows a media player's picture filling its frame (aspect fill), clipped to it, taken in on
// the window's frame clock. `hasFrame` turns true with the first picture shown here and stays
// true.
VideoOutput {
    id: output

    property MediaPlayer player
    property bool hasFrame: false
    // Each picture, as it is shown here.
    signal pictureShown

    fillMode: VideoOutput.PreserveAspectCrop
    clip: true

    ClockedVideoSink {
        id: clocked
        output: output
    }
    onPlayerChanged: if (player) player.videoOutput = clocked.videoSink
    Component.onCompleted: if (player) player.videoOutput = clocked.videoSink

    Connections {
        target: output.videoSink
        function onVideoFrameChanged() {
            output.hasFrame = true
            output.pictureShown()
        }
    }
}
