// The built console launcher as a real process: its command line, and a real self-update.
#include <gtest/gtest.h>

#include <sstream>
#include <tuple>

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

// Help and refused arguments exit with their codes and texts before anything is touched.
TEST(ConsoleCommandLineTest, HelpAndRefusedArgumentsExitWithTheirCodes) {
    ScratchFolder scratch("console-cli");  // a copy: a line taken for a run updates the scratch
    const std::wstring launcher = scratch / FileNameOfPath(HostPath(VELKA_LAUNCHER_EXE));
    ASSERT_TRUE(CopyOneFile(HostPath(VELKA_LAUNCHER_EXE), launcher));
    MarkExecutable(launcher);
    const std::string usage = "usage: velka-launcher [--no-start] [--max-speed KBPS] [gameupdate]";
    const std::string unknown = "velka-launcher: unknown argument ";
    for (const auto& [args, exitCode, out, err] :
         {std::make_tuple("--help", 0, usage, std::string()),
          std::make_tuple("--no-start -h", 0, usage, std::string()),
          std::make_tuple("--bogus", 2, std::string(), unknown + "--bogus"),
          std::make_tuple("gameupdate extra", 2, std::string(), unknown + "extra"),
          std::make_tuple("--no-start=1", 2, std::string(), unknown + "--no-start=1"),
          std::make_tuple("--max-speed fast", 2, std::string(), unknown),
          std::make_tuple("--max-speed -5", 2, std::string(), unknown)}) {
        SCOPED_TRACE(args);
        EXPECT_EQ(exitCode, RunProgram(launcher, args, scratch / L"out", scratch / L"err"));
        EXPECT_NE(std::string::npos, Contents(scratch / L"out").find(out));
        EXPECT_NE(std::string::npos, Contents(scratch / L"err").find(err));
        EXPECT_FALSE(DirectoryExists(scratch / L"Log")) << "the command line started a run";
    }
}

// Launcher 1.0.0 meets 2.0.0 (the same program with trailing bytes) on the mirror: one start
// replaces it through the real script, shutting the crash reporter down first, and the new
// launcher brings the game up to date and starts it.
TEST(ConsoleSelfUpdateTest, OneStartReplacesTheLauncherAndTheNewOneUpdatesTheGame) {
    const std::wstring built = HostPath(VELKA_LAUNCHER_EXE), exe = FileNameOfPath(built);
    ScratchFolder work("e2e_selfupd");
    const std::wstring install = work / L"install", mirror = work / L"mirror";
    const std::string newBuild = Contents(built) + "\nVELKA-NEW-LAUNCHER-BUILD\n";
    const std::wstring game =
        JoinPath(ModuleDirectory(), ToWide("velka_sample_game") + (kWindowsHost ? L".exe" : L""));
    ASSERT_TRUE(WriteTree(work.Path(), {{"game/velka_win/velka.exe", Contents(game)},
                                        {"game/velka_win/data/level1.pak", "level one"},
                                        {"build/" + ToNarrow(exe), newBuild},
                                        {"install/" + ToNarrow(exe), Contents(built)}}));
    for (const std::wstring& file :
         {std::wstring(L"game/velka_win/velka.exe"), L"build/" + exe, L"install/" + exe}) {
        MarkExecutable(work / file);
    }
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
        install, {{"Config/launcherconfig.txt",
                   "launcherVersion=1.0.0\nremoteURLs=" + server.BaseUrl() + "Launcher/\n"}}));
    ASSERT_TRUE(CopyOneFile(HostPath(VELKA_FAKE_DUMPER), DumperLibraryPath(install)));

    const std::wstring dumperLog = work / L"dumper.log";
    EXPECT_EQ(0, RunProgram(JoinPath(install, exe), "--no-start", work / L"out", work / L"err",
                            "VELKA_FAKE_DUMPER_LOG", dumperLog));
    EXPECT_EQ("", Contents(work / L"err"));
    const std::wstring dayLog = install + L"/Log/" + ToWide(TodayString()) + L".txt";
    ASSERT_TRUE(WaitFor([&] { return FileExists(install + L"/Game/velka_win/started.txt"); }, 120))
        << Contents(dayLog);
    // Each launcher configured, initialised and shut down the crash reporter once.
    const std::string calls =
        "SetConfig|6|internal_us\nInitDumperTessaray|7c3e90d4|3.1.2034|\nUnInitDumper\n";
    EXPECT_TRUE(WaitFor([&] { return Contents(dumperLog) == calls + calls; }, 30))
        << Contents(dumperLog);
    EXPECT_EQ(newBuild, Contents(JoinPath(install, exe)));
    EXPECT_TRUE(kWindowsHost || IsExecutableFile(JoinPath(install, exe)));
    EXPECT_EQ(Contents(mirror + L"/Launcher/launcherconfig.txt"),
              Contents(install + L"/Config/launcherconfig.txt"));
    EXPECT_EQ("level one", Contents(install + L"/Game/velka_win/data/level1.pak"));
    EXPECT_EQ(1u, Count(Contents(dayLog), "=========Launcher self-update process"));
    EXPECT_EQ(1u, Count(Contents(dayLog), "Local launcher version : 2.0.0"));
    EXPECT_EQ(1u, server.CountRequests("/Launcher/2.0.0/launcher_2.0.0.zip"));
}

}  // namespace
}  // namespace velka
