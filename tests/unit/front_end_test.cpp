// The front ends' portable pieces: progress view, console progress, close settings.
#include <gtest/gtest.h>

#include <regex>

#include "app/portable/close_settings.h"
#include "app/portable/console_progress.h"
#include "app/portable/progress_view.h"
#include "patcher/player_texts.h"
#include "platform/text.h"
#include "support/fixtures.h"
#include "support/scratch_log.h"

namespace velka {
namespace {

using namespace testing_support;

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
    } cases[] = {{F, 12 * M + M / 2, 345 * M, L"[12M/345M] (|3%|)  速度1.25MB/s", 12.5f / 345},
                 {X, 100 * M, 100 * M, L"[100M/100M] (|100%|)", 0.995f},
                 {P, M - 1, 0, L"[0M/1M] (|0%|)  速度1.25MB/s", 0},
                 {F, -2 * M, 2 * M, L"[0M/2M] (|0%|)  速度1.25MB/s", 0},
                 {PatcherState::CheckingFiles, M, 2 * M, L"||", 0.5f}};
    for (const auto& c : cases) {
        const BarPieces p = ComposeBarPieces(c.state, c.done, c.total, 1.25, false);
        const size_t cut = std::min(p.first.find(L'['), p.first.size());
        EXPECT_EQ(p.first.substr(cut) + L"|" + p.second + L"|" + p.third, c.text);
        EXPECT_FLOAT_EQ((ProgressBarModel{false, {}, c.done, c.total}).FillRatio(), c.fill)
            << c.text;
    }
}

// `repeat` ticks `ms` apart at `done` + `add` * (tick - 1) bytes of 40 MiB, then the bar text.
struct Step {
    int64_t repeat, ms;
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

// Speed sampled every 500 ms+; reconnect notice after 15 s slow (not a clock jump, not extracting).
TEST(ProgressViewTest, MeasuresTheSpeedAndWatchesForStalls) {
    const int64_t B = 11 * M + M / 2;
    RunSteps(0, {{1, 0, F, 0, 0, L"正在進行擴充更新[0M/40M] (0%)  速度0.00MB/s"},
                 {1, 1000, F, 3 * M / 2, 0, L"正在進行擴充更新[1M/40M] (2%)  速度1.50MB/s"},
                 {1, 500, F, 10 * M, 0, L"正在進行擴充更新[10M/40M] (25%)  速度1.50MB/s"},
                 {1, -3600000, F, 10 * M, 0, L"正在進行擴充更新[10M/40M] (25%)  速度1.50MB/s"},
                 {1, 1000, F, B, 0, L"正在進行擴充更新[11M/40M] (27%)  速度10.00MB/s"},
                 {1, 600000, F, B, 0, L"正在進行擴充更新[11M/40M] (27%)  速度0.00MB/s"},
                 {14, 1000, F, B, 0, L"正在進行擴充更新[11M/40M] (27%)  速度0.00MB/s"},
                 {1, 1000, F, B, 0, kNetworkLostText},
                 {1, 1000, F, B + 20972, 0, L"正在進行擴充更新[11M/40M] (27%)  速度0.02MB/s"},
                 {1, 1000, F, B + 20972, 0, L"正在進行擴充更新[11M/40M] (27%)  速度0.00MB/s"}});
    RunSteps(8192, {{1, 0, P, M, 0, L"正在進行整包下載[1M/40M] (2%)  速度0.00MB/s"},
                    {20, 1000, P, M + 8192, 8192, L"正在進行整包下載[1M/40M] (2%)  速度0.01MB/s"},
                    {15, 1000, P, M + 163840 + 4095, 4095, kNetworkLostText},
                    {1, 100, X, 0, 0, L"正在解壓[0M/40M] (0%)"},
                    {30, 1000, X, 0, 0, L"正在解壓[0M/40M] (0%)"}});
}

// The end, reacted to once: Finished starts the game, Failed on a click; start errors are shown.
TEST(ProgressViewTest, TheEndOffersTheStart) {
    ScratchFolder scratch("view");
    ASSERT_TRUE(WriteTree(scratch.Path(), {{"Game/velka_win/velka.exe", "not a program"}}));
    const auto saved = std::filesystem::current_path();  // a start moves into the game folder
    for (const bool failed : {false, true}) {
        const bool runs = !failed || kWindowsHost;  // Windows' shell reports junk
        PatcherStatus status;
        ProgressView view(status, runs ? L"no install here" : scratch.Path());
        status.SetMessage(L"");
        status.SetState(P);
        EXPECT_FALSE(view.TickAt(1, true).gameStarted || !view.errorText().empty()) << "too early";
        EXPECT_TRUE(view.bar().shown && view.statusText().empty());
        const std::wstring message = failed ? L"下載失敗 CURLCODE(7)" : L"更新完成";
        status.SetMessage(message);
        status.SetState(failed ? PatcherState::Failed : PatcherState::Finished);
        ViewRequests r = view.TickAt(2);
        EXPECT_TRUE(r.enableStartButton && r.flashWindow && r.bringToFront && r.redrawLowerPanel &&
                    r.eraseLowerPanel && !view.bar().shown && !r.gameStarted);
        EXPECT_EQ(view.statusText() + L"|" + view.errorText(),
                  message + L"|" + (failed ? L"" : kGameNotFoundText));
        EXPECT_EQ(view.failureShown(), failed);
        r = view.TickAt(3);
        EXPECT_FALSE(r.flashWindow || r.redrawLowerPanel || !view.errorText().empty()) << failed;
        r = view.TickAt(4, true);
        EXPECT_TRUE(r.redrawLowerPanel && !r.gameStarted);
        EXPECT_EQ(view.errorText(), runs ? kGameNotFoundText : kGameStartFailedText);
    }
    std::filesystem::current_path(saved);
}

// The bar in place every 250 ms on a terminal or as a line every 2 s, its last figures at the end.
TEST(ConsoleProgressTest, PrintsTheViewAtItsPace) {
    const std::wstring b[] = {L"正在解壓[0M/100M] (0%)", L"正在解壓[3M/100M] (3%)",
                              L"正在解壓[20M/100M] (20%)", L"正在解壓[21M/100M] (21%)"};
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
        console.Begin();
        status.SetVersionLabel(L"版本號: V1.0.1");
        console.Tick(0);
        status.SetMessage(L"");
        status.SetState(X);
        status.bytesTotal = 100 * M;
        for (const int64_t ms : {50, 100, 300, 400, 2050, 2100}) {
            status.bytesDone = ms / 100 * M;
            console.Tick(ms);
        }
        status.SetMessage(L"正在進行重命名操作");
        console.Tick(2150);
        status.SetState(PatcherState::Finished);
        console.Tick(2200);
        const std::wstring expected =
            terminal ? head + L"\r" + b[0] + L"\x1b[K\r" + b[1] + L"\x1b[K\r" + b[2] + L"\x1b[K\r" +
                           b[3] + L"\x1b[K\n" + tail
                     : head + b[0] + L"\n" + b[2] + L"\n" + b[3] + L"\n" + tail;
        EXPECT_EQ(ToNarrow(out), ToNarrow(expected)) << terminal;
    }
}

