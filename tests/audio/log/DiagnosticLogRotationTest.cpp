#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <latch>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "audio/log/DiagnosticLog.h"
#include "audio/log/LogLineSample.h"
#include "audio/log/RotatingLogFile.h"
#include "support/ChildProcess.h"
#include "support/FileText.h"
#include "support/TemporaryDirectory.h"
#include "support/WithoutFileOverride.h"

using brimo::audio::appendLineWithinBound;
using brimo::audio::DiagnosticLog;
using brimo::testing::ChildProcess;
using brimo::testing::parseSampleLine;
using brimo::testing::readFileText;
using brimo::testing::sampleMessage;
using brimo::testing::TemporaryDirectory;
using brimo::testing::WithoutFileOverride;
using brimo::testing::writeFileText;

namespace {

namespace fs = std::filesystem;

DiagnosticLog::DirectoryLookup folder(const fs::path& path) {
    return [path] { return path; };
}

std::vector<std::string> splitLines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

std::uintmax_t sizeOrZero(const fs::path& path) {
    std::error_code error;
    const auto size = fs::file_size(path, error);
    return error ? 0 : size;
}

std::vector<std::string> entries(const fs::path& directory) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(directory)) {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

// Standard output must carry every line of each writer exactly once, whole.
void expectEveryLineOnce(const std::string& output, const std::vector<std::string>& writers,
                         int count) {
    std::map<std::string, std::vector<int>> seen;
    for (const auto& line : splitLines(output)) {
        const auto sample = parseSampleLine(line);
        ASSERT_TRUE(sample) << "torn or foreign line: " << line;
        seen[sample->writer].push_back(sample->number);
    }
    for (const auto& writer : writers) {
        auto& numbers = seen[writer];
        std::sort(numbers.begin(), numbers.end());
        ASSERT_EQ(numbers.size(), static_cast<std::size_t>(count)) << writer;
        for (int i = 0; i < count; ++i) {
            ASSERT_EQ(numbers[i], i) << writer;
        }
    }
}

// The two files together, oldest first, must hold the newest lines of each writer: whole,
// each once, and with no gap, ending at its last line.
void expectAnUnbrokenTail(const std::string& files, const std::vector<std::string>& writers,
                          int count) {
    std::map<std::string, std::vector<int>> kept;
    for (const auto& line : splitLines(files)) {
        const auto sample = parseSampleLine(line);
        ASSERT_TRUE(sample) << "torn or foreign line: " << line;
        kept[sample->writer].push_back(sample->number);
    }
    for (const auto& writer : writers) {
        const auto& numbers = kept[writer];  // none when a writer finished early
        for (std::size_t i = 0; i < numbers.size(); ++i) {
            ASSERT_EQ(numbers[i], count - static_cast<int>(numbers.size() - i)) << writer;
        }
    }
}

constexpr std::string_view kLogName = DiagnosticLog::kFileName;

}  // namespace

