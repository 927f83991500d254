#include "patcher/maintenance.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <iterator>
#include <limits>
#include <string>
#include <vector>

#include "patcher/status.h"
#include "platform/fs.h"
#include "platform/text.h"
#include "support/scratch_log.h"

namespace velka {
namespace {

using testing_support::LogLine;
using testing_support::ScratchFolder;
using testing_support::ScratchLog;

const std::wstring kPrefix = L"正在進行資源整理,如長時間卡頓可重開啓動器";

bool StartsWith(const std::string& text, const std::string& start) {
    return text.compare(0, start.size(), start) == 0;
}

bool EndsWith(const std::string& text, const std::string& end) {
    return text.size() >= end.size() &&
           text.compare(text.size() - end.size(), end.size(), end) == 0;
}

// "prefix" + digits + "suffix", the digits being a non-zero system error code.
bool MatchesWithErrorCode(const std::string& text, const std::string& prefix,
                          const std::string& suffix) {
    if (!StartsWith(text, prefix) || !EndsWith(text, suffix)) return false;
    if (text.size() <= prefix.size() + suffix.size()) return false;
    const std::string code =
        text.substr(prefix.size(), text.size() - prefix.size() - suffix.size());
    return code.find_first_not_of("0123456789") == std::string::npos && code != "0";
}

class MaintenanceTest : public ::testing::Test {
  protected:
    MaintenanceTest() : scratch_("maint"), log_(scratch_) {}

    // Creates a file of `size` bytes, with its folders, below the scratch folder.
    std::wstring MakeFile(const std::wstring& relative, size_t size) {
        const std::wstring path = scratch_ / relative;
        EXPECT_TRUE(CreateDirectories(path));
        EXPECT_TRUE(WriteFileBytes(path, std::string(size, 'x')));
        return path;
    }
    std::wstring MakeFolder(const std::wstring& relative) {
        const std::wstring path = scratch_ / relative;
        EXPECT_TRUE(CreateDirectories(path + kPathSeparator));
        return path;
    }