// A load keeps 1 or 2, repairs the rest; a write replaces only the key's line, in platform line
// ends.
TEST(CloseSettingsTest, LoadsRepairsAndRewrites) {
    const struct {
        const char* stored;  // null: no file
        int32_t exitMode;
        const char* written;  // after writing 3 - exitMode ("\n": line end); null: repaired
    } cases[] = {{nullptr, 1, nullptr},  // first: no file yet

                 {"exitMode=7\n", 1, nullptr},
                 {"exitMode=2\nexitMode=2\n", 1, nullptr},  // refused by the reader
                 {"\xEF\xBB\xBF# tray\nlang=zh\n\nexitMode=1\nlast=x", 1,
                  "\xEF\xBB\xBF# tray\nlang=zh\n\nexitMode=2\nlast=x\n"},
                 {"exitModeX=1\nxexitMode=1\nlang=exitMode\nexitMode = 2\r\n", 2,
                  "exitModeX=1\nxexitMode=1\nlang=exitMode\nexitMode=1\n"}};
    ScratchFolder scratch("close");
    const std::wstring file = scratch / L"Config/config.ini";
    for (const auto& c : cases) {
        SCOPED_TRACE(c.stored ? c.stored : "no file");
        ASSERT_TRUE(!c.stored || (CreateDirectories(file) && WriteFileBytes(file, c.stored)));
        CloseSettings settings(scratch.Path());
        settings.LoadCloseSetting();
        EXPECT_EQ(settings.exitMode(), c.exitMode);
        EXPECT_EQ(Contents(file), c.written ? c.stored : "exitMode=1\n");

        EXPECT_TRUE(!settings.WriteSetting("", "x") && settings.WriteSetting("absent", "x") &&
                    settings.WriteSetting("exitMode", std::to_string(3 - c.exitMode)));
        EXPECT_EQ(Contents(file),
                  std::regex_replace(c.written ? c.written : "exitMode=2\n", std::regex("\n"),
                                     kWindowsHost ? "\r\n" : "\n"));
        settings.LoadCloseSetting();
        EXPECT_EQ(settings.exitMode(), 3 - c.exitMode);
        ASSERT_TRUE(RemoveFile(file));  // a write without a file starts from the default
        EXPECT_TRUE(settings.WriteSetting("exitMode", "2"));
    }
}

}  // namespace
}  // namespace velka
