// Folder upkeep: the free-space rule, tree removal with its progress, and the swap of game trees.
#include "patcher/maintenance.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <limits>

#include "patcher/status.h"
#include "support/fixtures.h"
#include "support/scratch_log.h"

namespace velka {
namespace {

using namespace testing_support;

std::string X(size_t n) {
    return std::string(n, 'x');
}

const std::wstring kPrefix = L"正在進行資源整理,如長時間卡頓可重開啓動器";

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
    EXPECT_TRUE(ReportDiskSpace(logger_, kMax, kMax - 1));
    EXPECT_FALSE(CheckDiskSpace(logger_, scratch_ / L"missing", 1));
    EXPECT_EQ(Lines(), (std::vector<std::string>{
                           "[INFO] Avaliable space : 500 Required space : 100",
                           "[INFO] Avaliable space : 100 Required space : 100",
                           "[INFO] Avaliable space : " + std::to_string(kMax) +
                               " Required space : " + std::to_string(kMax - 1),
                           "[ERROR] Disk not readable! " + ToNarrow(scratch_ / L"missing")}));
    EXPECT_TRUE(CheckDiskSpace(logger_, scratch_.Path(), 0)) << "the volume is asked";
}

// Everything goes, dot names included; a file is left alone; a link is removed as a link, its
// target neither entered nor counted; a file held open (Windows) leaves one line per leftover.
TEST_F(MaintenanceTest, DeleteTree) {
    // clang-format off
    ASSERT_TRUE(WriteTree(scratch_.Path(), {{"Temp/.h/.c", "1"}, {"Temp/d/e", ""}, {"file", "x"}, {"Out/keep", "7777777"}, {"Temp/busy", "333"}}));
    // clang-format on
    DeleteTree(logger_, scratch_ / L"file");
    EXPECT_TRUE(FileExists(scratch_ / L"file"));
    namespace fs = std::filesystem;
    std::error_code error;  // Wine makes no links
    fs::create_directory_symlink(fs::path(scratch_ / L"Out"), fs::path(scratch_ / L"Temp/l"),
                                 error);
    EXPECT_EQ(DirectorySize(scratch_ / L"Temp"), 4u) << "a link's target is not counted";
    File holder(scratch_ / L"Temp/busy", "rb");
    DeleteTree(logger_, scratch_ / L"Temp" + kPathSeparator);
    EXPECT_EQ(Contents(scratch_ / L"Out/keep"), "7777777");
    const bool busy = FileExists(scratch_ / L"Temp/busy");
    EXPECT_EQ(ReadTree(scratch_ / L"Temp").size(), busy ? 1u : 0u);
    EXPECT_EQ(Lines().size(), busy ? 2u : 0u) << "the file and its folder";
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
        {1000, 1, 1001, L" ( 100% )", 5, {{"w/v", X(400)}, {"w/d/l", X(300)}, {"w/d/0", ""}, {"c", X(290)}, {".g/H", X(10)}}},
        {0, 1, 8, nullptr, 0, {{"e1", ""}, {"sub/e2", ""}, {"sub/grown", "1234567"}}},
        {kBig, kBig / 2, kBig / 2 + 30, L" ( 50% )", 1, {{"a", X(30)}}},
        // clang-format on
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.total);
        ASSERT_TRUE(WriteTree(scratch_ / L"Game", row.files));
        PatcherStatus status;
        status.SetMessage(L"before");
        int64_t done = row.start;
        size_t calls = 0;
        DeleteTreeWithProgress(
            logger_, status, scratch_ / L"Game", kPrefix, &done, row.total,
            [&](const std::wstring& message) {
                const int64_t shown = ++calls && row.total < kBig ? done * 100 / row.total : 50;
                EXPECT_EQ(message, kPrefix + L" ( " + std::to_wstring(shown) + L"% )");
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
    const std::wstring aside = scratch_ / L"Temp/Old/Game";  // its parent is made on the way
    PatcherStatus status;
    uint32_t code = 0;
    ASSERT_TRUE(
        WriteTree(scratch_.Path(), {{"Game/old", std::string(30, 'o')}, {"Package/new", "n"}}));
    ASSERT_TRUE(SwapInFolder(logger_, status, game, fresh, aside, kPrefix, &code));
    EXPECT_EQ(status.Message(), kPrefix + L" ( 103% )");
    ASSERT_TRUE(WriteTree(scratch_.Path(), {{"Package/newer", "r"}, {"Temp/Old/Game/stale", "s"}}));
    ASSERT_TRUE(SwapInFolder(logger_, status, game, fresh, aside, kPrefix, &code)) << "stale aside";
    EXPECT_FALSE(SwapInFolder(logger_, status, game, fresh, aside, kPrefix, &code))
        << "no new tree";
    EXPECT_NE(code, 0u);
    EXPECT_EQ(ReadTree(game), (Tree{{"newer", "r"}})) << "the old tree went back";
    EXPECT_FALSE(DirectoryExists(fresh) || DirectoryExists(aside));
    struct Case {
        bool game, aside;
        Tree left;  // what Game holds after the repair
    } const cases[] = {{false, true, {{"old", "o"}}},
                       {true, true, {{"new", "n"}}},
                       {true, false, {{"new", "n"}}},
                       {false, false, {}}};
    for (const Case& c : cases) {
        DeleteTree(logger_, game);
        ASSERT_TRUE(!c.game || WriteTree(game, {{"new", "n"}}));
        ASSERT_TRUE(!c.aside || WriteTree(aside, {{"old", "o"}}));
        RepairInterruptedSwap(logger_, game, aside);
        EXPECT_FALSE(DirectoryExists(aside));
        EXPECT_EQ(ReadTree(game), c.left) << c.game << c.aside;
    }
}

}  // namespace
}  // namespace velka
