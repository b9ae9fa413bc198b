import QtQuick
import QtMultimedia

// Shows a media player's picture filling its frame (aspect fill), clipped to it. `hasFrame`
// turns true with the first picture the player delivers here and stays true.
VideoOutput {
    id: output

    property MediaPlayer player
    property bool hasFrame: false

    fillMode: VideoOutput.PreserveAspectCrop
    clip: true
    onPlayerChanged: if (player) player.videoOutput = this
    Component.onCompleted: if (player) player.videoOutput = this

    Connections {
        target: output.videoSink
        function onVideoFrameChanged() {
            output.hasFrame = true
        }
    }
}
