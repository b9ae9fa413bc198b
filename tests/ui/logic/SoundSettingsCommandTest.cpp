#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "ui/desktop/SoundSettingsCommand.h"

namespace brimo::ui {
namespace {

using Command = std::vector<std::string>;

auto installed(std::set<std::string> programs) {
    return [programs = std::move(programs)](const std::string& p) { return programs.contains(p); };
}

TEST(SoundSettingsCommandTest, TheDesktopsOwnPanelElsePavucontrolElseNothing) {
    const auto all = installed({"gnome-control-center", "systemsettings", "pavucontrol"});
    EXPECT_EQ(soundSettingsCommand("ubuntu:GNOME", all),
              (Command{"gnome-control-center", "sound"}));
    EXPECT_EQ(soundSettingsCommand("KDE", all), (Command{"systemsettings", "kcm_pulseaudio"}));
    EXPECT_EQ(soundSettingsCommand("XFCE", all), (Command{"pavucontrol"}));
    EXPECT_EQ(soundSettingsCommand("", all), (Command{"pavucontrol"}));
    // A desktop whose panel is not installed falls back; a partial name is no match.
    EXPECT_EQ(soundSettingsCommand("GNOME", installed({"pavucontrol"})), (Command{"pavucontrol"}));
    EXPECT_EQ(soundSettingsCommand("GNOME-Flashback-ish", all), (Command{"pavucontrol"}));
    EXPECT_FALSE(soundSettingsCommand("GNOME", installed({})));
}

}  // namespace
}  // namespace brimo::ui
