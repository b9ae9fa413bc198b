import QtQuick
import QtMultimedia
import Brimolavetrix

// A media player's newest picture, taken in on the window's frame clock, for the power button's
// eye effect to sample (it draws nothing itself). `hasFrame` turns true with the first picture
// shown here and stays true.
VideoTexture {
    id: eye

    property MediaPlayer player

    // The part of the picture that a `side` × `side` frame, filled (aspect fill) and scaled by
    // `scale` about its centre, shows through a centred `window` × `window` opening: as texture
    // coordinates' extent across and down.
    function shownFraction(side, scale, window) {
        if (frameSize.width <= 0 || frameSize.height <= 0)
            return Qt.size(1, 1)
        const fill = Math.max(side / frameSize.width, side / frameSize.height) * scale
        return Qt.size(Math.min(1, window / (frameSize.width * fill)),
                       Math.min(1, window / (frameSize.height * fill)))
    }

    // Drawn only through the effects that sample it.
    visible: false

    ClockedVideoSink {
        id: clocked
        output: eye
    }
    onPlayerChanged: if (player) player.videoOutput = clocked.videoSink
    Component.onCompleted: if (player) player.videoOutput = clocked.videoSink
}
