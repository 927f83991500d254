// The progress view model on a clock the test moves, and its console rendering.
#include "app/portable/progress_view.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "app/portable/console_progress.h"
#include "patcher/player_texts.h"
#include "platform/fs.h"
#include "platform/text.h"
#include "support/fixtures.h"
#include "support/scratch_log.h"

namespace velka {
namespace {

constexpr int64_t M = 1048576;
constexpr PatcherState F = PatcherState::DownloadingFiles, P = PatcherState::DownloadingPackages,
                       X = PatcherState::Extracting;

// The bar line's pieces after the stage name joined by '|', and the bar's fill (short of the end).
TEST(ComposeBarPiecesTest, BuildsTheLineAndTheFill) {
    const struct {
        PatcherState state;
        int64_t done, total;
        const wchar_t* text;
        float fill;
    } cases[] = {
        {F, 12 * M + M / 2, 345 * M, L"[12M/345M] (|3%|)  速度1.25MB/s", 12.5f / 345},
        {X, 100 * M, 100 * M, L"[100M/100M] (|100%|)", 0.995f},
        {P, M - 1, 0, L"[0M/1M] (|0%|)  速度1.25MB/s", 0},
        {F, -2 * M, 2 * M, L"[0M/2M] (|0%|)  速度1.25MB/s", 0},
        {PatcherState::CheckingFiles, M, 2 * M, L"||", 0.5f},
    };
    for (const auto& c : cases) {
        const BarPieces p = ComposeBarPieces(c.state, c.done, c.total, 1.25, false);
        const size_t cut = std::min(p.first.find(L'['), p.first.size());
        EXPECT_EQ(p.first.substr(cut) + L"|" + p.second + L"|" + p.third, c.text);
        ProgressBarModel bar;
        bar.lastDone = c.done;
        bar.lastTotal = c.total;
        EXPECT_FLOAT_EQ(bar.FillRatio(), c.fill) << c.text;
    }
}

// `repeat` ticks `ms` apart at `done` + `add` * (tick - 1) bytes of 40 MiB; then the bar reads
// `bar`.
struct Step {
    int repeat;
    int64_t ms;
    PatcherState state;
    int64_t done, add;
    const wchar_t* bar;
};

void RunSteps(int64_t speedLimit, const std::vector<Step>& steps) {
    PatcherStatus status;
    ProgressView view(status, L"unused");
    view.SetSpeedLimit(speedLimit);
    status.SetMessage(L"");
    status.bytesTotal = 40 * M;
    int64_t now = 1700000000000;
    for (size_t i = 0; i < steps.size(); ++i) {
        status.SetState(steps[i].state);
        for (int tick = 0; tick < steps[i].repeat; ++tick) {
            status.bytesDone = steps[i].done + steps[i].add * tick;
            view.TickAt(now += steps[i].ms);
        }
        EXPECT_EQ(view.bar().pieces.Text(), steps[i].bar) << "step " << i;
    }
}

// Speed sampled at most every 500 ms; the reconnect notice after 15 s under 0.02 MiB/s (or half a
// lower speed limit), not for a suspended machine's gap, never while extracting.
TEST(ProgressViewTest, MeasuresTheSpeedAndWatchesForStalls) {
    const int64_t B = 11 * M + M / 2;
    const wchar_t* lost = kNetworkLostText;
    RunSteps(0, {{1, 0, F, 0, 0, L"正在進行擴充更新[0M/40M] (0%)  速度0.00MB/s"},
                 {1, 1000, F, 3 * M / 2, 0, L"正在進行擴充更新[1M/40M] (2%)  速度1.50MB/s"},
                 {1, 500, F, 10 * M, 0, L"正在進行擴充更新[10M/40M] (25%)  速度1.50MB/s"},
                 {1, -3600000, F, 10 * M, 0, L"正在進行擴充更新[10M/40M] (25%)  速度1.50MB/s"},
                 {1, 1000, F, B, 0, L"正在進行擴充更新[11M/40M] (27%)  速度10.00MB/s"},
                 {1, 600000, F, B, 0, L"正在進行擴充更新[11M/40M] (27%)  速度0.00MB/s"},
                 {14, 1000, F, B, 0, L"正在進行擴充更新[11M/40M] (27%)  速度0.00MB/s"},
                 {1, 1000, F, B, 0, lost},
                 {1, 1000, F, B + 20972, 0, L"正在進行擴充更新[11M/40M] (27%)  速度0.02MB/s"},
                 {1, 1000, F, B + 20972, 0, L"正在進行擴充更新[11M/40M] (27%)  速度0.00MB/s"}});
    RunSteps(8192, {{1, 0, P, M, 0, L"正在進行整包下載[1M/40M] (2%)  速度0.00MB/s"},
                    {20, 1000, P, M + 8192, 8192, L"正在進行整包下載[1M/40M] (2%)  速度0.01MB/s"},
                    {15, 1000, P, M + 163840 + 4095, 4095, lost},
                    {1, 100, X, 0, 0, L"正在解壓[0M/40M] (0%)"},
                    {30, 1000, X, 0, 0, L"正在解壓[0M/40M] (0%)"}});
}

// The end, reacted to once: Finished starts the game, Failed on a click; start errors are shown.
TEST(ProgressViewTest, TheEndOffersTheStart) {
    testing_support::ScratchFolder scratch("view");
    const std::filesystem::path saved = std::filesystem::current_path();  // StartGame moves it
    const std::wstring sample =
        JoinPath(ModuleDirectory(),
                 testing_support::kWindowsHost ? L"velka_sample_game.exe" : L"velka_sample_game");
    const struct {
        const char* game;  // "sample": the sample game; null: none
        bool failed;
        const wchar_t* error;
    } cases[] = {{"sample", false, L""},
                 {"sample", true, L""},
                 {nullptr, false, kGameNotFoundText},
                 {"not a program", false, kGameStartFailedText}};
    for (const auto& c : cases) {
        if (c.error == kGameStartFailedText && testing_support::kWindowsHost) continue;
        SCOPED_TRACE(std::string(c.game ? c.game : "none") + (c.failed ? ", failed" : ""));
        const bool starts = c.game && !*c.error;
        PatcherStatus status;
        ProgressView view(status, scratch / ToWide(std::to_string(&c - cases)));
        const std::wstring exe = view.GameExecutable();
        ASSERT_TRUE(!c.game || (CreateDirectories(exe) &&
                                (starts ? CopyOneFile(sample, exe) : WriteFileBytes(exe, c.game))));
        status.SetMessage(L"");
        status.SetState(P);
        EXPECT_FALSE(view.TickAt(1, true).gameStarted) << "no start before the end";
        EXPECT_TRUE(view.bar().shown && view.statusText().empty());

        const std::wstring message = c.failed ? L"下載失敗 CURLCODE(7)" : L"更新完成";
        status.SetMessage(message);
        status.SetState(c.failed ? PatcherState::Failed : PatcherState::Finished);
        ViewRequests r = view.TickAt(2);
        EXPECT_TRUE(r.enableStartButton && r.flashWindow && r.bringToFront && r.redrawLowerPanel &&
                    r.eraseLowerPanel && !view.bar().shown);
        EXPECT_EQ(r.gameStarted, starts && !c.failed) << ToNarrow(view.errorText());
        EXPECT_EQ(view.statusText() + L"|" + view.errorText(), message + L"|" + c.error);
        EXPECT_EQ(view.failureShown(), c.failed);
        r = view.TickAt(3);
        EXPECT_FALSE(r.flashWindow || r.gameStarted || r.redrawLowerPanel) << "reacted to once";
        EXPECT_EQ(view.errorText(), L"");
        r = view.TickAt(4, c.failed || !starts);
        EXPECT_EQ(r.gameStarted, c.failed) << ToNarrow(view.errorText());
        EXPECT_EQ(r.redrawLowerPanel, !starts);
        EXPECT_EQ(view.errorText(), c.error);
    }
    std::filesystem::current_path(saved);  // Windows cannot remove a folder in use
}

// The bar in place every 250 ms on a terminal or as a line every 2 s, its last figures at the end.
TEST(ConsoleProgressTest, PrintsTheViewAtItsPace) {
    const std::wstring b[] = {L"正在進行整包下載[0M/100M] (0%)  速度0.00MB/s",
                              L"正在進行整包下載[3M/100M] (3%)  速度0.00MB/s",
                              L"正在進行整包下載[20M/100M] (20%)  速度10.00MB/s",
                              L"正在進行整包下載[21M/100M] (21%)  速度10.00MB/s"};
    const std::wstring head = L"正在進行程序初始化\n版本號: V1.0.1\n";
    const std::wstring tail = L"正在進行重命名操作\n!" + std::wstring(kGameNotFoundText) + L"\n";
    for (const bool terminal : {true, false}) {
        PatcherStatus status;
        ProgressView view(status, L"unused");
        std::wstring out;
        ConsoleProgress console(view, ConsoleProgress::Options{terminal},
                                [&](ConsoleStream stream, const std::wstring& text) {
                                    out += (stream == ConsoleStream::Err ? L"!" : L"") + text;
                                });
        const int64_t start = 1700000000000;
        console.Begin();
        status.SetVersionLabel(L"版本號: V1.0.1");
        console.Tick(start);
        status.SetMessage(L"");
        status.SetState(P);
        status.bytesTotal = 100 * M;
        for (const int64_t ms : {50, 100, 300, 400, 2050, 2100}) {
            status.bytesDone = ms / 100 * M;
            console.Tick(start + ms);
        }
        status.SetMessage(L"正在進行重命名操作");
        console.Tick(start + 2150);
        status.SetState(PatcherState::Finished);
        console.Tick(start + 2200);
        const std::wstring expected =
            terminal ? head + L"\r" + b[0] + L"\x1b[K\r" + b[1] + L"\x1b[K\r" + b[2] + L"\x1b[K\r" +
                           b[3] + L"\x1b[K\n" + tail
                     : head + b[0] + L"\n" + b[2] + L"\n" + b[3] + L"\n" + tail;
        EXPECT_EQ(ToNarrow(out), ToNarrow(expected)) << terminal;
    }
}

}  // namespace
}  // namespace velka
