import QtQuick
import QtQuick.Controls
import Brimolavetrix

// The sign-in overlay over the whole window while nobody is signed in, faded in. A
// modal popup, so nothing below it takes a click or keyboard focus; each showing starts the
// overlay afresh.
Popup {
    id: signInLayer

    required property AuthService authService
    // The main screen, which the overlay's backdrop blurs.
    property Item backdropSource: null

    readonly property var overlay: loader.item

    signal backdropPressed

    parent: Overlay.overlay
    x: 0
    y: 0
    width: parent ? parent.width : 0
    height: parent ? parent.height : 0
    padding: 0
    modal: true
    focus: true
    closePolicy: Popup.NoAutoClose
    background: null
    Overlay.modal: Item {}

    // Bound, not opened and closed by hand: a session restored while the overlay is still
    // fading in closes it all the same. It fades in but goes at once: a closing transition
    // could stall while the window was not drawing and leave the overlay over a signed-in
    // screen.
    visible: !authService.isAuthenticated

    enter: Transition {
        NumberAnimation { property: "opacity"; from: 0.0; to: 1.0; duration: 250 }
    }

    contentItem: Loader {
        id: loader
        active: signInLayer.visible
        focus: true
        sourceComponent: AuthOverlayView {
            authService: signInLayer.authService
            backdropSource: signInLayer.backdropSource
            focus: true
            // Fading out after a sign-in, it takes nothing more.
            enabled: !signInLayer.authService.isAuthenticated
            onBackdropPressed: signInLayer.backdropPressed()
        }
    }
}
