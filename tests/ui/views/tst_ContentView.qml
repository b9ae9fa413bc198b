import QtQuick
import QtQuick.Controls
import QtTest
import Brimolavetrix

// The main screen over a simulated system: which centre state shows, and how it follows the
// manager's refreshes.
Item {
    id: stage
    width: 420
    height: 620

    TestCase {
        id: testCase
        name: "ContentView"
        when: windowShown

        Component {
            id: contentViewComponent
            ContentView {
            }
        }

        function makeView(options) {
            const manager = TestSystem.start(options || {});
            const view = createTemporaryObject(contentViewComponent, stage, {
                    "audioManager": manager,
                    "desktop": TestSystem.desktop()
                });
            verify(view !== null);
            return view;
        }

        function screenshot(item, name) {
            waitForRendering(item);
            grabImage(item).save(TestSystem.screenshotDir + "/" + name + ".png");
        }

        function test_screen_states_follow_the_system_output() {
            const view = makeView({
                    "brimolaIsDefault": false
                });
            tryCompare(view, "screenState", "outputCard", 3000);
            wait(300);
            screenshot(view, "output-card");
            TestSystem.setDefaultOutput("Brimola Vetrix");
            // The next poll (at most 0.5 s later) replaces the card by the power area.
            tryCompare(view, "screenState", "powerArea", 800);
            wait(300);
            screenshot(view, "power-off");
            TestSystem.setDefaultOutput("Speakers");
            tryCompare(view, "screenState", "outputCard", 800);
        }
    }
}
