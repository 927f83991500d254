// The progress view driven through a run by hand: a status record written by the test and a
// clock the test moves. Starting the game uses the real sample game copied into a scratch
// install folder.
#include "app/portable/progress_view.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <system_error>
#include <thread>

#include "patcher/status.h"
#include "platform/fs.h"
#include "platform/text.h"
#include "support/scratch_log.h"

namespace velka {
namespace {

using testing_support::ScratchFolder;

constexpr int64_t kMiB = 1048576;
const bool kWindows = kPathSeparator == L'\\';

struct PiecesCase {
    const char* name;
    PatcherState state;
    int64_t done;
    int64_t total;
    double speed;
    bool networkLost;
    const wchar_t* first;
    const wchar_t* second;
    const wchar_t* third;
};

TEST(ComposeBarPiecesTest, BuildsTheLineOfEachStage) {
    const PiecesCase cases[] = {
        {"file download", PatcherState::DownloadingFiles, 12 * kMiB + kMiB / 2, 345 * kMiB, 1.25,
         false, L"正在進行擴充更新[12M/345M] (", L"3%", L")  速度1.25MB/s"},
        {"package download", PatcherState::DownloadingPackages, kMiB, 3 * kMiB, 0, false,
         L"正在進行整包下載[1M/3M] (", L"33%", L")  速度0.00MB/s"},
        {"extraction has no speed", PatcherState::Extracting, 50 * kMiB, 100 * kMiB, 7.0, false,
         L"正在解壓[50M/100M] (", L"50%", L")"},
        {"nothing to count", PatcherState::DownloadingPackages, 0, 0, 0, false,
         L"正在進行整包下載[0M/1M] (", L"0%", L")  速度0.00MB/s"},
        {"total below one MiB", PatcherState::DownloadingFiles, kMiB - 1, kMiB - 1, 0, false,
         L"正在進行擴充更新[0M/1M] (", L"0%", L")  速度0.00MB/s"},
        {"negative done", PatcherState::DownloadingFiles, -5, 2 * kMiB, 0, false,
         L"正在進行擴充更新[0M/2M] (", L"0%", L")  速度0.00MB/s"},
        {"complete", PatcherState::Extracting, 100 * kMiB, 100 * kMiB, 0, false,
         L"正在解壓[100M/100M] (", L"100%", L")"},
        {"other state", PatcherState::CheckingFiles, kMiB, 2 * kMiB, 1, false, L"", L"", L""},
        {"stalled", PatcherState::DownloadingFiles, kMiB, 2 * kMiB, 0, true,
         L"檢測到網路異常連接中斷，正在爲你嘗試重新連接", L"", L""},
    };
    for (const PiecesCase& c : cases) {
        const BarPieces pieces = ComposeBarPieces(c.state, c.done, c.total, c.speed, c.networkLost);
        EXPECT_EQ(pieces.first, c.first) << c.name;
        EXPECT_EQ(pieces.second, c.second) << c.name;
        EXPECT_EQ(pieces.third, c.third) << c.name;
    }
}

TEST(ProgressBarModelTest, FillRatioStaysShortOfTheEnd) {
    const struct {
        int64_t done;
        int64_t total;
        float ratio;
    } cases[] = {{0, 100, 0.0f},     {50, 100, 0.5f}, {100, 100, 0.995f},
                 {300, 100, 0.995f}, {5, 0, 0.0f},    {-5, 100, 0.0f}};
    for (const auto& c : cases) {
        ProgressBarModel bar;
        bar.lastDone = c.done;
        bar.lastTotal = c.total;
        EXPECT_FLOAT_EQ(bar.FillRatio(), c.ratio) << c.done << "/" << c.total;
    }
}

class ProgressViewTest : public ::testing::Test {
  protected:
    void SetUp() override { savedDirectory_ = std::filesystem::current_path(); }
    // StartGame moves the process into the game folder; Windows cannot remove a folder that is
    // some process's current directory.
    void TearDown() override {
        std::error_code ignored;
        std::filesystem::current_path(savedDirectory_, ignored);
    }

    void Transfer(PatcherState state, int64_t bytesDone, int64_t bytesTotal) {
        status_.SetMessage(L"");
        status_.SetState(state);
        status_.bytesDone = bytesDone;
        status_.bytesTotal = bytesTotal;
        status_.filesTotal = 3;
    }

    ViewRequests TickAfter(int64_t ms) {
        now_ += ms;
        return view_.Tick();
    }

