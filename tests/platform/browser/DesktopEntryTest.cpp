#include <gtest/gtest.h>
#include <sys/stat.h>

#include "platform/browser/DesktopEntry.h"
#include "support/FileText.h"
#include "support/LineCollector.h"
#include "support/TemporaryDirectory.h"

namespace brimo::browser {
namespace {

TEST(DesktopEntryTest, TheEntryStartsTheExecutableWithTheURLForTheScheme) {
    const DesktopEntry entry{"com.brimolavetrix.Brimolavetrix", "/opt/b v/brimolavetrix",
                             "com.googleusercontent.apps.123-abc"};
    const std::string text = entry.text();
    EXPECT_NE(text.find("\nExec=\"/opt/b v/brimolavetrix\" %u\n"), std::string::npos) << text;
    EXPECT_NE(text.find("\nMimeType=x-scheme-handler/com.googleusercontent.apps.123-abc;\n"),
              std::string::npos);
    // Quotes, dollars, back-quotes and backslashes escaped inside the quotes, then "%" and "\"
    // escaped for the value as a whole.
    EXPECT_EQ(desktopExecLine(R"(/h/a"b$c`d\e%f)"), R"("/h/a\\"b\\$c\\`d\\\\e%%f" %u)");
}

TEST(DesktopEntryTest, InstalledOnceRegisteredAndNeverThroughALink) {
    const testing::TemporaryDirectory home;
    const auto applications = home.path() / "applications";
    std::vector<std::vector<std::string>> ran;
    testing::LineCollector printed;
    const UserEntryInstallation how{applications,
                                    [&](const std::vector<std::string>& arguments) {
                                        ran.push_back(arguments);
                                        return process::ProcessResult{0, {}, {}};
                                    },
                                    printed.writer()};
    const DesktopEntry entry{"com.brimolavetrix.Brimolavetrix", "/build/brimolavetrix",
                             "com.googleusercontent.apps.1"};
    const auto path = applications / "com.brimolavetrix.Brimolavetrix.desktop";

    // A link planted at the entry's place is replaced, its target left alone.
    std::filesystem::create_directories(applications);
    const auto target = home.path() / "elsewhere";
    testing::writeFileText(target, "keep");
    std::filesystem::create_symlink(target, path);

    ASSERT_TRUE(installUserDesktopEntry(entry, how));
    EXPECT_EQ(testing::readFileText(target), "keep");
    EXPECT_FALSE(std::filesystem::is_symlink(path));
    EXPECT_EQ(testing::readFileText(path), entry.text());
    struct stat status {};
    ASSERT_EQ(::stat(path.c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 0777U, 0644U);
    EXPECT_EQ(ran, (std::vector<std::vector<std::string>>{
                       {"update-desktop-database", applications.string()},
                       {"xdg-mime", "default", "com.brimolavetrix.Brimolavetrix.desktop",
                        "x-scheme-handler/com.googleusercontent.apps.1"}}));
    EXPECT_EQ(printed.take().size(), 1U);

    // The same entry on the next start: nothing to do, nothing said.
    ASSERT_TRUE(installUserDesktopEntry(entry, how));
    EXPECT_EQ(ran.size(), 2U);
    EXPECT_TRUE(printed.lines().empty());

    // Moved build tree: rewritten and registered again.
    const DesktopEntry moved{entry.desktopId, "/elsewhere/brimolavetrix", entry.callbackScheme};
    ASSERT_TRUE(installUserDesktopEntry(moved, how));
    EXPECT_EQ(testing::readFileText(path), moved.text());
    EXPECT_EQ(ran.size(), 4U);

    // A path that would smuggle a key of its own into the entry is not written.
    const DesktopEntry injected{entry.desktopId, "/tmp/x\nExec=/tmp/evil", entry.callbackScheme};
    EXPECT_FALSE(installUserDesktopEntry(injected, how));
    EXPECT_EQ(testing::readFileText(path), moved.text());
    EXPECT_EQ(ran.size(), 4U);
}

TEST(DesktopEntryTest, OnlyAnInstalledPrefixCountsAsInstalled) {
    const testing::TemporaryDirectory prefix;
    std::filesystem::create_directories(prefix.path() / "bin");
    EXPECT_FALSE(isInstalledExecutable(prefix.path() / "bin" / "brimolavetrix"));
    std::filesystem::create_directories(prefix.path() / "share" / "brimolavetrix");
    EXPECT_TRUE(isInstalledExecutable(prefix.path() / "bin" / "brimolavetrix"));
    EXPECT_FALSE(isInstalledExecutable(prefix.path() / "build" / "brimolavetrix"));
}

}  // namespace
}  // namespace brimo::browser
