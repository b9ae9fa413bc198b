import QtQuick
import QtQuick.Controls
import QtTest
import Brimolavetrix

// The main screen over a simulated system, driven through the audio manager's adapter.
Item {
    id: stage
    width: 420
    height: 620

    Component {
        id: contentViewComponent
        ContentView {}
    }
    Component {
        id: busyButtonComponent
        CapsuleButton {
            x: 100
            y: 100
            accent: Theme.systemOrange
            busy: true
            text: "Installing..."
        }
    }

    TestCase {
        id: testCase
        name: "ContentView"
        when: windowShown

        function makeView(options) {
            const manager = TestSystem.start(options || {})
            const view = createTemporaryObject(contentViewComponent, stage, {
                "audioManager": manager,
                "desktop": TestSystem.desktop()
            })
            verify(view !== null)
            return view
        }

        function screenshot(item, name) {
            waitForRendering(item)
            grabImage(item).save(TestSystem.screenshotDir + "/" + name + ".png")
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

        function test_screen_states_follow_the_system_output() {
            const view = makeView({ "brimolaIsDefault": false })
            tryCompare(view, "screenState", "outputCard", 3000)
            compare(findNamed(view, "powerButton"), null)
            wait(300)
            screenshot(view, "output-card")

            TestSystem.setDefaultOutput("Brimola Vetrix")
            // The next poll, at most 0.5 s later, replaces the card by the power area.
            tryCompare(view, "screenState", "powerArea", 1500)
            verify(findNamed(view, "powerButton") !== null)
            compare(findNamed(view, "statusLine").text, "Tap to tune your audio to 432 Hz")
            wait(300)
            screenshot(view, "power-off")

            TestSystem.setDefaultOutput("Speakers")
            tryCompare(view, "screenState", "outputCard", 1500)
            compare(findNamed(view, "powerButton"), null)
        }

        function test_power_button_switches_the_shift_and_the_status_line() {
            const view = makeView({})
            tryCompare(view, "screenState", "powerArea", 3000)
            const button = findNamed(view, "powerButton")
            mouseClick(button)
            tryCompare(view.audioManager, "isActive", true, 1000)
            compare(TestSystem.activationClicks, 1)
            compare(findNamed(view, "statusLine").text, "Your system audio is now tuned to 432 Hz")
            tryCompare(view.background.onLayer, "opacity", 1, 1500)
            tryVerify(() => TestSystem.engineFrequency() === 432.0, 3000)
            wait(500)
            screenshot(view, "power-on")

            // Space on the focused button switches it off again.
            button.control.forceActiveFocus()
            keyClick(Qt.Key_Space)
            tryCompare(view.audioManager, "isActive", false, 1000)
            compare(TestSystem.deactivationClicks, 1)
        }

        function test_power_button_is_disabled_at_half_opacity_when_not_usable() {
            const view = makeView({})
            tryCompare(view, "screenState", "powerArea", 3000)
            const button = findNamed(view, "powerButton")
            compare(button.enabled, true)
            compare(button.opacity, 1.0)
            view.isSignInSatisfied = false
            compare(button.enabled, false)
            compare(button.opacity, 0.5)
            mouseClick(button)
            wait(200)
            compare(view.audioManager.isActive, false)
        }

        function test_device_menu_lists_outputs_and_checks_the_selected_one() {
            const view = makeView({ "outputs": ["Speakers", "Headphones"] })
            tryCompare(view, "screenState", "powerArea", 3000)
            const menuButton = view.deviceMenu
            compare(menuButton.label, "SPEAKERS")
            mouseClick(menuButton)
            const menu = menuButton.menu
            tryCompare(menu, "opened", true)
            compare(menu.count, 2)
            compare(menu.itemAt(0).text, "Speakers")
            compare(menu.itemAt(1).text, "Headphones")
            compare(menu.itemAt(0).isSelected, true)
            compare(menu.itemAt(1).isSelected, false)
            wait(200)
            screenshot(view, "device-menu")
            mouseClick(menu.itemAt(1))
            tryCompare(menuButton, "label", "HEADPHONES")
            compare(menu.itemAt(1).isSelected, true)
            compare(menu.itemAt(0).isSelected, false)
        }

        function test_no_outputs_gives_an_empty_menu_and_select_device() {
            const view = makeView({ "outputs": [] })
            tryCompare(view, "screenState", "powerArea", 3000)
            compare(view.deviceMenu.label, "SELECT DEVICE")
            compare(view.deviceMenu.menu.count, 0)
        }

        function test_refresh_twice_turns_720_degrees_and_refreshes_twice() {
            const view = makeView({})
            tryCompare(view, "screenState", "powerArea", 3000)
            view.pollTimer.stop()
            wait(100)
            const before = TestSystem.refreshCount
            mouseClick(view.refreshButton)
            mouseClick(view.refreshButton)
            compare(view.refreshRotation, 720)
            compare(TestSystem.refreshCount, before + 2)
            tryCompare(view.refreshButton.symbolItem, "rotation", 720, 2000)
            tryCompare(view, "refreshScale", 1.0, 1000)
        }

        function test_volume_slider_spans_silence_to_double_gain() {
            const view = makeView({})
            tryCompare(view, "screenState", "powerArea", 3000)
            const slider = view.volumeRow.slider
            compare(slider.from, 0.0)
            compare(slider.to, 2.0)
            compare(slider.value, 1.0)
            mousePress(slider, slider.leftPadding + 2, slider.height / 2)
            mouseMove(slider, -50, slider.height / 2)
            mouseRelease(slider, -50, slider.height / 2)
            tryCompare(view.audioManager, "volume", 0.0)
            mousePress(slider, slider.width - 2, slider.height / 2)
            mouseMove(slider, slider.width + 50, slider.height / 2)
            mouseRelease(slider, slider.width + 50, slider.height / 2)
            tryCompare(view.audioManager, "volume", 2.0)
        }

        function test_automatic_installation_runs_once_and_refreshes_without_alert() {
            const view = makeView({ "driverInstalled": false })
            compare(view.screenState, "driverCard")
            wait(300)
            screenshot(view, "driver-card")
            // The installation runs by itself; the new device then shows, no alert opens.
            tryCompare(view.audioManager, "isDriverInstalled", true, 6000)
            compare(view.showInstallationAlert, false)
            tryCompare(view, "screenState", "outputCard", 2000)
        }

        function test_manual_installation_reports_in_the_alert() {
            const view = makeView({ "driverInstalled": false, "install": "refuse" })
            // The automatic attempt fails with the prompt's own message.
            tryCompare(view, "showInstallationAlert", true, 3000)
            compare(view.installationAlert.message, "Request dismissed")
            wait(300)
            screenshot(view, "alert")
            view.installationAlert.close()
            tryCompare(view, "showInstallationAlert", false)
            // The install button tries again on demand; the automatic one does not repeat.
            view.installManually()
            tryCompare(view, "showInstallationAlert", true, 3000)
            compare(view.installationAlert.message, "Request dismissed")
        }

        function test_open_settings_without_a_settings_program_explains_in_an_alert() {
            const view = makeView({ "brimolaIsDefault": false, "desktopPrograms": [] })
            tryCompare(view, "screenState", "outputCard", 3000)
            view.openSoundSettings()
            tryCompare(view.settingsAlert, "opened", true)
            verify(view.settingsAlert.message.indexOf("'Brimola Vetrix'") >= 0)
            wait(200)
            screenshot(view, "settings-alert")
        }

        function test_use_brimola_vetrix_makes_it_the_system_output() {
            const view = makeView({ "brimolaIsDefault": false })
            tryCompare(view, "screenState", "outputCard", 3000)
            compare(TestSystem.defaultOutputName(), "Speakers")
            mouseClick(view.useBrimolaButton)
            compare(TestSystem.defaultOutputName(), "Brimola Vetrix")
            tryCompare(view, "screenState", "powerArea", 1500)
            compare(view.settingsAlert.opened, false)
        }

        function test_the_installing_spinner_shows_white_on_the_orange_button() {
            const button = createTemporaryObject(busyButtonComponent, stage)
            const spinner = button.spinner
            verify(spinner.visible)
            compare(spinner.scale, 0.6)
            waitForRendering(button)
            // Near-white pixels where the spinner's spokes are; the orange fill has none.
            const image = grabImage(button)
            const centre = spinner.mapToItem(button, spinner.width / 2, spinner.height / 2)
            let white = 0
            for (let x = Math.floor(centre.x - 5); x <= Math.ceil(centre.x + 5); ++x) {
                for (let y = Math.floor(centre.y - 5); y <= Math.ceil(centre.y + 5); ++y) {
                    if (image.pixel(x, y).b > 0.6)
                        white += 1
                }
            }
            verify(white >= 8, "white pixels of the spinner: " + white)
            // The driver card while the automatic installation runs, for the eye.
            button.visible = false
            const view = makeView({ "driverInstalled": false })
            // The background's first picture arrives a moment after the card: before it, the
            // card would stand on white. The installation lasts over two seconds.
            tryVerify(() => view.background.offLayer.sourceRect.width > 0, 2000)
            if (view.audioManager.isInstallingDriver)
                screenshot(view, "driver-card-installing")
        }

        // A default change is delivered on the main queue a moment later: by then the next
        // test's system may have replaced the one that saw it.
        function test_a_default_change_outlived_by_its_system_is_harmless() {
            for (let i = 0; i < 200; ++i) {
                TestSystem.start({})
                TestSystem.setDefaultOutput(i % 2 ? "Brimola Vetrix" : "Speakers")
            }
            const view = makeView({})
            tryCompare(view, "screenState", "powerArea", 3000)
        }

        function test_open_settings_starts_the_desktops_panel() {
            const view = makeView({ "brimolaIsDefault": false, "desktop": "KDE",
                                    "desktopPrograms": ["systemsettings", "pavucontrol"] })
            tryCompare(view, "screenState", "outputCard", 3000)
            view.openSoundSettings()
            compare(view.desktop.lastCommand, ["systemsettings", "kcm_pulseaudio"])
            compare(view.settingsAlert.opened, false)
        }
    }
}
