// Folder upkeep: the free-space rule, tree removal with its progress, and the swap of game trees.
#include "patcher/maintenance.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <limits>
#include <string>
#include <vector>

#include "patcher/status.h"
#include "support/fixtures.h"
#include "support/scratch_log.h"

namespace velka {
namespace {

using namespace testing_support;

const std::wstring kPrefix = L"正在進行資源整理,如長時間卡頓可重開啓動器";

std::string X(size_t n) {
    return std::string(n, 'x');
}

class MaintenanceTest : public ::testing::Test {
  protected:
    std::vector<std::string> Lines() const {
        std::vector<std::string> out;
        for (const LogLine& line : log_.Lines()) out.push_back(line.level + line.message);
        return out;
    }
    ScratchFolder scratch_{"maint"};
    ScratchLog log_{scratch_};
    Logger& logger_ = log_.logger();
};

// More than required, strictly; sizes of -1 from a malformed package description sum unsigned.
TEST_F(MaintenanceTest, DiskSpaceRuleAndItsLogLines) {
    const uint64_t kMax = std::numeric_limits<uint64_t>::max();
    EXPECT_TRUE(ReportDiskSpace(logger_, 500, 100));
    EXPECT_FALSE(ReportDiskSpace(logger_, 100, 100));
    EXPECT_FALSE(ReportDiskSpace(logger_, kMax - 1, kMax - 1));
    EXPECT_TRUE(ReportDiskSpace(logger_, kMax, kMax - 1));
    EXPECT_FALSE(CheckDiskSpace(logger_, scratch_ / L"missing", 1));
    const std::string m = std::to_string(kMax), m1 = std::to_string(kMax - 1);
    EXPECT_EQ(Lines(), (std::vector<std::string>{
                           "[INFO] Avaliable space : 500 Required space : 100",
                           "[INFO] Avaliable space : 100 Required space : 100",
                           "[INFO] Avaliable space : " + m1 + " Required space : " + m1,
                           "[INFO] Avaliable space : " + m + " Required space : " + m1,
                           "[ERROR] Disk not readable! " + ToNarrow(scratch_ / L"missing")}));
    EXPECT_FALSE(CheckDiskSpace(logger_, scratch_.Path(), kMax)) << "the volume is asked";
    uint64_t free = 0;
    ASSERT_TRUE(FreeDiskSpace(scratch_.Path(), &free));
    EXPECT_EQ(CheckDiskSpace(logger_, scratch_.Path(), 0), free > 0);
}

// Everything goes, dot names included; a missing folder or a file is left alone; a link is removed
// as a link, its target never entered nor counted; a file held open (Windows) leaves its lines.
TEST_F(MaintenanceTest, DeleteTreeRemovesAllButWhatItMustNotEnter) {
    for (const std::wstring& spelling :
         {std::wstring(L"Temp"), L"Temp" + std::wstring(1, kPathSeparator)}) {
        ASSERT_TRUE(
            WriteTree(scratch_ / L"Temp", {{".h", "1"}, {"I/v/.c/s", "1"}, {"d/empty", ""}}));
        DeleteTree(logger_, scratch_ / spelling);
        EXPECT_FALSE(DirectoryExists(scratch_ / L"Temp")) << ToNarrow(spelling);
    }
    DeleteTree(logger_, scratch_ / L"Temp");
    ASSERT_TRUE(
        WriteTree(scratch_.Path(), {{"file", "x"}, {"Out/keep", "7777777"}, {"Temp/own", "333"}}));
    DeleteTree(logger_, scratch_ / L"file");
    EXPECT_TRUE(FileExists(scratch_ / L"file"));
    EXPECT_TRUE(IsFolderToEnter(0x10));
    EXPECT_FALSE(IsFolderToEnter(0x410)) << "a junction is not entered";
    namespace fs = std::filesystem;
    std::error_code error;  // Wine makes no links: the attribute rule decides there
    fs::create_directory_symlink(fs::path(scratch_ / L"Out"), fs::path(scratch_ / L"Temp/d"),
                                 error);
    if (!error)
        fs::create_symlink(fs::path(scratch_ / L"Out/keep"), fs::path(scratch_ / L"Temp/f"), error);
    if (!error) {
        EXPECT_EQ(DirectorySize(scratch_ / L"Temp"), 3u) << "a link's target is not counted";
    }
    File holder(scratch_ / L"Temp/own", "rb");
    DeleteTree(logger_, scratch_ / L"Temp");
    EXPECT_EQ(Contents(scratch_ / L"Out/keep"), "7777777");
    if (!FileExists(scratch_ / L"Temp/own")) {
        EXPECT_TRUE(Lines().empty());
        EXPECT_FALSE(DirectoryExists(scratch_ / L"Temp"));
        return;
    }
    const std::vector<std::string> lines = Lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].rfind("[ERROR] Delete file failed! error = ", 0), 0u) << lines[0];
    EXPECT_EQ(lines[1].rfind("[ERROR] Delete directory failed! error = ", 0), 0u) << lines[1];
}

