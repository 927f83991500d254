#include "platform/fs.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <string>
#include <system_error>
#include <vector>

#include "platform/text.h"
#include "support/ordinary_user.h"
#include "support/scratch_log.h"

namespace velka {
namespace {

using testing_support::ScratchFolder;

const bool kWindows = kPathSeparator == L'\\';

std::string Read(const std::wstring& path) {
    std::string contents;
    EXPECT_TRUE(ReadFileBytes(path, &contents)) << "cannot read " << ToNarrow(path);
    return contents;
}

void Write(const std::wstring& path, const std::string& contents) {
    ASSERT_TRUE(CreateDirectories(path)) << ToNarrow(path);
    ASSERT_TRUE(WriteFileBytes(path, contents)) << ToNarrow(path);
}

std::vector<std::wstring> Names(const std::wstring& folder) {
    std::vector<DirEntry> entries;
    EXPECT_TRUE(ListDirectory(folder, &entries)) << ToNarrow(folder);
    std::vector<std::wstring> names;
    for (const DirEntry& e : entries) names.push_back(e.name);
    std::sort(names.begin(), names.end());
    return names;
}

// Runs `check` with `folder` unreadable, as an ordinary user (root reads any folder). False, with
// nothing run, where permissions do not keep even that user out (Windows), so the test can be
// skipped there.
bool WithUnreadable(const std::wstring& folder, const std::function<void()>& check) {
    std::error_code ignored;
    std::filesystem::permissions(std::filesystem::path(folder), std::filesystem::perms::none,
                                 ignored);
    bool lockedOut = false;
    EXPECT_TRUE(testing_support::AsOrdinaryUser([&] {
        std::vector<DirEntry> entries;
        lockedOut = !ListDirectory(folder, &entries);
        if (lockedOut) check();
    })) << "cannot drop root's rights";
    std::filesystem::permissions(std::filesystem::path(folder), std::filesystem::perms::all,
                                 ignored);
    return lockedOut;
}

TEST(PathTest, SeparatorsAndJoining) {
    const std::wstring s(1, kPathSeparator);
    EXPECT_TRUE(IsSeparator(L'\\'));
    EXPECT_TRUE(IsSeparator(L'/'));
    EXPECT_FALSE(IsSeparator(L':'));
    EXPECT_EQ(NativeSeparators(L"a\\b/c"), L"a" + s + L"b" + s + L"c");
    EXPECT_EQ(JoinPath(L"base", L"Temp\\ZipUpdate"), L"base" + s + L"Temp" + s + L"ZipUpdate");
    EXPECT_EQ(JoinPath(L"base" + s, L"x"), L"base" + s + L"x") << "no doubled separator";
    EXPECT_EQ(JoinPath(L"", L"a/b"), L"a" + s + L"b");
    EXPECT_EQ(FileNameOfPath(L"C:\\D\\sub/updater.sh"), L"updater.sh");
    EXPECT_EQ(FolderOfPath(L"C:\\D\\sub/updater.sh"), L"C:\\D\\sub");
    EXPECT_EQ(FileNameOfPath(L"updater.bat"), L"updater.bat");
    EXPECT_EQ(FolderOfPath(L"updater.bat"), L"") << "no folder, not the name itself";
}

TEST(ModulePathTest, NamesTheRunningTestExecutable) {
    const std::wstring path = ModulePath();
    const std::wstring folder = ModuleDirectory();
    ASSERT_FALSE(path.empty());
    EXPECT_TRUE(FileExists(path)) << ToNarrow(path);
    EXPECT_TRUE(DirectoryExists(folder)) << ToNarrow(folder);
    ASSERT_LT(folder.size(), path.size());
    EXPECT_EQ(path.substr(0, folder.size()), folder);
    EXPECT_TRUE(IsSeparator(path[folder.size()]));
    const std::wstring name = path.substr(folder.size() + 1);
    EXPECT_TRUE(name == L"velka_tests" || name == L"velka_tests.exe") << ToNarrow(name);
}

TEST(ExistsTest, TellsFilesFromFolders) {
    ScratchFolder scratch("fs");
    Write(scratch / L"file.txt", "x");
    struct Case {
        std::wstring path;
        bool file;
        bool folder;
    };
    const Case cases[] = {
        {scratch / L"file.txt", true, false},
        {scratch.Path(), false, true},
        {scratch / L"missing", false, false},
        {scratch / L"file.txt/below", false, false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(FileExists(c.path), c.file) << ToNarrow(c.path);
        EXPECT_EQ(DirectoryExists(c.path), c.folder) << ToNarrow(c.path);
    }
}

TEST(CreateDirectoriesTest, CreatesFoldersUpToTheLastSeparator) {
    ScratchFolder scratch("fs");
    if (kWindows) {
        // The scratch folder is a drive path, so the "C:" prefix is attempted and tolerated.
        ASSERT_GE(scratch.Path().size(), 3u);
        EXPECT_EQ(scratch.Path()[1], L':') << ToNarrow(scratch.Path());
    }
    struct Case {
        const char* what;
        std::wstring argument;
        std::vector<std::wstring> folders;  // must exist afterwards
        std::wstring absent;                // must not exist at all afterwards
    };
    const Case cases[] = {
        {"file path",
         scratch / L"a/b/file.txt",
         {scratch / L"a", scratch / L"a/b"},
         scratch / L"a/b/file.txt"},
        {"trailing separator", scratch / L"c/d/", {scratch / L"c/d"}, L""},
        {"existing folders", scratch / L"a/b/", {scratch / L"a/b"}, L""},
        {"wide names", scratch / L"遊戲/資料/", {scratch / L"遊戲/資料"}, L""},
        {"doubled separator", scratch / L"e//f/", {scratch / L"e/f"}, L""},
    };
    for (const Case& c : cases) {
        EXPECT_TRUE(CreateDirectories(c.argument)) << c.what << " " << LastSystemError();
        for (const std::wstring& folder : c.folders) {
            EXPECT_TRUE(DirectoryExists(folder)) << c.what << ": " << ToNarrow(folder);
        }
        if (!c.absent.empty()) {
            EXPECT_FALSE(FileExists(c.absent) || DirectoryExists(c.absent)) << c.what;
        }
    }
}

TEST(CreateDirectoriesTest, ExtendedLengthPrefixIsNotCreatedAsAFolder) {
    if (!kWindows) GTEST_SKIP() << "\\\\?\\ paths exist on Windows only";
    ScratchFolder scratch("fs");
    const std::wstring target = L"\\\\?\\" + (scratch / L"long\\x\\");
    EXPECT_TRUE(CreateDirectories(target)) << LastSystemError();
    EXPECT_TRUE(DirectoryExists(scratch / L"long\\x"));
}

TEST(CreateDirectoriesTest, FailsThroughAnExistingFile) {
    ScratchFolder scratch("fs");
    Write(scratch / L"file.txt", "data");
    const std::wstring cases[] = {
        scratch / L"file.txt/sub/x.txt",  // a folder below the file
        scratch / L"file.txt/",           // the file itself as the folder asked for
    };
    for (const std::wstring& path : cases) {
        SetLastSystemError(0);
        EXPECT_FALSE(CreateDirectories(path)) << ToNarrow(path);
        EXPECT_NE(LastSystemError(), 0u) << ToNarrow(path);
    }
    EXPECT_EQ(Read(scratch / L"file.txt"), "data");
}

class CopyTreeTest : public ::testing::Test {
  protected:
    void SetUp() override {
        Write(scratch_ / L"src/a.txt", "new a");
        Write(scratch_ / L"src/.hidden", "h");
        Write(scratch_ / L"src/.git/config", "c");
        Write(scratch_ / L"src/sub/b.txt", "bb");
        Write(scratch_ / L"src/sub/.dotfile", "d");
        Write(scratch_ / L"src/sub/deeper/c.bin", std::string("\0\1\2", 3));
        Write(scratch_ / L"src/sub/空/文件.txt", "wide");
    }
    ScratchFolder scratch_{"fs"};
};

TEST_F(CopyTreeTest, CopiesNestedFoldersWithDotEntriesAndOverwriting) {
    Write(scratch_ / L"dst/a.txt", "old a, longer than the new one");
    Write(scratch_ / L"dst/keep.txt", "k");
    ASSERT_TRUE(CopyTree(scratch_ / L"src", scratch_ / L"dst")) << LastSystemError();

    EXPECT_EQ(Read(scratch_ / L"dst/a.txt"), "new a");
    EXPECT_EQ(Read(scratch_ / L"dst/keep.txt"), "k");
    EXPECT_EQ(Read(scratch_ / L"dst/sub/b.txt"), "bb");
    EXPECT_EQ(Read(scratch_ / L"dst/sub/deeper/c.bin"), std::string("\0\1\2", 3));
    EXPECT_EQ(Read(scratch_ / L"dst/sub/空/文件.txt"), "wide");
    EXPECT_EQ(Read(scratch_ / L"dst/.git/config"), "c");
    EXPECT_EQ(Names(scratch_ / L"dst"),
              (std::vector<std::wstring>{L".git", L".hidden", L"a.txt", L"keep.txt", L"sub"}));
    EXPECT_EQ(Names(scratch_ / L"dst/sub"),
              (std::vector<std::wstring>{L".dotfile", L"b.txt", L"deeper", L"空"}));
}

TEST_F(CopyTreeTest, CreatesTheDestinationWithOrWithoutTrailingSeparator) {
    const std::wstring s(1, kPathSeparator);
    ASSERT_TRUE(CopyTree(scratch_ / L"src", scratch_ / L"one/two")) << LastSystemError();
    EXPECT_EQ(Read(scratch_ / L"one/two/a.txt"), "new a");
    ASSERT_TRUE(CopyTree(scratch_ / L"src" + s, scratch_ / L"three" + s)) << LastSystemError();
    EXPECT_EQ(Read(scratch_ / L"three/sub/b.txt"), "bb");
}

TEST_F(CopyTreeTest, MissingSourceCopiesNothingAndSucceeds) {
    EXPECT_TRUE(CopyTree(scratch_ / L"nothing-here", scratch_ / L"dst"));
    EXPECT_TRUE(Names(scratch_ / L"dst").empty());
}

TEST_F(CopyTreeTest, DestinationFileThatIsAFolderFails) {
    ASSERT_TRUE(CreateDirectories(scratch_ / L"dst/sub/b.txt/"));
    SetLastSystemError(0);
    EXPECT_FALSE(CopyTree(scratch_ / L"src", scratch_ / L"dst"));
    EXPECT_NE(LastSystemError(), 0u);
}

TEST_F(CopyTreeTest, UnreadableSubfolderFailsInsteadOfBeingSkipped) {
    // The ordinary user may write the copy.
    std::filesystem::permissions(std::filesystem::path(scratch_.Path()),
                                 std::filesystem::perms::all);
    bool copied = true;
    uint32_t code = 0;
    if (!WithUnreadable(scratch_ / L"src/sub", [&] {
            SetLastSystemError(0);
            copied = CopyTree(scratch_ / L"src", scratch_ / L"dst");
            code = LastSystemError();
        })) {
        GTEST_SKIP() << "permissions do not keep this user out of a folder";
    }
    EXPECT_FALSE(copied);
    EXPECT_NE(code, 0u);
}

TEST(DirectorySizeTest, CountsFilesRecursivelyDotFoldersIncluded) {
    ScratchFolder scratch("fs");
    Write(scratch / L"root/a", std::string(10, 'a'));
    Write(scratch / L"root/.dotfile", std::string(5, 'd'));
    Write(scratch / L"root/sub/b", std::string(20, 'b'));
    Write(scratch / L"root/sub/deeper/c", std::string(300, 'c'));
    Write(scratch / L"root/sub/empty", "");
    Write(scratch / L"root/.cache/x", std::string(1000, 'x'));
    const std::wstring s(1, kPathSeparator);
    EXPECT_EQ(DirectorySize(scratch / L"root"), 1335u);
    EXPECT_EQ(DirectorySize(scratch / L"root" + s), 1335u);
    EXPECT_EQ(DirectorySize(scratch / L"root/sub"), 320u);
    EXPECT_EQ(DirectorySize(scratch / L"missing"), 0u);
    EXPECT_EQ(DirectorySize(scratch / L"root/a"), 0u) << "a file is no folder";
}

TEST(DirectorySizeTest, UnreadableFolderCountsZero) {
    ScratchFolder scratch("fs");
    Write(scratch / L"root/a", std::string(10, 'a'));
    Write(scratch / L"root/locked/b", std::string(20, 'b'));
    uint64_t size = 0;
    if (!WithUnreadable(scratch / L"root/locked",
                        [&] { size = DirectorySize(scratch / L"root"); })) {
        GTEST_SKIP() << "permissions do not keep this user out of a folder";
    }
    EXPECT_EQ(size, 10u);
}

TEST(ListDirectoryTest, ListsNamesKindsAndSizes) {
    ScratchFolder scratch("fs");
    Write(scratch / L"list/file.bin", std::string(7, 'f'));
    Write(scratch / L"list/.dot", "");
    ASSERT_TRUE(CreateDirectories(scratch / L"list/folder/"));
    ASSERT_TRUE(CreateDirectories(scratch / L"empty/"));

    std::vector<DirEntry> entries;
    ASSERT_TRUE(ListDirectory(scratch / L"list", &entries));
    std::sort(entries.begin(), entries.end(),
              [](const DirEntry& a, const DirEntry& b) { return a.name < b.name; });
    ASSERT_EQ(entries.size(), 3u) << "\".\" and \"..\" are never listed";
    EXPECT_EQ(entries[0].name, L".dot");
    EXPECT_EQ(entries[1].name, L"file.bin");
    EXPECT_FALSE(entries[1].isDirectory);
    EXPECT_EQ(entries[1].size, 7u);
    EXPECT_EQ(entries[2].name, L"folder");
    EXPECT_TRUE(entries[2].isDirectory);

    EXPECT_TRUE(ListDirectory(scratch / L"empty", &entries));
    EXPECT_TRUE(entries.empty());
    SetLastSystemError(0);
    EXPECT_FALSE(ListDirectory(scratch / L"missing", &entries));
    EXPECT_NE(LastSystemError(), 0u);
}

TEST(FileOpsTest, RenameNeverReplacesAnExistingTarget) {
    ScratchFolder scratch("fs");
    Write(scratch / L"from.txt", "from");
    Write(scratch / L"to.txt", "to");
    ASSERT_TRUE(CreateDirectories(scratch / L"Package/"));
    ASSERT_TRUE(CreateDirectories(scratch / L"Game/"));  // empty, still in the way
    Write(scratch / L"Package/velka.exe", "exe");

    SetLastSystemError(0);
    EXPECT_FALSE(RenamePath(scratch / L"from.txt", scratch / L"to.txt"));
    EXPECT_NE(LastSystemError(), 0u);
    EXPECT_EQ(Read(scratch / L"from.txt"), "from");
    EXPECT_EQ(Read(scratch / L"to.txt"), "to");

    EXPECT_FALSE(RenamePath(scratch / L"Package", scratch / L"Game"));
    EXPECT_TRUE(FileExists(scratch / L"Package/velka.exe"));

    ASSERT_TRUE(RemoveEmptyFolder(scratch / L"Game"));
    EXPECT_TRUE(RenamePath(scratch / L"Package", scratch / L"Game")) << LastSystemError();
    EXPECT_EQ(Read(scratch / L"Game/velka.exe"), "exe");
    EXPECT_FALSE(DirectoryExists(scratch / L"Package"));
    EXPECT_TRUE(RenamePath(scratch / L"from.txt", scratch / L"moved.txt"));
    EXPECT_EQ(Read(scratch / L"moved.txt"), "from");
}

TEST(FileOpsTest, RemoveFileAndEmptyFolder) {
    ScratchFolder scratch("fs");
    Write(scratch / L"dir/file", "x");
    EXPECT_FALSE(RemoveEmptyFolder(scratch / L"dir")) << "the folder is not empty";
    EXPECT_FALSE(RemoveFile(scratch / L"dir")) << "a folder is no file";
    EXPECT_TRUE(RemoveFile(scratch / L"dir/file"));
    EXPECT_FALSE(FileExists(scratch / L"dir/file"));
    EXPECT_FALSE(RemoveFile(scratch / L"dir/file"));
    EXPECT_TRUE(RemoveEmptyFolder(scratch / L"dir"));
    EXPECT_FALSE(DirectoryExists(scratch / L"dir"));
}

TEST(FileOpsTest, CopyOneFileOverwritesButNeverDestroysItsSource) {
    ScratchFolder scratch("fs");
    Write(scratch / L"a.txt", "source");
    Write(scratch / L"b.txt", "an older and longer target");
    EXPECT_TRUE(CopyOneFile(scratch / L"a.txt", scratch / L"b.txt")) << LastSystemError();
    EXPECT_EQ(Read(scratch / L"b.txt"), "source");
    EXPECT_TRUE(CopyOneFile(scratch / L"a.txt", scratch / L"c.txt"));
    EXPECT_EQ(Read(scratch / L"c.txt"), "source");

    EXPECT_FALSE(CopyOneFile(scratch / L"a.txt", scratch / L"a.txt"));
    EXPECT_EQ(Read(scratch / L"a.txt"), "source");
    EXPECT_FALSE(CopyOneFile(scratch / L"missing", scratch / L"d.txt"));
    EXPECT_FALSE(FileExists(scratch / L"d.txt"));
}

TEST(FileOpsTest, CopyOneFileKeepsTheExecutableBit) {
    if (kWindows) GTEST_SKIP() << "no mode bits on Windows";
    ScratchFolder scratch("fs");
    Write(scratch / L"tool", "#!/bin/sh\n");
    namespace fs = std::filesystem;
    fs::permissions(fs::path(scratch / L"tool"), fs::perms::owner_exec, fs::perm_options::add);
    ASSERT_TRUE(CopyOneFile(scratch / L"tool", scratch / L"copy"));
    const auto executable = [&] {
        return (fs::status(fs::path(scratch / L"copy")).permissions() & fs::perms::owner_exec) !=
               fs::perms::none;
    };
    EXPECT_TRUE(executable()) << "a new file gets the source's bits";
    // A downloaded replacement carries no execute bit; the file it replaces keeps its own.
    Write(scratch / L"download", "#!/bin/sh\necho 2\n");
    ASSERT_TRUE(CopyOneFile(scratch / L"download", scratch / L"copy"));
    EXPECT_EQ(Read(scratch / L"copy"), "#!/bin/sh\necho 2\n");
    EXPECT_TRUE(executable()) << "a replaced file keeps its bits";
}

TEST(FileOpsTest, SizesAndFreeSpace) {
    ScratchFolder scratch("fs");
    Write(scratch / L"f", std::string(1234, 'x'));
    EXPECT_EQ(FileSize64(scratch / L"f"), 1234);
    EXPECT_EQ(FileSize64(scratch / L"missing"), -1);
    EXPECT_EQ(FileSize64(scratch.Path()), -1) << "a folder has no file size";
    uint64_t freeBytes = 0;
    ASSERT_TRUE(FreeDiskSpace(scratch.Path(), &freeBytes)) << LastSystemError();
    EXPECT_GT(freeBytes, 0u);
}

TEST(FileOpsTest, WholeFileHelpersKeepBinaryContents) {
    ScratchFolder scratch("fs");
    std::string bytes;
    for (int i = 0; i < 256 * 3; ++i) bytes += static_cast<char>(i);
    Write(scratch / L"遊戲.bin", bytes);
    EXPECT_EQ(Read(scratch / L"遊戲.bin"), bytes);
    std::string contents = "stale";
    EXPECT_FALSE(ReadFileBytes(scratch / L"missing", &contents));
    EXPECT_FALSE(WriteFileBytes(scratch / L"no/such/folder/x", "x"));

    // Replaced in one step, never truncated in place; nothing is left beside it.
    ASSERT_TRUE(WriteFileAtomically(scratch / L"遊戲.bin", "record"));
    EXPECT_EQ(Read(scratch / L"遊戲.bin"), "record");
    EXPECT_EQ(Names(scratch.Path()), std::vector<std::wstring>{L"遊戲.bin"});
    // A target that cannot be replaced keeps what it holds, and the temporary file goes.
    ASSERT_TRUE(CreateDirectories(scratch / L"folder/inside/"));
    EXPECT_FALSE(WriteFileAtomically(scratch / L"folder", "x"));
    EXPECT_TRUE(DirectoryExists(scratch / L"folder/inside"));
    EXPECT_FALSE(FileExists(scratch / L"folder.tmp"));
}

TEST(FileOpsTest, SeekAndTellGoBeyondFourGigabytes) {
    ScratchFolder scratch("fs");
    const int64_t far = (int64_t{1} << 32) + 12345;  // sparse on the usual file systems
    {
        File file(scratch / L"big", "wb");
        ASSERT_TRUE(file);
        ASSERT_TRUE(SeekFile(file.get(), far, SEEK_SET));
        EXPECT_EQ(TellFile(file.get()), far);
        ASSERT_EQ(std::fputc('z', file.get()), 'z');
        EXPECT_EQ(TellFile(file.get()), far + 1);
        ASSERT_TRUE(file.Close());
    }
    EXPECT_EQ(FileSize64(scratch / L"big"), far + 1);
    File file(scratch / L"big", "rb");
    ASSERT_TRUE(file);
    ASSERT_TRUE(SeekFile(file.get(), -1, SEEK_END));
    EXPECT_EQ(TellFile(file.get()), far);
    EXPECT_EQ(std::fgetc(file.get()), 'z');
}

}  // namespace
}  // namespace velka