    ScratchFolder scratch_;
    ScratchLog log_;
};

TEST_F(MaintenanceTest, SpaceMustBeStrictlyMoreThanRequired) {
    struct Case {
        uint64_t available, required;
        bool enough;
        std::string line;
    };
    const uint64_t kMax = std::numeric_limits<uint64_t>::max();
    const Case cases[] = {
        {500, 100, true, "Avaliable space : 500 Required space : 100"},
        {100, 100, false, "Avaliable space : 100 Required space : 100"},
        {99, 100, false, "Avaliable space : 99 Required space : 100"},
        {0, 0, false, "Avaliable space : 0 Required space : 0"},
        // Sizes of -1 from a malformed package description, summed as unsigned.
        {kMax - 1, kMax - 1, false,
         "Avaliable space : 18446744073709551614 Required space : 18446744073709551614"},
        {kMax, kMax - 1, true,
         "Avaliable space : 18446744073709551615 Required space : 18446744073709551614"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(ReportDiskSpace(log_.logger(), c.available, c.required), c.enough) << c.line;
    }
    const std::vector<LogLine> lines = log_.Lines();
    ASSERT_EQ(lines.size(), std::size(cases));
    for (size_t i = 0; i < lines.size(); ++i) {
        EXPECT_EQ(lines[i].level, "[INFO] ");
        EXPECT_EQ(lines[i].message, cases[i].line);
    }
}

TEST_F(MaintenanceTest, CheckDiskSpaceQueriesTheVolume) {
    const uint64_t kMax = std::numeric_limits<uint64_t>::max();
    EXPECT_FALSE(CheckDiskSpace(log_.logger(), scratch_.Path(), kMax));
    const bool someFree = CheckDiskSpace(log_.logger(), scratch_.Path(), 0);

    const std::vector<LogLine> lines = log_.Lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_TRUE(StartsWith(lines[0].message, "Avaliable space : ")) << lines[0].message;
    EXPECT_TRUE(EndsWith(lines[0].message, " Required space : 18446744073709551615"))
        << lines[0].message;
    EXPECT_TRUE(StartsWith(lines[1].message, "Avaliable space : ")) << lines[1].message;
    EXPECT_EQ(someFree, !StartsWith(lines[1].message, "Avaliable space : 0 ")) << lines[1].message;
}

TEST_F(MaintenanceTest, UnreadableDiskIsAnError) {
    const std::wstring missing = scratch_ / L"no such folder";
    EXPECT_FALSE(CheckDiskSpace(log_.logger(), missing, 1));
    const std::vector<LogLine> lines = log_.Lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].level, "[ERROR] ");
    EXPECT_EQ(lines[0].message, "Disk not readable! " + ToNarrow(missing));
}

TEST_F(MaintenanceTest, DeleteTreeOfMissingFolderDoesNothing) {
    DeleteTree(log_.logger(), scratch_ / L"Temp");
    // A file is not a folder to remove either.
    const std::wstring file = MakeFile(L"Temp2", 3);
    DeleteTree(log_.logger(), file);
    EXPECT_TRUE(FileExists(file));
    EXPECT_TRUE(log_.Lines().empty());
}

TEST_F(MaintenanceTest, DeleteTreeRemovesEverything) {
    for (const std::wstring& spelling :
         {std::wstring(L"Temp"), L"Temp" + std::wstring(1, kPathSeparator)}) {
        MakeFile(L"Temp/launcherconfig.txt", 10);
        MakeFile(L"Temp/.hidden", 1);  // names beginning with a dot are ordinary names
        MakeFile(L"Temp/Incrementupdate/velka_win/.config/settings.ini", 1);
        MakeFile(L"Temp/ZipUpdate/a.zip", 100);
        MakeFile(L"Temp/Incrementupdate/velka_win/data/b.dat", 0);
        MakeFolder(L"Temp/LauncherUpdate/empty");
        DeleteTree(log_.logger(), scratch_ / spelling);
        EXPECT_FALSE(DirectoryExists(scratch_ / L"Temp")) << ToNarrow(spelling);
    }
    EXPECT_TRUE(log_.Lines().empty());
}

// Windows refuses to delete a file held open without delete sharing (error 32, then 145 for the
// folder); POSIX systems unlink it. Either way the rest goes and every failure leaves one line.
TEST_F(MaintenanceTest, FileInUseStaysWithItsFolder) {
    const std::wstring root = MakeFolder(L"Temp");
    const std::wstring busy = MakeFile(L"Temp/busy.dll", 4);
    MakeFile(L"Temp/sub/other.txt", 4);
    File holder(busy, "rb");
    ASSERT_TRUE(holder);

    DeleteTree(log_.logger(), root);

    EXPECT_FALSE(DirectoryExists(scratch_ / L"Temp/sub"));
    const std::vector<LogLine> lines = log_.Lines();
    if (!FileExists(busy)) {
        EXPECT_TRUE(lines.empty());
        EXPECT_FALSE(DirectoryExists(root));
        return;
    }
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_TRUE(MatchesWithErrorCode(
        lines[0].message, "Delete file failed! error = ", "  FileName = " + ToNarrow(busy)))
        << lines[0].message;
    EXPECT_TRUE(MatchesWithErrorCode(
        lines[1].message, "Delete directory failed! error = ", "  Directory = " + ToNarrow(root)))
        << lines[1].message;
}

// The percentages follow the order in which the system lists the folder.
TEST_F(MaintenanceTest, ProgressFollowsEnumerationOrder) {
    const std::wstring root = MakeFolder(L"Game");
    MakeFile(L"Game/a.pak", 30);
    MakeFile(L"Game/b.pak", 20);
    MakeFile(L"Game/c.pak", 50);
    std::vector<DirEntry> order;
    ASSERT_TRUE(ListDirectory(root, &order));
    ASSERT_EQ(order.size(), 3u);

    // With a total of 100 the percentage is the running count itself; in the order a, b, c
    // that is 31, 51, 101.
    std::vector<std::wstring> expected;
    int64_t running = 1;
    for (const DirEntry& entry : order) {
        running += FileSize64(root + kPathSeparator + entry.name);
        expected.push_back(kPrefix + L" ( " + std::to_wstring(running) + L"% )");
    }

    PatcherStatus status;
    std::vector<std::wstring> seen;
    int64_t done = 1;
    DeleteTreeWithProgress(log_.logger(), status, root, kPrefix, &done, 100,
                           [&seen](const std::wstring& message) { seen.push_back(message); });

    EXPECT_EQ(done, 101);
    EXPECT_EQ(seen, expected);
    EXPECT_EQ(status.Message(), kPrefix + L" ( 101% )");
    EXPECT_FALSE(DirectoryExists(root));
    EXPECT_TRUE(log_.Lines().empty());
}

TEST_F(MaintenanceTest, ProgressCountsSubFoldersDotFoldersIncluded) {
    const std::wstring root = MakeFolder(L"Game");
    MakeFile(L"Game/velka_win/velka.exe", 400);
    MakeFile(L"Game/velka_win/data/level1.pak", 300);
    MakeFile(L"Game/velka_win/data/empty.pak", 0);
    MakeFile(L"Game/config.ini", 290);
    MakeFile(L"Game/.git/HEAD", 10);
    const int64_t total = static_cast<int64_t>(DirectorySize(root));
    ASSERT_EQ(total, 1000);

    PatcherStatus status;
    std::vector<std::wstring> seen;
    int64_t done = 1;
    DeleteTreeWithProgress(log_.logger(), status, root, kPrefix, &done, total,
                           [&seen](const std::wstring& message) { seen.push_back(message); });

    EXPECT_EQ(done, 1001);
    EXPECT_EQ(seen.size(), 5u) << "one message per file, empty files included";
    EXPECT_EQ(status.Message(), kPrefix + L" ( 100% )");
    EXPECT_FALSE(DirectoryExists(root));
    EXPECT_TRUE(log_.Lines().empty());
}

TEST_F(MaintenanceTest, ZeroTotalLeavesMessageUnchanged) {
    const std::wstring root = MakeFolder(L"Game");
    MakeFile(L"Game/empty1", 0);
    MakeFile(L"Game/sub/empty2", 0);
    MakeFile(L"Game/sub/appeared", 7);  // grew after the folder was measured

    PatcherStatus status;
    status.SetMessage(L"before");
    int calls = 0;
    int64_t done = 1;
    DeleteTreeWithProgress(log_.logger(), status, root, kPrefix, &done, 0,
                           [&calls](const std::wstring&) { ++calls; });

    EXPECT_EQ(status.Message(), L"before");
    EXPECT_EQ(calls, 0);
    EXPECT_EQ(done, 8) << "sizes are still counted";
    EXPECT_FALSE(DirectoryExists(root)) << "the folder is removed all the same";
}

TEST_F(MaintenanceTest, PercentageDoesNotOverflowForHugeCounts) {
    const std::wstring root = MakeFolder(L"Game");
    MakeFile(L"Game/a", 30);
    PatcherStatus status;
    // done * 100 would not fit in 64 bits.
    int64_t done = 500000000000000000LL;
    DeleteTreeWithProgress(log_.logger(), status, root, kPrefix, &done, 1000000000000000000LL);
    EXPECT_EQ(done, 500000000000000030LL);
    EXPECT_EQ(status.Message(), kPrefix + L" ( 50% )");
}

// The swap of the old and the new game, and its repair after a kill at each point between the
// renames: at every moment Game is the old tree, the new one, or (only before the first rename of
// a fresh install) absent.
TEST_F(MaintenanceTest, SwapPutsTheNewTreeInPlaceOrKeepsTheOld) {
    const std::wstring game = scratch_ / L"Game";
    const std::wstring fresh = scratch_ / L"Package";
    const std::wstring aside = scratch_ / L"Temp/OldGame";
    PatcherStatus status;
    uint32_t code = 0;

    MakeFile(L"Game/velka_win/old.txt", 30);
    MakeFile(L"Temp/OldGame/stale.txt", 1);  // left by an earlier run
    MakeFile(L"Package/velka_win/new.txt", 5);
    ASSERT_TRUE(SwapInFolder(log_.logger(), status, game, fresh, aside, kPrefix, &code));
    EXPECT_TRUE(FileExists(scratch_ / L"Game/velka_win/new.txt"));
    EXPECT_FALSE(FileExists(scratch_ / L"Game/velka_win/old.txt"));
    EXPECT_FALSE(DirectoryExists(fresh));
    EXPECT_FALSE(DirectoryExists(aside));
    EXPECT_EQ(status.Message(), kPrefix + L" ( 103% )");

    // No new tree: the second rename fails and the old tree is back in place.
    EXPECT_FALSE(SwapInFolder(log_.logger(), status, game, fresh, aside, kPrefix, &code));
    EXPECT_NE(code, 0u);
    EXPECT_TRUE(FileExists(scratch_ / L"Game/velka_win/new.txt"));
    EXPECT_FALSE(DirectoryExists(aside));

    struct Case {
        const char* name;
        bool game, aside;
        const wchar_t* expected;  // the file Game/velka_win holds afterwards, or null
    } cases[] = {
        {"killed between the renames", false, true, L"old.txt"},
        {"killed while removing the old tree", true, true, L"new.txt"},
        {"nothing to repair", true, false, L"new.txt"},
        {"fresh install not yet swapped", false, false, nullptr},
    };
    for (const Case& c : cases) {
        DeleteTree(log_.logger(), game);
        DeleteTree(log_.logger(), scratch_ / L"Temp");
        if (c.game) MakeFile(L"Game/velka_win/new.txt", 5);
        if (c.aside) MakeFile(L"Temp/OldGame/velka_win/old.txt", 30);
        RepairInterruptedSwap(log_.logger(), game, aside);
        EXPECT_FALSE(DirectoryExists(aside)) << c.name;
        std::vector<DirEntry> left;
        EXPECT_EQ(ListDirectory(game + kPathSeparator + L"velka_win", &left), c.expected != nullptr)
            << c.name;
        if (c.expected) {
            ASSERT_EQ(left.size(), 1u) << c.name;
            EXPECT_EQ(left[0].name, c.expected) << c.name;
        }
    }
}

// A link inside a tree is removed as a link; what it points to is never entered. Real symbolic
// links where the system makes them; on Windows the decision is the attribute check (Wine cannot
// make junctions).
TEST_F(MaintenanceTest, LinksAreRemovedWithoutEnteringTheirTargets) {
    constexpr uint32_t kDirectory = 0x10, kReparsePoint = 0x400, kArchive = 0x20;
    EXPECT_TRUE(IsFolderToEnter(kDirectory));
    EXPECT_FALSE(IsFolderToEnter(kDirectory | kReparsePoint)) << "a junction";
    EXPECT_FALSE(IsFolderToEnter(kArchive | kReparsePoint)) << "a file link";
    EXPECT_FALSE(IsFolderToEnter(kArchive));

    const std::wstring outside = MakeFile(L"Outside/keep.dat", 7);
    MakeFile(L"Temp/own.dat", 3);
    std::error_code error;
    namespace fs = std::filesystem;
    fs::create_directory_symlink(fs::path(scratch_ / L"Outside"), fs::path(scratch_ / L"Temp/dir"),
                                 error);
    if (!error) fs::create_symlink(fs::path(outside), fs::path(scratch_ / L"Temp/file"), error);
    if (error) GTEST_SKIP() << "no symbolic links here: " << error.message();

    EXPECT_EQ(DirectorySize(scratch_ / L"Temp"), 3u) << "a link's target is not counted";
    DeleteTree(log_.logger(), scratch_ / L"Temp");
    EXPECT_FALSE(DirectoryExists(scratch_ / L"Temp"));
    EXPECT_TRUE(FileExists(outside));
    EXPECT_TRUE(log_.Lines().empty());
}

}  // namespace
}  // namespace velka
