import QtQuick
import QtTest
import QtMultimedia
import Brimolavetrix

// The power button and the background on their own: press scale, eye tint, glow, cross-fade.
Item {
    id: stage
    width: 420
    height: 620

    Component {
        id: buttonComponent
        PowerButton {
            x: 130
            y: 230
            width: 160
            height: 160
        }
    }
    Component {
        id: tickCounterComponent
        FrameTicker {
            property int count: 0
            running: true
            onTicked: count += 1
        }
    }
    // The round shapes over a known grey, to read back what they blend.
    Component {
        id: shapesComponent
        Rectangle {
            readonly property alias disc: disc
            readonly property alias ring: ring
            width: 200
            height: 100
            color: "#404040"
            RadialDisc {
                id: disc
                width: 100
                height: 100
                color0: Qt.rgba(0.95, 0.8, 0.4, 0.5)
                color1: Qt.rgba(0.2, 0.6, 0.9, 0.25)
                stop0: 10
                stop1: 30
                stop2: 40
            }
            GradientRing {
                id: ring
                x: 100
                width: 100
                height: 100
                diameter: 80
                lineWidth: 4
                color0: Qt.rgba(1.0, 0.5, 0.0, 0.8)
                color1: Qt.rgba(0.0, 0.5, 1.0, 0.4)
                color2: Qt.rgba(0.0, 1.0, 0.0, 0.2)
            }
        }
    }
    Component {
        id: backgroundComponent
        VideoBackgroundView {
            anchors.fill: parent
        }
    }

    TestCase {
        name: "PowerButton"
        when: windowShown

        function test_pressing_shrinks_the_face_only_and_releasing_acts_once() {
            let presses = 0
            const button = createTemporaryObject(buttonComponent, stage, {
                "action": function () { presses += 1 }
            })
            mousePress(button, 80, 80)
            compare(button.style.isPressed, true)
            tryCompare(button.face, "scale", 0.94, 500)
            compare(button.glow.scale, 1.0)
            compare(presses, 0)
            mouseRelease(button, 80, 80)
            compare(presses, 1)
            tryCompare(button.face, "scale", 1.0, 500)
        }

        function test_the_still_eye_is_dimmed_while_off_and_the_glow_shows_while_on() {
            // Unseen, so that the video never takes the still eye's place.
            const button = createTemporaryObject(buttonComponent, stage,
                                                 { "isActive": false, "isOnScreen": false })
            compare(button.glow.visible, false)
            waitForRendering(button)
            const dim = grabImage(button)
            button.isActive = true
            compare(button.glow.visible, true)
            compare(button.glowAnimation, true)
            waitForRendering(button)
            const bright = grabImage(button)
            button.isActive = false
            compare(button.glowAnimation, false)
            // The same still picture, desaturated and darker while off.
            const sum = (image, x, y) => image.red(x, y) + image.green(x, y) + image.blue(x, y)
            verify(sum(dim, 80, 60) < sum(bright, 80, 60), sum(dim, 80, 60) + " / " + sum(bright, 80, 60))
        }

        function test_the_still_eye_stays_until_the_video_has_a_picture() {
            const button = createTemporaryObject(buttonComponent, stage, { "isActive": true })
            // Switched on before the video could deliver anything: the still eye, in full colour.
            compare(button.isVideoReady, true)
            compare(button.showsEyeVideo, false)
            tryCompare(button.stillEye, "status", Image.Ready)
            compare(button.showsStillEye, !button.showsEyeVideo)
            compare(button.eyeTint.saturation, 1.0)
            // Then the video takes over, playing.
            tryCompare(button, "showsEyeVideo", true, 10000)
            compare(button.showsStillEye, false)
            // And it is really drawn: the golden iris around the pupil, not the empty face.
            wait(200)
            waitForRendering(button)
            const image = grabImage(button)
            let brightest = 0
            for (const [dx, dy] of [[40, 0], [-40, 0], [0, 40], [0, -40], [28, 28], [-28, -28]])
                brightest = Math.max(brightest, image.pixel(80 + dx, 80 + dy).r)
            verify(brightest > 0.6, "brightest iris red: " + brightest)
            compare(button.eyePlayer.playbackState, MediaPlayer.PlayingState)
            // Off: the still eye again at once, the video paused behind it.
            button.isActive = false
            compare(button.showsStillEye, true)
            compare(button.eyePlayer.playbackState, MediaPlayer.PausedState)
        }

        function test_the_living_eye_redraws_the_window_only_on_the_frame_clock() {
            const button = createTemporaryObject(buttonComponent, stage, { "isActive": true })
            tryCompare(button, "showsEyeVideo", true, 10000)
            const ticks = createTemporaryObject(tickCounterComponent, stage)
            let redraws = 0
            const countRedraw = function () { redraws += 1 }
            const window = stage.Window.window
            window.frameSwapped.connect(countRedraw)
            wait(2000)
            window.frameSwapped.disconnect(countRedraw)
            // The eye's pictures and the glow move on the same ticks; a second redraw after each
            // picture would make about twice as many redraws as ticks.
            verify(ticks.count > 5, "ticks: " + ticks.count)
            verify(redraws <= ticks.count + 2, redraws + " redraws in " + ticks.count + " ticks")
        }

        // Colours as written, each blended once by its opacity (not darkened by a second
        // premultiplication), clear beyond the shape.
        function test_the_glow_and_ring_shapes_blend_their_colours_as_given() {
            const shapes = createTemporaryObject(shapesComponent, stage)
            waitForRendering(shapes)
            const image = grabImage(shapes)
            const grey = 64 / 255
            // Source-over on the grey of the colours mixed by `weights`.
            const over = (colours, weights) => ["r", "g", "b"].map(channel => {
                let value = grey
                colours.forEach((c, i) => value += weights[i] * c.a * (c[channel] - grey))
                return value
            })
            const d = shapes.disc
            const r = shapes.ring
            for (const [x, y, expected, what] of [
                     [50, 50, over([d.color0], [1]), "disc centre"],
                     [70, 50, over([d.color0, d.color1], [0.5, 0.5]), "disc between its stops"],
                     [50, 94, over([], []), "beyond the disc"],
                     [150, 10, over([r.color0, r.color1], [0.5, 0.5]), "ring at 12 o'clock"],
                     [150, 50, over([], []), "inside the ring"]]) {
                const p = image.pixel(x, y)
                const got = [p.r, p.g, p.b]
                verify(got.every((v, i) => Math.abs(v - expected[i]) < 3 / 255),
                       what + ": " + got + " instead of " + expected)
            }
        }

        function test_the_glow_breathes_between_12_and_15_while_active() {
            const button = createTemporaryObject(buttonComponent, stage, { "isActive": true })
            let highest = 0
            for (let i = 0; i < 20; ++i) {
                wait(100)
                highest = Math.max(highest, button.glowBlur)
                verify(button.glowBlur >= 12 && button.glowBlur <= 15)
            }
            verify(highest > 14)
            button.isActive = false
            compare(button.glowBlur, 12)
        }

        function test_the_background_cross_fades_in_0_8_seconds() {
            const background = createTemporaryObject(backgroundComponent, stage)
            compare(background.offLayer.opacity, 1)
            compare(background.onLayer.opacity, 0)
            background.isActive = true
            // A fade, not a jump: right after the change the new layer is not yet opaque. Wall-clock
            // checks of the duration would fail on a loaded machine, so only the ends are compared.
            verify(background.onLayer.opacity < 1)
            tryCompare(background.onLayer, "opacity", 1, 5000)
            compare(background.offLayer.opacity, 0)
            compare(background.onLayer.scale, 1.15)
            // The on-state video restarted from its first frame and plays.
            compare(background.playerManager.onPlayer.playbackState, MediaPlayer.PlayingState)
        }
    }
}
