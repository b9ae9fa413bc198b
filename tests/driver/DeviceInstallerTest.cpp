#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "driver/DriverTestSupport.h"
#include "driver/installer/DeviceInstaller.h"
#include "platform/process/ProcessRunner.h"
#include "support/FileText.h"
#include "support/TemporaryDirectory.h"

namespace brimo::driver::installer {
namespace {

namespace fs = std::filesystem;
using testing::readFileText;
using testing::writeFileText;

const fs::path kBundle = "usr/local/lib/brimolavetrix/plug-ins/Brimolavetrix.driver";
const fs::path kInfo = "Contents/Info.plist";
const fs::path kPipewireInBundle = "Contents/Resources/pipewire.conf.d/brimolavetrix.conf";
const fs::path kPipewireDropIn = "etc/pipewire/pipewire.conf.d/brimolavetrix.conf";
const fs::path kPulseDropIn = "etc/pulse/default.pa.d/brimolavetrix.pa";

mode_t modeOf(const fs::path& path) {
    struct stat status {};
    EXPECT_EQ(::lstat(path.c_str(), &status), 0) << path;
    return status.st_mode & 07777U;
}

// Everything below `root`, relative to it.
std::vector<std::string> entriesBelow(const fs::path& root) {
    std::vector<std::string> entries;
    for (const auto& entry : fs::recursive_directory_iterator(root)) {
        entries.push_back(fs::relative(entry.path(), root).string());
    }
    return entries;
}

class DeviceInstallerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        testing::copyShippedBundle(temporary.path() / "resources");
        fs::create_directories(root());
        fs::create_directories(temporary.path() / "outside");
    }

    [[nodiscard]] fs::path source() const {
        return temporary.path() / "resources" / "AudioDriver" / "Brimolavetrix.driver";
    }
    [[nodiscard]] fs::path root() const { return temporary.path() / "root"; }
    [[nodiscard]] fs::path outside() const { return temporary.path() / "outside"; }

    bool install(AudioServerKind server) {
        DeviceInstaller installer(root(),
                                  [this](std::string_view line) { log.emplace_back(line); });
        const bool succeeded = installer.install(source(), server);
        error = installer.error();
        return succeeded;
    }

    testing::TemporaryDirectory temporary;
    std::vector<std::string> log;
    std::string error;
};

TEST_F(DeviceInstallerTest, InstallsTheBuiltFilesAs0644In0755FoldersWhateverTheUmask) {
    const mode_t previous = ::umask(0);
    const bool succeeded = install(AudioServerKind::pipewire);
    ::umask(previous);
    ASSERT_TRUE(succeeded) << error;

    EXPECT_EQ(readFileText(root() / kBundle / kInfo), readFileText(source() / kInfo));
    EXPECT_EQ(readFileText(root() / kPipewireDropIn), readFileText(source() / kPipewireInBundle));
    // Only the server in use is activated.
    EXPECT_FALSE(fs::exists(root() / kPulseDropIn));
    for (const auto& entry : fs::recursive_directory_iterator(root())) {
        const mode_t expected = entry.is_directory() ? 0755 : 0644;
        EXPECT_EQ(modeOf(entry.path()), expected) << entry.path();
        struct stat status {};
        ASSERT_EQ(::lstat(entry.path().c_str(), &status), 0);
        EXPECT_EQ(status.st_uid, ::geteuid()) << entry.path();
    }
    EXPECT_EQ(log.back(), "activated /" + kPipewireDropIn.string());
}

TEST_F(DeviceInstallerTest, AnUnknownServerGetsBothDropIns) {
    ASSERT_TRUE(install(AudioServerKind::unknown)) << error;
    EXPECT_TRUE(fs::is_regular_file(root() / kPipewireDropIn));
    EXPECT_TRUE(fs::is_regular_file(root() / kPulseDropIn));
}

