// The built console launcher as a real process: its command line, and a real self-update.
#include <gtest/gtest.h>

#include <sstream>
#include <tuple>

#include "app/portable/crash_reporter.h"
#include "publish/publish_cli.h"
#include "support/fixtures.h"
#include "support/scratch_log.h"
#include "support/test_server.h"

namespace velka {
namespace {

using namespace testing_support;

// Help and refused arguments exit with their codes and texts before anything is touched.
TEST(ConsoleCommandLineTest, HelpAndRefusedArgumentsExitWithTheirCodes) {
    ScratchFolder scratch("console-cli");  // a copy: a line taken for a run touches only scratch
    const std::wstring launcher = scratch / FileNameOfPath(HostPath(VELKA_LAUNCHER_EXE));
    ASSERT_TRUE(CopyOneFile(HostPath(VELKA_LAUNCHER_EXE), launcher) && MarkExecutable(launcher));
    const std::string unknown = "velka-launcher: unknown argument ";
    const std::tuple<const char*, int, std::string> runs[] = {
        {"--help", 0, "usage: velka-launcher [--no-start] [--max-speed KBPS] [gameupdate]"},
        {"--no-start -h", 0, "usage: velka-launcher"},
        {"--bogus", 2, unknown + "--bogus"},
        {"gameupdate extra", 2, unknown + "extra"},
        {"--no-start=1", 2, unknown + "--no-start=1"},
        {"--max-speed fast", 2, unknown},
        {"--max-speed -5", 2, unknown}};
    for (const auto& [args, code, text] : runs) {
        SCOPED_TRACE(args);
        EXPECT_EQ(code, RunProgram(launcher, args, scratch / L"out", scratch / L"err"));
        EXPECT_EQ(1u, Count(Contents(scratch / (code ? L"err" : L"out")), text));
        EXPECT_FALSE(DirectoryExists(scratch / L"Log")) << "the command line started a run";
    }
}

// Launcher 1.0.0 meets 2.0.0 (itself plus trailing bytes) on the mirror: one start replaces it
// through the real script, the crash reporter shut down first; the new one updates the game.
TEST(ConsoleSelfUpdateTest, OneStartReplacesTheLauncherAndTheNewOneUpdatesTheGame) {
    ScratchFolder work("console-selfupd");
    const std::wstring built = HostPath(VELKA_LAUNCHER_EXE), exe = FileNameOfPath(built);
    const std::wstring install = work / L"install", launcher = JoinPath(install, exe);
    const std::string newBuild = Contents(built) + "\nVELKA-NEW-LAUNCHER-BUILD\n";
    TestServer server;
    ASSERT_TRUE(WriteTree(
        work.Path(), {{"game/velka_win/velka.exe", "game"},
                      {"build/" + ToNarrow(exe), newBuild},
                      {"install/" + ToNarrow(exe), Contents(built)},
                      {"install/Config/launcherconfig.txt",
                       "launcherVersion=1.0.0\nremoteURLs=" + server.BaseUrl() + "Launcher/\n"}}));
    ASSERT_TRUE(MarkExecutable(work / (L"build/" + exe)) && MarkExecutable(launcher) &&
                CopyOneFile(HostPath(VELKA_FAKE_DUMPER), DumperLibraryPath(install)));
    std::ostringstream out, err;
    ASSERT_EQ(kPublishOk, RunPublishCommand({"--game", ToNarrow(work / L"game"), "--out",
                                             ToNarrow(work / L"mirror"), "--mirror",
                                             server.BaseUrl(), "--increment-version", "1.0.0",
                                             "--zip-version", "1.0.0", "--launcher-version",
                                             "2.0.0", "--launcher-dir", ToNarrow(work / L"build")},
                                            out, err))
        << err.str();
    server.ServeFolder(work / L"mirror");
    EXPECT_EQ(0, RunProgram(launcher, "--no-start", work / L"out", work / L"err",
                            "VELKA_FAKE_DUMPER_LOG", work / L"dumper.log"));
    EXPECT_EQ("", Contents(work / L"err"));
    // Each launcher configured, initialised and shut down the crash reporter once.
    const std::string calls =
        "SetConfig|6|internal_us\nInitDumperTessaray|7c3e90d4|3.1.2034|\nUnInitDumper\n";
    ASSERT_TRUE(WaitFor([&] { return Contents(work / L"dumper.log") == calls + calls; }, 120))
        << Contents(work / L"dumper.log");
    EXPECT_EQ(newBuild, Contents(launcher));
    EXPECT_TRUE(kWindowsHost || IsExecutableFile(launcher));
    EXPECT_EQ(Contents(work / L"mirror/Launcher/launcherconfig.txt"),
              Contents(install + L"/Config/launcherconfig.txt"));
    EXPECT_EQ("game", Contents(install + L"/Game/velka_win/velka.exe"));
    EXPECT_EQ(1u, server.CountRequests("/Launcher/2.0.0/launcher_2.0.0.zip"));
    EXPECT_EQ(1u, server.CountRequests("/Launcher/serverconfig.txt")) << "by the new one only";
}

}  // namespace
}  // namespace velka
