// The file and package lists: parsing and the check of local files against them.
#include "patcher/file_lists.h"

#include <gtest/gtest.h>

#include <cstdio>

#include "patcher/status.h"
#include "support/fixtures.h"
#include "support/scratch_log.h"

namespace velka {
namespace {

using namespace testing_support;

template <typename Entry>  // "name|path|sizes|CRC|error", joined by ";"
std::string Describe(const std::vector<Entry>& entries) {
    std::string out;
    for (const Entry& e : entries) {
        out += (out.empty() ? "" : ";") + e.name + "|" + e.path + "|";
        if constexpr (std::is_same_v<Entry, FileEntry>) out += std::to_string(e.size);
        if constexpr (!std::is_same_v<Entry, FileEntry>)
            out += std::to_string(e.unpackedSize) + "/" + std::to_string(e.packageSize);
        out += "|" + e.crc + "|" + ToNarrow(e.error);
    }
    return out;
}

// What each parser makes of a list: kept entries, failed ones that do not stop the parse, dropped
// lines, and hostile paths that reject the whole list with one ERROR line (its text is pinned with
// the download sets) and add nothing.
TEST(FileListsTest, ParsingTable) {
    struct Row {
        bool package;
        std::string text;
        bool ok;
        std::string entries;
        uint64_t added;  // to the caller's unpacked total (package lists)
    } const rows[] = {
        // clang-format off
        {false, "", true, "", 0},
        {false, "a.dll=bin\\a.dll$3$a1b2c3d4\r\n", true, "a.dll|bin\\a.dll|3|A1B2C3D4|", 0},
        {false, "\357\273\277a=a$3$0\n\nb=b$1$ab\t", true, "a|a|3|0|;b|b|1|AB|", 0},
        {false, " n = p $ 5 $ ab ", true, " n | p |5|AB|", 0},  // only the CRC is trimmed
        {false, "big=a$4294967295$0\nj=a$12abc$0", true, "big|a|4294967295|0|;j|a|12|0|", 0},
        {false, "bad hex=a$1$zz\ndup=a$1$0\ndup=a$1$0", true, "bad hex|a|1|ZZ|;dup|a|1|0|;dup|a|1|0|", 0},
        {false, "a==b$1$2\nx=y$1\nx=y$1$2$3\nx=y\nx=$$$", true,
         "a|b|1|2|;x||0||Parse Failed;x||0||Parse Failed;x||0||Parse Failed;x||0||Parse Failed", 0},
        {false, "x\n\r\na=b=c$1$2\n=a$1$2\n", true, "", 0},
        {false, "good=ok.txt$1$0\nbad=..\\x.dll$1$0\n", false, "", 0},
        {false, "bad=C:\\x.dll$1$0\n", false, "", 0},
        {true, "p1=pkg1.zip$5000000000$3000000000$abcdef01\r\np2=s\\p2.zip$200$40$0A\n", true,
         "p1|pkg1.zip|5000000000/3000000000|ABCDEF01|;p2|s\\p2.zip|200/40|0A|", 5000000200},
        {true, "a=x$1$2\nb=p$1$2$3$4\nc=p$-1$1$0\nd=p$1$-1$0\ne=p$7$1$0", true,
         "a||0/0||Parse Failed;b||0/0||Parse Failed;c||0/0||Parse Failed;d||0/0||Parse Failed;e|p|7/1|0|", 7},
        {true, "good=ok.zip$10$1$0\nbad=/etc/x$10$1$0\n", false, "", 0},
        // clang-format on
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.text);
        ScratchFolder scratch("lists");
        ScratchLog log(scratch);
        PatcherStatus status;
        status.bytesTotal = 7;
        uint64_t total = 1000;
        std::vector<FileEntry> files;
        std::vector<PackageEntry> packages;
        EXPECT_EQ(row.package ? ParsePackageList(log.logger(), status, row.text, &packages, &total)
                              : ParseFileList(log.logger(), status, row.text, &files),
                  row.ok);
        EXPECT_EQ(row.package ? Describe(packages) : Describe(files), row.entries);
        EXPECT_EQ(total, 1000 + row.added);
        EXPECT_EQ(status.bytesTotal.load(), 0);
        EXPECT_EQ(log.Lines().size(), row.ok ? 0u : 1u) << "one ERROR line names a hostile entry";
    }
}

// Missing, other length or other CRC marks an entry; an intact one is cleared and counted.
TEST(FileListsTest, LocalCheckMarksWhatMustBeFetched) {
    ScratchFolder scratch("lists");
    ScratchLog log(scratch);
    // clang-format off
    ASSERT_TRUE(WriteTree(scratch / L"Game", {{"ok", "123456789"}, {"longer", "1234567890"}, {"wrong", "123456789"},
                                              {"sub dir/b c", "abc"}, {"zeros", "velka414"}, {"lower", "abc"}}));
    // clang-format on
    PatcherStatus status;
    status.filesDone = 40;
    std::vector<FileEntry> entries;
    ASSERT_TRUE(ParseFileList(log.logger(), status,
                              "ok=ok$9$CBF43926\nmissing=missing$4$0\nlonger=longer$9$CBF43926\n"
                              "wrong=wrong$9$CBF43927\nblank=sub dir\\b c$3$352441C2\n"
                              "zeros=zeros$8$56836C\nlower=lower$3$352441c2\nbroken=x$1\n",
                              &entries));
    entries[0].needsDownload = true;  // an earlier check's mark is cleared when intact
    const LocalCheckResult result = CheckLocalFiles(status, scratch / L"Game/", entries);
    std::string marks;
    for (const FileEntry& e : entries) marks += e.needsDownload ? 'D' : '-';
    EXPECT_EQ(marks, "-DDD-D-D");
    EXPECT_EQ(std::make_tuple(result.filesToDownload, result.bytesToDownload, result.openFailures),
              std::make_tuple(5u, uint64_t{30}, 0u));
    EXPECT_EQ(status.filesDone.load(), 3);
    EXPECT_EQ(status.filesTotal.load(), 8);
    EXPECT_EQ(status.State(), PatcherState::CheckingFiles);
    EXPECT_EQ(status.Message(), L"正在驗證遊戲完整性");
    EXPECT_EQ(status.CurrentFileName(), L"broken");
    EXPECT_FALSE(entries[1].failed) << "a missing file is no failure";
}

// Packages are looked for in Temp/ZipUpdate and measured in 64 bits.
TEST(FileListsTest, LocalCheckOfPackages) {
    ScratchFolder scratch("lists");
    ScratchLog log(scratch);
    ASSERT_TRUE(
        WriteTree(scratch.Path(), {{"Temp/ZipUpdate/p1.zip", "123456789"}, {"p2.zip", "abc"}}));
    PatcherStatus status;
    std::vector<PackageEntry> entries;
    uint64_t total = 0;
    ASSERT_TRUE(ParsePackageList(log.logger(), status,
                                 "p1=p1.zip$100$9$CBF43926\np2=p2.zip$50$3000000000$352441C2\n",
                                 &entries, &total));
    LocalCheckResult result = CheckLocalPackages(status, scratch.Path(), entries);
    EXPECT_FALSE(entries[0].needsDownload);
    EXPECT_TRUE(entries[1].needsDownload) << "beside, not inside, the package folder";
    EXPECT_EQ(result.bytesToDownload, 3000000000u) << "package size, not unpacked size";
    EXPECT_EQ(status.filesDone.load(), 1);
    EXPECT_EQ(status.filesTotal.load(), 2);
    EXPECT_EQ(status.Message(), L"正在檢索本地整包文件");

    {  // sparse where the system can; read only if the length were taken in 32 bits
        File file(scratch / L"Temp/ZipUpdate/huge.zip", "wb");
        ASSERT_TRUE(file && SeekFile(file.get(), int64_t{1} << 32, SEEK_SET));
        ASSERT_EQ(std::fputc('x', file.get()), 'x');
    }
    ASSERT_TRUE(ParsePackageList(log.logger(), status, "huge=huge.zip$1$1$0", &entries, &total));
    CheckLocalPackages(status, scratch.Path(), entries);
    EXPECT_TRUE(entries[0].needsDownload) << "4 GiB + 1 byte is not 1 byte";
}

}  // namespace
}  // namespace velka
