import QtQuick
import QtTest
import Brimolavetrix

// The main screen's account side: the sign-in overlay above everything, the settings button
// and panel, the update alert, and the sign-out rule; the real reference web service behind
// them and a simulated audio system.
Item {
    id: stage
    width: 420
    height: 620

    Component {
        id: contentViewComponent
        ContentView {}
    }
    Component {
        id: spyComponent
        SignalSpy {}
    }

    TestCase {
        id: testCase
        name: "AccountScreen"
        when: windowShown

        property var auth: null
        property var versionCheck: null

        // options: currentVersion for the update checker (the service's latest unless given).
        function makeScreen(options) {
            verify(AccountSystem.start(options || {}))
            auth = AccountSystem.authService
            versionCheck = AccountSystem.versionCheck
            const manager = TestSystem.start({})
            const view = createTemporaryObject(contentViewComponent, stage, {
                "audioManager": manager,
                "desktop": TestSystem.desktop(),
                "authService": auth,
                "versionCheck": versionCheck,
                "accountLinks": AccountSystem.links
            })
            verify(view !== null)
            tryCompare(view, "screenState", "powerArea", 3000)
            tryVerify(function () { return versionCheck.updateStatus !== "idle"
                                           && versionCheck.updateStatus !== "checking" }, 20000)
            return view
        }

        function accountOf(view) { return view.accountLayerView }

        function signIn(view) {
            auth.registerAccount(AccountSystem.freshAddress(), "correct horse")
            tryCompare(auth, "isAuthenticated", true, 20000)
            tryCompare(accountOf(view).signInLayer, "visible", false, 3000)
        }

        function screenshot(item, name) {
            waitForRendering(item)
            // The popups live in the window's overlay: the window's own picture shows them.
            grabImage(stage).save(AccountSystem.screenshotDir + "/" + name + ".png")
        }

        function findNamed(item, name) {
            if (item.objectName === name)
                return item
            for (let i = 0; i < item.children.length; ++i) {
                const found = findNamed(item.children[i], name)
                if (found)
                    return found
            }
            return null
        }

        function openSettings(view) {
            const button = findNamed(view, "settingsButton")
            tryVerify(function () { return button.visible }, 3000)
            // The controls row places the button at the next frame after it appears; a click
            // before that would land on the device menu.
            waitForRendering(view)
            mouseClick(button)
            tryCompare(accountOf(view).settingsPanel, "opened", true, 3000)
        }

        function test_signed_out_the_overlay_covers_the_screen() {
            const view = makeScreen()
            const signIn = accountOf(view).signInLayer
            tryCompare(signIn, "opened", true, 3000)
            compare(findNamed(view, "settingsButton").visible, false)
            compare(view.isPowerButtonUsable, false)
            const powerButton = findNamed(view, "powerButton")
            compare(powerButton.enabled, false)
            // A click where the power button is reaches the overlay, not the button.
            mouseClick(stage, 210, 312)
            compare(view.audioManager.isActive, false)
            tryCompare(signIn.overlay.emailField, "activeFocus", true)
            wait(300)
            screenshot(view, "screen-signed-out")

            // A shift that is on can always be switched off, even signed out.
            view.audioManager.toggle()
            tryCompare(view.audioManager, "isActive", true, 3000)
            compare(view.isPowerButtonUsable, true)
            view.audioManager.toggle()
            tryCompare(view.audioManager, "isActive", false, 3000)
            compare(view.isPowerButtonUsable, false)
        }

        function test_the_window_controls_stay_above_the_overlay_and_its_panels() {
            const view = makeScreen()
            const signIn = accountOf(view).signInLayer
            tryCompare(signIn, "opened", true, 3000)
            const controls = findNamed(stage.Window.window.contentItem, "windowControls")
            verify(controls !== null)
            // The real window stays open: the controls act on a stand-in.
            const window = { "minimised": 0, "closed": 0,
                             "showMinimized": function () { this.minimised += 1 },
                             "close": function () { this.closed += 1 } }
            controls.window = window
            const minimise = controls.mapToItem(stage, 10, 10)
            const close = controls.mapToItem(stage, controls.width - 10, 10)
            waitForRendering(stage)
            mouseClick(stage, minimise.x, minimise.y)
            compare(window.minimised, 1)
            // Over the progress panel of a request the service holds.
            AccountSystem.holdRequests()
            auth.checkEmail(AccountSystem.freshAddress())
            tryCompare(AccountSystem, "heldCount", 1, 20000)
            tryCompare(signIn.overlay.progressPanel, "visible", true, 3000)
            waitForRendering(stage)
            mouseClick(stage, close.x, close.y)
            compare(window.closed, 1)
            screenshot(view, "screen-signed-out-controls-above-progress")
            AccountSystem.releaseRequests()
            tryCompare(auth, "isLoading", false, 20000)
        }

        function test_a_session_restored_at_start_removes_the_overlay() {
            const first = makeScreen()
            signIn(first)
            first.destroy()
            // The next start: the overlay comes up at once and goes when the session is back.
            const view = makeScreen({ "keepSession": true })
            tryCompare(auth, "isAuthenticated", true, 20000)
            tryCompare(accountOf(view).signInLayer, "visible", false, 3000)
            verify(findNamed(view, "settingsButton").visible)
            verify(view.isPowerButtonUsable)
        }

        function test_signed_in_the_power_button_works_and_logout_switches_the_shift_off_once() {
            const view = makeScreen()
            signIn(view)
            verify(findNamed(view, "settingsButton").visible)
            verify(view.isPowerButtonUsable)
            mouseClick(findNamed(view, "powerButton"))
            tryCompare(view.audioManager, "isActive", true, 3000)
            wait(300)
            screenshot(view, "screen-signed-in")
            const offClicksBefore = TestSystem.deactivationClicks

            openSettings(view)
            compare(accountOf(view).settingsPanel.versionLabel.text, AccountSystem.latestVersion)
            wait(300)
            screenshot(view, "settings-panel")
            mouseClick(accountOf(view).settingsPanel.logoutRow)
            tryCompare(accountOf(view).settingsPanel, "visible", false, 3000)
            compare(accountOf(view).showSettingsConfirmation, false)
            compare(auth.isAuthenticated, false)
            tryCompare(view.audioManager, "isActive", false, 3000)
            compare(TestSystem.deactivationClicks, offClicksBefore + 1)
            tryCompare(accountOf(view).signInLayer, "opened", true, 3000)
            compare(findNamed(view, "settingsButton").visible, false)
            compare(view.isPowerButtonUsable, false)
        }

        function test_settings_panel_closes_by_cancel_escape_and_backdrop() {
            const view = makeScreen()
            signIn(view)
            const panel = accountOf(view).settingsPanel

            openSettings(view)
            tryCompare(panel.contactRow, "activeFocus", true)
            // Tab order follows the layout and wraps.
            const order = [panel.logoutRow, panel.updateButton, panel.cancelButton, panel.contactRow]
            for (const next of order) {
                keyClick(Qt.Key_Tab)
                verify(next.activeFocus)
            }
            keyClick(Qt.Key_Escape)
            tryCompare(panel, "visible", false, 3000)
            compare(accountOf(view).showSettingsConfirmation, false)

            openSettings(view)
            mouseClick(panel.cancelButton)
            tryCompare(panel, "visible", false, 3000)

            openSettings(view)
            mouseClick(stage, 10, 10)
            tryCompare(panel, "visible", false, 3000)
            compare(accountOf(view).showSettingsConfirmation, false)
            compare(auth.isAuthenticated, true)

            // "Contact Us" opens the support mail and keeps the panel.
            openSettings(view)
            mouseClick(panel.contactRow)
            compare(AccountSystem.openedUrls, ["mailto:" + AccountSystem.links.supportAddress])
            verify(panel.visible)
        }

        function test_later_then_the_update_button_checks_again_and_opens_the_page() {
            const view = makeScreen({ "currentVersion": "1.0.0" })
            const alert = accountOf(view).updateAlert
            tryCompare(alert, "opened", true, 3000)
            compare(findNamed(alert.contentItem, "message").text,
                    "A new version (2.0.0) of Brimola Vetrix is available.\n\nSmoother glide.")
            wait(300)
            screenshot(view, "update-alert")
            mouseClick(alert.laterButton)
            tryCompare(versionCheck, "isUpdateAvailable", false, 3000)
            tryCompare(alert, "visible", false, 3000)
            compare(AccountSystem.openedUrls, [])

            signIn(view)
            openSettings(view)
            const button = accountOf(view).settingsPanel.updateButton
            compare(button.status, "updateAvailable")
            compare(findNamed(button, "updateLabel").text, "Update")
            verify(Qt.colorEqual(findNamed(button, "updateLabel").color, Theme.systemBlue))
            screenshot(view, "update-button-update")
            const checks = createTemporaryObject(spyComponent, testCase,
                                                 { "target": versionCheck, "signalName": "checkFinished" })
            mouseClick(button)
            checks.wait(20000)
            tryCompare(AccountSystem, "openedUrls", ["https://brimolavetrix.com/download/2.0.0"], 3000)
            tryCompare(alert, "opened", true, 3000)
            // The button does not close the panel.
            verify(accountOf(view).settingsPanel.visible)

            // "Update Now" opens the page too, and clears the flag.
            mouseClick(alert.updateNowButton)
            tryCompare(versionCheck, "isUpdateAvailable", false, 3000)
            compare(AccountSystem.openedUrls.length, 2)
            compare(AccountSystem.openedUrls[1], "https://brimolavetrix.com/download/2.0.0")
        }

        function test_the_update_button_in_each_state() {
            const view = makeScreen()
            signIn(view)
            openSettings(view)
            const button = accountOf(view).settingsPanel.updateButton
            const label = findNamed(button, "updateLabel")
            compare(button.status, "upToDate")
            compare(label.text, "Up to date")
            screenshot(view, "update-button-up-to-date")

            // Checking, while the service holds the request.
            AccountSystem.holdRequests()
            mouseClick(button)
            compare(button.status, "checking")
            compare(label.text, "Checking...")
            verify(findNamed(button, "checkingIndicator").visible)
            wait(200)
            screenshot(view, "update-button-checking")
            AccountSystem.releaseRequests()
            tryCompare(button, "status", "upToDate", 20000)
            compare(AccountSystem.openedUrls, [])

            // Error, in orange; pressing it checks again.
            AccountSystem.stopService()
            mouseClick(button)
            tryCompare(button, "status", "error", 20000)
            compare(label.text, "Error")
            compare(findNamed(button, "updateSymbol").name, "exclamationmark.triangle")
            verify(Qt.colorEqual(label.color, Theme.systemOrange))
            screenshot(view, "update-button-error")
            const checks = createTemporaryObject(spyComponent, testCase,
                                                 { "target": versionCheck, "signalName": "checkFinished" })
            mouseClick(button)
            checks.wait(20000)
            compare(button.status, "error")
            // Idle, a look the checks pass through only briefly.
            button.status = "idle"
            compare(label.text, "Check")
            compare(findNamed(button, "updateSymbol").name, "arrow.triangle.2.circlepath")
            screenshot(view, "update-button-check")
        }
    }
}
