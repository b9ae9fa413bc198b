import QtQuick
import QtMultimedia

// Shows a media player's picture filling its frame (aspect fill), clipped to it.
VideoOutput {
    property MediaPlayer player

    fillMode: VideoOutput.PreserveAspectCrop
    clip: true
    onPlayerChanged: if (player) player.videoOutput = this
    Component.onCompleted: if (player) player.videoOutput = this
}
