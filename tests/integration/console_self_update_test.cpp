// The built console launcher as a real process: its command line, and one start that replaces
// the launcher through the real script, after which the new launcher brings the game up to date.
#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>

#include "app/portable/crash_reporter.h"
#include "patcher/self_update.h"
#include "publish/publish_cli.h"
#include "support/fixtures.h"
#include "support/scratch_log.h"
#include "support/test_server.h"
#include "util/dates.h"

namespace velka {
namespace {

using namespace testing_support;

// The command line is read before anything is touched: help and refusals leave the folder alone.
TEST(ConsoleCommandLineTest, HelpAndRefusedArgumentsExitWithTheirCodes) {
    // A copy, so that a command line taken for a run updates a scratch folder, not the build.
    ScratchFolder scratch("console-cli");
    const std::wstring launcher = scratch / FileNameOfPath(HostPath(VELKA_LAUNCHER_EXE));
    ASSERT_TRUE(CopyOneFile(HostPath(VELKA_LAUNCHER_EXE), launcher));
    MarkExecutable(launcher);
    const struct {
        const char* args;
        int exitCode;
        const char* out;
        const char* err;
    } cases[] = {
        {"--help", 0, "usage: velka-launcher [--no-start] [--max-speed KBPS] [gameupdate]", ""},
        {"--no-start -h", 0, "usage: velka-launcher", ""},
        {"--bogus", 2, "", "velka-launcher: unknown argument --bogus"},
        {"gameupdate extra", 2, "", "velka-launcher: unknown argument extra"},
        {"--no-start=1", 2, "", "velka-launcher: unknown argument --no-start=1"},
        {"--max-speed fast", 2, "", "velka-launcher: unknown argument"},
        {"--max-speed -5", 2, "", "velka-launcher: unknown argument"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args);
        EXPECT_EQ(c.exitCode,
                  RunProgram(launcher, c.args, scratch / L"out.txt", scratch / L"err.txt"));
        EXPECT_NE(std::string::npos, Contents(scratch / L"out.txt").find(c.out));
        EXPECT_NE(std::string::npos, Contents(scratch / L"err.txt").find(c.err));
        EXPECT_FALSE(DirectoryExists(scratch / L"Log")) << "the command line started a run";
    }
}

// Launcher 1.0.0 against a mirror publishing 2.0.0 (the same program, marked by trailing bytes):
// the crash reporter is shut down before the process ends for the script.
TEST(ConsoleSelfUpdateTest, OneStartReplacesTheLauncherAndTheNewOneUpdatesTheGame) {
    const std::wstring built = HostPath(VELKA_LAUNCHER_EXE);
    const std::wstring exe = FileNameOfPath(built);
    const std::wstring sampleGame =
        JoinPath(ModuleDirectory(), kWindowsHost ? L"velka_sample_game.exe" : L"velka_sample_game");
    ScratchFolder work("e2e_selfupd");
    const std::wstring install = work / L"install", mirror = work / L"mirror";
    const std::string newBuild = Contents(built) + "\nVELKA-NEW-LAUNCHER-BUILD\n";
    ASSERT_TRUE(WriteTree(work.Path(), {{"game/velka_win/velka.exe", Contents(sampleGame)},
                                        {"game/velka_win/data/level1.pak", std::string(5000, 'L')},
                                        {"build/" + ToNarrow(exe), newBuild}}));
    MarkExecutable(work / L"game/velka_win/velka.exe");
    MarkExecutable(work / (L"build/" + exe));
    TestServer server;
    std::ostringstream out, err;
    ASSERT_EQ(kPublishOk,
              RunPublishCommand(
                  {"--game", ToNarrow(work / L"game"), "--out", ToNarrow(mirror), "--mirror",
                   server.BaseUrl(), "--increment-version", "1.0.0", "--zip-version", "1.0.0",
                   "--launcher-version", "2.0.0", "--launcher-dir", ToNarrow(work / L"build")},
                  out, err))
        << err.str();
    server.ServeFolder(mirror);
    ASSERT_TRUE(WriteTree(
        install, {{ToNarrow(exe), Contents(built)},
                  {"Config/launcherconfig.txt",
                   "launcherVersion=1.0.0\nremoteURLs=" + server.BaseUrl() + "Launcher/\n"}}));
    MarkExecutable(JoinPath(install, exe));
    ASSERT_TRUE(CopyOneFile(HostPath(VELKA_FAKE_DUMPER), DumperLibraryPath(install)));

    const std::wstring dumperLog = work / L"dumper.log";
    EXPECT_EQ(0, RunProgram(JoinPath(install, exe), "--no-start", work / L"run.out",
                            work / L"run.err", "VELKA_FAKE_DUMPER_LOG", dumperLog));
    EXPECT_EQ("", Contents(work / L"run.err"));
    const std::wstring dayLog = install + L"/Log/" + ToWide(TodayString()) + L".txt";
    ASSERT_TRUE(WaitFor(
        [&] {
            return Contents(dayLog).find("Launcher process finish, can start game process") !=
                       std::string::npos &&
                   !FileExists(JoinPath(install, UpdaterScriptName(kNativeScriptLanguage))) &&
                   Count(Contents(dumperLog), "UnInitDumper") == 2;
        },
        120))
        << Contents(dayLog) << Contents(dumperLog);

    EXPECT_EQ(newBuild, Contents(JoinPath(install, exe)));
    EXPECT_TRUE(kWindowsHost || IsExecutableFile(JoinPath(install, exe)));
    EXPECT_EQ(Contents(mirror + L"/Launcher/launcherconfig.txt"),
              Contents(install + L"/Config/launcherconfig.txt"));
    EXPECT_EQ(std::string(5000, 'L'), Contents(install + L"/Game/velka_win/data/level1.pak"));
    EXPECT_FALSE(DirectoryExists(install + L"/Temp"));
    EXPECT_EQ(1u, Count(Contents(dayLog), "=========Launcher self-update process"));
    EXPECT_EQ(1u, Count(Contents(dayLog), "Local launcher version : 2.0.0"));
    // Each launcher configured, initialised and shut down the crash reporter once.
    const std::string calls =
        "SetConfig|6|internal_us\nInitDumperTessaray|7c3e90d4|3.1.2034|\nUnInitDumper\n";
    EXPECT_EQ(calls + calls, Contents(dumperLog));
    // The old launcher fetched the package and nothing of the game; the new one no package.
    std::vector<std::string> paths;
    for (const RecordedRequest& r : server.Requests()) paths.push_back(r.path);
    const auto package =
        std::find(paths.begin(), paths.end(), "/Launcher/2.0.0/launcher_2.0.0.zip");
    ASSERT_NE(paths.end(), package);
    EXPECT_EQ(1, std::count(package, paths.end(), *package));
    EXPECT_EQ(0, std::count(paths.begin(), package, "/Launcher/serverconfig.txt"));
    EXPECT_EQ(2, std::count(paths.begin(), paths.end(), "/Launcher/launcherconfig.txt"));
    EXPECT_TRUE(WaitFor([&] { return FileExists(install + L"/Game/velka_win/started.txt"); }, 30));
}

}  // namespace
}  // namespace velka
