// velka-launcher: the update engine behind a console. Run from its install folder like the
// window: it brings the launcher and the game beside it up to date, shows the same status texts
// and a progress line, starts the game when the run finishes, and exits 0 (finished) or 1
// (failed, the reason on stderr).
//
//   velka-launcher [--no-start] [gameupdate]
#include <curl/curl.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

#include "patcher/patcher.h"
#include "platform/console.h"
#include "platform/fs.h"
#include "platform/process.h"
#include "platform/text.h"

namespace velka {
namespace {

constexpr auto kTick = std::chrono::milliseconds(50);
constexpr int64_t kTerminalRedrawMs = 250;  // a few redraws a second are enough to read
constexpr int64_t kPlainLineMs = 2000;      // redirected output gets a line now and then

int64_t NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

std::wstring Mb(int64_t bytes) {
    wchar_t text[32];
    std::swprintf(text, 32, L"%.2f", static_cast<double>(bytes) / (1024.0 * 1024.0));
    return text;
}

bool ShowsProgress(PatcherState state) {
    return state == PatcherState::DownloadingFiles || state == PatcherState::DownloadingPackages ||
           state == PatcherState::Extracting;
}

std::wstring ProgressLine(const PatcherStatus& status) {
    const int64_t done = status.bytesDone.load();
    const int64_t total = status.bytesTotal.load();
    const int64_t percent = total > 0 ? done * 100 / total : 0;
    return std::to_wstring(status.filesDone.load()) + L"/" +
           std::to_wstring(status.filesTotal.load()) + L" files  " + Mb(done) + L"MB/" +
           Mb(total) + L"MB  " + std::to_wstring(percent) + L"%";
}

class ConsoleView {
public:
    explicit ConsoleView(const PatcherStatus& status)
        : status_(status), terminal_(IsTerminal(ConsoleStream::Out)) {}

    void Tick() {
        const PatcherState state = status_.State();
        const std::wstring message = status_.Message();
        if (!message.empty() && message != lastMessage_) {
            Line(message);
            lastMessage_ = message;
        }
        const std::wstring label = status_.VersionLabel();
        if (!label.empty() && label != lastLabel_) {
            Line(label);
            lastLabel_ = label;
        }
        if (message.empty() && ShowsProgress(state)) {
            lastMessage_.clear();
            const int64_t now = NowMs();
            const std::wstring progress = ProgressLine(status_);
            if (terminal_) {
                if (now - lastDrawMs_ >= kTerminalRedrawMs && progress != lastProgress_) {
                    ConsoleWrite(ConsoleStream::Out, L"\r" + progress + L"\x1b[K");
                    lineOpen_ = true;
                    lastDrawMs_ = now;
                    lastProgress_ = progress;
                }
            } else if (now - lastDrawMs_ >= kPlainLineMs && progress != lastProgress_) {
                ConsoleWrite(ConsoleStream::Out, progress + L"\n");
                lastDrawMs_ = now;
                lastProgress_ = progress;
            }
        }
    }

    void Line(const std::wstring& text) {
        CloseProgress();
        ConsoleWrite(ConsoleStream::Out, text + L"\n");
    }

    void CloseProgress() {
        if (lineOpen_) ConsoleWrite(ConsoleStream::Out, L"\n");
        lineOpen_ = false;
    }

private:
    const PatcherStatus& status_;
    const bool terminal_;
    std::wstring lastMessage_;
    std::wstring lastLabel_;
    std::wstring lastProgress_;
    int64_t lastDrawMs_ = 0;
    bool lineOpen_ = false;
};

int Main(int argc, char** argv) {
    bool startGame = true;
    bool gameUpdate = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--no-start") {
            startGame = false;
        } else if (arg == "gameupdate") {
            gameUpdate = true;
        } else if (arg == "--help" || arg == "-h") {
            ConsoleWrite(ConsoleStream::Out,
                         L"usage: velka-launcher [--no-start] [gameupdate]\n"
                         L"Updates the launcher and the game installed beside it, then starts "
                         L"the game.\n");
            return 0;
        } else {
            ConsoleWrite(ConsoleStream::Err,
                         L"velka-launcher: unknown argument " + ToWide(arg) + L"\n");
            return 2;
        }
    }

    curl_global_init(CURL_GLOBAL_ALL);
    auto* patcher = new Patcher();  // lives until the process ends, like the window's
    patcher->waitForGame = gameUpdate;
    std::thread updateThread([patcher] { patcher->ThreadMain(); });

    ConsoleView view(*patcher);
    for (;;) {
        view.Tick();
        const PatcherState state = patcher->State();
        if (state == PatcherState::Finished || state == PatcherState::Failed) break;
        std::this_thread::sleep_for(kTick);
    }
    updateThread.join();
    view.Tick();
    view.CloseProgress();

    if (patcher->State() != PatcherState::Finished) {
        ConsoleWrite(ConsoleStream::Err, patcher->Message() + L"\n");
        return 1;
    }
    if (startGame) {
        const std::wstring gameFolder = patcher->PathIn(L"Game\\velka_win");
        const std::wstring game = JoinPath(gameFolder, L"velka.exe");
        if (!FileExists(game) || !LaunchProgram(game, L"Launcher", gameFolder)) {
            ConsoleWrite(ConsoleStream::Err, L"遊戲啓動失敗: " + game + L"\n");
            return 1;
        }
    }
    return 0;
}

}  // namespace
}  // namespace velka

int main(int argc, char** argv) { return velka::Main(argc, argv); }
