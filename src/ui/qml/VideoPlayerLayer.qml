import QtQuick
import QtMultimedia

// One full-window background video: the player's picture filling the frame (aspect fill).
VideoOutput {
    property MediaPlayer player

    fillMode: VideoOutput.PreserveAspectCrop

    onPlayerChanged: if (player) player.videoOutput = this
    Component.onCompleted: if (player) player.videoOutput = this
}
