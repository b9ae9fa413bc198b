#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>
#include <regex>
#include <sstream>
#include <thread>
#include <vector>

#include "audio/log/DiagnosticLog.h"
#include "support/FileText.h"
#include "support/TemporaryDirectory.h"
#include "support/WithoutFileOverride.h"

using brimo::audio::DiagnosticLog;
using brimo::testing::readFileText;
using brimo::testing::ScopedEnvironment;
using brimo::testing::TemporaryDirectory;
using brimo::testing::WithoutFileOverride;

namespace {

DiagnosticLog::DirectoryLookup folder(const std::filesystem::path& path) {
    return [path] { return path; };
}

const std::regex kEngineLine(R"(\[\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ\] \[AudioEngine\] (.*)\n)");

}  // namespace

TEST(DiagnosticLog, FirstLineCreatesTheFileAndWritersShareItInCallOrderPastItsDeletion) {
    TemporaryDirectory documents;
    DiagnosticLog engine("AudioEngine", folder(documents.path()));
    DiagnosticLog manager("AudioManager", folder(documents.path()));
    const auto file = documents.path() / "Brimolavetrix_debug.log";
    const std::string message = "✅ [START] Running with \"TimePitch\"! ⚠️ 🔄";

    testing::internal::CaptureStdout();
    engine.debugLog(message);
    const std::string echoed = testing::internal::GetCapturedStdout();
    std::string content = readFileText(file);
    std::smatch match;
    ASSERT_TRUE(std::regex_match(content, match, kEngineLine)) << content;
    EXPECT_EQ(match[1].str(), message);
    EXPECT_EQ(echoed, content);  // same bytes, one line feed, no extra empty line

    testing::internal::CaptureStdout();
    manager.debugLog("two");
    content = readFileText(file);
    EXPECT_NE(content.find("] [AudioEngine] " + message + "\n["), std::string::npos) << content;
    EXPECT_NE(content.find("] [AudioManager] two\n"), std::string::npos) << content;

    std::filesystem::remove(file);
    manager.debugLog("three");
    testing::internal::GetCapturedStdout();
    content = readFileText(file);
    EXPECT_EQ(content.substr(content.find(']') + 1), " [AudioManager] three\n");
}

TEST(DiagnosticLog, LinesFromManyThreadsStayWhole) {
    TemporaryDirectory documents;
    DiagnosticLog engine("AudioEngine", folder(documents.path()));
    DiagnosticLog manager("AudioManager", folder(documents.path()));
    const std::string payload(300, 'x');
    testing::internal::CaptureStdout();
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 100; ++i) {
                (t % 2 == 0 ? engine : manager).debugLog(payload);
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    testing::internal::GetCapturedStdout();
    std::istringstream lines(readFileText(documents.path() / "Brimolavetrix_debug.log"));
    const std::regex whole(R"(\[[^\]]+Z\] \[Audio(Engine|Manager)\] x{300})");
    int count = 0;
    for (std::string line; std::getline(lines, line); ++count) {
        ASSERT_TRUE(std::regex_match(line, whole)) << line;
    }
    EXPECT_EQ(count, 400);
}

TEST(DiagnosticLog, AMissingOrUnusableFolderOnlyLosesTheFileCopy) {
    TemporaryDirectory root;
    std::ofstream(root.path() / "not-a-folder") << "plain file";
    // A folder where the file should be, and a FIFO nobody reads (which must not stall us).
    std::filesystem::create_directories(root.path() / "folder-named-like-the-file" /
                                        DiagnosticLog::kFileName / "kept");
    std::filesystem::create_directories(root.path() / "fifo");
    ASSERT_EQ(::mkfifo((root.path() / "fifo" / DiagnosticLog::kFileName).c_str(), 0600), 0);
    std::filesystem::create_directories(root.path() / "read-only");
    std::filesystem::permissions(root.path() / "read-only", std::filesystem::perms::owner_read |
                                                                std::filesystem::perms::owner_exec);
    const WithoutFileOverride obeyPermissions;
    for (const auto& place : {root.path() / "missing", root.path() / "not-a-folder",
                              root.path() / "folder-named-like-the-file", root.path() / "fifo",
                              root.path() / "read-only", std::filesystem::path()}) {
        DiagnosticLog engine("AudioEngine", folder(place));
        testing::internal::CaptureStdout();
        engine.debugLog("still echoed");
        EXPECT_NE(testing::internal::GetCapturedStdout().find("] [AudioEngine] still echoed\n"),
                  std::string::npos)
            << place;
    }
    EXPECT_FALSE(std::filesystem::exists(root.path() / "missing"));
    EXPECT_TRUE(std::filesystem::is_empty(root.path() / "read-only"));
    EXPECT_TRUE(std::filesystem::is_directory(root.path() / "folder-named-like-the-file" /
                                              DiagnosticLog::kFileName / "kept"));
    std::filesystem::permissions(root.path() / "read-only", std::filesystem::perms::owner_all);
}

TEST(DiagnosticLog, FindsTheDocumentsFolderOfTheUsersHome) {
    TemporaryDirectory home;
    const ScopedEnvironment homeVariable("HOME", home.path().string());
    const ScopedEnvironment configVariable("XDG_CONFIG_HOME", (home.path() / ".config").string());

    // No user-dirs configuration: $HOME/Documents.
    EXPECT_EQ(DiagnosticLog("AudioEngine").filePath(),
              home.path() / "Documents" / "Brimolavetrix_debug.log");

    // A configured, non-ASCII documents folder wins.
    std::filesystem::create_directories(home.path() / ".config");
    std::ofstream(home.path() / ".config" / "user-dirs.dirs")
        << "XDG_DOCUMENTS_DIR=\"$HOME/Dokumente – Ü\"\n";
    EXPECT_EQ(DiagnosticLog("AudioEngine").filePath(),
              home.path() / "Dokumente – Ü" / "Brimolavetrix_debug.log");
}
