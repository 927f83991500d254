// velka-launcher: the update engine behind a console. Run from its install folder like the
// window: it brings the launcher and the game beside it up to date, shows the same status texts
// and a progress line, starts the game when the run finishes, and exits 0 (finished) or 1
// (failed, the reason on stderr).
//
//   velka-launcher [--no-start] [--max-speed KBPS] [gameupdate]
#include <CLI/CLI.hpp>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>

#include "app/portable/console_progress.h"
#include "app/portable/crash_reporter.h"
#include "app/portable/launcher_startup.h"
#include "app/portable/progress_view.h"
#include "patcher/patcher.h"
#include "platform/console.h"
#include "platform/fs.h"
#include "platform/text.h"
#include "transfer/network_settings.h"

namespace velka {
namespace {

constexpr auto kTick = std::chrono::milliseconds(50);

// Starts the crash reporter and shuts it down on every way out of Main; a self-update leaves
// through its own process end instead.
class CrashReporterSession {
  public:
    CrashReporterSession() { StartCrashReporter(); }
    ~CrashReporterSession() { ShutdownCrashReporter(); }
    CrashReporterSession(const CrashReporterSession&) = delete;
    CrashReporterSession& operator=(const CrashReporterSession&) = delete;
};

constexpr int kUsageError = 2;

struct CommandLine {
    bool startGame = true;
    bool gameUpdate = false;
    bool help = false;
    int64_t maxSpeedKBps = -1;  // -1: not given
};

// False, with the argument that is not understood, when the command line is malformed.
bool ParseArguments(int argc, char** argv, CommandLine* line, std::string* unknown) {
    // CLI11 would take "--no-start=false" as a value for the flag; the flag takes none.
    for (int i = 1; i < argc; ++i) {
        if (std::string(argv[i]).rfind("--no-start=", 0) == 0) {
            *unknown = argv[i];
            return false;
        }
    }
    CLI::App app("velka-launcher");
    app.set_help_flag("-h,--help");
    app.allow_extras();  // the one bare word is "gameupdate"; anything else is refused below
    app.add_flag_callback("--no-start", [line] { line->startGame = false; });
    app.add_option("--max-speed", line->maxSpeedKBps)->check(CLI::NonNegativeNumber);
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp&) {
        line->help = true;
        return true;
    } catch (const CLI::ParseError& e) {
        *unknown = e.what();
        return false;
    }
    for (const std::string& word : app.remaining()) {
        if (word != "gameupdate") {
            *unknown = word;
            return false;
        }
        line->gameUpdate = true;
    }
    return true;
}

int Main(int argc, char** argv) {
    CrashReporterSession crashReporter;
    CommandLine line;
    std::string unknown;
    const bool understood = ParseArguments(argc, argv, &line, &unknown);
    if (understood && line.help) {
        ConsoleWrite(ConsoleStream::Out,
                     L"usage: velka-launcher [--no-start] [--max-speed KBPS] [gameupdate]\n"
                     L"Updates the launcher and the game installed beside it, then starts "
                     L"the game.\n"
                     L"--max-speed KBPS limits all downloads together to KBPS KB/s (0: no "
                     L"limit; overrides maxDownloadKBps of Config/network.ini).\n");
        return 0;
    }
    if (!understood) {
        ConsoleWrite(ConsoleStream::Err,
                     L"velka-launcher: unknown argument " + ToWide(unknown) + L"\n");
        return kUsageError;
    }
    const bool startGame = line.startGame;
    const bool gameUpdate = line.gameUpdate;

    const std::wstring baseDirectory = ModuleDirectory();
    TransferSettings settings = InstalledTransferSettings(baseDirectory);
    if (line.maxSpeedKBps >= 0) SetDownloadLimit(&settings, line.maxSpeedKBps);
    // The console launcher replaces its own executable, whatever it is called. The view is the
    // window's: texts, bar line, speed and reconnect notice, and the game started when the run
    // finishes.
    LauncherEngine engine =
        StartLauncherEngine(baseDirectory, settings, ToNarrow(FileNameOfPath(ModulePath())));
    Patcher* patcher = engine.patcher;
    ProgressView& view = *engine.view;
    patcher->waitForGame = gameUpdate;
    // The update thread says when it is done, so the last status is shown and the process ends
    // without waiting out a tick.
    std::mutex doneLock;
    std::condition_variable doneChanged;
    bool updateDone = false;
    std::thread updateThread([&, patcher] {
        patcher->ThreadMain();
        std::lock_guard<std::mutex> guard(doneLock);
        updateDone = true;
        doneChanged.notify_all();
    });

    view.SetStartGameOnFinish(startGame);
    ConsoleProgress::Options options;
    options.terminal = IsTerminal(ConsoleStream::Out);
    ConsoleProgress console(view, options);
    console.Begin();
    bool doneTicked = false;  // once the thread is done, ticks go back to their period
    while (!view.startOffered()) {
        {
            std::unique_lock<std::mutex> guard(doneLock);
            doneChanged.wait_for(guard, kTick, [&] { return updateDone && !doneTicked; });
            doneTicked = updateDone;
        }
        console.Tick(ProgressView::WallClockMs());
    }
    console.Finish();
    updateThread.join();

    const bool finished = patcher->Status().State() == PatcherState::Finished;
    if (!finished) ConsoleWrite(ConsoleStream::Err, patcher->Status().Message() + L"\n");
    // A game that could not be started: the reason was printed by the tick that tried.
    const int result = !finished || (startGame && !view.gameStarted()) ? 1 : 0;
    // The update thread has ended, so the engine can go (it stays only when that thread ends the
    // process itself after a self-update).
    engine.view.reset();
    delete patcher;
    return result;
}

}  // namespace
}  // namespace velka

int main(int argc, char** argv) {
    return velka::Main(argc, argv);
}
