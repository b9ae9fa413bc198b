import QtQuick
import QtQuick.Controls
import QtMultimedia
import Brimolavetrix

// The power button: a glass disc with the eye in its centre; while the shift is on, a
// breathing golden glow and ring around it and the living eye video inside.
Item {
    id: button

    property bool isActive: false
    property bool isOnScreen: true
    property var action: function () {}

    // View state.
    readonly property PowerButtonStyle style: PowerButtonStyle {
        pressed: control.pressed
    }
    property bool glowAnimation: false
    property MediaPlayer eyePlayer: null
    property bool isVideoReady: false
    // The video replaces the still eye only once it has a picture to show, so the eye never
    // goes blank while the player starts.
    readonly property bool showsEyeVideo: isActive && isVideoReady && eyePlayer !== null
                                          && eyeVideo.hasFrame
    readonly property bool showsStillEye: !showsEyeVideo && stillEye.status === Image.Ready

    // The glow's blur radius: 12 at rest, swinging to 15 and back every 1.5 s while breathing.
    property real glowBlur: 12
    readonly property real faceScale: style.isPressed ? 0.94 : 1.0

    // Exposed for tests and screenshots.
    readonly property alias face: face
    readonly property alias eyeTint: eyeTint
    readonly property alias glow: glow
    readonly property alias stillEye: stillEye

    readonly property alias control: control

    implicitWidth: 160
    implicitHeight: 160

    Component.onCompleted: {
        loadEyeVideo();
        if (isActive)
            startBreathing();
    }
    onIsActiveChanged: {
        if (isActive) {
            startBreathing();
            if (eyePlayer) {
                eyePlayer.position = 0;
                if (isOnScreen)
                    eyePlayer.play();
            }
        } else {
            glowAnimation = false;
            if (eyePlayer)
                eyePlayer.pause();
        }
    }

    // Unseen, the eye video waits where it is and goes on from there when seen again.
    onIsOnScreenChanged: {
        if (!eyePlayer)
            return;
        if (!isOnScreen)
            eyePlayer.pause();
        else if (isActive)
            eyePlayer.play();
    }

    function startBreathing() {
        glowAnimation = true;
        breathStart = Date.now();
    }

    // Once per button: the looping, muted eye video; without the file the still eye stays.
    function loadEyeVideo() {
        if (eyePlayer !== null)
            return;
        const source = Resources.url("EyeAnimation", "mp4");
        if (source.toString() === "")
            return;
        eyePlayer = eyePlayerComponent.createObject(button, {
                "source": source
            });
        isVideoReady = true;
        if (isActive && isOnScreen)
            eyePlayer.play();
    }

    Component {
        id: eyePlayerComponent
        MediaPlayer {
            loops: MediaPlayer.Infinite
        }
    }

    // The breathing is stepped on the window's frame clock rather than the display's, so it
    // adds no frames of its own.
    property real breathStart: 0
    FrameTicker {
        running: button.glowAnimation && button.isOnScreen
        onTicked: {
            const period = 1500;
            const elapsed = (Date.now() - button.breathStart) % (2 * period);
            const x = elapsed < period ? elapsed / period : 2 - elapsed / period;
            button.glowBlur = 12 + 3 * Theme.bezier(Theme.easeInOut, x);
        }
        onRunningChanged: if (!button.glowAnimation)
            button.glowBlur = 12
    }

    AbstractButton {
        id: control
        anchors.fill: parent
        focusPolicy: Qt.StrongFocus
        Accessible.role: Accessible.Button
        Accessible.name: button.isActive ? qsTr("Switch 432 Hz tuning off") : qsTr("Switch 432 Hz tuning on")
        Keys.onReturnPressed: clicked()
        Keys.onEnterPressed: clicked()
        onClicked: button.action()
        background: null
        contentItem: Item {
            // 1. Glow and gold ring, only while active.
            RadialDisc {
                id: glow
                visible: button.isActive
                anchors.centerIn: parent
                width: 190 + 2 * 15
                height: width
                color0: Qt.rgba(0.85, 0.65, 0.2, 0.3)
                color1: Qt.rgba(0.6, 0.4, 0.2, 0.15)
                color2: "transparent"
                // The blur softens both edges of the gradient's 60 ... 95 pt band.
                stop0: 60 - button.glowBlur * 0.5
                stop1: 77.5
                stop2: 95 + button.glowBlur
            }
            GradientRing {
                visible: button.isActive
                anchors.centerIn: parent
                diameter: 165
                lineWidth: 3
                color0: Qt.rgba(0.95, 0.75, 0.3, 0.4)
                color1: Qt.rgba(0.85, 0.65, 0.2, 0.2)
                color2: Qt.rgba(0.85, 0.65, 0.2, 0.1)
            }

            // 2. The face, scaled while pressed, with its shadow.
            Item {
                id: face
                anchors.centerIn: parent
                width: 150
                height: 150
                scale: button.faceScale
                Behavior on scale  {
                    NumberAnimation {
                        duration: 100
                        easing.type: Easing.BezierSpline
                        easing.bezierCurve: Theme.easeOut
                    }
                }

                RadialDisc {
                    // The shadow.
                    readonly property real blur: button.isActive ? 20 : 12
                    anchors.centerIn: parent
                    anchors.verticalCenterOffset: button.isActive ? 0 : 5
                    width: 150 + 2 * blur
                    height: width
                    color0: button.isActive ? Qt.rgba(0.9, 0.7, 0.3, 0.6) : Qt.rgba(0, 0, 0, 0.3)
                    color1: button.isActive ? Qt.rgba(0.9, 0.7, 0.3, 0.3) : Qt.rgba(0, 0, 0, 0.15)
                    color2: "transparent"
                    stop0: 75 - blur
                    stop1: 75
                    stop2: 75 + blur
                }
                Material {
                    anchors.centerIn: parent
                    width: 148
                    height: 148
                    radius: 74
                    antialiasing: true
                    opacity: button.isActive ? 0.3 : 0.5
                }
                GradientRing {
                    anchors.centerIn: parent
                    diameter: 148
                    lineWidth: 1.5
                    color0: Theme.white(button.isActive ? 0.4 : 0.25)
                    color1: Theme.white(button.isActive ? 0.2 : 0.1)
                    color2: Theme.white(0.05)
                }

                // The eye, in a 148 pt frame clipped to a circle: the video's picture or the
                // still image, sampled by the one effect that clips and tints it. Neither is
                // drawn on its own.
                EyeVideoPlayer {
                    id: eyeVideo
                    player: button.eyePlayer
                }
                Image {
                    id: stillEye
                    visible: false
                    anchors.centerIn: parent
                    width: 148
                    height: 148
                    source: Resources.url("Eye", "png")
                    sourceSize.width: 296
                    sourceSize.height: 296
                    fillMode: Image.PreserveAspectFit
                    cache: true
                    smooth: true
                    mipmap: true
                }
                Symbol {
                    // Without the still image; tinted as the image would be (white loses
                    // nothing to the saturation).
                    visible: !button.showsEyeVideo && stillEye.status !== Image.Ready
                    anchors.centerIn: parent
                    name: "eye.circle.fill"
                    size: 148
                    color: button.isActive ? Theme.white(0.8) : Qt.rgba(0.86, 0.86, 0.86, 0.8)
                }
                ShaderEffect {
                    id: eyeTint
                    readonly property real dpr: Math.max(1, Screen.devicePixelRatio)
                    readonly property var source: button.showsEyeVideo ? eyeVideo : stillEye
                    // The video fills a 160 pt frame scaled by 1.18; the still image fits the
                    // 148 pt one.
                    readonly property size extent: button.showsEyeVideo
                                                   ? eyeVideo.shownFraction(160, 1.18, 148)
                                                   : Qt.size(stillEye.paintedWidth > 0 ? 148 / stillEye.paintedWidth : 1,
                                                             stillEye.paintedHeight > 0 ? 148 / stillEye.paintedHeight : 1)
                    // The still image is tinted by the state; the video plays untouched.
                    readonly property real saturation: button.isActive ? 1.0 : 0.5
                    readonly property real brightness: button.isActive ? 0.0 : -0.1
                    readonly property real contrast: button.isActive ? 1.0 : 0.9
                    readonly property real edge: 2 / (74 * dpr)
                    visible: button.showsEyeVideo || button.showsStillEye
                    anchors.centerIn: parent
                    width: 148
                    height: 148
                    fragmentShader: "qrc:/Brimolavetrix/shaders/eyetint.frag.qsb"
                }

                RadialDisc {
                    // The highlight, only while active.
                    visible: button.isActive
                    anchors.centerIn: parent
                    width: 150
                    height: 150
                    color0: Qt.rgba(0.95, 0.8, 0.4, 0.12)
                    color1: Qt.rgba(0.95, 0.8, 0.4, 0.06)
                    color2: "transparent"
                    stop0: 0
                    stop1: 37.5
                    stop2: 75
                }
            }

            // Keyboard focus.
            Rectangle {
                visible: control.visualFocus
                anchors.centerIn: parent
                width: 158
                height: 158
                radius: 79
                color: "transparent"
                border.width: 2
                border.color: Theme.white(0.7)
            }
        }
    }
}
