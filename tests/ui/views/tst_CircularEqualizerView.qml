import QtQuick
import QtTest
import Brimolavetrix

// The level ring as the screen shows it: size, bar 0 at 12 o'clock, bar 24 at 3 o'clock, the
// lit colours, silence, and a bad bar count refused.
Item {
    id: stage
    width: 420
    height: 620

    Component {
        id: ringComponent
        CircularEqualizerView {
            x: 83
            y: 183
            width: implicitWidth
            height: implicitHeight
            radius: 72
            barCount: 96
            clockSeconds: 0.5
        }
    }

    TestCase {
        name: "CircularEqualizerView"
        when: windowShown

        function test_geometry_and_colours() {
            const ring = createTemporaryObject(ringComponent, stage, { "isActive": true, "audioLevel": 0.7 })
            compare(ring.implicitWidth, 254)
            // The ring's own geometry and colours are EqualizerRingTest's; here they reach the
            // item at its size and the screen: bar 24 at 3 o'clock, the innermost segment of
            // bar 0 drawn in its own gold, the gap beside it as clear as a corner of the item.
            const right = ring.segmentAt(24, 0)
            fuzzyCompare(right.x0, 127 + 72, 1e-9)
            fuzzyCompare(right.y0, 127, 1e-9)
            const inner = ring.segmentAt(0, 0)
            compare(inner.lit, true)
            waitForRendering(ring)
            const image = grabImage(ring)
            const middle = image.pixel(127, 127 - 75)
            fuzzyCompare(middle.r, inner.red, 0.03)
            fuzzyCompare(middle.g, inner.green, 0.03)
            fuzzyCompare(middle.b, inner.blue, 0.03)
            compare(image.pixel(129, 127 - 75), image.pixel(2, 2))
            ring.audioLevel = 0
            for (let bar = 0; bar < 96; bar += 7)
                compare(ring.segmentAt(bar, 0).lit, false)
        }

        function test_it_keeps_drawing_frames_while_shown() {
            const ring = createTemporaryObject(ringComponent, stage, { "clockSeconds": -1 })
            const first = ring.frameCount
            wait(1000)
            // About 15 a second (fewer on a busy machine), never the display's 60.
            verify(ring.frameCount - first >= 2)
            verify(ring.frameCount - first <= 17)
        }

        function test_a_negative_bar_count_is_refused() {
            const ring = createTemporaryObject(ringComponent, stage)
            ignoreWarning(/barCount must not be negative/)
            ring.barCount = -3
            compare(ring.barCount, 96)
            ring.barCount = 0
            compare(ring.barCount, 0)
            compare(ring.segmentAt(0, 0), ({}))
        }
    }
}
