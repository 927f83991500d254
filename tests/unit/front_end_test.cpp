// Portable pieces: file-system calls, progress view, console progress, close settings.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <regex>

#include "app/portable/close_settings.h"
#include "app/portable/console_progress.h"
#include "app/portable/progress_view.h"
#include "patcher/player_texts.h"
#include "platform/fs.h"
#include "platform/text.h"
#include "support/fixtures.h"
#include "support/ordinary_user.h"
#include "support/scratch_log.h"
#include "util/strings.h"

namespace velka {
namespace {

using namespace testing_support;
namespace fs = std::filesystem;

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

// Every entry below `root`: "path/" for a folder, "path=content" for a file, "*" when executable.
Tree Entries(const std::wstring& root) {
    Tree entries;
    for (const auto& entry : fs::recursive_directory_iterator(fs::path(root))) {
        const std::string name = fs::relative(entry.path(), fs::path(root)).generic_u8string();
        const std::wstring path = Utf8ToWide(entry.path().u8string());
        const bool folder = entry.is_directory();
        entries[name + (folder ? "/" : "")] =
            folder ? "" : "=" + Contents(path) + (IsExecutableFile(path) ? "*" : "");
    }
    return entries;
}

// Entries new or changed in `after`, then "-" and those gone from it.
std::string Changes(const std::wstring& root, const Tree& before) {
    const Tree after = Entries(root);
    std::string text;
    for (const auto& [name, content] : after)
        if (!before.count(name) || before.at(name) != content) text += " " + name + content;
    for (const auto& [name, content] : before) text += after.count(name) ? "" : " -" + name;
    return text;
}

// What the queries say of a path: kind, file size, tree size, contents and sorted listing.
std::string Describe(const std::wstring& path) {
    std::string text = FileExists(path) ? "file" : DirectoryExists(path) ? "folder" : "none";
    text += " " + std::to_string(FileSize64(path)) + " " + std::to_string(DirectorySize(path));
    std::string bytes = "stale";  // a buffer that held something before
    if (ReadFileBytes(path, &bytes)) text += " =" + bytes;
    std::vector<DirEntry> entries;
    if (!ListDirectory(path, &entries)) return text + " unlisted";
    std::sort(entries.begin(), entries.end(),
              [](const DirEntry& a, const DirEntry& b) { return a.name < b.name; });
    for (const DirEntry& e : entries)
        text += " " + ToNarrow(e.name) + (e.isDirectory ? "/" : ":" + std::to_string(e.size));
    return text;
}

std::string Apply(const std::string& call, const std::wstring& a, const std::wstring& b) {
    auto result = [](bool ok) { return ok ? "ok" : "failed"; };
    if (call == "Describe") return Describe(a);
    if (call == "CopyTree") return result(CopyTree(a, b));
    if (call == "CopyOneFile") return result(CopyOneFile(a, b));
    if (call == "RenamePath") return result(RenamePath(a, b));
    if (call == "RemoveFile") return result(RemoveFile(a));
    if (call == "RemoveEmptyFolder") return result(RemoveEmptyFolder(a));
    if (call == "WriteFileAtomically") return result(WriteFileAtomically(a, "new"));
    if (call == "WriteNewPrivateFile") return result(WriteNewPrivateFile(a, "new"));
    if (call == "CreateExtended") return result(CreateDirectories(L"\\\\?\\" + a));
    return result(CreateDirectories(a));
}

const Tree kStart = {{"s/a", "new"}, {"s/.h", "h"},        {"s/sub/b", "\r\n"}, {"d/a", "older"},
                     {"o/d/f", "f"}, {"P/x.exe", "older"}, {"from", "1"},       {"to", "2"}};

// Each call on one tree (with a wide-named file): its result, error code on failure, changes.
TEST(FsTest, CallsChangeTheTreeOrFailWithACode) {
    const struct {
        const char* call;
        const wchar_t *a, *b;
        const char* result;
        std::string changes;
    } cases[] = {{"Describe", L"s", L"", "folder -1 7 .h:1 a:3 sub/", ""},
                 {"Describe", L"s/a", L"", "file 3 0 =new unlisted", ""},
                 {"Describe", L"missing", L"", "none -1 0 unlisted", ""},
                 {"CopyTree", L"s", L"d", "ok",
                  " d/.h=h d/a=new d/sub/ d/sub/b=\r\n d/sub/空/ d/sub/空/文=w"},
                 {"CopyTree", L"s/sub/", L"n/x/", "ok", " n/ n/x/ n/x/b=\r\n n/x/空/ n/x/空/文=w"},
                 {"CopyTree", L"missing", L"d", "ok", ""},
                 {"CopyTree", L"o", L"blocked", "failed", ""},  // a folder where a file goes
                 {"CopyOneFile", L"s/a", L"P/x.exe", "ok", " P/x.exe=new*"},  // keeps its own mode
                 {"CopyOneFile", L"P/x.exe", L"n.exe", "ok", " n.exe=older*"},  // gets the source's
                 {"CopyOneFile", L"to", L"to", "failed", ""},
                 {"CopyOneFile", L"s", L"x", "failed", ""},  // a folder is no file
                 {"RenamePath", L"from", L"to", "failed", ""},
                 {"RenamePath", L"P", L"Empty", "failed", ""},
                 {"RenamePath", L"P", L"M", "ok", " M/ M/x.exe=older* -P/ -P/x.exe"},
                 {"RemoveFile", L"s", L"", "failed", ""},
                 {"RemoveFile", L"to", L"", "ok", " -to"},
                 {"RemoveEmptyFolder", L"o/d", L"", "failed", ""},
                 {"RemoveEmptyFolder", L"Empty", L"", "ok", " -Empty/"},
                 {"WriteFileAtomically", L"to", L"", "ok", " to=new"},
                 {"WriteFileAtomically", L"Empty", L"", "failed", ""},
                 {"WriteNewPrivateFile", L"key", L"", "ok", " key=new"},
                 {"WriteNewPrivateFile", L"to", L"", "failed", ""},
                 {"CreateDirectories", L"n/a/f.txt", L"", "ok", " n/ n/a/"},
                 {"CreateDirectories", L"遊//資/", L"", "ok", " 遊/ 遊/資/"},
                 {"CreateDirectories", L"to/sub/x", L"", "failed", ""},
                 {"CreateDirectories", L"to/", L"", "failed", ""},
                 {"CreateExtended", L"long\\x\\", L"", "ok", " long/ long/x/"}};
    ScratchFolder scratch("fs");
    for (const auto& c : cases) {
        if (std::string(c.call) == "CreateExtended" && !kWindowsHost) continue;
        const std::wstring root = scratch / L"tree";
        auto path = [&](const wchar_t* relative) { return JoinPath(root, relative); };
        fs::remove_all(fs::path(root));
        ASSERT_TRUE(WriteTree(root, kStart) && CreateDirectories(path(L"s/sub/空/")) &&
                    WriteFileBytes(path(L"s/sub/空/文"), "w") &&
                    CreateDirectories(path(L"blocked/d/f/")) &&
                    CreateDirectories(path(L"Empty/")) && MarkExecutable(path(L"P/x.exe")));
        const auto before = Entries(root);
        SetLastSystemError(0);
        EXPECT_EQ(Apply(c.call, path(c.a), path(c.b)), c.result) << c.call << " " << ToNarrow(c.a);
        EXPECT_TRUE(std::string(c.result) != "failed" || LastSystemError() != 0) << "no error code";
        EXPECT_EQ(Changes(root, before), kWindowsHost ? ReplaceAll(c.changes, "*", "") : c.changes)
            << c.call << " " << ToNarrow(c.a);
    }
}

// A folder shut to an ordinary user: copying fails with a code, sizes count the rest, no listing.
TEST(FsTest, UnreadableFolderFailsCopyAndCountsZero) {
    ScratchFolder scratch("fs");
    ASSERT_TRUE(WriteTree(scratch.Path(), {{"src/a", "0123456789"}, {"src/locked/b", "x"}}));
    fs::permissions(fs::path(scratch.Path()), fs::perms::all);  // the user may write the copy
    fs::permissions(fs::path(scratch / L"src/locked"), fs::perms::none);
    std::string seen;
    EXPECT_TRUE(AsOrdinaryUser([&] {
        SetLastSystemError(0);
        seen = CopyTree(scratch / L"src", scratch / L"dst") ? "copied" : "failed";
        seen += LastSystemError() ? ", " : " without code, ";
        seen += Describe(scratch / L"src") + ", " + Describe(scratch / L"src/locked");
    })) << "cannot drop root's rights";
    fs::permissions(fs::path(scratch / L"src/locked"), fs::perms::all);
    if (kWindowsHost && seen.find("unlisted") == std::string::npos) GTEST_SKIP() << "not shut out";
    EXPECT_EQ(seen, "failed, folder -1 10 a:10 locked/, folder -1 0 unlisted");
}

}  // namespace
}  // namespace velka