TEST(DiagnosticLogRotation, ThreadsAndASecondInstanceAcrossManyRotationsKeepEveryLineWhole) {
    TemporaryDirectory documents;
    TemporaryDirectory scratch;
    const fs::path file = documents.path() / kLogName;
    const fs::path previous = documents.path() / (std::string(kLogName) + ".1");
    const fs::path go = scratch.path() / "go";
    constexpr std::uintmax_t kBound = 600;
    constexpr int kLines = 1200;  // per writer; some 55 rotations in all
    const std::vector<std::string> threadWriters{"t0", "t1", "t2"};
    const std::vector<std::string> processWriters{"p0", "p1"};

    std::vector<std::unique_ptr<ChildProcess>> instances;
    for (const auto& writer : processWriters) {
        ChildProcess::Options options;
        options.arguments = {BRIMO_LOG_WRITER,       documents.path().string(), writer,
                             std::to_string(kLines), std::to_string(kBound),    go.string()};
        options.output = scratch.path() / (writer + ".out");
        instances.push_back(std::make_unique<ChildProcess>(std::move(options)));
    }
    DiagnosticLog engine("AudioEngine", folder(documents.path()), kBound);
    DiagnosticLog manager("AudioManager", folder(documents.path()), kBound);

    std::atomic<bool> writing = true;
    std::uintmax_t largestSeen = 0;
    std::thread watcher([&] {
        while (writing) {
            largestSeen = std::max(largestSeen, sizeOrZero(file));
        }
    });
    testing::internal::CaptureStdout();
    std::latch start(static_cast<std::ptrdiff_t>(threadWriters.size()));
    std::vector<std::thread> threads;
    for (std::size_t t = 0; t < threadWriters.size(); ++t) {
        threads.emplace_back([&, t] {
            start.arrive_and_wait();
            for (int i = 0; i < kLines; ++i) {
                (t % 2 == 0 ? engine : manager).debugLog(sampleMessage(threadWriters[t], i));
            }
        });
    }
    writeFileText(go, "");
    for (auto& thread : threads) {
        thread.join();
    }
    for (auto& instance : instances) {
        EXPECT_EQ(instance->waitForExit(), 0);
    }
    const std::string echoed = testing::internal::GetCapturedStdout();
    writing = false;
    watcher.join();

    expectEveryLineOnce(echoed, threadWriters, kLines);
    for (std::size_t p = 0; p < processWriters.size(); ++p) {
        expectEveryLineOnce(instances[p]->output(), {processWriters[p]}, kLines);
    }
    EXPECT_EQ(entries(documents.path()),
              (std::vector<std::string>{std::string(kLogName), previous.filename().string()}));
    auto allWriters = threadWriters;
    allWriters.insert(allWriters.end(), processWriters.begin(), processWriters.end());
    expectAnUnbrokenTail(readFileText(previous) + readFileText(file), allWriters, kLines);

    std::size_t longestLine = 0;
    for (int i = 0; i < kLines; ++i) {
        longestLine = std::max(longestLine, engine.formatLine(sampleMessage("t0", i)).size());
    }
    EXPECT_LE(largestSeen, kBound + longestLine);
    EXPECT_LE(sizeOrZero(file), kBound + longestLine);
    // The retired file was full: nothing was cut away before the bound.
    EXPECT_GT(sizeOrZero(previous), kBound - longestLine);
    EXPECT_LE(sizeOrZero(previous), kBound + longestLine);
}

// Another instance holds the file's lock while it appends, here while it retires the full
// file: our line waits and then goes to the new file, leaving the retired one as it was. An
// instance that keeps the lock (stopped in a debugger) delays a line only briefly.
TEST(DiagnosticLogRotation, WaitsForASecondInstanceMidAppendButNotForAStoppedOne) {
    TemporaryDirectory documents;
    constexpr std::uintmax_t kBound = 1024;
    const fs::path file = documents.path() / kLogName;
    const fs::path previous = documents.path() / (std::string(kLogName) + ".1");
    const std::string full(kBound - 10, 'x');
    writeFileText(file, full + "\n");
    DiagnosticLog log("AudioEngine", folder(documents.path()), kBound);
    testing::internal::CaptureStdout();

    const int other = ::open(file.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
    ASSERT_EQ(::flock(other, LOCK_EX), 0);
    std::thread waiting([&] { log.debugLog("waited"); });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));  // let it reach the lock
    fs::rename(file, previous);
    writeFileText(file, "other instance\n");
    ::close(other);
    waiting.join();
    const std::string waited = testing::internal::GetCapturedStdout();
    EXPECT_EQ(readFileText(previous), full + "\n");
    EXPECT_EQ(readFileText(file), "other instance\n" + waited);

    testing::internal::CaptureStdout();
    const int stopped = ::open(file.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
    ASSERT_EQ(::flock(stopped, LOCK_EX), 0);
    log.debugLog("not held up");
    const std::string notHeldUp = testing::internal::GetCapturedStdout();
    ::close(stopped);
    EXPECT_EQ(readFileText(file), "other instance\n" + waited + notHeldUp);
}