    std::wstring BarText() const { return view_.bar().pieces.Text(); }

    // Installs the sample game as D/Game/velka_win/velka.exe.
    void InstallSampleGame() {
        const std::wstring module = ModulePath();
        const bool exe = module.size() > 4 && module.substr(module.size() - 4) == L".exe";
        const std::wstring sample =
            JoinPath(ModuleDirectory(), exe ? L"velka_sample_game.exe" : L"velka_sample_game");
        ASSERT_TRUE(FileExists(sample)) << "built beside the tests: " << ToNarrow(sample);
        ASSERT_TRUE(CreateDirectories(view_.GameExecutable()));
        ASSERT_TRUE(CopyOneFile(sample, view_.GameExecutable())) << LastSystemError();
    }

    // The sample game's record, once a whole line has been written; empty after a long wait.
    std::string WaitForGameRecord() {
        const std::wstring record = scratch_ / L"Game/velka_win/started.txt";
        std::string text;
        for (int i = 0; i < 300; ++i) {
            if (ReadFileBytes(record, &text) && !text.empty() && text.back() == '\n') return text;
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        return std::string();
    }

    ScratchFolder scratch_{"view"};
    PatcherStatus status_;
    int64_t now_ = 1700000000000;  // a wall-clock time; the view starts sampling from 0
    ProgressView view_{status_, scratch_.Path(), [this] { return now_; }};
    std::filesystem::path savedDirectory_;
};

TEST_F(ProgressViewTest, FollowsTheStatusTextsAndTheVersionLine) {
    ViewRequests requests = view_.Tick();
    EXPECT_EQ(view_.statusText(), L"正在進行程序初始化");
    EXPECT_FALSE(view_.bar().shown);
    EXPECT_FALSE(requests.redrawLowerPanel) << "nothing changed";

    status_.SetMessage(L"正在驗證版本是否需要更新");
    requests = TickAfter(16);
    EXPECT_EQ(view_.statusText(), L"正在驗證版本是否需要更新");
    EXPECT_TRUE(requests.redrawLowerPanel && requests.eraseLowerPanel);

    status_.SetVersionLabel(L"版本號: V1.0.0/V1.0.3");
    requests = TickAfter(16);
    EXPECT_EQ(view_.versionText(), L"版本號: V1.0.0/V1.0.3");
    EXPECT_TRUE(requests.redrawLowerPanel);

    Transfer(PatcherState::DownloadingPackages, 0, 0);
    requests = TickAfter(16);
    EXPECT_TRUE(view_.bar().shown);
    EXPECT_EQ(view_.statusText(), L"") << "the bar takes the status line's place";
    EXPECT_EQ(BarText(), L"正在進行整包下載[0M/1M] (0%)  速度0.00MB/s");
    EXPECT_TRUE(requests.redrawBar);

    status_.SetMessage(L"正在進行重命名操作");
    TickAfter(16);
    EXPECT_FALSE(view_.bar().shown);
    EXPECT_EQ(view_.statusText(), L"正在進行重命名操作");
    EXPECT_EQ(view_.versionText(), L"版本號: V1.0.0/V1.0.3") << "the version line stays";
}

TEST_F(ProgressViewTest, MeasuresTheSpeedAtMostEveryHalfSecond) {
    Transfer(PatcherState::DownloadingFiles, 0, 40 * kMiB);
    TickAfter(0);  // first sample
    Transfer(PatcherState::DownloadingFiles, 3 * kMiB / 2, 40 * kMiB);
    TickAfter(1000);
    EXPECT_EQ(BarText(), L"正在進行擴充更新[1M/40M] (2%)  速度1.50MB/s");

    // Within 500 ms of the last sample the figures move but the speed does not.
    Transfer(PatcherState::DownloadingFiles, 10 * kMiB, 40 * kMiB);
    TickAfter(500);
    EXPECT_EQ(BarText(), L"正在進行擴充更新[10M/40M] (25%)  速度1.50MB/s");
    EXPECT_EQ(view_.bar().prevDone, 3 * kMiB / 2);
    EXPECT_EQ(view_.bar().lastDone, 10 * kMiB);

    TickAfter(1);  // 501 ms after the last sample: 8.5 MiB in 0.501 s
    EXPECT_NEAR(view_.speed(), 8.5 / 0.501, 1e-9);
}

TEST_F(ProgressViewTest, ShowsTheReconnectNoticeAfterFifteenSecondsWithoutBytes) {
    Transfer(PatcherState::DownloadingPackages, 2 * kMiB, 40 * kMiB);
    TickAfter(0);
    for (int second = 1; second < 15; ++second) {
        TickAfter(1000);
        EXPECT_FALSE(view_.networkLost()) << "after " << second << " s";
    }
    TickAfter(1000);
    EXPECT_TRUE(view_.networkLost());
    EXPECT_EQ(BarText(), L"檢測到網路異常連接中斷，正在爲你嘗試重新連接");

    // 0.0199... MiB/s is still too slow; 20972 bytes in a second (0.02 MiB/s) clears it.
    Transfer(PatcherState::DownloadingPackages, 2 * kMiB + 20971, 40 * kMiB);
    TickAfter(1000);
    EXPECT_TRUE(view_.networkLost());
    Transfer(PatcherState::DownloadingPackages, 2 * kMiB + 20971 + 20972, 40 * kMiB);
    TickAfter(1000);
    EXPECT_FALSE(view_.networkLost());
    EXPECT_EQ(view_.stallMs(), 0);
    EXPECT_EQ(BarText(), L"正在進行整包下載[2M/40M] (5%)  速度0.02MB/s");
}

TEST_F(ProgressViewTest, UnderASpeedLimitBelowTheStallSpeedOnlyLessThanHalfTheLimitIsAStall) {
    view_.SetSpeedLimit(8 * 1024);
    int64_t done = kMiB;
    Transfer(PatcherState::DownloadingPackages, done, 40 * kMiB);
    TickAfter(0);
    for (int second = 1; second <= 20; ++second) {  // at the limit
        done += 8 * 1024;
        Transfer(PatcherState::DownloadingPackages, done, 40 * kMiB);
        TickAfter(1000);
        ASSERT_FALSE(view_.networkLost()) << "after " << second << " s at the limit";
    }
    for (int second = 1; second <= 15; ++second) {  // under half of it
        done += 4 * 1024 - 1;
        Transfer(PatcherState::DownloadingPackages, done, 40 * kMiB);
        TickAfter(1000);
    }
    EXPECT_TRUE(view_.networkLost());
}

TEST_F(ProgressViewTest, ALongPauseBetweenSamplesIsNotAStall) {
    Transfer(PatcherState::DownloadingFiles, kMiB, 40 * kMiB);
    TickAfter(0);
    for (int i = 0; i < 10; ++i) TickAfter(1000);
    EXPECT_EQ(view_.stallMs(), 10000);

    TickAfter(600 * 1000);  // the machine slept
    EXPECT_EQ(view_.stallMs(), 10000);
    for (int i = 0; i < 4; ++i) TickAfter(1000);
    EXPECT_FALSE(view_.networkLost()) << "14 s counted";
    TickAfter(1000);
    EXPECT_TRUE(view_.networkLost()) << "15 s counted";
}

TEST_F(ProgressViewTest, KeepsMeasuringWhenTheClockIsSetBack) {
    Transfer(PatcherState::DownloadingFiles, kMiB, 40 * kMiB);
    TickAfter(0);
    TickAfter(1000);
    now_ -= 3600 * 1000;
    TickAfter(0);
    Transfer(PatcherState::DownloadingFiles, kMiB + 3 * kMiB / 2, 40 * kMiB);
    TickAfter(1000);
    EXPECT_EQ(SpeedText(view_.speed()), L"1.50MB/s") << "sampling went on after the jump";
}

TEST_F(ProgressViewTest, ExtractionNeverShowsTheReconnectNotice) {
    Transfer(PatcherState::DownloadingPackages, kMiB, 40 * kMiB);
    TickAfter(0);
    for (int i = 0; i < 16; ++i) TickAfter(1000);
    ASSERT_TRUE(view_.networkLost());

    // Straight into extraction, before the next sample is due.
    Transfer(PatcherState::Extracting, 0, 80 * kMiB);
    TickAfter(100);
    EXPECT_EQ(BarText(), L"正在解壓[0M/80M] (0%)");

    // Slow extraction, however long, is no lost connection.
    for (int i = 0; i < 30; ++i) {
        TickAfter(1000);
        ASSERT_FALSE(view_.networkLost()) << "after " << i + 1 << " s of extraction";
    }
    EXPECT_EQ(BarText(), L"正在解壓[0M/80M] (0%)");
}

TEST_F(ProgressViewTest, FinishedStartsTheGameInItsFolderWithTheArgumentLauncher) {
    InstallSampleGame();
    Transfer(PatcherState::DownloadingFiles, kMiB, kMiB);
    TickAfter(0);
    status_.SetMessage(L"更新完成");
    status_.SetState(PatcherState::Finished);

    const ViewRequests requests = TickAfter(16);
    EXPECT_TRUE(requests.enableStartButton);
    EXPECT_TRUE(requests.flashWindow);
    EXPECT_TRUE(requests.bringToFront);
    EXPECT_TRUE(requests.gameStarted) << ToNarrow(view_.errorText());
    EXPECT_TRUE(view_.startOffered());
    EXPECT_FALSE(view_.failureShown());
    EXPECT_EQ(view_.statusText(), L"更新完成");

    const std::string record = WaitForGameRecord();
    ASSERT_FALSE(record.empty()) << "the game did not run";
    const std::string prefix = "started in ";
    const std::string marker = " with arguments: ";
    const size_t cut = record.rfind(marker);
    ASSERT_EQ(record.rfind(prefix, 0), 0u) << record;
    ASSERT_NE(cut, std::string::npos) << record;
    const std::string folder = record.substr(prefix.size(), cut - prefix.size());
    EXPECT_TRUE(std::filesystem::equivalent(std::filesystem::path(Utf8ToWide(folder)),
                                            std::filesystem::path(scratch_ / L"Game/velka_win")))
        << record;
    EXPECT_EQ(record.substr(cut + marker.size()), "[Launcher]\n");

    const ViewRequests later = TickAfter(16);
    EXPECT_FALSE(later.gameStarted || later.flashWindow) << "the end is reacted to once";
}

TEST_F(ProgressViewTest, FinishedWithoutTheGameShowsWhyAndStaysOpen) {
    status_.SetMessage(L"更新完成");
    status_.SetState(PatcherState::Finished);
    ViewRequests requests = TickAfter(16);
    EXPECT_FALSE(requests.gameStarted);
    EXPECT_TRUE(requests.redrawLowerPanel);
    EXPECT_EQ(view_.errorText(), L"無法找到遊戲啓動文件，請檢查本地遊戲路徑(可嘗試重開啓動器)");

    TickAfter(16);
    EXPECT_EQ(view_.errorText(), L"") << "cleared by the next tick";

    requests = view_.TickAt(now_ + 16, true);  // the player tries again
    EXPECT_FALSE(requests.gameStarted);
    EXPECT_EQ(view_.errorText(), kGameNotFoundText);
}

TEST_F(ProgressViewTest, AGameThatCannotStartIsReported) {
    if (kWindows) GTEST_SKIP() << "the Windows shell reports an unrunnable program itself";
    ASSERT_TRUE(CreateDirectories(view_.GameExecutable()));
    ASSERT_TRUE(WriteFileBytes(view_.GameExecutable(), "not a program"));
    status_.SetState(PatcherState::Finished);
    const ViewRequests requests = TickAfter(16);
    EXPECT_FALSE(requests.gameStarted);
    EXPECT_EQ(view_.errorText(), L"啓動遊戲失敗(可嘗試重開啓動器)");
}

TEST_F(ProgressViewTest, FailedKeepsTheReasonAndOffersTheStart) {
    InstallSampleGame();
    EXPECT_FALSE(view_.TickAt(now_, true).gameStarted) << "no start before the pipeline ends";

    status_.Fail(L"下載失敗 CURLCODE(7) HTTP STATUES CODE(0)");
    ViewRequests requests = TickAfter(16);
    EXPECT_TRUE(view_.failureShown());
    EXPECT_TRUE(requests.enableStartButton && requests.flashWindow && requests.bringToFront);
    EXPECT_FALSE(requests.gameStarted) << "a failed update does not start the game";
    EXPECT_EQ(view_.statusText(), L"下載失敗 CURLCODE(7) HTTP STATUES CODE(0)");

    requests = TickAfter(16);
    EXPECT_EQ(view_.statusText(), L"下載失敗 CURLCODE(7) HTTP STATUES CODE(0)");
    EXPECT_FALSE(requests.flashWindow);

    requests = view_.TickAt(now_ + 16, true);
    EXPECT_TRUE(requests.gameStarted) << ToNarrow(view_.errorText());
    const std::string record = WaitForGameRecord();
    EXPECT_NE(record.find(" with arguments: [Launcher]\n"), std::string::npos) << record;
}

}  // namespace
}  // namespace velka
