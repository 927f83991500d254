#include "patcher/file_lists.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdio>
#include <string>
#include <vector>

#include "patcher/status.h"
#include "platform/fs.h"
#include "support/scratch_log.h"
#include "util/file_crc.h"

namespace velka {
namespace {

using testing_support::ScratchFolder;
using testing_support::ScratchLog;

// Writes `contents` to folder/relative, creating the folders on the way.
void PutFile(const std::wstring& folder, const std::wstring& relative,
             const std::string& contents) {
    const std::wstring path = JoinPath(folder, relative);
    ASSERT_TRUE(CreateDirectories(path));
    ASSERT_TRUE(WriteFileBytes(path, contents));
}

bool HasLogLine(const ScratchLog& log, const std::string& level, const std::string& prefix) {
    for (const auto& line : log.Lines()) {
        if (line.level == level && line.message.rfind(prefix, 0) == 0) return true;
    }
    return false;
}

// ----- Parsing ------------------------------------------------------------------------------

struct FileLineCase {
    std::string line;
    size_t entries;  // 0 or 1
    std::string name, path;
    uint32_t size;
    std::string crc;
    bool failed;
};

TEST(FileListParseTest, OneLineEach) {
    const FileLineCase cases[] = {
        {"a.dll=bin\\a.dll$3$a1b2c3d4\r\n", 1, "a.dll", "bin\\a.dll", 3, "A1B2C3D4", false},
        {"a.dll=bin\\a.dll$3$A1B2C3D4", 1, "a.dll", "bin\\a.dll", 3, "A1B2C3D4", false},
        {"\357\273\277a.dll=a.dll$3$0", 1, "a.dll", "a.dll", 3, "0", false},  // mark ignored
        {" n = p $ 5 $ ab\t", 1, " n ", " p ", 5, "AB", false},  // only the CRC is trimmed
        {"f=dir with blanks\\my file.txt$9$cbf43926", 1, "f", "dir with blanks\\my file.txt", 9,
         "CBF43926", false},
        {"big=a$4294967295$0", 1, "big", "a", 4294967295u, "0", false},
        {"junk=a$12abc$0", 1, "junk", "a", 12, "0", false},
        {"a==b$1$2", 1, "a", "b", 1, "2", false},  // empty pieces dropped
        {"x=y$1", 1, "x", "", 0, "", true},
        {"x=y$1$2$3", 1, "x", "", 0, "", true},
        {"x=y", 1, "x", "", 0, "", true},
        {"x=$$$", 1, "x", "", 0, "", true},
        {"x", 0, "", "", 0, "", false},
        {"", 0, "", "", 0, "", false},
        {"\r", 0, "", "", 0, "", false},
        {"a=b=c$1$2", 0, "", "", 0, "", false},
        {"=a$1$2", 0, "", "", 0, "", false},
    };
    for (const FileLineCase& c : cases) {
        ScratchFolder scratch("lists");
        ScratchLog log(scratch);
        PatcherStatus status;
        std::vector<FileEntry> entries;
        ASSERT_TRUE(ParseFileList(log.logger(), status, c.line, &entries)) << c.line;
        ASSERT_EQ(entries.size(), c.entries) << "line: " << c.line;
        if (c.entries == 0) continue;
        const FileEntry& e = entries[0];
        EXPECT_EQ(e.name, c.name) << c.line;
        EXPECT_EQ(e.path, c.path) << c.line;
        EXPECT_EQ(e.size, c.size) << c.line;
        EXPECT_EQ(e.crc, c.crc) << c.line;
        EXPECT_EQ(e.failed, c.failed) << c.line;
        EXPECT_EQ(e.error, c.failed ? L"Parse Failed" : L"") << c.line;
        EXPECT_FALSE(e.needsDownload) << c.line;
    }
}

TEST(PackageListParseTest, SizesAreSixtyFourBitAndUnpackedSizesAddUp) {
    ScratchFolder scratch("lists");
    ScratchLog log(scratch);
    PatcherStatus status;
    status.bytesTotal = 7;
    std::vector<PackageEntry> entries;
    uint64_t total = 1000;  // the caller's running total is added to, not reset
    ASSERT_TRUE(ParsePackageList(log.logger(), status,
                                 "p1=pkg1.zip$5000000000$3000000000$abcdef01\r\n"
                                 "p2=sub\\pkg2.zip$200$40$0A0B0C0D\n"
                                 "bad=x$1$2\n"
                                 "p3=pkg3.zip$1$2$3$4\n"
                                 "p4=pkg4.zip$-1000$1500$0\n"
                                 "p5=pkg5.zip$1500$-1000$0\n",
                                 &entries, &total));
    EXPECT_EQ(status.bytesTotal.load(), 0);
    ASSERT_EQ(entries.size(), 6u);
    EXPECT_EQ(entries[0].name, "p1");
    EXPECT_EQ(entries[0].path, "pkg1.zip");
    EXPECT_EQ(entries[0].unpackedSize, 5000000000LL);
    EXPECT_EQ(entries[0].packageSize, 3000000000LL);
    EXPECT_EQ(entries[0].crc, "ABCDEF01");
    EXPECT_EQ(entries[1].path, "sub\\pkg2.zip");
    EXPECT_EQ(entries[1].unpackedSize, 200);
    EXPECT_EQ(entries[1].packageSize, 40);
    for (size_t i : {2u, 3u, 4u, 5u}) {
        EXPECT_TRUE(entries[i].failed) << i;
        EXPECT_EQ(entries[i].error, L"Parse Failed") << i;
        EXPECT_EQ(entries[i].packageSize, 0) << i;
        EXPECT_EQ(entries[i].unpackedSize, 0) << i;
        EXPECT_TRUE(entries[i].path.empty()) << i;
    }
    EXPECT_EQ(total, 1000u + 5000000000u + 200u) << "malformed entries add nothing";
    EXPECT_FALSE(entries[0].jobResult);
}

TEST(ListParseTest, ListsNamingPathsOutsideTheirFolderAreRejected) {
    const std::string hostile[] = {
        "/etc/passwd", "\\Windows\\x.dll", "C:\\x.dll", "C:x.dll",
        "..\\x.dll",   "a\\..\\..\\x.dll", "a/../../x", ".. \\x",
        "...\\x",      "x.dll:stream",     " ",         std::string("a\0..\\..\\x", 10),
    };
    for (const std::string& path : hostile) {
        ScratchFolder scratch("lists");
        ScratchLog log(scratch);
        PatcherStatus status;

        std::vector<FileEntry> files;
        const std::string fileList = "good=ok.txt$1$00000000\nbad=" + path + "$1$00000000\n";
        EXPECT_FALSE(ParseFileList(log.logger(), status, fileList, &files)) << path;
        EXPECT_TRUE(files.empty()) << "nothing of a hostile list is kept: " << path;

        std::vector<PackageEntry> packages;
        uint64_t total = 5;
        const std::string packageList = "good=ok.zip$10$1$0\nbad=" + path + "$10$1$0\n";
        EXPECT_FALSE(ParsePackageList(log.logger(), status, packageList, &packages, &total))
            << path;
        EXPECT_TRUE(packages.empty()) << path;
        EXPECT_EQ(total, 5u) << "a rejected list adds nothing to the total: " << path;

        EXPECT_TRUE(HasLogLine(log, "[ERROR] ", "Unsafe path in file list! Name = bad Path = "))
            << path;
        EXPECT_TRUE(HasLogLine(log, "[ERROR] ", "Unsafe path in package list! Name = bad Path = "))
            << path;
    }
}

// ----- CRC ----------------------------------------------------------------------------------

TEST(ComputeFileCrcTest, KnownValuesAsEightUpperCaseDigits) {
    struct Case {
        std::string contents;
        std::string crc;
    } const cases[] = {
        {"", "00000000"},
        {"abc", "352441C2"},
        {"123456789", "CBF43926"},
        {"velka414", "0056836C"},  // leading zeros kept
    };
    ScratchFolder scratch("lists");
    for (const Case& c : cases) {
        const std::wstring path = scratch / L"f.bin";
        ASSERT_TRUE(WriteFileBytes(path, c.contents));
        int64_t size = -5;
        EXPECT_EQ(ComputeFileCrc(path, &size), c.crc) << c.contents;
        EXPECT_EQ(size, static_cast<int64_t>(c.contents.size())) << c.contents;
        EXPECT_EQ(ComputeFileCrc(path), c.crc) << "without a size: " << c.contents;
    }
}

TEST(ComputeFileCrcTest, FilesLargerThanOneReadBlock) {
    // 3 MiB + 17 bytes of varied data: several blocks and a short last one.
    std::string contents(3 * 1024 * 1024 + 17, '\0');
    uint32_t x = 12345;
    for (char& c : contents) {
        x = x * 1103515245u + 12345u;
        c = static_cast<char>(x >> 24);
    }
    char expected[9];
    std::snprintf(expected, sizeof(expected), "%08X",
                  static_cast<unsigned>(crc32(0, reinterpret_cast<const Bytef*>(contents.data()),
                                              static_cast<uInt>(contents.size()))));
    ScratchFolder scratch("lists");
    const std::wstring path = scratch / L"big.bin";
    ASSERT_TRUE(WriteFileBytes(path, contents));
    int64_t size = 0;
    EXPECT_EQ(ComputeFileCrc(path, &size), expected);
    EXPECT_EQ(size, static_cast<int64_t>(contents.size()));
}

TEST(ComputeFileCrcTest, MissingFileGivesEmptyTextAndLeavesSize) {
    ScratchFolder scratch("lists");
    int64_t size = 77;
    EXPECT_EQ(ComputeFileCrc(scratch / L"missing.bin", &size), "");
    EXPECT_EQ(size, 77);
    EXPECT_EQ(ComputeFileCrc(scratch.Path(), &size), "") << "a folder is not a file";
}

// ----- Local checks -------------------------------------------------------------------------

TEST(CheckLocalFilesTest, MarksMissingWrongSizeAndWrongCrc) {
    ScratchFolder scratch("lists");
    ScratchLog log(scratch);
    const std::wstring game = scratch / L"Game/velka_win/";
    PutFile(game, L"ok.txt", "123456789");
    PutFile(game, L"longer.txt", "1234567890");
    PutFile(game, L"wrongcrc.txt", "123456789");
    PutFile(game, L"sub dir/with blank.txt", "abc");
    PutFile(game, L"zeros.txt", "velka414");
    PutFile(game, L"lower.txt", "abc");

    PatcherStatus status;
    status.filesDone = 40;  // left from an earlier set
    std::vector<FileEntry> entries;
    ASSERT_TRUE(ParseFileList(log.logger(), status,
                              "ok=ok.txt$9$CBF43926\n"
                              "missing=missing.txt$4$00000000\n"
                              "longer=longer.txt$9$CBF43926\n"  // one byte too long
                              "wrongcrc=wrongcrc.txt$9$CBF43927\n"
                              "blank=sub dir\\with blank.txt$3$352441C2\n"
                              "zeros=zeros.txt$8$56836C\n"  // leading zeros missing
                              "lower=lower.txt$3$352441c2\n"
                              "broken=x$1\n",
                              &entries));
    ASSERT_EQ(entries.size(), 8u);
    entries[0].needsDownload = true;  // a previous check's mark is cleared when intact

    const LocalCheckResult result = CheckLocalFiles(status, game, entries);

    const bool expectedMarks[] = {false, true, true, true, false, true, false, true};
    for (size_t i = 0; i < entries.size(); ++i) {
        EXPECT_EQ(entries[i].needsDownload, expectedMarks[i]) << entries[i].name;
    }
    EXPECT_EQ(result.filesToDownload, 5u);
    EXPECT_EQ(result.bytesToDownload, 4u + 9u + 9u + 8u + 0u);
    EXPECT_EQ(result.openFailures, 0u);
    EXPECT_EQ(status.filesDone.load(), 3);
    EXPECT_EQ(status.filesTotal.load(), 8);
    EXPECT_EQ(status.bytesDone.load(), 0);
    EXPECT_EQ(status.State(), PatcherState::CheckingFiles);
    EXPECT_EQ(status.Message(), L"正在驗證遊戲完整性");
    EXPECT_EQ(status.CurrentFileName(), L"broken");
    EXPECT_TRUE(entries[7].failed);
    EXPECT_EQ(entries[7].error, L"Parse Failed");
    EXPECT_FALSE(entries[1].failed) << "a missing file is no failure";
}

TEST(CheckLocalPackagesTest, LooksInTempZipUpdate) {
    ScratchFolder scratch("lists");
    ScratchLog log(scratch);
    PutFile(scratch.Path(), L"Temp/ZipUpdate/p1.zip", "123456789");
    PutFile(scratch.Path(), L"p2.zip", "abc");  // beside, not inside, the package folder

    PatcherStatus status;
    std::vector<PackageEntry> entries;
    uint64_t total = 0;
    ASSERT_TRUE(ParsePackageList(log.logger(), status,
                                 "p1=p1.zip$100$9$CBF43926\np2=p2.zip$50$3$352441C2\n", &entries,
                                 &total));
    const LocalCheckResult result = CheckLocalPackages(status, scratch.Path(), entries);
    EXPECT_FALSE(entries[0].needsDownload);
    EXPECT_TRUE(entries[1].needsDownload);
    EXPECT_EQ(result.filesToDownload, 1u);
    EXPECT_EQ(result.bytesToDownload, 3u) << "package size, not unpacked size";
    EXPECT_EQ(status.filesDone.load(), 1);
    EXPECT_EQ(status.filesTotal.load(), 2);
    EXPECT_EQ(status.Message(), L"正在檢索本地整包文件");
    EXPECT_EQ(status.State(), PatcherState::CheckingFiles);
}

TEST(CheckLocalPackagesTest, MissingPackageFolderMarksEverything) {
    ScratchFolder scratch("lists");
    ScratchLog log(scratch);
    PatcherStatus status;
    std::vector<PackageEntry> entries;
    uint64_t total = 0;
    ASSERT_TRUE(ParsePackageList(log.logger(), status,
                                 "a=a.zip$1$3000000000$0\nb=b.zip$1$25$0\nc=c.zip$1$0$0\n",
                                 &entries, &total));
    const LocalCheckResult result = CheckLocalPackages(status, scratch.Path(), entries);
    EXPECT_EQ(result.filesToDownload, 3u);
    EXPECT_EQ(result.bytesToDownload, 3000000025u);
    EXPECT_EQ(result.openFailures, 0u);
    EXPECT_EQ(status.filesDone.load(), 0);
    for (const PackageEntry& e : entries) EXPECT_TRUE(e.needsDownload) << e.name;
}

// CRC of `length` zero bytes, built by doubling so no test has to read gigabytes twice.
uLong CrcOfZeros(uint64_t length) {
    const std::string block(1 << 20, '\0');
    uLong crc =
        crc32(0, reinterpret_cast<const Bytef*>(block.data()), static_cast<uInt>(block.size()));
    uint64_t have = block.size();
    while (have < length) {  // lengths used here are powers of two of at least 1 MiB
        crc = crc32_combine(crc, crc, static_cast<z_off_t>(have));
        have *= 2;
    }
    return crc;
}

TEST(CheckLocalPackagesTest, PackagesOfTwoGibibytesAndMoreAreMeasuredWhole) {
    ScratchFolder scratch("lists");
    ScratchLog log(scratch);
    uint64_t freeBytes = 0;
    if (!FreeDiskSpace(scratch.Path(), &freeBytes) || freeBytes < (6ull << 30)) {
        GTEST_SKIP() << "needs room for a 2 GiB file in case it is not stored sparse";
    }
    // 2 GiB of zeros and one "x": past every 32-bit file position.
    const int64_t zeros = int64_t{1} << 31;
    const std::wstring folder = scratch / L"Temp/ZipUpdate/";
    ASSERT_TRUE(CreateDirectories(folder));
    {
        File file(JoinPath(folder, L"huge.zip"), "wb");
        ASSERT_TRUE(file);
        ASSERT_TRUE(SeekFile(file.get(), zeros, SEEK_SET));
        ASSERT_EQ(std::fputc('x', file.get()), 'x');
        ASSERT_TRUE(file.Close());
    }
    const uLong crc =
        crc32_combine(CrcOfZeros(zeros), crc32(0, reinterpret_cast<const Bytef*>("x"), 1), 1);
    char crcText[9];
    std::snprintf(crcText, sizeof(crcText), "%08X", static_cast<unsigned>(crc));

    PatcherStatus status;
    std::vector<PackageEntry> entries;
    uint64_t total = 0;
    const std::string size = std::to_string(zeros + 1);
    ASSERT_TRUE(ParsePackageList(log.logger(), status,
                                 "huge=huge.zip$1$" + size + "$" + crcText +
                                     "\n"
                                     "short=huge.zip$1$1$" +
                                     crcText + "\n",
                                 &entries, &total));
    const LocalCheckResult result = CheckLocalPackages(status, scratch.Path(), entries);
    EXPECT_FALSE(entries[0].needsDownload) << "2 GiB + 1 byte with the right CRC is intact";
    EXPECT_TRUE(entries[1].needsDownload) << "length compared in 64 bits";
    EXPECT_EQ(result.filesToDownload, 1u);
    EXPECT_EQ(result.bytesToDownload, 1u);
}

}  // namespace
}  // namespace velka
