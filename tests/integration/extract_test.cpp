#include "transfer/extract.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "patcher/package_extraction.h"
#include "patcher/status.h"
#include "platform/fs.h"
#include "platform/text.h"
#include "support/scratch_log.h"
#include "support/zip_builder.h"

namespace velka {
namespace {

namespace fs = std::filesystem;
using testing_support::ScratchFolder;
using testing_support::ScratchLog;
using testing_support::WriteZip;
using testing_support::ZipFolder;
using testing_support::ZipItem;

std::string Contents(const std::wstring& path) {
    std::string bytes;
    EXPECT_TRUE(ReadFileBytes(path, &bytes)) << ToNarrow(path);
    return bytes;
}

// Every file and folder below `root`, as "/"-separated relative paths.
std::set<std::string> TreeOf(const std::wstring& root) {
    std::set<std::string> names;
    std::error_code error;
    for (auto it = fs::recursive_directory_iterator(fs::path(root), error);
         !error && it != fs::recursive_directory_iterator(); it.increment(error)) {
        std::string name = fs::relative(it->path(), fs::path(root)).generic_u8string();
        if (it->is_directory()) name += "/";
        names.insert(name);
    }
    return names;
}

// Data that deflate cannot shrink to nothing, so damaged archives damage real compressed bytes.
std::string VariedData(size_t size, uint32_t seed) {
    std::string data(size, '\0');
    for (char& c : data) {
        seed = seed * 1103515245u + 12345u;
        c = static_cast<char>('a' + (seed >> 16) % 7);
    }
    return data;
}

bool HasErrorLine(const ScratchLog& log, const std::string& prefix) {
    for (const auto& line : log.Lines()) {
        if (line.level == "[ERROR] " && line.message.rfind(prefix, 0) == 0) return true;
    }
    return false;
}

// ----- UnzipArchive -------------------------------------------------------------------------

TEST(UnzipArchiveTest, FoldersFilesAndProgress) {
    ScratchFolder scratch("extract");
    const std::string big = VariedData(700 * 1024, 1);  // several write pieces
    ASSERT_TRUE(WriteZip(scratch / L"a.zip",
                         {
                             ZipFolder("velka_win/"),
                             {"velka_win/readme.txt", "hello", false, 0},
                             {"velka_win/data/big.pak", big, false, 0},  // no folder entry first
                             {"velka_win/empty.txt", "", false, 0},
                             {"velka_win/stored.bin", "stored bytes", true, 0},
                             ZipFolder("velka_win/empty folder/"),
                             {"attr16", "", true, 16},                // folder by attribute alone
                             {"attr48.txt", "file", false, 16 | 32},  // more bits: a file
                         }));
    const std::wstring dest = scratch / L"out";
    std::atomic<int64_t> bytes{100};
    ASSERT_TRUE(UnzipArchive(scratch / L"a.zip", dest, &bytes));

    EXPECT_EQ(Contents(dest + L"/velka_win/readme.txt"), "hello");
    EXPECT_EQ(Contents(dest + L"/velka_win/data/big.pak"), big);
    EXPECT_EQ(FileSize64(dest + L"/velka_win/empty.txt"), 0);
    EXPECT_EQ(Contents(dest + L"/velka_win/stored.bin"), "stored bytes");
    EXPECT_TRUE(DirectoryExists(dest + L"/velka_win/empty folder"));
    EXPECT_TRUE(DirectoryExists(dest + L"/attr16"));
    EXPECT_EQ(Contents(dest + L"/attr48.txt"), "file");
    EXPECT_EQ(bytes.load(), 100 + 5 + static_cast<int64_t>(big.size()) + 12 + 4)
        << "the counter grows by the file bytes only, from where it stood";
}

TEST(UnzipArchiveTest, ArchiveWithoutEntriesSucceedsAndWritesNothing) {
    ScratchFolder scratch("extract");
    ASSERT_TRUE(WriteZip(scratch / L"empty.zip", {}));
    std::atomic<int64_t> bytes{0};
    EXPECT_TRUE(UnzipArchive(scratch / L"empty.zip", scratch / L"out", &bytes));
    EXPECT_EQ(bytes.load(), 0);
    EXPECT_TRUE(TreeOf(scratch / L"out").empty());
}

TEST(UnzipArchiveTest, ArchiveMadeByInfoZip) {
    if (std::system("zip -v > /dev/null 2>&1") != 0) {
        GTEST_SKIP() << "Info-ZIP zip is not on PATH";
    }
    ScratchFolder scratch("extract");
    const std::wstring source = scratch / L"src";
    const std::string big = VariedData(1500 * 1024, 7);
    const std::vector<std::pair<std::wstring, std::string>> files = {
        {L"velka_win/velka.exe", "MZ fake executable"},
        {L"velka_win/data/level 1.pak", big},
        {L"velka_win/data/empty.dat", ""},
    };
    int64_t total = 0;
    for (const auto& file : files) {
        ASSERT_TRUE(CreateDirectories(JoinPath(source, file.first)));
        ASSERT_TRUE(WriteFileBytes(JoinPath(source, file.first), file.second));
        total += static_cast<int64_t>(file.second.size());
    }
    ASSERT_TRUE(CreateDirectories(source + L"/velka_win/saves/"));
    const std::string command =
        "cd '" + ToNarrow(source) + "' && zip -q -r -X ../info.zip velka_win";
    ASSERT_EQ(std::system(command.c_str()), 0) << command;

    const std::wstring dest = scratch / L"out";
    std::atomic<int64_t> bytes{0};
    ASSERT_TRUE(UnzipArchive(scratch / L"info.zip", dest, &bytes));
    for (const auto& file : files) {
        EXPECT_EQ(Contents(JoinPath(dest, file.first)), file.second) << ToNarrow(file.first);
    }
    EXPECT_TRUE(DirectoryExists(dest + L"/velka_win/saves"));
    EXPECT_EQ(bytes.load(), total);
    EXPECT_EQ(TreeOf(dest), TreeOf(source)) << "the same tree, nothing more";
}

TEST(UnzipArchiveTest, EntriesLeavingTheDestinationRefuseTheWholeArchive) {
    const std::string hostile[] = {
        "../evil.txt",
        "..\\evil.txt",
        "../../../../evil.txt",
        "..\\..\\..\\..\\evil.txt",
        "sub/../../evil.txt",
        "sub\\..\\..\\evil.txt",
        "/abs.txt",
        "\\abs.txt",
        "C:/x.txt",
        "C:x.txt",
        "C:\\x.txt",
        "../escape/",  // a folder entry
        ".../evil.txt",
        std::string(600, 'n'),
        "sub/" + std::string(508, 'n'),  // 512 bytes: one past what a name may hold
    };
    for (const std::string& name : hostile) {
        ScratchFolder scratch("extract");
        ScratchLog log(scratch);
        const std::wstring zip = scratch / L"archive.zip";
        ASSERT_TRUE(WriteZip(zip, {{"good.txt", "fine", false, 0}, {name, "evil", false, 0}}))
            << name.substr(0, 40);
        const std::wstring dest = scratch / L"root/l1/l2/dest";
        ASSERT_TRUE(CreateDirectories(dest + L"/"));

        std::atomic<int64_t> bytes{0};
        SetLastSystemError(99);
        EXPECT_FALSE(UnzipArchive(zip, dest, &bytes, &log.logger())) << name.substr(0, 40);
        EXPECT_EQ(LastSystemError(), 0u) << "no system call failed: " << name.substr(0, 40);
        EXPECT_EQ(bytes.load(), 0) << name.substr(0, 40);

        // Nothing at all was written, neither in the destination nor above it.
        const std::set<std::string> expected = {"archive.zip", "log.txt",     "root/",
                                                "root/l1/",    "root/l1/l2/", "root/l1/l2/dest/"};
        EXPECT_EQ(TreeOf(scratch.Path()), expected) << name.substr(0, 40);
        EXPECT_FALSE(FileExists(L"/abs.txt"));
        EXPECT_TRUE(HasErrorLine(log, name.size() >= 512 ? "Zip entry name too long! Entry = "
                                                         : "Unsafe zip entry name! Entry = "))
            << name.substr(0, 40);
    }
}

TEST(UnzipArchiveTest, LongestAllowedNameIsWritten) {
    ScratchFolder scratch("extract");
    // 511 bytes in all; kept in folders so no single component is too long for a file system.
    std::string name;
    while (name.size() < 511 - 101) name += std::string(100, 'd') + "/";
    name += std::string(511 - name.size(), 'f');
    ASSERT_EQ(name.size(), 511u);
    ASSERT_TRUE(WriteZip(scratch / L"a.zip", {{name, "long", false, 0}}));
    ASSERT_TRUE(UnzipArchive(scratch / L"a.zip", scratch / L"o"));
    EXPECT_EQ(Contents(JoinPath(scratch / L"o", ToWide(name))), "long");
}

TEST(UnzipArchiveTest, MissingNonZipTruncatedAndDamagedArchivesFail) {
    ScratchFolder scratch("extract");
    const std::wstring dest = scratch / L"out";

    SetLastSystemError(0);
    EXPECT_FALSE(UnzipArchive(scratch / L"missing.zip", dest));
    EXPECT_NE(LastSystemError(), 0u) << "the failed open's code is kept";

    ASSERT_TRUE(WriteFileBytes(scratch / L"text.zip", "this is not a zip file at all"));
    EXPECT_FALSE(UnzipArchive(scratch / L"text.zip", dest));

    const std::string big = VariedData(512 * 1024, 3);
    ASSERT_TRUE(WriteZip(scratch / L"good.zip",
                         {{"first.txt", "first", false, 0}, {"big.bin", big, false, 0}}));
    std::string bytes = Contents(scratch / L"good.zip");

    // Cut in the middle: the central directory at the end is gone.
    ASSERT_TRUE(WriteFileBytes(scratch / L"truncated.zip", bytes.substr(0, bytes.size() / 2)));
    EXPECT_FALSE(UnzipArchive(scratch / L"truncated.zip", dest));

    // Directory intact, compressed data of big.bin overwritten.
    std::string damaged = bytes;
    std::fill(damaged.begin() + 1000, damaged.begin() + 60000, '\xFF');
    ASSERT_TRUE(WriteFileBytes(scratch / L"damaged.zip", damaged));
    EXPECT_FALSE(UnzipArchive(scratch / L"damaged.zip", dest));
    EXPECT_EQ(Contents(dest + L"/first.txt"), "first") << "entries before the damage are written";
}

TEST(UnzipArchiveTest, DataNotMatchingTheirCrcAreWrittenAndLogged) {
    ScratchFolder scratch("extract");
    ScratchLog log(scratch);
    ASSERT_TRUE(WriteZip(scratch / L"a.zip", {{"stored.bin", "stored bytes", true, 0},
                                              {"other.txt", "other", false, 0}}));
    std::string bytes = Contents(scratch / L"a.zip");
    const size_t at = bytes.find("stored bytes");
    ASSERT_NE(at, std::string::npos);
    bytes[at] = 'S';
    ASSERT_TRUE(WriteFileBytes(scratch / L"a.zip", bytes));

    EXPECT_TRUE(UnzipArchive(scratch / L"a.zip", scratch / L"out", nullptr, &log.logger()));
    EXPECT_EQ(Contents(scratch / L"out/stored.bin"), "Stored bytes");
    EXPECT_EQ(Contents(scratch / L"out/other.txt"), "other");
    EXPECT_TRUE(HasErrorLine(log, "Zip entry CRC mismatch! Entry = stored.bin"));
    EXPECT_FALSE(HasErrorLine(log, "Zip entry CRC mismatch! Entry = other.txt"));
}

// ----- ExtractPackages ----------------------------------------------------------------------

struct PackageSet {
    std::vector<PackageEntry> entries;
    uint64_t unpacked = 0;
};

// Three packages in base/Temp/ZipUpdate, holding the game below velka_win.
PackageSet MakePackages(const ScratchFolder& scratch) {
    PackageSet set;
    const std::wstring zipDir = scratch / L"Temp/ZipUpdate/";
    EXPECT_TRUE(CreateDirectories(zipDir));
    for (int i = 1; i <= 3; ++i) {
        const std::string data = VariedData(100000 * i, i);
        const std::string file = "pkg" + std::to_string(i) + ".zip";
        EXPECT_TRUE(WriteZip(JoinPath(zipDir, ToWide(file)),
                             {ZipFolder("velka_win/"),
                              {"velka_win/part" + std::to_string(i) + ".pak", data, false, 0}}));
        PackageEntry entry;
        entry.name = file;
        entry.path = file;
        entry.unpackedSize = static_cast<int64_t>(data.size());
        set.unpacked += data.size();
        set.entries.push_back(entry);
    }
    return set;
}

TEST(ExtractPackagesTest, EmptiesPackageThenUnpacksEveryArchive) {
    ScratchFolder scratch("extract");
    ScratchLog log(scratch);
    PackageSet set = MakePackages(scratch);
    set.entries[1].needsDownload = true;  // flags do not matter here
    set.entries[2].failed = true;
    ASSERT_TRUE(CreateDirectories(scratch / L"Package/old/"));
    ASSERT_TRUE(WriteFileBytes(scratch / L"Package/old/stale.txt", "stale"));

    PatcherStatus status;
    status.SetMessage(L"before");
    status.bytesDone = 999;
    ASSERT_TRUE(ExtractPackages(log.logger(), status, scratch.Path(), set.entries, set.unpacked));

    EXPECT_FALSE(DirectoryExists(scratch / L"Package/old")) << "Package is emptied first";
    for (int i = 1; i <= 3; ++i) {
        const std::wstring part =
            scratch / ToWide("Package/velka_win/part" + std::to_string(i) + ".pak");
        EXPECT_EQ(FileSize64(part), 100000 * i) << i;
    }
    EXPECT_EQ(status.State(), PatcherState::Extracting);
    EXPECT_EQ(status.Message(), L"");
    EXPECT_EQ(status.bytesTotal.load(), static_cast<int64_t>(set.unpacked));
    EXPECT_EQ(status.bytesDone.load(), static_cast<int64_t>(set.unpacked))
        << "progress reaches the total";
}

TEST(ExtractPackagesTest, DamagedSecondArchiveStopsWithTheFailureText) {
    ScratchFolder scratch("extract");
    ScratchLog log(scratch);
    PackageSet set = MakePackages(scratch);
    const std::wstring second = scratch / L"Temp/ZipUpdate/pkg2.zip";
    ASSERT_TRUE(WriteFileBytes(second, "damaged"));

    PatcherStatus status;
    EXPECT_FALSE(ExtractPackages(log.logger(), status, scratch.Path(), set.entries, set.unpacked));

    EXPECT_EQ(FileSize64(scratch / L"Package/velka_win/part1.pak"), 100000);
    EXPECT_FALSE(FileExists(scratch / L"Package/velka_win/part3.pak")) << "third not opened";
    EXPECT_EQ(status.State(), PatcherState::Failed);

    const std::wstring message = status.Message();
    const std::wstring prefix = L"解壓失敗 請檢查本地壓縮包文件讀寫權限並重開啓動器 LastError(";
    ASSERT_EQ(message.rfind(prefix, 0), 0u) << ToNarrow(message);
    ASSERT_EQ(message.back(), L')');
    const std::string code =
        ToNarrow(message.substr(prefix.size(), message.size() - prefix.size() - 1));
    ASSERT_FALSE(code.empty());
    EXPECT_EQ(code.find_first_not_of("0123456789"), std::string::npos) << code;

    EXPECT_TRUE(HasErrorLine(log, "Unzip failed! Zip path : " + ToNarrow(second) +
                                      " Unzip path : " + ToNarrow(scratch / L"Package") +
                                      " LastError = " + code));
}

TEST(ExtractPackagesTest, HostileArchiveOrPackagePathTouchesNothingOutsidePackage) {
    ScratchFolder scratch("extract");
    ScratchLog log(scratch);
    const std::wstring zipDir = scratch / L"Temp/ZipUpdate/";
    ASSERT_TRUE(CreateDirectories(zipDir));
    ASSERT_TRUE(WriteZip(zipDir + L"evil.zip", {{"velka_win/ok.txt", "ok", false, 0},
                                                {"../Game/velka_win/velka.exe", "x", false, 0}}));
    ASSERT_TRUE(CreateDirectories(scratch / L"Game/velka_win/"));
    ASSERT_TRUE(WriteFileBytes(scratch / L"Game/velka_win/velka.exe", "installed"));

    PackageEntry evil;
    evil.path = "evil.zip";
    PatcherStatus status;
    EXPECT_FALSE(ExtractPackages(log.logger(), status, scratch.Path(), {evil}, 3));
    EXPECT_EQ(Contents(scratch / L"Game/velka_win/velka.exe"), "installed");
    EXPECT_EQ(status.State(), PatcherState::Failed);
    EXPECT_EQ(status.Message(), L"解壓失敗 請檢查本地壓縮包文件讀寫權限並重開啓動器 LastError(0)");

    // A hand-made entry naming an archive outside Temp\ZipUpdate is not opened.
    ASSERT_TRUE(WriteZip(scratch / L"outside.zip", {{"velka_win/x.txt", "x", false, 0}}));
    PackageEntry outside;
    outside.path = "..\\..\\outside.zip";
    PatcherStatus second;
    EXPECT_FALSE(ExtractPackages(log.logger(), second, scratch.Path(), {outside}, 1));
    EXPECT_FALSE(FileExists(scratch / L"Package/velka_win/x.txt"));
    EXPECT_EQ(second.State(), PatcherState::Failed);
}

// Packages are unpacked two at a time, yet the outcome is that of list order.
TEST(ExtractPackagesTest, OverlappingPackagesAndFailuresKeepListOrder) {
    // The first package is large, so a later one run beside it would finish first.
    const std::string big = VariedData(3 * 1024 * 1024, 11);
    struct Row {
        const char* what;
        std::vector<std::vector<ZipItem>> packages;
        std::vector<size_t> damaged;  // their compressed data overwritten
        int failing;                  // the package reported, -1 for none
        std::vector<std::pair<std::string, std::string>> files;
    };
    const std::vector<Row> rows = {
        {"the later of two packages writing a file wins",
         {{{"velka_win/a.txt", big, false, 0}},
          {{"velka_win/b.txt", "b", false, 0}},
          {{"velka_win/a.txt", "three", false, 0}}},
         {},
         -1,
         {{"velka_win/a.txt", "three"}, {"velka_win/b.txt", "b"}}},
        {"the same file named with the other separator",
         {{{"velka_win/a.txt", big, false, 0}}, {{"velka_win\\a.txt", "two", true, 0}}},
         {},
         -1,
         {{"velka_win/a.txt", "two"}}},
        {"a file where a later package needs a folder fails the later package",
         {{{"velka_win/x", big, false, 0}}, {{"velka_win/x/y.txt", "y", false, 0}}},
         {},
         1,
         {{"velka_win/x", big}}},
        {"a folder where a later package writes a file fails the later package",
         {{{"velka_win/a.txt", big, false, 0}, {"velka_win/x/y.txt", "y", false, 0}},
          {{"velka_win/x", "x", false, 0}}},
         {},
         1,
         {{"velka_win/a.txt", big}, {"velka_win/x/y.txt", "y"}}},
        {"the earliest failure is reported, not the first to happen",
         {{{"velka_win/first.txt", big, false, 0}},
          {{"velka_win/second.txt", VariedData(512 * 1024, 5), false, 0}},
          {{"velka_win/third.txt", "third", false, 0}}},
         {0, 1},
         0,
         {}},
    };
    for (const Row& row : rows) {
        ScratchFolder scratch("extract");
        ScratchLog log(scratch);
        const std::wstring zipDir = scratch / L"Temp/ZipUpdate/";
        ASSERT_TRUE(CreateDirectories(zipDir));
        std::vector<PackageEntry> entries;
        for (size_t i = 0; i < row.packages.size(); ++i) {
            const std::wstring zip = JoinPath(zipDir, ToWide("p" + std::to_string(i) + ".zip"));
            ASSERT_TRUE(WriteZip(zip, row.packages[i])) << row.what;
            if (std::count(row.damaged.begin(), row.damaged.end(), i) != 0) {
                std::string bytes = Contents(zip);
                std::fill(bytes.begin() + 1000, bytes.begin() + 60000, '\xFF');
                ASSERT_TRUE(WriteFileBytes(zip, bytes));
            }
            PackageEntry entry;
            entry.path = "p" + std::to_string(i) + ".zip";
            entries.push_back(entry);
        }
        PatcherStatus status;
        EXPECT_EQ(ExtractPackages(log.logger(), status, scratch.Path(), entries, 1),
                  row.failing < 0)
            << row.what;
        for (const auto& file : row.files) {
            EXPECT_EQ(Contents(scratch / ToWide("Package/" + file.first)), file.second)
                << row.what << ": " << file.first;
        }
        size_t failureLines = 0;
        for (const auto& line : log.Lines()) {
            if (line.message.rfind("Unzip failed! Zip path : ", 0) != 0) continue;
            ++failureLines;
            const std::string zip = "p" + std::to_string(row.failing) + ".zip";
            EXPECT_NE(line.message.find(zip + " Unzip path : "), std::string::npos)
                << row.what << ": " << line.message;
        }
        EXPECT_EQ(failureLines, row.failing < 0 ? 0u : 1u) << row.what;
    }
}

}  // namespace
}  // namespace velka
