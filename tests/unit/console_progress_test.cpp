// The console rendering of the progress view: what reaches the terminal or the log, in order,
// with the rate limits of each kind of output.
#include "app/portable/console_progress.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "patcher/status.h"
#include "platform/text.h"
#include "support/scratch_log.h"

namespace velka {
namespace {

using testing_support::ScratchFolder;

constexpr int64_t kMiB = 1048576;
constexpr int64_t kStart = 1700000000000;

struct Written {
    ConsoleStream stream;
    std::wstring text;
};

class ConsoleProgressTest : public ::testing::Test {
  protected:
    ConsoleProgress Make(bool terminal) {
        ConsoleProgress::Options options;
        options.terminal = terminal;
        return ConsoleProgress(view_, options,
                               [this](ConsoleStream stream, const std::wstring& text) {
                                   written_.push_back({stream, text});
                               });
    }

    void Download(int64_t done) {
        status_.SetMessage(L"");
        status_.SetState(PatcherState::DownloadingPackages);
        status_.filesTotal = 2;
        status_.bytesTotal = 10 * kMiB;
        status_.bytesDone = done;
    }

    // Everything written to standard output, concatenated.
    std::wstring Out() const {
        std::wstring out;
        for (const Written& w : written_) {
            if (w.stream == ConsoleStream::Out) out += w.text;
        }
        return out;
    }

    ScratchFolder scratch_{"conview"};
    PatcherStatus status_;
    ProgressView view_{status_, scratch_.Path(), [] { return kStart; }};
    std::vector<Written> written_;
};

TEST_F(ConsoleProgressTest, TerminalRedrawsTheBarInPlaceAFewTimesASecond) {
    ConsoleProgress console = Make(true);
    console.Begin();
    status_.SetMessage(L"正在驗證版本是否需要更新");
    status_.SetVersionLabel(L"版本號: V1.0.0/V1.0.1");
    console.Tick(kStart);
    Download(0);
    console.Tick(kStart + 50);
    Download(kMiB);
    console.Tick(kStart + 100);  // held back: 50 ms after the last drawing
    Download(2 * kMiB);
    console.Tick(kStart + 300);
    Download(3 * kMiB);
    console.Tick(kStart + 400);  // held back, shown when the stage ends
    status_.SetMessage(L"正在進行重命名操作");
    console.Tick(kStart + 450);

    const std::wstring expected =
        L"正在進行程序初始化\n"
        L"正在驗證版本是否需要更新\n"
        L"版本號: V1.0.0/V1.0.1\n"
        L"\r正在進行整包下載[0M/10M] (0%)  速度0.00MB/s\x1b[K"
        L"\r正在進行整包下載[2M/10M] (20%)  速度0.00MB/s\x1b[K"
        L"\r正在進行整包下載[3M/10M] (30%)  速度0.00MB/s\x1b[K\n"
        L"正在進行重命名操作\n";
    EXPECT_EQ(ToNarrow(Out()), ToNarrow(expected));
}

TEST_F(ConsoleProgressTest, PlainOutputGetsABarLineEveryTwoSeconds) {
    ConsoleProgress console = Make(false);
    Download(0);
    console.Tick(kStart);
    for (int64_t ms = 100; ms <= 3900; ms += 100) {
        Download(ms * 1000);
        console.Tick(kStart + ms);
    }
    console.Finish();

    std::vector<std::wstring> lines;
    for (const Written& w : written_) lines.push_back(w.text);
    ASSERT_EQ(lines.size(), 3u) << ToNarrow(Out());
    EXPECT_EQ(lines[0], L"正在進行整包下載[0M/10M] (0%)  速度0.00MB/s\n");
    // A million bytes a second, sampled every 600 ms.
    EXPECT_EQ(lines[1], L"正在進行整包下載[1M/10M] (10%)  速度0.95MB/s\n") << "at 2 s";
    EXPECT_EQ(lines[2], L"正在進行整包下載[3M/10M] (30%)  速度0.95MB/s\n") << "the last figures";
    EXPECT_EQ(Out().find(L'\r'), std::wstring::npos) << "no in-place drawing in a log";
}

TEST_F(ConsoleProgressTest, GameStartErrorsGoToTheErrorStreamOnALineOfTheirOwn) {
    ConsoleProgress console = Make(true);
    Download(kMiB);
    console.Tick(kStart);
    status_.SetMessage(L"更新完成");
    status_.SetState(PatcherState::Finished);
    console.Tick(kStart + 50);

    ASSERT_FALSE(written_.empty());
    const Written& last = written_.back();
    EXPECT_EQ(last.stream, ConsoleStream::Err);
    EXPECT_EQ(last.text, std::wstring(kGameNotFoundText) + L"\n");
    EXPECT_EQ(ToNarrow(Out()),
              ToNarrow(L"\r正在進行整包下載[1M/10M] (10%)  速度0.00MB/s\x1b[K\n更新完成\n"));
}

}  // namespace
}  // namespace velka