// Before each file goes its size is counted and the message shows done * 100 / total; a total of 0
// keeps the message; counts beyond 64-bit products still give a percentage.
TEST_F(MaintenanceTest, ProgressWhileDeleting) {
    const int64_t kBig = 1000000000000000000LL;
    struct Row {
        const char* name;
        int64_t total, start, done;
        const wchar_t* last;  // the message afterwards; null: unchanged
        size_t calls;
        Tree files;
    } const rows[] = {
        // clang-format off
        {"nested, dot folder, empty file", 1000, 1, 1001, L" ( 100% )", 5,
         {{"w/v.exe", X(400)}, {"w/d/l.pak", X(300)}, {"w/d/0", ""}, {"c", X(290)}, {".g/H", X(10)}}},
        {"total 0", 0, 1, 8, nullptr, 0, {{"e1", ""}, {"sub/e2", ""}, {"sub/grown", X(7)}}},
        {"huge counts", kBig, kBig / 2, kBig / 2 + 30, L" ( 50% )", 1, {{"a", X(30)}}},
        // clang-format on
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        ASSERT_TRUE(WriteTree(scratch_ / L"Game", row.files));
        PatcherStatus status;
        status.SetMessage(L"before");
        int64_t done = row.start;
        size_t calls = 0;
        DeleteTreeWithProgress(
            logger_, status, scratch_ / L"Game", kPrefix, &done, row.total,
            [&](const std::wstring& message) {
                if (++calls, row.total > 1000) return;  // checked at the end
                EXPECT_EQ(message,
                          kPrefix + L" ( " + std::to_wstring(done * 100 / row.total) + L"% )");
            });
        EXPECT_EQ(done, row.done);
        EXPECT_EQ(calls, row.calls);
        EXPECT_EQ(status.Message(), row.last ? kPrefix + row.last : L"before");
        EXPECT_FALSE(DirectoryExists(scratch_ / L"Game"));
    }
    EXPECT_TRUE(Lines().empty());
}

// At every moment Game is the old tree, the new one, or (before a fresh install's rename) absent;
// the repair at the next start finishes a swap a kill interrupted.
TEST_F(MaintenanceTest, SwapAndItsRepair) {
    const std::wstring game = scratch_ / L"Game", fresh = scratch_ / L"Package";
    const std::wstring aside = scratch_ / L"Temp/Old/Game";  // its parent made on the way
    PatcherStatus status;
    uint32_t code = 0;
    ASSERT_TRUE(WriteTree(scratch_.Path(), {{"Game/old", X(30)}, {"Package/new", "new"}}));
    ASSERT_TRUE(SwapInFolder(logger_, status, game, fresh, aside, kPrefix, &code));
    EXPECT_EQ(ReadTree(game), (Tree{{"new", "new"}}));
    EXPECT_EQ(status.Message(), kPrefix + L" ( 103% )");
    ASSERT_TRUE(WriteTree(scratch_.Path(), {{"Package/newer", "r"}, {"Temp/Old/Game/stale", "s"}}));
    ASSERT_TRUE(SwapInFolder(logger_, status, game, fresh, aside, kPrefix, &code)) << "stale aside";
    EXPECT_FALSE(SwapInFolder(logger_, status, game, fresh, aside, kPrefix, &code))
        << "no new tree";
    EXPECT_NE(code, 0u);
    EXPECT_EQ(ReadTree(game), (Tree{{"newer", "r"}})) << "the old tree went back";
    EXPECT_FALSE(DirectoryExists(fresh) || DirectoryExists(aside));

    struct Case {
        const char* name;
        bool game, aside;
        Tree left;  // what Game holds afterwards
    } const cases[] = {
        {"killed between the renames", false, true, {{"old", "o"}}},
        {"killed while removing the old tree", true, true, {{"new", "n"}}},
        {"nothing to repair", true, false, {{"new", "n"}}},
        {"fresh install not yet swapped", false, false, {}},
    };
    for (const Case& c : cases) {
        DeleteTree(logger_, game);
        ASSERT_TRUE(!c.game || WriteTree(game, {{"new", "n"}}));
        ASSERT_TRUE(!c.aside || WriteTree(aside, {{"old", "o"}}));
        RepairInterruptedSwap(logger_, game, aside);
        EXPECT_FALSE(DirectoryExists(aside)) << c.name;
        EXPECT_EQ(ReadTree(game), c.left) << c.name;
    }
}

}  // namespace
}  // namespace velka