TEST(DiagnosticLogRotation, AFullFileThatCannotBeRenamedIsStartedAgainWithTheLine) {
    constexpr std::uintmax_t kBound = 1024;
    const std::string full(kBound - 10, 'x');

    {  // A folder already has the old file's name.
        TemporaryDirectory documents;
        const fs::path blocker = documents.path() / (std::string(kLogName) + ".1");
        fs::create_directories(blocker / "kept");
        writeFileText(documents.path() / kLogName, full + "\n");
        DiagnosticLog log("AudioEngine", folder(documents.path()), kBound);
        testing::internal::CaptureStdout();
        log.debugLog("after the bound");
        const std::string echoed = testing::internal::GetCapturedStdout();
        EXPECT_EQ(readFileText(documents.path() / kLogName), echoed);
        EXPECT_TRUE(fs::is_directory(blocker / "kept"));
    }
    {  // The folder is read-only, the file itself writable.
        TemporaryDirectory documents;
        writeFileText(documents.path() / kLogName, full + "\n");
        fs::permissions(documents.path(), fs::perms::owner_read | fs::perms::owner_exec);
        std::string echoed;
        {
            const WithoutFileOverride obeyPermissions;
            const int probe =
                ::open((documents.path() / "probe").c_str(), O_WRONLY | O_CREAT, 0600);
            if (probe >= 0) {
                ::close(probe);
            }
            ASSERT_LT(probe, 0) << "the folder must refuse new names for this case";
            DiagnosticLog log("AudioEngine", folder(documents.path()), kBound);
            testing::internal::CaptureStdout();
            log.debugLog("after the bound");
            echoed = testing::internal::GetCapturedStdout();
        }
        EXPECT_EQ(readFileText(documents.path() / kLogName), echoed);
        EXPECT_EQ(entries(documents.path()), std::vector<std::string>{std::string(kLogName)});
        fs::permissions(documents.path(), fs::perms::owner_all);
    }
}

TEST(DiagnosticLogRotation, ASymbolicLinkIsWrittenThroughButNeitherItNorItsTargetIsMoved) {
    TemporaryDirectory documents;
    TemporaryDirectory elsewhere;
    constexpr std::uintmax_t kBound = 1024;
    const fs::path target = elsewhere.path() / "kept.log";
    const std::string before(2 * kBound, 'x');
    writeFileText(target, before);
    fs::create_symlink(target, documents.path() / kLogName);

    DiagnosticLog log("AudioEngine", folder(documents.path()), kBound);
    testing::internal::CaptureStdout();
    log.debugLog("through the link");
    const std::string echoed = testing::internal::GetCapturedStdout();

    EXPECT_TRUE(fs::is_symlink(documents.path() / kLogName));
    EXPECT_EQ(readFileText(target), before + echoed);
    EXPECT_EQ(entries(documents.path()), std::vector<std::string>{std::string(kLogName)});
    EXPECT_EQ(entries(elsewhere.path()), std::vector<std::string>{"kept.log"});
}

// The window polls the devices every half second and each poll logs four lines: a day of that
// is some 59 MB. With the shipped bound it must end as two files, each within the bound. The
// day is written a minute of polls at a time, which keeps the byte count and the test short.
TEST(DiagnosticLogRotation, ADayOfDevicePollingStaysWithinTwoFilesOfTheBound) {
    TemporaryDirectory documents;
    const DiagnosticLog manager("AudioManager", folder(documents.path()));
    std::string poll;
    for (const auto* message : {
             "🎛️ [REFRESH] Refreshing devices...",
             "🎛️ [REFRESH] Found 1 output devices",
             "🎛️ [REFRESH] Brimola Vetrix selected as output: true (was: true)",
             "🎛️ [REFRESH] Refresh complete",
         }) {
        poll += manager.formatLine(message);
    }
    constexpr int kPollsAMinute = 120;
    constexpr int kMinutesADay = 24 * 60;
    std::string minute;
    for (int i = 0; i < kPollsAMinute; ++i) {
        minute += poll;
    }
    ASSERT_GT(minute.size() * kMinutesADay, 5 * DiagnosticLog::kMaxFileBytes)
        << "a day must outgrow the file several times";

    const fs::path file = documents.path() / kLogName;
    for (int i = 0; i < kMinutesADay; ++i) {
        appendLineWithinBound(file, minute, DiagnosticLog::kMaxFileBytes);
    }

    const fs::path previous = documents.path() / (std::string(kLogName) + ".1");
    EXPECT_EQ(entries(documents.path()),
              (std::vector<std::string>{std::string(kLogName), previous.filename().string()}));
    EXPECT_LE(sizeOrZero(file), DiagnosticLog::kMaxFileBytes);
    EXPECT_LE(sizeOrZero(previous), DiagnosticLog::kMaxFileBytes);
    EXPECT_GT(sizeOrZero(previous), DiagnosticLog::kMaxFileBytes - minute.size());
    EXPECT_TRUE(
        readFileText(file).ends_with("] [AudioManager] 🎛️ [REFRESH] Refresh complete\n"));
}
