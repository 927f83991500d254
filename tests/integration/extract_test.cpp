// Unpacking: single archives (hostile ones included), the entry decoder, and the full update's
// packages unpacked in list order into Package.
#include "transfer/extract.h"

#include <gtest/gtest.h>
#include <minizip/unzip.h>

#include <atomic>
#include <cstring>
#include <string>
#include <vector>

#include "patcher/package_extraction.h"
#include "patcher/status.h"
#include "support/fixtures.h"
#include "support/scratch_log.h"
#include "support/zip_builder.h"
#include "transfer/zip_inflate.h"

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

size_t Logged(const ScratchLog& log, const std::string& error) {
    size_t count = 0;
    for (const LogLine& line : log.Lines()) {
        count += line.level == "[ERROR] " && line.message.rfind(error, 0) == 0;
    }
    return count;
}

// Folder entries (by name or by attributes exactly 16), implicit folders, stored and deflated
// data of several write pieces; the counter grows by the file bytes from where it stood.
TEST(ExtractTest, ArchiveIsWrittenWhole) {
    ScratchFolder scratch("extract");
    const std::string big = VariedBytes(700 * 1024, 1);
    ASSERT_TRUE(WriteZip(scratch / L"a.zip", {ZipFolder("w/"),
                                              {"w/r.txt", "hello"},
                                              {"w/d/big", big},
                                              {"w/0", ""},
                                              {"w/s", "stored", true},
                                              ZipFolder("w/e d/"),
                                              {"attr16", "", true, 16},
                                              {"attr48", "file", false, 48}}));
    std::atomic<int64_t> bytes{100};
    ASSERT_TRUE(UnzipArchive(scratch / L"a.zip", scratch / L"o", &bytes));
    EXPECT_EQ(ReadTree(scratch / L"o"), (Tree{{"w/r.txt", "hello"},
                                              {"w/d/big", big},
                                              {"w/0", ""},
                                              {"w/s", "stored"},
                                              {"attr48", "file"}}));
    EXPECT_TRUE(DirectoryExists(scratch / L"o/w/e d") && DirectoryExists(scratch / L"o/attr16"));
    EXPECT_EQ(bytes.load(), 100 + 5 + static_cast<int64_t>(big.size()) + 6 + 4);
    ASSERT_TRUE(WriteZip(scratch / L"empty.zip", {}));
    EXPECT_TRUE(UnzipArchive(scratch / L"empty.zip", scratch / L"o2", &bytes));
    EXPECT_TRUE(ReadTree(scratch / L"o2").empty());
}

// Names that would leave the destination refuse the archive before anything is written, with one
// ERROR line; the longest allowed name is written; a file/folder clash fails inside it.
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
        {{{"../x", "e"}}, kUnsafe}, {{{"..\\..\\..\\x", "e"}}, kUnsafe}, {{{"a/../../b", "e"}}, kUnsafe},
        {{{"a\\..\\..\\b", "e"}}, kUnsafe}, {{{"/abs", "e"}}, kUnsafe}, {{{"\\abs", "e"}}, kUnsafe},
        {{{"C:/x", "e"}}, kUnsafe}, {{{"C:x", "e"}}, kUnsafe}, {{{".../x", "e"}}, kUnsafe},
        {{ZipFolder("../escape/")}, kUnsafe}, {{{std::string(600, 'n'), "e"}}, kTooLong},
        {{{"sub/" + std::string(508, 'n'), "e"}}, kTooLong}, {{{longest, "e"}}, ""},
        {{{"x", "e"}, {"x/y", "e"}}, nullptr}, {{ZipFolder("x/"), {"x", "e"}}, nullptr},
        // clang-format on
    };
    for (const Row& row : rows) {
        const std::string& name = row.items.back().name;
        SCOPED_TRACE(name.substr(0, 40));
        ScratchFolder scratch("extract");
        ScratchLog log(scratch);
        std::vector<ZipItem> items = row.items;
        items.insert(items.begin(), ZipItem{"good.txt", "fine"});
        ASSERT_TRUE(WriteZip(scratch / L"a.zip", items));
        ASSERT_TRUE(CreateDirectories(scratch / L"r/l1/l2/dest/"));
        std::atomic<int64_t> bytes{0};
        SetLastSystemError(99);
        const bool ok =
            UnzipArchive(scratch / L"a.zip", scratch / L"r/l1/l2/dest", &bytes, &log.logger());
        EXPECT_EQ(ok, row.line && !*row.line);
        const Tree dest = ReadTree(scratch / L"r/l1/l2/dest");
        EXPECT_EQ(dest.count("good.txt") + dest.count(name), row.line && *row.line ? 0u : 1u + ok);
        for (const auto& [path, content] : ReadTree(scratch.Path())) {
            EXPECT_TRUE(path == "a.zip" || path == "log.txt" || path.rfind("r/l1/l2/dest/", 0) == 0)
                << path;
        }
        for (const wchar_t* above : {L"r", L"r/l1", L"r/l1/l2"}) {
            std::vector<DirEntry> entries;
            EXPECT_TRUE(ListDirectory(scratch / above, &entries) && entries.size() == 1u)
                << "nothing beside";
        }
        if (!row.line || !*row.line) continue;
        EXPECT_EQ(LastSystemError(), 0u) << "no system call failed";
        EXPECT_EQ(bytes.load(), 0);
        EXPECT_EQ(Logged(log, row.line), 1u);
    }
    EXPECT_FALSE(FileExists(L"/abs"));
}