// Each way a user's process could hand root something else: nothing at all is written.
TEST_F(DeviceInstallerTest, RefusesSourcesThatAreNotTheBuiltFilesAndWritesNothing) {
    struct Tampering {
        const char* name;
        void (*apply)(const fs::path& bundle, const fs::path& outside);
    };
    const Tampering tamperings[] = {
        {"a changed file",
         [](const fs::path& bundle, const fs::path&) {
             writeFileText(bundle / kPipewireInBundle,
                           "context.exec = [ { path = \"/bin/sh\" args = \"-c id\" } ]\n");
         }},
        {"a link to a file with the very same contents",
         [](const fs::path& bundle, const fs::path& outside) {
             fs::copy_file(bundle / kInfo, outside / "Info.plist");
             fs::remove(bundle / kInfo);
             fs::create_symlink(outside / "Info.plist", bundle / kInfo);
         }},
        {"a linked folder",
         [](const fs::path& bundle, const fs::path& outside) {
             fs::copy(bundle / "Contents", outside / "Contents", fs::copy_options::recursive);
             fs::remove_all(bundle / "Contents");
             fs::create_directory_symlink(outside / "Contents", bundle / "Contents");
         }},
        {"a world-writable file",
         [](const fs::path& bundle, const fs::path&) {
             fs::permissions(bundle / kInfo, fs::perms::others_write, fs::perm_options::add);
         }},
        {"a group-writable file",
         [](const fs::path& bundle, const fs::path&) {
             fs::permissions(bundle / kPipewireInBundle, fs::perms::group_write,
                             fs::perm_options::add);
         }},
        {"a missing file",
         [](const fs::path& bundle, const fs::path&) { fs::remove(bundle / kInfo); }},
    };
    for (const auto& tampering : tamperings) {
        SCOPED_TRACE(tampering.name);
        fs::remove_all(temporary.path() / "resources");
        fs::remove_all(outside());
        fs::create_directories(outside());
        testing::copyShippedBundle(temporary.path() / "resources");
        tampering.apply(source(), outside());

        EXPECT_FALSE(install(AudioServerKind::unknown));
        EXPECT_FALSE(error.empty());
        EXPECT_TRUE(entriesBelow(root()).empty());
    }
}

TEST_F(DeviceInstallerTest, ReplacesLinksInItsDestinationsWithoutWritingThroughThem) {
    // An earlier installation that copied links along, and a planted drop-in link.
    fs::create_directories(root() / kBundle);
    fs::create_directory_symlink(outside(), root() / kBundle / "Contents");
    fs::create_directories((root() / kPipewireDropIn).parent_path());
    writeFileText(outside() / "victim", "keep me\n");
    fs::create_symlink(outside() / "victim", root() / kPipewireDropIn);

    ASSERT_TRUE(install(AudioServerKind::pipewire)) << error;

    EXPECT_FALSE(fs::is_symlink(root() / kBundle / "Contents"));
    EXPECT_FALSE(fs::is_symlink(root() / kPipewireDropIn));
    EXPECT_EQ(readFileText(outside() / "victim"), "keep me\n");
    EXPECT_EQ(entriesBelow(outside()), std::vector<std::string>{"victim"});
}

TEST_F(DeviceInstallerTest, RefusesALinkedSystemFolderOnTheWayToADestination) {
    fs::create_directories(root() / "etc");
    fs::create_directory_symlink(outside(), root() / "etc" / "pipewire");
    EXPECT_FALSE(install(AudioServerKind::pipewire));
    EXPECT_TRUE(entriesBelow(outside()).empty());
}

TEST_F(DeviceInstallerTest, UninstallRemovesWhatItInstalledAndLeavesTheRest) {
    ASSERT_TRUE(install(AudioServerKind::unknown)) << error;
    writeFileText(root() / "etc/pipewire/pipewire.conf.d/other.conf", "other\n");

    DeviceInstaller installer(root(), [](std::string_view) {});
    ASSERT_TRUE(installer.uninstall()) << installer.error();
    EXPECT_FALSE(fs::exists(root() / "usr/local/lib/brimolavetrix"));
    EXPECT_FALSE(fs::exists(root() / kPipewireDropIn));
    EXPECT_FALSE(fs::exists(root() / kPulseDropIn));
    EXPECT_TRUE(fs::exists(root() / "etc/pipewire/pipewire.conf.d/other.conf"));
    // Again, with nothing left: still a success.
    EXPECT_TRUE(installer.uninstall()) << installer.error();
}

// The program itself: one optional word, nothing else, and a refusal touches nothing.
TEST_F(DeviceInstallerTest, TheProgramRefusesEveryArgumentButUninstall) {
    const std::string program = BRIMO_DEVICE_INSTALLER_TESTROOT;
    const std::vector<std::vector<std::string>> refused = {
        {program, "--uninstall", "extra"},
        {program, "/tmp/elsewhere"},
        {program, "--root=/tmp"},
        {program, ""},
    };
    for (const auto& arguments : refused) {
        const auto result = process::runProgram(arguments);
        EXPECT_EQ(result.exitStatus, 2) << arguments[1];
        EXPECT_NE(result.errorText.find("refused"), std::string::npos);
    }
    EXPECT_TRUE(entriesBelow(root()).empty());
}

}  // namespace
}  // namespace brimo::driver::installer
