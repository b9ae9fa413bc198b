#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>
#include <string>

#include "platform/privileged/PkexecRunner.h"
#include "platform/privileged/ShellQuoting.h"
#include "platform/privileged/StandInPrivilegedRunner.h"
#include "platform/process/ProcessRunner.h"
#include "support/TemporaryDirectory.h"

using brimo::privileged::PkexecRunner;
using brimo::privileged::shellQuoted;
using brimo::privileged::StandInPrivilegedRunner;
using brimo::testing::TemporaryDirectory;

namespace {

// What the shell makes of the quoted word: printf writes it back unchanged.
std::string throughTheShell(const std::string& text) {
    const auto word = shellQuoted(text);
    EXPECT_TRUE(word.has_value());
    return brimo::process::runProgram({"/bin/sh", "-c", "printf '%s' " + word.value_or("")}).output;
}

// A stand-in for pkexec that answers as polkit's does, or runs what it is given.
std::string writeFakePkexec(const std::filesystem::path& folder, const std::string& body) {
    const auto path = folder / "pkexec";
    std::ofstream(path) << "#!/bin/sh\n" << body << "\n";
    chmod(path.c_str(), 0755);
    return path.string();
}

}  // namespace

TEST(ShellQuoting, EveryAwkwardTextSurvivesTheShellLiterally) {
    for (const std::string text :
         {"/opt/Brimola Vetrix/resources", "/home/o'brien/It's here/'", "$(touch /tmp/x) `id`",
          "a\"b\\c;d&e|f>g<h*i?j~k#l", "line\nbreak", "", "-rf", "'''"}) {
        EXPECT_EQ(throughTheShell(text), text);
    }
    EXPECT_EQ(shellQuoted("it's"), "'it'\\''s'");
    EXPECT_FALSE(shellQuoted(std::string("cut\0here", 8)).has_value());
}

TEST(PkexecRunner, PassesTheCommandToTheShellAsOneArgument) {
    TemporaryDirectory folder;
    const auto fake = writeFakePkexec(folder.path(), R"(exec "$@")");
    PkexecRunner runner(fake);
    ASSERT_TRUE(runner.isAvailable());
    const auto marker = folder.path() / "it's done";
    const auto result = runner.run("touch " + *shellQuoted(marker.string()));
    EXPECT_TRUE(result.succeeded);
    EXPECT_FALSE(result.errorMessage.has_value());
    EXPECT_TRUE(std::filesystem::exists(marker));
}

TEST(PkexecRunner, DismissedPromptAndFailingCommandReportTheirOwnWords) {
    TemporaryDirectory folder;
    PkexecRunner dismissed(writeFakePkexec(
        folder.path(),
        "echo 'Error executing command as another user: Request dismissed' >&2; exit 126"));
    const auto refused = dismissed.run("true");
    EXPECT_FALSE(refused.succeeded);
    EXPECT_EQ(refused.errorMessage, "Error executing command as another user: Request dismissed");

    PkexecRunner quiet(writeFakePkexec(folder.path(), "exit 1"));
    const auto silent = quiet.run("true");
    EXPECT_FALSE(silent.succeeded);
    EXPECT_FALSE(silent.errorMessage.has_value());

    EXPECT_FALSE(PkexecRunner((folder.path() / "missing").string()).isAvailable());
    EXPECT_FALSE(PkexecRunner("brimo-no-such-program").isAvailable());
}

TEST(StandInPrivilegedRunner, RunsOrRefusesAndRemembersCommands) {
    StandInPrivilegedRunner runner;
    EXPECT_TRUE(runner.run("exit 0").succeeded);
    const auto failed = runner.run("echo '  cp: cannot stat  ' >&2; exit 1");
    EXPECT_FALSE(failed.succeeded);
    EXPECT_EQ(failed.errorMessage, "cp: cannot stat");
    EXPECT_EQ(runner.commands().size(), 2U);

    StandInPrivilegedRunner refusing(StandInPrivilegedRunner::Behaviour::refuse,
                                     "Request dismissed");
    EXPECT_EQ(refusing.run("touch /nonexistent/never").errorMessage, "Request dismissed");
}
