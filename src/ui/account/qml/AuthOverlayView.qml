import QtQuick
import Qt5Compat.GraphicalEffects
import Brimolavetrix

// The sign-in screen: the e-mail step, then sign in or create an account; Google sign-in, the
// password-reset panel, the account service's error text, and a progress panel while an
// operation runs. It has no close button: it goes when the account service reports a user.
Item {
    id: overlay

    // The account service (isLoading, error, checkEmail, login, registerAccount,
    // forgotPassword, signInWithGoogle and their completion signals).
    required property AuthService authService
    // What the backdrop's material blurs (the main screen); none leaves it a plain veil.
    property Item backdropSource: null

    // View state.
    property string currentStep: "email"
    property string email: ""
    property string password: ""
    property string confirmPassword: ""
    property bool showForgotPassword: false
    property bool forgotPasswordSent: false
    property bool glassAnimation: false

    readonly property bool isEmailValid: AccountInput.isValidEmail(email)
    readonly property int passwordLength: AccountInput.userPerceivedLength(password)
    readonly property bool isPasswordShort: password.length > 0
                                            && passwordLength < AccountInput.minimumPasswordLength
    readonly property bool isMismatch: confirmPassword.length > 0 && confirmPassword !== password
    readonly property bool canSignIn: password.length > 0
    readonly property bool canRegister: passwordLength >= AccountInput.minimumPasswordLength
                                        && password === confirmPassword
    readonly property bool isLoading: authService.isLoading

    // For tests and screenshots.
    readonly property alias card: card
    readonly property alias emailField: emailField
    readonly property alias continueButton: continueButton
    readonly property alias loginPasswordField: loginPasswordField
    readonly property alias signInButton: signInButton
    readonly property alias forgotButton: forgotButton
    readonly property alias registerPasswordField: registerPasswordField
    readonly property alias confirmPasswordField: confirmPasswordField
    readonly property alias createAccountButton: createAccountButton
    readonly property alias shortPasswordHint: shortPasswordHint
    readonly property alias mismatchHint: mismatchHint
    readonly property alias errorBanner: errorBanner
    readonly property alias googleButton: googleButton
    readonly property alias resetPanel: resetPanel
    readonly property alias progressPanel: progressPanel
    readonly property alias loginHeader: loginHeader
    readonly property alias registerHeader: registerHeader

    // Where a drag on the backdrop moves the window from (the window has no title bar).
    signal backdropPressed

    // Actions. Each does nothing unless its condition holds, and nothing while an operation is
    // in flight (the progress panel covers the buttons; Return must not get around it).
    function submitEmail() {
        if (isLoading || !isEmailValid)
            return
        authService.checkEmail(email)
    }
    function submitLogin() {
        if (isLoading || !canSignIn)
            return
        authService.login(email, password)
    }
    function submitRegister() {
        if (isLoading || !canRegister)
            return
        authService.registerAccount(email, password)
    }
    function goBack() {
        currentStep = "email"
        password = ""
        confirmPassword = ""
    }
    function openForgotPassword() {
        showForgotPassword = true
    }
    function sendResetLink() {
        if (isLoading)
            return
        authService.forgotPassword(email)
    }
    function closeForgotPassword() {
        showForgotPassword = false
        forgotPasswordSent = false
    }
    function continueWithGoogle() {
        if (isLoading)
            return
        authService.signInWithGoogle()
    }

    // Keyboard focus follows the step: the field the user types next.
    function focusCurrentStep() {
        if (showForgotPassword)
            resetPanel.focusFirst()
        else if (currentStep === "login")
            loginPasswordField.forceActiveFocus()
        else if (currentStep === "register")
            registerPasswordField.forceActiveFocus()
        else
            emailField.forceActiveFocus()
    }
    onCurrentStepChanged: Qt.callLater(focusCurrentStep)
    onShowForgotPasswordChanged: Qt.callLater(focusCurrentStep)
    onIsLoadingChanged: if (!isLoading) Qt.callLater(focusCurrentStep)

    Connections {
        target: overlay.authService
        // A failed check reads as "no account": the register step, with the error shown.
        function onEmailChecked(exists) {
            overlay.currentStep = exists ? "login" : "register"
        }
        function onForgotPasswordFinished(accepted) {
            if (accepted && overlay.showForgotPassword)
                overlay.forgotPasswordSent = true
        }
    }

    Component.onCompleted: {
        glassAnimation = true
        emailField.forceActiveFocus()
    }

    Keys.onEscapePressed: function (event) {
        if (showForgotPassword) {
            closeForgotPassword()
            event.accepted = true
        }
    }

    // Drives the glows: 0 → 1 → 0 over 16 s, eased, for ever.
    property real glowPhase: 0.0
    SequentialAnimation on glowPhase {
        running: overlay.glassAnimation
        loops: Animation.Infinite
        NumberAnimation {
            from: 0
            to: 1
            duration: 8000
            easing.type: Easing.BezierSpline
            easing.bezierCurve: Theme.easeInOut
        }
        NumberAnimation {
            from: 1
            to: 0
            duration: 8000
            easing.type: Easing.BezierSpline
            easing.bezierCurve: Theme.easeInOut
        }
    }
    // Layers 1 to 3, which the reset and progress panels' glass blurs.
    Item {
        id: scene
        anchors.fill: parent

        // 1. Backdrop: black 0.75 over the thin material; a press there moves the window.
        BackdropBlur {
            anchors.fill: parent
            source: overlay.backdropSource
            radius: 0
            downscale: 4
        }
        Material {
            anchors.fill: parent
        }
        Rectangle {
            anchors.fill: parent
            color: Qt.rgba(0, 0, 0, 0.75)
        }
        MouseArea {
            anchors.fill: parent
            onPressed: overlay.backdropPressed()
        }

        // 2. The two glows, drifting back and forth every 8 s.
        RadialGradient {
            objectName: "violetGlow"
            width: 300
            height: 300
            x: overlay.width * 0.3 - width / 2 + 20 - 40 * overlay.glowPhase
            y: overlay.height * 0.25 - height / 2 + 10 - 40 * overlay.glowPhase
            horizontalRadius: 150
            verticalRadius: 150
            gradient: Gradient {
                GradientStop { position: 0.0; color: Qt.rgba(0.5, 0.3, 0.7, 0.15) }
                GradientStop { position: 0.5; color: "transparent" }
            }
        }
        RadialGradient {
            objectName: "goldGlow"
            width: 200
            height: 200
            x: overlay.width * 0.72 - width / 2 + 15 - 30 * overlay.glowPhase
            y: overlay.height * 0.78 - height / 2
            horizontalRadius: 100
            verticalRadius: 100
            gradient: Gradient {
                GradientStop { position: 0.0; color: Qt.rgba(0.85, 0.65, 0.2, 0.1) }
                GradientStop { position: 0.5; color: "transparent" }
            }
        }

        // 3. The card.
        Item {
            id: card
            objectName: "signInCard"
            anchors.centerIn: parent
            width: Math.min(340, overlay.width - 2 * 28)
            height: cardColumn.implicitHeight + 2 * 28
            // Under the reset and progress panels nothing of the card takes focus or clicks.
            enabled: !overlay.showForgotPassword && !overlay.isLoading

            GlassPanelBackground {
                anchors.fill: parent
                radius: 24
            }
            MouseArea {
                anchors.fill: parent
            }

            Column {
                id: cardColumn
                x: 28
                y: 28
                width: parent.width - 56
                spacing: 24

                // The e-mail step.
                Column {
                    id: emailStep
                    width: parent.width
                    spacing: 8
                    visible: overlay.currentStep === "email"
                    Item {
                        width: parent.width
                        height: welcome.implicitHeight
                        Text {
                            id: welcome
                            anchors.horizontalCenter: parent.horizontalCenter
                            text: "Welcome"
                            color: "white"
                            font.pixelSize: 22
                            font.weight: Font.Bold
                            visible: false
                        }
                        LinearGradient {
                            anchors.fill: welcome
                            source: welcome
                            start: Qt.point(0, 0)
                            end: Qt.point(0, height)
                            gradient: Gradient {
                                GradientStop { position: 0.0; color: "white" }
                                GradientStop { position: 1.0; color: Theme.white(0.85) }
                            }
                            Accessible.role: Accessible.Heading
                            Accessible.name: welcome.text
                        }
                    }
                    Text {
                        width: parent.width
                        text: "Sign in to unlock 432 Hz"
                        color: Theme.white(0.4)
                        font.pixelSize: 12
                        font.weight: Font.Medium
                        horizontalAlignment: Text.AlignHCenter
                    }
                    Item {
                        width: 1
                        height: 8
                    }
                    GlassTextField {
                        id: emailField
                        objectName: "emailField"
                        width: parent.width
                        placeholderText: "Email"
                        text: overlay.email
                        inputMethodHints: Qt.ImhEmailCharactersOnly | Qt.ImhNoAutoUppercase
                        onTextEdited: overlay.email = text
                        onAccepted: overlay.submitEmail()
                        KeyNavigation.tab: continueButton.available ? continueButton : googleButton
                    }
                    Item {
                        width: 1
                        height: 8
                    }
                    PrimaryButton {
                        id: continueButton
                        objectName: "continueButton"
                        width: parent.width
                        text: "Continue"
                        available: overlay.isEmailValid
                        onClicked: overlay.submitEmail()
                        KeyNavigation.tab: googleButton
                    }
                }

                // The login step.
                Column {
                    id: loginStep
                    width: parent.width
                    spacing: 8
                    visible: overlay.currentStep === "login"
                    StepHeader {
                        id: loginHeader
                        width: parent.width
                        title: "Sign In"
                        onBackClicked: overlay.goBack()
                        backButton.KeyNavigation.tab: loginPasswordField
                    }
                    Text {
                        objectName: "enteredAddress"
                        width: parent.width
                        text: overlay.email
                        color: Theme.white(0.35)
                        font.pixelSize: 11
                        font.weight: Font.Medium
                        horizontalAlignment: Text.AlignHCenter
                        elide: Text.ElideMiddle
                    }
                    Item {
                        width: 1
                        height: 4
                    }
                    GlassTextField {
                        id: loginPasswordField
                        objectName: "loginPasswordField"
                        width: parent.width
                        secure: true
                        placeholderText: "Password"
                        text: overlay.password
                        onTextEdited: overlay.password = text
                        onAccepted: overlay.submitLogin()
                        KeyNavigation.tab: signInButton.available ? signInButton : forgotButton
                    }
                    Item {
                        width: 1
                        height: 4
                    }
                    PrimaryButton {
                        id: signInButton
                        objectName: "signInButton"
                        width: parent.width
                        text: "Sign In"
                        available: overlay.canSignIn
                        onClicked: overlay.submitLogin()
                        KeyNavigation.tab: forgotButton
                    }
                    TextButton {
                        id: forgotButton
                        objectName: "forgotPasswordButton"
                        anchors.horizontalCenter: parent.horizontalCenter
                        text: "Forgot password?"
                        fontSize: 11
                        textColor: Theme.white(0.35)
                        onClicked: overlay.openForgotPassword()
                        KeyNavigation.tab: googleButton
                    }
                }

                // The register step.
                Column {
                    id: registerStep
                    width: parent.width
                    spacing: 8
                    visible: overlay.currentStep === "register"
                    StepHeader {
                        id: registerHeader
                        width: parent.width
                        title: "Create Account"
                        onBackClicked: overlay.goBack()
                        backButton.KeyNavigation.tab: registerPasswordField
                    }
                    Item {
                        width: 1
                        height: 4
                    }
                    GlassTextField {
                        id: registerPasswordField
                        objectName: "registerPasswordField"
                        width: parent.width
                        secure: true
                        placeholderText: "Password (min. 8 characters)"
                        text: overlay.password
                        onTextEdited: overlay.password = text
                        onAccepted: confirmPasswordField.forceActiveFocus()
                        KeyNavigation.tab: confirmPasswordField
                    }
                    GlassTextField {
                        id: confirmPasswordField
                        objectName: "confirmPasswordField"
                        width: parent.width
                        secure: true
                        placeholderText: "Confirm password"
                        text: overlay.confirmPassword
                        onTextEdited: overlay.confirmPassword = text
                        onAccepted: overlay.submitRegister()
                        KeyNavigation.tab: createAccountButton.available ? createAccountButton
                                                                         : googleButton
                    }
                    Text {
                        id: shortPasswordHint
                        objectName: "shortPasswordHint"
                        visible: overlay.isPasswordShort
                        width: parent.width
                        text: "Password must be at least 8 characters"
                        color: Theme.systemOrange
                        font.pixelSize: 10
                        font.weight: Font.Medium
                        wrapMode: Text.Wrap
                        Accessible.role: Accessible.StaticText
                        Accessible.name: text
                    }
                    Text {
                        id: mismatchHint
                        objectName: "mismatchHint"
                        visible: overlay.isMismatch
                        width: parent.width
                        text: "Passwords do not match"
                        color: Theme.systemRed
                        font.pixelSize: 10
                        font.weight: Font.Medium
                        wrapMode: Text.Wrap
                        Accessible.role: Accessible.StaticText
                        Accessible.name: text
                    }
                    Item {
                        width: 1
                        height: 4
                    }
                    PrimaryButton {
                        id: createAccountButton
                        objectName: "createAccountButton"
                        width: parent.width
                        text: "Create Account"
                        available: overlay.canRegister
                        onClicked: overlay.submitRegister()
                        KeyNavigation.tab: googleButton
                    }
                }

                ErrorBanner {
                    id: errorBanner
                    objectName: "errorBanner"
                    width: parent.width
                    visible: overlay.authService.hasError
                    text: overlay.authService.error
                }

                Row {
                    objectName: "orDivider"
                    width: parent.width
                    spacing: 12
                    Rectangle {
                        anchors.verticalCenter: parent.verticalCenter
                        width: (parent.width - orLabel.width - 2 * parent.spacing) / 2
                        height: 1
                        color: Theme.white(0.15)
                    }
                    Text {
                        id: orLabel
                        text: "or"
                        color: Theme.white(0.3)
                        font.pixelSize: 11
                        font.weight: Font.Medium
                    }
                    Rectangle {
                        anchors.verticalCenter: parent.verticalCenter
                        width: (parent.width - orLabel.width - 2 * parent.spacing) / 2
                        height: 1
                        color: Theme.white(0.15)
                    }
                }

                GoogleButton {
                    id: googleButton
                    objectName: "googleButton"
                    width: parent.width
                    onClicked: overlay.continueWithGoogle()
                    KeyNavigation.tab: overlay.currentStep === "email" ? emailField
                                       : overlay.currentStep === "login" ? loginHeader.backButton
                                       : registerHeader.backButton
                }

                Text {
                    width: parent.width
                    text: "By signing in you agree to our Terms of Service"
                    color: Theme.white(0.25)
                    font.pixelSize: 9
                    font.weight: Font.Medium
                    horizontalAlignment: Text.AlignHCenter
                    wrapMode: Text.Wrap
                }
            }
        }

    }

    // 4. The reset panel.
    ResetPasswordPanel {
        id: resetPanel
        objectName: "resetPanel"
        anchors.fill: parent
        visible: overlay.showForgotPassword
        enabled: visible && !overlay.isLoading
        email: overlay.email
        blurSource: scene
        sent: overlay.forgotPasswordSent
        busy: overlay.isLoading
        onEmailEdited: function (text) { overlay.email = text }
        onSendRequested: overlay.sendResetLink()
        onCloseRequested: overlay.closeForgotPassword()
    }

    // 5. The progress panel.
    ProgressPanel {
        id: progressPanel
        objectName: "progressPanel"
        anchors.fill: parent
        blurSource: scene
        visible: overlay.isLoading
        offersCancel: overlay.authService.isWaitingForBrowser
        onCancelRequested: overlay.authService.cancelGoogleSignIn()
    }
}
