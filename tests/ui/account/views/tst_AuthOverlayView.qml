import QtQuick
import QtTest
import Brimolavetrix

// The sign-in overlay against the reference web service, driven by keyboard and mouse.
Item {
    id: stage
    width: 420
    height: 620

    Component {
        id: overlayComponent
        AuthOverlayView {
            anchors.fill: parent
        }
    }

    TestCase {
        id: testCase
        name: "AuthOverlayView"
        when: windowShown

        property var auth: null

        function makeOverlay() {
            verify(AccountSystem.start({}))
            auth = AccountSystem.authService
            // The update checker's first check is done before a test holds requests.
            tryVerify(function () { return AccountSystem.versionCheck.updateStatus !== "idle"
                                           && AccountSystem.versionCheck.updateStatus !== "checking" },
                      20000)
            const overlay = createTemporaryObject(overlayComponent, stage,
                                                  { "authService": auth })
            verify(overlay !== null)
            tryCompare(overlay.emailField, "activeFocus", true)
            return overlay
        }

        function screenshot(item, name) {
            waitForRendering(item)
            grabImage(item).save(AccountSystem.screenshotDir + "/" + name + ".png")
        }

        function type(text) {
            for (let i = 0; i < text.length; ++i)
                keyClick(text[i])
        }

        // An account made through the service itself, so a test can start at the login step.
        function existingAccount(password) {
            const address = AccountSystem.freshAddress()
            const spy = createTemporaryObject(spyComponent, testCase,
                                              { "target": auth, "signalName": "registerFinished" })
            auth.registerAccount(address, password)
            spy.wait(20000)
            compare(spy.signalArguments[0][0], true)
            auth.logout()
            return address
        }

        Component {
            id: spyComponent
            SignalSpy {}
        }

        function test_address_rules() {
            const overlay = makeOverlay()
            // The rule itself is InputRulesTest's; here its answer reaches the button.
            for (const [text, valid] of [["ada@example.c", false], ["ada@example.org", true]]) {
                overlay.email = text
                compare(overlay.isEmailValid, valid, text)
                compare(overlay.continueButton.enabled, valid, text)
                compare(overlay.continueButton.opacity, valid ? 1.0 : 0.5)
            }
            // Return on an invalid address sends nothing: no progress, still the e-mail step.
            overlay.email = "ada@example.c"
            overlay.emailField.forceActiveFocus()
            keyClick(Qt.Key_Return)
            compare(auth.isLoading, false)
            compare(overlay.currentStep, "email")
            screenshot(overlay, "overlay-email-invalid")
        }

        function test_register_by_keyboard_hints_follow_the_typing() {
            const overlay = makeOverlay()
            screenshot(overlay, "overlay-email")
            const address = AccountSystem.freshAddress()
            type(address)
            compare(overlay.email, address)
            keyClick(Qt.Key_Return)
            tryCompare(overlay, "currentStep", "register", 20000)
            compare(auth.hasError, false)
            tryCompare(overlay.registerPasswordField, "activeFocus", true)

            type("1234567")
            verify(overlay.shortPasswordHint.visible)
            compare(overlay.createAccountButton.enabled, false)
            screenshot(overlay, "overlay-register-short-password")
            type("8")
            verify(!overlay.shortPasswordHint.visible)

            keyClick(Qt.Key_Tab)
            verify(overlay.confirmPasswordField.activeFocus)
            type("1234")
            verify(overlay.mismatchHint.visible)
            // Return does nothing while the passwords differ.
            keyClick(Qt.Key_Return)
            compare(auth.isLoading, false)
            screenshot(overlay, "overlay-register-mismatch")
            type("5678")
            verify(!overlay.mismatchHint.visible)
            verify(overlay.createAccountButton.enabled)
            screenshot(overlay, "overlay-register-ready")
            keyClick(Qt.Key_Return)
            tryCompare(auth, "isAuthenticated", true, 20000)
        }

        function test_characters_are_counted_as_the_user_sees_them() {
            const overlay = makeOverlay()
            overlay.currentStep = "register"
            // A decomposed "é" (e + combining accent) is two code units but one character.
            for (const [count, tooShort] of [[7, true], [8, false]]) {
                overlay.password = "e\u0301".repeat(count)
                overlay.confirmPassword = overlay.password
                compare(overlay.shortPasswordHint.visible, tooShort, count)
                compare(overlay.createAccountButton.enabled, !tooShort, count)
            }
        }

        function test_login_step_back_keeps_the_address() {
            const overlay = makeOverlay()
            const address = existingAccount("correct horse")
            type(address)
            keyClick(Qt.Key_Return)
            tryCompare(overlay, "currentStep", "login", 20000)
            tryCompare(overlay.loginPasswordField, "activeFocus", true)
            compare(overlay.signInButton.enabled, false)
            // Return with an empty password does nothing.
            keyClick(Qt.Key_Return)
            compare(auth.isLoading, false)
            screenshot(overlay, "overlay-login")

            type("wrong horse")
            verify(overlay.signInButton.enabled)
            keyClick(Qt.Key_Return)
            tryCompare(auth, "hasError", true, 20000)
            compare(auth.isAuthenticated, false)
            verify(overlay.errorBanner.visible)
            compare(overlay.errorBanner.text, "Incorrect email or password.")
            screenshot(overlay, "overlay-login-error")

            // Tab order of the step: password → Sign In → Forgot password? → Google → back.
            overlay.loginPasswordField.forceActiveFocus()
            keyClick(Qt.Key_Tab)
            verify(overlay.signInButton.activeFocus)
            keyClick(Qt.Key_Tab)
            verify(overlay.forgotButton.activeFocus)
            keyClick(Qt.Key_Tab)
            verify(overlay.googleButton.activeFocus)
            keyClick(Qt.Key_Tab)
            verify(overlay.loginHeader.backButton.activeFocus)

            mouseClick(overlay.loginHeader.backButton)
            compare(overlay.currentStep, "email")
            compare(overlay.password, "")
            compare(overlay.email, address)
            compare(overlay.emailField.text, address)
            tryCompare(overlay.emailField, "activeFocus", true)

            // And the right password signs in.
            keyClick(Qt.Key_Return)
            tryCompare(overlay, "currentStep", "login", 20000)
            tryCompare(overlay.loginPasswordField, "activeFocus", true)
            type("correct horse")
            keyClick(Qt.Key_Return)
            tryCompare(auth, "isAuthenticated", true, 20000)
            compare(auth.hasError, false)
        }

        function test_reset_panel_sends_and_opens_afresh() {
            const overlay = makeOverlay()
            const address = existingAccount("correct horse")
            overlay.email = address
            mouseClick(overlay.continueButton)
            tryCompare(overlay, "currentStep", "login", 20000)
            mouseClick(overlay.forgotButton)
            verify(overlay.resetPanel.visible)
            compare(overlay.resetPanel.emailField.text, address)
            tryCompare(overlay.resetPanel.emailField, "activeFocus", true)
            screenshot(overlay, "overlay-reset-form")

            // Escape closes it; the card is usable again.
            keyClick(Qt.Key_Escape)
            verify(!overlay.resetPanel.visible)
            mouseClick(overlay.forgotButton)
            verify(overlay.resetPanel.visible)

            const mailsBefore = AccountSystem.mailCount
            mouseClick(overlay.resetPanel.sendButton)
            tryCompare(overlay, "forgotPasswordSent", true, 20000)
            tryVerify(function () { return AccountSystem.mailCount === mailsBefore + 1 }, 20000)
            screenshot(overlay, "overlay-reset-sent")

            // Closed by a click on the dark area, reopened it shows the form again.
            mouseClick(overlay.resetPanel, 10, 10)
            verify(!overlay.resetPanel.visible)
            compare(overlay.forgotPasswordSent, false)
            mouseClick(overlay.forgotButton)
            verify(overlay.resetPanel.visible)
            verify(overlay.resetPanel.sendButton.visible)
            mouseClick(overlay.resetPanel.closeButton)
            verify(!overlay.resetPanel.visible)
        }

        function test_progress_panel_covers_the_card_while_a_request_is_held() {
            const overlay = makeOverlay()
            overlay.email = AccountSystem.freshAddress()
            AccountSystem.holdRequests()
            mouseClick(overlay.continueButton)
            tryCompare(AccountSystem, "heldCount", 1, 20000)
            verify(auth.isLoading)
            verify(overlay.progressPanel.visible)
            compare(overlay.card.enabled, false)
            // Neither a click on the card's button nor Return starts a second request.
            mouseClick(overlay.continueButton)
            overlay.emailField.forceActiveFocus()
            keyClick(Qt.Key_Return)
            compare(AccountSystem.heldCount, 1)
            screenshot(overlay, "overlay-progress")

            AccountSystem.releaseRequests()
            tryCompare(overlay, "currentStep", "register", 20000)
            verify(!overlay.progressPanel.visible)
            verify(overlay.card.enabled)
        }

        function test_a_stopped_service_leads_to_register_with_the_banner() {
            const overlay = makeOverlay()
            AccountSystem.stopService()
            overlay.email = "ada@example.org"
            keyClick(Qt.Key_Return)
            tryCompare(overlay, "currentStep", "register", 20000)
            verify(overlay.errorBanner.visible)
            verify(overlay.errorBanner.text.length > 0)
            screenshot(overlay, "overlay-register-network-error")
        }

        function test_google_sign_in_offers_cancel_and_shows_each_end_in_the_banner() {
            const overlay = makeOverlay()
            const cancel = findNamed(overlay.progressPanel, "progressCancelButton")
            mouseClick(overlay.googleButton)
            tryCompare(auth, "isWaitingForBrowser", true, 3000)
            verify(AccountSystem.lastSignInPage().indexOf("code_challenge_method=S256") > 0)
            verify(overlay.progressPanel.visible)
            compare(overlay.card.enabled, false)
            verify(cancel.visible)
            screenshot(overlay, "overlay-google-waiting-for-browser")
            mouseClick(cancel)
            tryCompare(auth, "isLoading", false, 3000)
            compare(auth.error, "Google sign-in was cancelled.")
            verify(overlay.errorBanner.visible)
            verify(!overlay.progressPanel.visible)
            screenshot(overlay, "overlay-google-cancelled")

            // Google sends the user back with an error instead of a code.
            mouseClick(overlay.googleButton)
            tryCompare(auth, "isWaitingForBrowser", true, 3000)
            compare(auth.hasError, false)
            const redirect = decodeURIComponent(
                AccountSystem.lastSignInPage().match(/redirect_uri=([^&]*)/)[1])
            verify(!AccountSystem.handOver("https://elsewhere.example/oauth2callback?code=x"))
            verify(auth.isWaitingForBrowser)
            verify(AccountSystem.handOver(redirect + "?error=access_denied"))
            tryCompare(auth, "isLoading", false, 3000)
            compare(auth.error, "Failed to get authorization code")
            verify(!cancel.visible)
            screenshot(overlay, "overlay-google-error")
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
    }
}