// Archives that cannot be read fail (a failed open keeps its code); entries before damaged data
// are written; data not matching their CRC are written and logged without failing.
TEST(ExtractTest, BrokenArchives) {
    ScratchFolder scratch("extract");
    ScratchLog log(scratch);
    SetLastSystemError(0);
    EXPECT_FALSE(UnzipArchive(scratch / L"missing.zip", scratch / L"o"));
    EXPECT_NE(LastSystemError(), 0u);
    ASSERT_TRUE(
        WriteZip(scratch / L"g.zip", {{"first", "first"}, {"big", VariedBytes(512 * 1024, 3)}}));
    const std::string zip = Contents(scratch / L"g.zip");
    for (const std::string& bad :
         {std::string("not a zip file"), zip.substr(0, zip.size() / 2), Damaged(zip)}) {
        ASSERT_TRUE(WriteFileBytes(scratch / L"b.zip", bad));
        EXPECT_FALSE(UnzipArchive(scratch / L"b.zip", scratch / L"o")) << bad.size();
    }
    EXPECT_EQ(Contents(scratch / L"o/first"), "first") << "written before the damage";
    ASSERT_TRUE(WriteZip(scratch / L"c.zip", {{"s", "stored bytes", true}, {"o", "other"}}));
    std::string bytes = Contents(scratch / L"c.zip");
    bytes[bytes.find("stored bytes")] = 'S';
    ASSERT_TRUE(WriteFileBytes(scratch / L"c.zip", bytes));
    EXPECT_TRUE(UnzipArchive(scratch / L"c.zip", scratch / L"c", nullptr, &log.logger()));
    EXPECT_EQ(ReadTree(scratch / L"c"), (Tree{{"s", "Stored bytes"}, {"o", "other"}}));
    EXPECT_TRUE(Logged(log, "Zip entry CRC mismatch! Entry = s"));
    EXPECT_FALSE(Logged(log, "Zip entry CRC mismatch! Entry = o"));
}

