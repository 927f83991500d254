// Folder upkeep: the free-space rule, tree removal with its progress, copies, the swap of trees.
#include "patcher/maintenance.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <limits>

#include "patcher/file_lists.h"
#include "patcher/status.h"
#include "support/fixtures.h"
#include "support/scratch_log.h"

namespace velka {
namespace {

using namespace testing_support;

const std::wstring kPrefix = L"正在進行資源整理,如長時間卡頓可重開啓動器";

class MaintenanceTest : public ::testing::Test {
  protected:
    ScratchFolder scratch_{"maint"};
    ScratchLog log_{scratch_};
    Logger& logger_ = log_.logger();
};

// More than required, strictly, with the day-log line; removal takes dot names and a link (not
// its target); a file is no folder to remove; a file held open (Windows) leaves one line each.
TEST_F(MaintenanceTest, DiskSpaceAndRemoval) {
    const uint64_t kMax = std::numeric_limits<uint64_t>::max();
    EXPECT_FALSE(ReportDiskSpace(logger_, 100, 100));
    EXPECT_TRUE(ReportDiskSpace(logger_, kMax, kMax - 1)) << "sizes of -1 summed unsigned";
    EXPECT_FALSE(CheckDiskSpace(logger_, scratch_ / L"missing", 1));
    EXPECT_TRUE(CheckDiskSpace(logger_, scratch_.Path(), 0));
    const std::vector<LogLine> lines = log_.Lines();
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[1].message, "Avaliable space : " + std::to_string(kMax) +
                                    " Required space : " + std::to_string(kMax - 1));
    EXPECT_EQ(lines[2].level + lines[2].message,
              "[ERROR] Disk not readable! " + ToNarrow(scratch_ / L"missing"));
    // clang-format off
    ASSERT_TRUE(WriteTree(scratch_.Path(), {{"T/.h/.c", "1"}, {"T/d/e", ""}, {"file", "x"}, {"Out/keep", "7777777"}, {"T/busy", "333"}}));
    // clang-format on
    DeleteTree(logger_, scratch_ / L"file");
    std::error_code error;  // Wine makes no links
    std::filesystem::create_directory_symlink(std::filesystem::path(scratch_ / L"Out"),
                                              std::filesystem::path(scratch_ / L"T/l"), error);
    EXPECT_EQ(DirectorySize(scratch_ / L"T"), 4u) << "a link's target is not counted";
    File holder(scratch_ / L"T/busy", "rb");
    DeleteTree(logger_, scratch_ / L"T" + kPathSeparator);
    EXPECT_EQ(ReadTree(scratch_.Path()).count("Out/keep") + ReadTree(scratch_.Path()).count("file"),
              2u);
    const size_t busy = FileExists(scratch_ / L"T/busy");
    EXPECT_EQ(ReadTree(scratch_ / L"T").size(), busy);
    EXPECT_EQ(log_.Lines().size(), 4 + 2 * busy) << "the file and its folder";
}

// Before each file goes its size is counted and the message shows done * 100 / total; a total of 0
// keeps the message; counts beyond 64-bit products still give a percentage.
TEST_F(MaintenanceTest, ProgressWhileDeleting) {
    const int64_t kBig = 1000000000000000000LL;
    struct Row {
        int64_t total, start, done;
        const wchar_t* last;  // the message afterwards; null: unchanged
        size_t calls;
        Tree files;
    } const rows[] = {
        // clang-format off
        {1000, 1, 1001, L" ( 100% )", 5, {{"w/v", std::string(400, 'x')}, {"w/d/l", std::string(300, 'x')}, {"w/d/0", ""},
                                          {"c", std::string(290, 'x')}, {".g/H", std::string(10, 'x')}}},
        {0, 1, 8, nullptr, 0, {{"e1", ""}, {"sub/e2", ""}, {"sub/grown", "1234567"}}},
        {kBig, kBig / 2, kBig / 2 + 30, L" ( 50% )", 1, {{"a", std::string(30, 'x')}}},
        // clang-format on
    };
    for (const Row& row : rows) {
        ASSERT_TRUE(WriteTree(scratch_ / L"Game", row.files));
        PatcherStatus status;
        status.SetMessage(L"before");
        int64_t done = row.start;
        size_t calls = 0;
        DeleteTreeWithProgress(
            logger_, status, scratch_ / L"Game", kPrefix, &done, row.total,
            [&](const std::wstring& shown) {
                const int64_t percent = ++calls && row.total < kBig ? done * 100 / row.total : 50;
                EXPECT_EQ(shown, kPrefix + L" ( " + std::to_wstring(percent) + L"% )");
            });
        EXPECT_EQ(done, row.done);
        EXPECT_EQ(calls, row.calls);
        EXPECT_EQ(status.Message(), row.last ? kPrefix + row.last : L"before");
        EXPECT_FALSE(DirectoryExists(scratch_ / L"Game"));
    }
    EXPECT_TRUE(log_.Lines().empty());
}

// At every moment Game is the old tree, the new one, or (before a fresh install's rename) absent;
// the repair at the next start finishes a swap a kill interrupted; a copy into it that cannot be
// made (a folder stands where a file goes) fails.
TEST_F(MaintenanceTest, SwapRepairAndCopy) {
    const std::wstring game = scratch_ / L"Game", fresh = scratch_ / L"Package";
    const std::wstring aside = scratch_ / L"Temp/Old/Game";  // its parent is made on the way
    PatcherStatus status;
    uint32_t code = 0;
    ASSERT_TRUE(
        WriteTree(scratch_.Path(), {{"Game/old", std::string(30, 'o')}, {"Package/new", "n"}}));
    ASSERT_TRUE(SwapInFolder(logger_, status, game, fresh, aside, kPrefix, &code));
    EXPECT_EQ(status.Message(), kPrefix + L" ( 103% )");
    ASSERT_TRUE(WriteTree(scratch_.Path(), {{"Package/newer", "r"}, {"Temp/Old/Game/stale", "s"}}));
    ASSERT_TRUE(SwapInFolder(logger_, status, game, fresh, aside, kPrefix, &code)) << "stale aside";
    EXPECT_FALSE(SwapInFolder(logger_, status, game, fresh, aside, kPrefix, &code)) << "no new one";
    EXPECT_NE(code, 0u);
    EXPECT_EQ(ReadTree(game), (Tree{{"newer", "r"}})) << "the old tree went back";
    EXPECT_FALSE(DirectoryExists(fresh) || DirectoryExists(aside));
    for (const int c : {0, 1, 2, 3}) {  // Game / aside there: 00 fresh install, 01 killed between
        DeleteTree(logger_, game);      // the renames, 11 killed while removing the old tree
        ASSERT_TRUE(!(c & 2) || WriteTree(game, {{"new", "n"}}));
        ASSERT_TRUE(!(c & 1) || WriteTree(aside, {{"old", "o"}}));
        RepairInterruptedSwap(logger_, game, aside);
        EXPECT_FALSE(DirectoryExists(aside));
        const Tree left = c == 0 ? Tree{} : c == 1 ? Tree{{"old", "o"}} : Tree{{"new", "n"}};
        EXPECT_EQ(ReadTree(game), left) << c;
    }
    ASSERT_TRUE(WriteTree(scratch_.Path(), {{"Inc/a", "new"}, {"Game/a/x", "x"}}));
    FileEntry entry;
    entry.path = "a";
    entry.needsDownload = entry.verified = true;
    EXPECT_FALSE(CopyVerifiedFiles(logger_, scratch_ / L"Inc", game, {entry}, &code));
}

}  // namespace
}  // namespace velka
