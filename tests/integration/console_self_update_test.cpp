// End to end: the built console launcher, installed at an older version in a scratch folder,
// against a mirror published with a newer launcher package. One start replaces the launcher
// through the real replacement script (cmd.exe under Windows and Wine, /bin/sh elsewhere) and
// exits; the new launcher the script starts then brings the game up to date.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <sstream>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "app/portable/crash_reporter.h"
#include "patcher/self_update.h"
#include "platform/fs.h"
#include "platform/text.h"
#include "publish/publish_cli.h"
#include "support/scratch_log.h"
#include "support/test_server.h"
#include "util/dates.h"

#ifndef VELKA_LAUNCHER_EXE
#define VELKA_LAUNCHER_EXE ""
#endif

namespace velka {
namespace {

using testing_support::RecordedRequest;
using testing_support::ScratchFolder;
using testing_support::TestServer;

const bool kWindowsHost = kPathSeparator == L'\\';
// Trailing bytes leave an executable runnable (ELF and PE alike ignore them) and tell the new
// build from the installed one.
const char kNewBuildMark[] = "\nVELKA-NEW-LAUNCHER-BUILD\n";

std::wstring HostPath(std::string path) {
    if (kWindowsHost && !path.empty() && path.front() == '/') {
        std::replace(path.begin(), path.end(), '/', '\\');
        path = "Z:" + path;
    }
    return ToWide(path);
}

std::string Contents(const std::wstring& path) {
    std::string text;
    ReadFileBytes(path, &text);
    return text;
}

bool WaitFor(const std::function<bool()>& done, int seconds) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (std::chrono::steady_clock::now() < deadline) {
        if (done()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return done();
}

size_t Count(const std::string& text, const std::string& part) {
    size_t count = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
        ++count;
    }
    return count;
}

// Runs `exe` with `args`, the environment variable set, output into files; the exit status.
int RunProgram(const std::wstring& exe, const std::string& args, const std::string& variable,
               const std::wstring& value, const std::wstring& out, const std::wstring& err) {
    std::string command;
    if (kWindowsHost) {
        command = "set \"" + variable + "=" + ToNarrow(value) + "\" && \"" + ToNarrow(exe) + "\" " +
                  args + " > \"" + ToNarrow(out) + "\" 2> \"" + ToNarrow(err) + "\"";
        // cmd.exe strips the first and the last quote of a command that begins with one.
        command = "\"" + command + "\"";
    } else {
        command = variable + "='" + ToNarrow(value) + "' '" + ToNarrow(exe) + "' " + args + " > '" +
                  ToNarrow(out) + "' 2> '" + ToNarrow(err) + "'";
    }
    return std::system(command.c_str());
}

// The command line is read before anything is touched: help and refusals leave the folder alone.
TEST(ConsoleCommandLineTest, HelpAndRefusedArgumentsExitWithTheirCodes) {
    const std::wstring built = HostPath(VELKA_LAUNCHER_EXE);
    if (built.empty() || !FileExists(built)) GTEST_SKIP() << "no console launcher built";
    // A copy, so that a command line taken for a run updates a scratch folder, not the build.
    ScratchFolder scratch("console-cli");
    const std::wstring launcher = scratch / FileNameOfPath(built);
    ASSERT_TRUE(CopyOneFile(built, launcher));
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
        const int status = RunProgram(launcher, c.args, "VELKA_UNUSED", L"1", scratch / L"out.txt",
                                      scratch / L"err.txt");
        // std::system gives the exit code itself on Windows, a wait status elsewhere.
        EXPECT_EQ(kWindowsHost ? status : (status >> 8) & 0xFF, c.exitCode);
        EXPECT_NE(Contents(scratch / L"out.txt").find(c.out), std::string::npos);
        EXPECT_NE(Contents(scratch / L"err.txt").find(c.err), std::string::npos)
            << Contents(scratch / L"err.txt");
        EXPECT_FALSE(DirectoryExists(scratch / L"Log")) << "the command line started a run";
    }
}

TEST(ConsoleSelfUpdateTest, OneStartReplacesTheLauncherAndTheNewOneUpdatesTheGame) {
    const std::wstring builtLauncher = HostPath(VELKA_LAUNCHER_EXE);
    if (builtLauncher.empty() || !FileExists(builtLauncher)) {
        GTEST_SKIP() << "no console launcher built";
    }
    const std::wstring exeName = FileNameOfPath(builtLauncher);
    const std::wstring sampleGame =
        JoinPath(ModuleDirectory(), kWindowsHost ? L"velka_sample_game.exe" : L"velka_sample_game");
    ScratchFolder work("e2e_selfupd");
    const std::wstring game = work / L"game";
    const std::wstring launcherBuild = work / L"launcher-build";
    const std::wstring mirror = work / L"mirror";
    const std::wstring install = work / L"install";
    const std::wstring dumperLog = work / L"dumper.log";

    // The game: the sample game as velka.exe when it was built, a text stand-in otherwise.
    ASSERT_TRUE(CreateDirectories(game + L"/velka_win/data/"));
    if (FileExists(sampleGame)) {
        ASSERT_TRUE(CopyOneFile(sampleGame, game + L"/velka_win/velka.exe"));
        MarkExecutable(game + L"/velka_win/velka.exe");
    } else {
        ASSERT_TRUE(WriteFileBytes(game + L"/velka_win/velka.exe", "game"));
    }
    ASSERT_TRUE(WriteFileBytes(game + L"/velka_win/data/level1.pak", std::string(5000, 'L')));

    // The new launcher build: the same program, marked.
    ASSERT_TRUE(CreateDirectories(launcherBuild + kPathSeparator));
    const std::wstring newLauncher = JoinPath(launcherBuild, exeName);
    const std::string newBytes = Contents(builtLauncher) + kNewBuildMark;
    ASSERT_TRUE(WriteFileBytes(newLauncher, newBytes));
    MarkExecutable(newLauncher);

    TestServer server;
    std::ostringstream publishOut;
    std::ostringstream publishErr;
    ASSERT_EQ(kPublishOk,
              RunPublishCommand(
                  {"--game", ToNarrow(game), "--out", ToNarrow(mirror), "--mirror",
                   server.BaseUrl(), "--increment-version", "1.0.0", "--zip-version", "1.0.0",
                   "--launcher-version", "2.0.0", "--launcher-dir", ToNarrow(launcherBuild)},
                  publishOut, publishErr))
        << publishErr.str();
    server.ServeFolder(mirror);

    // The installation: launcher 1.0.0, the crash-dump stand-in beside it, no game yet.
    ASSERT_TRUE(CreateDirectories(install + L"/Config/"));
    const std::wstring installed = JoinPath(install, exeName);
    ASSERT_TRUE(CopyOneFile(builtLauncher, installed));
    MarkExecutable(installed);
    ASSERT_TRUE(CopyOneFile(HostPath(VELKA_FAKE_DUMPER), DumperLibraryPath(install)));
    ASSERT_TRUE(
        WriteFileBytes(install + L"/Config/launcherconfig.txt",
                       "launcherVersion=1.0.0\nremoteURLs=" + server.BaseUrl() + "Launcher/\n"));

    const int status = RunProgram(installed, "--no-start", "VELKA_FAKE_DUMPER_LOG", dumperLog,
                                  work / L"run.out", work / L"run.err");
    EXPECT_EQ(0, status) << Contents(work / L"run.err");
    EXPECT_EQ("", Contents(work / L"run.err"));

    // The script swaps the files and starts the new launcher, which updates the game, starts it
    // and ends.
    const std::wstring dayLog = install + L"/Log/" + ToWide(TodayString()) + L".txt";
    const std::wstring scriptPath = JoinPath(install, UpdaterScriptName(kNativeScriptLanguage));
    const bool finished = WaitFor(
        [&] {
            return Contents(dayLog).find(
                       "Launcher process finish, can start game process at any time") !=
                       std::string::npos &&
                   !FileExists(scriptPath) && Count(Contents(dumperLog), "UnInitDumper") == 2;
        },
        120);
    const std::string log = Contents(dayLog);
    ASSERT_TRUE(finished) << "log:\n" << log << "\ndumper:\n" << Contents(dumperLog);

    EXPECT_EQ(newBytes, Contents(installed)) << "the launcher was replaced by the new build";
    if (!kWindowsHost) {
        EXPECT_TRUE(IsExecutableFile(installed));
    }
    EXPECT_EQ(Contents(mirror + L"/Launcher/launcherconfig.txt"),
              Contents(install + L"/Config/launcherconfig.txt"))
        << "the published launcher configuration is installed";
    EXPECT_EQ(std::string(5000, 'L'), Contents(install + L"/Game/velka_win/data/level1.pak"));
    EXPECT_FALSE(DirectoryExists(install + L"/Temp"));
    EXPECT_EQ(1u, Count(log, "=========Launcher self-update process")) << "no second self-update:\n"
                                                                       << log;
    EXPECT_NE(log.find("Local launcher version : 2.0.0"), std::string::npos) << log;

    // The first run fetched the launcher package and nothing of the game; the new launcher
    // fetched no package again.
    const std::vector<RecordedRequest> requests = server.Requests();
    std::vector<std::string> paths;
    for (const RecordedRequest& r : requests) paths.push_back(r.path);
    const auto package =
        std::find(paths.begin(), paths.end(), "/Launcher/2.0.0/launcher_2.0.0.zip");
    const auto serverConfig = std::find(paths.begin(), paths.end(), "/Launcher/serverconfig.txt");
    ASSERT_NE(paths.end(), package);
    ASSERT_NE(paths.end(), serverConfig);
    EXPECT_EQ(1, std::count(paths.begin(), paths.end(), *package));
    EXPECT_EQ(2, std::count(paths.begin(), paths.end(), "/Launcher/launcherconfig.txt"));
    const auto secondConfig =
        std::find(package, paths.end(), std::string("/Launcher/launcherconfig.txt"));
    EXPECT_TRUE(secondConfig != paths.end() && secondConfig < serverConfig)
        << "the game was checked only by the new launcher";

    // Each launcher configured, initialised and shut the crash reporter down; the old one
    // just before its self-update ended the process.
    const std::string calls =
        "SetConfig|6|internal_us\nInitDumperTessaray|7c3e90d4|3.1.2034|\n"
        "UnInitDumper\n";
    EXPECT_EQ(calls + calls, Contents(dumperLog));

    // The new launcher started the game after the update.
    if (FileExists(sampleGame)) {
        EXPECT_TRUE(
            WaitFor([&] { return FileExists(install + L"/Game/velka_win/started.txt"); }, 30));
    }
}

}  // namespace
}  // namespace velka