// The decoder against minizip's own directory reading: sound entries of many sizes come out byte
// for byte; mis-described ones are told apart and never written past their declared size.
TEST(ExtractTest, EntryDecoder) {
    ScratchFolder scratch("extract");
    const std::string data = Text(300000);
    const std::vector<ZipItem> items = {{"s", "stored as it is", true},
                                        {"e", ""},
                                        {"a", data},
                                        {"t", Text(3 * 1024 * 1024 + 11)},
                                        {"r", VariedBytes(2100000, 4)},
                                        {"rs", VariedBytes(1100000, 5), true},
                                        {"d", data, true}};
    ASSERT_TRUE(WriteZip(scratch / L"p.zip", items));
    std::vector<ZipEntryData> entries;
    unzFile archive = unzOpen64(ToNarrow(scratch / L"p.zip").c_str());
    ASSERT_NE(archive, nullptr);
    for (int step = unzGoToFirstFile(archive); step == UNZ_OK; step = unzGoToNextFile(archive)) {
        unz_file_info64 info;
        unzGetCurrentFileInfo64(archive, &info, nullptr, 0, nullptr, 0, nullptr, 0);
        unzOpenCurrentFile2(archive, nullptr, nullptr, 1);
        entries.push_back({static_cast<uint64_t>(unzGetCurrentFileZStreamPos64(archive)),
                           info.compressed_size, info.uncompressed_size,
                           static_cast<uint32_t>(info.compression_method),
                           static_cast<uint32_t>(info.crc)});
        unzCloseCurrentFile(archive);
    }
    unzClose(archive);
    ASSERT_EQ(entries.size(), items.size());
    ASSERT_TRUE(WriteFileBytes(scratch / L"ff", std::string(4096, '\xFF')));  // reserved block type
    struct Case {
        const char* name;
        ZipEntryData entry;
        ZipDecodeStatus status;
        size_t written;  // bytes of `data` in the file afterwards
        bool garbage = false;
    };
    std::vector<Case> cases;
    for (size_t i = 0; i < items.size(); ++i)
        cases.push_back({"sound", entries[i], ZipDecodeStatus::Ok, 0});
    auto with = [&](size_t i, auto change) {
        ZipEntryData e = entries[i];
        change(e);
        return e;
    };
    // clang-format off
    cases.push_back({"CRC differs", with(2, [](auto& e) { e.crc ^= 1; }), ZipDecodeStatus::Mismatch, data.size()});
    cases.push_back({"deflate cut short", with(2, [](auto& e) { e.compressedSize /= 2; }), ZipDecodeStatus::Mismatch, 1});
    cases.push_back({"longer than the stream", with(2, [](auto& e) { e.uncompressedSize += 10; }), ZipDecodeStatus::Mismatch, data.size()});
    cases.push_back({"declared shorter", with(6, [](auto& e) { e.uncompressedSize = 1000; }), ZipDecodeStatus::Mismatch, 1000});
    cases.push_back({"stored cut short", with(6, [](auto& e) { e.compressedSize = 500; }), ZipDecodeStatus::Mismatch, 500});
    cases.push_back({"not deflate data", with(2, [](auto& e) { e.offset = 0; }), ZipDecodeStatus::DataDamaged, 1, true});
    cases.push_back({"sound after damage", entries[2], ZipDecodeStatus::Ok, data.size()});
    // clang-format on
    ZipEntryDecoder decoder;  // one for every entry, as an archive's unpacking uses it
    for (size_t i = 0; i < cases.size(); ++i) {
        const Case& c = cases[i];
        SCOPED_TRACE(c.name + std::to_string(i));
        File in(scratch / (c.garbage ? L"ff" : L"p.zip"), "rb"), out(scratch / L"out", "wb");
        ASSERT_TRUE(in && out);
        std::setvbuf(out.get(), nullptr, _IONBF, 0);
        std::atomic<int64_t> counted{0};
        EXPECT_EQ(decoder.Decode(in.get(), c.entry, out.get(), &counted), c.status);
        out.Close();
        const std::string got = Contents(scratch / L"out");
        EXPECT_EQ(counted.load(), static_cast<int64_t>(got.size()));
        EXPECT_TRUE(c.written == 1
                        ? got.size() < data.size()
                        : got == (c.written ? data.substr(0, c.written) : items[i].data));
    }
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
        Tree files;                  // some of what Package holds afterwards
        const char* path = nullptr;  // the last entry's path instead of its archive's
    } const rows[] = {
        // clang-format off
        {"the later of two writing a file wins", {{{"w/a", big}}, {{"w/b", "b"}}, {{"w/a", "three"}}}, "", -1, {{"w/a", "three"}, {"w/b", "b"}}},
        {"the same file with the other separator", {{{"w/a", big}}, {{"w\\a", "two", true}}}, "", -1, {{"w/a", "two"}}},
        {"a file where a later package needs a folder", {{{"w/x", big}}, {{"w/x/y", "y"}}}, "", 1, {{"w/x", big}}},
        {"a folder where a later package writes a file", {{{"w/a", big}, {"w/x/y", "y"}}, {{"w/x", "x"}}}, "", 1, {{"w/x/y", "y"}}},
        {"the earliest failure, not the first to happen", {{{"w/1", big}}, {{"w/2", VariedBytes(512 * 1024, 5)}}, {{"w/3", "3"}}}, "dd", 0, {}},
        {"a second that is no zip stops the third", {{{"w/1", "1"}}, {{"w/2", "2"}}, {{"w/3", "3"}}}, "-n", 1, {{"w/1", "1"}}},
        {"a hostile entry", {{{"w/ok", "ok"}, {"../Game/w/velka.exe", "x"}}}, "", 0, {}},
        {"an archive outside ZipUpdate", {{{"w/1", "1"}}, {{"w/x", "x"}}}, "", 1, {{"w/1", "1"}}, "..\\..\\p1.zip"},
        // clang-format on
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        ScratchFolder scratch("extract");
        ScratchLog log(scratch);
        ASSERT_TRUE(WriteTree(scratch.Path(),
                              {{"Package/old/stale", "s"}, {"Game/w/velka.exe", "installed"}}));
        std::vector<PackageEntry> entries;
        int64_t written = 0;
        for (size_t i = 0; i < row.packages.size(); ++i) {
            const std::wstring zip =
                scratch / ToWide("Temp/ZipUpdate/p" + std::to_string(i) + ".zip");
            ASSERT_TRUE(CreateDirectories(zip) && WriteZip(zip, row.packages[i]));
            const char damage = i < std::strlen(row.damage) ? row.damage[i] : '-';
            ASSERT_TRUE(damage == '-' ||
                        WriteFileBytes(zip, damage == 'n' ? "not a zip" : Damaged(Contents(zip))));
            for (const ZipItem& item : row.packages[i])
                written += static_cast<int64_t>(item.data.size());
            entries.emplace_back().path = "p" + std::to_string(i) + ".zip";
        }
        if (row.path) entries.back().path = row.path;
        PatcherStatus status;
        status.bytesDone = 999;
        EXPECT_EQ(ExtractPackages(log.logger(), status, scratch.Path(), entries, 12345),
                  row.failing < 0);
        const Tree package = ReadTree(scratch / L"Package");
        for (const auto& [path, content] : row.files)
            EXPECT_TRUE(package.count(path) && package.at(path) == content) << path;
        EXPECT_EQ(package.count("old/stale") + package.count("w/3"), 0u);
        EXPECT_EQ(Contents(scratch / L"Game/w/velka.exe"), "installed");
        EXPECT_EQ(status.bytesTotal.load(), 12345);
        if (row.failing < 0) {
            EXPECT_EQ(status.State(), PatcherState::Extracting);
            EXPECT_EQ(status.Message(), L"");
            EXPECT_EQ(status.bytesDone.load(), written);
            continue;
        }
        EXPECT_EQ(status.State(), PatcherState::Failed);
        const std::wstring message = status.Message();
        const std::wstring prefix = L"解壓失敗 請檢查本地壓縮包文件讀寫權限並重開啓動器 LastError(";
        ASSERT_EQ(message.rfind(prefix, 0), 0u) << ToNarrow(message);
        const std::string code =
            ToNarrow(message.substr(prefix.size(), message.size() - prefix.size() - 1));
        EXPECT_EQ(code.find_first_not_of("0123456789"), std::string::npos) << code;
        EXPECT_EQ(message.back(), L')');
        const std::string zip =
            ToNarrow(scratch / ToWide("Temp/ZipUpdate/" + entries[row.failing].path));
        EXPECT_TRUE(Logged(log, "Unzip failed! Zip path : " + zip + " Unzip path : " +
                                    ToNarrow(scratch / L"Package") + " LastError = " + code));
        EXPECT_EQ(Logged(log, "Unzip failed! "), 1u);
    }
}

}  // namespace
}  // namespace velka
