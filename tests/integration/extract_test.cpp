// Unpacking single archives (hostile ones too) and the full update's packages in list order.
#include "transfer/extract.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>

#include "patcher/package_extraction.h"
#include "patcher/status.h"
#include "support/fixtures.h"
#include "support/scratch_log.h"
#include "support/zip_builder.h"

namespace velka {
namespace {

using namespace testing_support;

std::string Text(size_t size) {  // compresses to about half
    std::string data = VariedBytes(size, 9);
    for (char& c : data) c = static_cast<char>('a' + static_cast<unsigned char>(c) % 5);
    return data;
}

std::string Damaged(std::string zip) {  // compressed data overwritten, directory kept
    std::fill(zip.begin() + 1000, zip.begin() + 60000, '\xFF');
    return zip;
}

size_t Logged(const ScratchLog& log, const std::string& error) {  // ERROR lines starting so
    size_t count = 0;
    for (const LogLine& line : log.Lines()) count += line.message.rfind(error, 0) == 0;
    return count;
}

// Folder entries (by name or attributes 16), implicit folders, stored and deflated data; the
// counter grows by the file bytes. Unreadable archives fail (a failed open keeps its code), entries
// before damaged data are written; a CRC mismatch is written and logged without failing.
TEST(ExtractTest, SingleArchives) {
    ScratchFolder scratch("extract");
    ScratchLog log(scratch);
    // clang-format off
    const Tree files = {{"w/r", "hello"}, {"w/d/big", VariedBytes(1300000, 1)}, {"w/0", ""}, {"t", Text(2500000)}, {"a48", "file"}, {"z", std::string((3 << 20) + 11, 'z')}};
    std::vector<ZipItem> items = {ZipFolder("w/"), ZipFolder("w/e d/"), {"a16", "", true, 16}};
    // clang-format on
    for (const auto& [name, data] : files)
        items.push_back({name, data, name == "w/0", name == "a48" ? 48u : 0});
    ASSERT_TRUE(WriteZip(scratch / L"a.zip", items));
    std::atomic<int64_t> bytes{100};
    ASSERT_TRUE(UnzipArchive(scratch / L"a.zip", scratch / L"o", &bytes));
    EXPECT_EQ(ReadTree(scratch / L"o"), files);
    EXPECT_TRUE(DirectoryExists(scratch / L"o/w/e d") && DirectoryExists(scratch / L"o/a16"));
    EXPECT_EQ(bytes.load(), 100 + 5 + 1300000 + 2500000 + 4 + (3 << 20) + 11);
    ASSERT_TRUE(WriteZip(scratch / L"empty.zip", {}));
    EXPECT_TRUE(UnzipArchive(scratch / L"empty.zip", scratch / L"o2", &bytes));
    EXPECT_TRUE(ReadTree(scratch / L"o2").empty());

    SetLastSystemError(0);
    EXPECT_FALSE(UnzipArchive(scratch / L"missing.zip", scratch / L"b"));
    EXPECT_NE(LastSystemError(), 0u);
    ASSERT_TRUE(
        WriteZip(scratch / L"g.zip", {{"first", "first"}, {"big", VariedBytes(512 * 1024, 3)}}));
    const std::string zip = Contents(scratch / L"g.zip");
    const std::string counted =
        std::string("PK\x05\x06\0\0\0\0\1\0\1\0", 12) + std::string(10, '\0');
    for (const std::string& bad :
         {std::string("not a zip"), counted, zip.substr(0, zip.size() / 2), Damaged(zip)}) {
        ASSERT_TRUE(WriteFileBytes(scratch / L"b.zip", bad));
        EXPECT_FALSE(UnzipArchive(scratch / L"b.zip", scratch / L"b")) << bad.size();
    }
    EXPECT_EQ(Contents(scratch / L"b/first"), "first") << "written before the damage";
    ASSERT_TRUE(WriteZip(scratch / L"c.zip", {{"s", "stored bytes", true}, {"o", "other"}}));
    std::string crcs = Contents(scratch / L"c.zip");
    crcs[crcs.find("stored bytes")] = 'S';
    ASSERT_TRUE(WriteFileBytes(scratch / L"c.zip", crcs));
    EXPECT_TRUE(UnzipArchive(scratch / L"c.zip", scratch / L"c", nullptr, &log.logger()));
    EXPECT_EQ(ReadTree(scratch / L"c"), (Tree{{"s", "Stored bytes"}, {"o", "other"}}));
    EXPECT_EQ(Logged(log, "Zip entry CRC mismatch! Entry = "), 1u);
    EXPECT_EQ(Logged(log, "Zip entry CRC mismatch! Entry = s"), 1u);
}

// Names that would leave the destination (the full set is in safe_path_test) refuse the archive
// before anything is written, with one ERROR line; the longest allowed name is written; a
// file/folder clash fails inside it.
TEST(ExtractTest, HostileEntryNames) {
    const char* kUnsafe = "Unsafe zip entry name! Entry = ";
    const char* kTooLong = "Zip entry name too long! Entry = ";
    std::string longest;  // 511 bytes, in folders so no component is too long for a file system
    while (longest.size() < 511 - 101) longest += std::string(100, 'd') + "/";
    longest += std::string(511 - longest.size(), 'f');
    struct Row {
        std::vector<ZipItem> items;
        const char* line;  // the refusal's ERROR line; "" written; nullptr failed while writing
    } const rows[] = {
        // clang-format off
        {{{"../x", "e"}}, kUnsafe}, {{{"a/../../b", "e"}}, kUnsafe}, {{{"/abs", "e"}}, kUnsafe}, {{{"C:/x", "e"}}, kUnsafe},
        {{ZipFolder("../escape/")}, kUnsafe}, {{{std::string(600, 'n'), "e"}}, kTooLong}, {{{"sub/" + std::string(508, 'n'), "e"}}, kTooLong},
        {{{longest, "e"}}, ""}, {{{"x", "e"}, {"x/y", "e"}}, nullptr}, {{ZipFolder("x/"), {"x", "e"}}, nullptr}, {{{"x", "e"}, ZipFolder("x/")}, nullptr},
        // clang-format on
    };
    for (const Row& row : rows) {
        const std::string& name = row.items.back().name;
        SCOPED_TRACE(name.substr(0, 40));
        // Its own folder a row: a long name may outlast the clean-up where paths are limited.
        ScratchFolder scratch("extract" + std::to_string(&row - rows));
        ScratchLog log(scratch);
        std::vector<ZipItem> items = row.items;
        items.insert(items.begin(), ZipItem{"good.txt", "fine"});
        ASSERT_TRUE(WriteZip(scratch / L"a.zip", items));
        ASSERT_TRUE(CreateDirectories(scratch / L"r/l1/l2/dest/"));
        std::atomic<int64_t> bytes{0};
        SetLastSystemError(99);
        const bool ok =
            UnzipArchive(scratch / L"a.zip", scratch / L"r/l1/l2/dest", &bytes, &log.logger());
        const uint32_t error = LastSystemError();  // before the listings below set their own
        EXPECT_EQ(ok, row.line && !*row.line);
        const std::wstring dest = scratch / L"r/l1/l2/dest";
        EXPECT_EQ(
            FileExists(JoinPath(dest, L"good.txt")) + FileExists(JoinPath(dest, ToWide(name))),
            row.line && *row.line ? 0 : 1 + ok);
        for (const auto& [path, content] : ReadTree(scratch.Path())) {
            EXPECT_TRUE(path == "a.zip" || path == "log.txt" || path.rfind("r/l1/l2/dest/", 0) == 0)
                << path;
        }
        std::vector<DirEntry> beside;
        EXPECT_TRUE(ListDirectory(scratch / L"r/l1/l2", &beside) && beside.size() == 1u);
        if (!row.line || !*row.line) continue;
        EXPECT_EQ(error, 0u) << "no system call failed";
        EXPECT_EQ(bytes.load(), 0);
        EXPECT_EQ(Logged(log, row.line), 1u);
    }
    EXPECT_FALSE(FileExists(L"/abs"));
}

// Package is emptied, then every package unpacked two at a time with the outcome of list order;
// the earliest failure in the list is reported, with the player's text and one log line.
TEST(ExtractTest, PackagesInListOrder) {
    const std::string big = VariedBytes(3 * 1024 * 1024, 11);  // ends after a later small one
    struct Row {
        const char* what;
        std::vector<std::vector<ZipItem>> packages;
        const char* damage;          // per package: '-' sound, 'd' data damaged, 'n' not a zip
        int failing;                 // the package reported, -1 for none
        Tree files;                  // what Package holds afterwards; "*": maybe, in part
        const char* path = nullptr;  // the last entry's path instead of its archive's
    } const rows[] = {
        // clang-format off
        {"the later of two writing a file wins", {{{"w/a", big}}, {{"w/b", "b"}}, {{"w/a", "three"}}}, "", -1, {{"w/a", "three"}, {"w/b", "b"}}},
        {"the same file with the other separator", {{{"w/a", big}}, {{"w\\a", "two", true}}}, "", -1, {{"w/a", "two"}}},
        {"a file where a later package needs a folder", {{{"w/x", big}}, {{"w/x/y", "y"}}}, "", 1, {{"w/x", big}}},
        {"the same with a one-letter name", {{{"a", big}}, {{"a/b", "y"}}}, "", 1, {{"a", big}}},
        {"a folder where a later package writes a file", {{{"w/a", big}, {"w/x/y", "y"}}, {{"w/x", "x"}}}, "", 1, {{"w/a", big}, {"w/x/y", "y"}}},
        {"the earliest failure, not the first to happen", {{{"w/1", big}}, {{"w/2", VariedBytes(512 * 1024, 5)}}, {{"w/3", "3"}}}, "dd", 0, {{"w/1", "*"}, {"w/2", "*"}}},
        {"a second that is no zip stops the third", {{{"w/1", "1"}}, {{"w/2", "2"}}, {{"w/3", "3"}}}, "-n", 1, {{"w/1", "1"}}},
        {"a hostile entry", {{{"w/ok", "ok"}, {"../Game/w/velka.exe", "x"}}}, "", 0, {}},
        {"an archive outside ZipUpdate", {{{"w/1", "1"}}, {{"w/x", "x"}}}, "", 1, {{"w/1", "1"}}, "..\\..\\p1.zip"},
        // clang-format on
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        ScratchFolder scratch("extract");
        ScratchLog log(scratch);
        ASSERT_TRUE(
            WriteTree(scratch.Path(), {{"Package/old/stale", "s"}, {"Game/w/v", "installed"}}));
        std::vector<PackageEntry> entries(row.packages.size());
        int64_t written = 0;
        for (size_t i = 0; i < entries.size(); ++i) {
            entries[i].path = "p" + std::to_string(i) + ".zip";
            const std::wstring zip = scratch / ToWide("Temp/ZipUpdate/" + entries[i].path);
            ASSERT_TRUE(CreateDirectories(zip) && WriteZip(zip, row.packages[i]));
            const char damage = i < std::strlen(row.damage) ? row.damage[i] : '-';
            ASSERT_TRUE(damage == '-' ||
                        WriteFileBytes(zip, damage == 'n' ? "not a zip" : Damaged(Contents(zip))));
            for (const ZipItem& item : row.packages[i])
                written += static_cast<int64_t>(item.data.size());
        }
        if (row.path) entries.back().path = row.path;
        PatcherStatus status;
        status.bytesDone = 999;
        EXPECT_EQ(ExtractPackages(log.logger(), status, scratch.Path(), entries, 12345),
                  row.failing < 0);
        Tree package = ReadTree(scratch / L"Package"), files = row.files;
        for (const auto& [path, content] : row.files)
            if (content == "*") package.erase(path), files.erase(path);
        EXPECT_EQ(package, files);
        EXPECT_EQ(Contents(scratch / L"Game/w/v"), "installed");
        EXPECT_EQ(status.bytesTotal.load(), 12345);
        EXPECT_EQ(status.State(),
                  row.failing < 0 ? PatcherState::Extracting : PatcherState::Failed);
        if (row.failing < 0) {
            EXPECT_EQ(status.Message(), L"");
            EXPECT_EQ(status.bytesDone.load(), written);
            continue;
        }
        const std::wstring message = status.Message(),
                           text = L"解壓失敗 請檢查本地壓縮包文件讀寫權限並重開啓動器 LastError(";
        const std::string code =
            ToNarrow(message.substr(text.size(), message.size() - text.size() - 1));
        EXPECT_EQ(message, text + ToWide(std::to_string(std::stoul(code))) + L")");
        const std::string zip =
            ToNarrow(scratch / ToWide("Temp/ZipUpdate/" + entries[row.failing].path));
        EXPECT_EQ(Logged(log, "Unzip failed! Zip path : " + zip + " Unzip path : " +
                                  ToNarrow(scratch / L"Package") + " LastError = " + code),
                  1u);
        EXPECT_EQ(Logged(log, "Unzip failed! "), 1u);
    }
}

}  // namespace
}  // namespace velka
