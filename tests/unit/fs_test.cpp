#include "platform/fs.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>

#include "support/fixtures.h"
#include "support/ordinary_user.h"
#include "support/scratch_log.h"

namespace velka {
namespace {

using namespace testing_support;
namespace fs = std::filesystem;

// Every entry below `root`: "path/" for a folder, "path=content" for a file.
std::map<std::string, std::string> Entries(const std::wstring& root) {
    std::map<std::string, std::string> entries;
    for (const auto& entry : fs::recursive_directory_iterator(fs::path(root))) {
        const std::string name = fs::relative(entry.path(), fs::path(root)).generic_u8string();
        const bool folder = entry.is_directory();
        entries[name + (folder ? "/" : "")] =
            folder ? "" : "=" + Contents(Utf8ToWide(entry.path().u8string()));
    }
    return entries;
}

// Entries new or changed in `after`, then "-" and those gone from it.
std::string Changes(const std::wstring& root, const std::map<std::string, std::string>& before) {
    const std::map<std::string, std::string> after = Entries(root);
    std::string text;
    for (const auto& [name, content] : after) {
        if (!before.count(name) || before.at(name) != content) text += " " + name + content;
    }
    for (const auto& [name, content] : before) text += after.count(name) ? "" : " -" + name;
    return text;
}

bool Apply(const std::string& operation, const std::wstring& a, const std::wstring& b) {
    if (operation == "CopyTree") return CopyTree(a, b);
    if (operation == "CopyOneFile") return CopyOneFile(a, b);
    if (operation == "RenamePath") return RenamePath(a, b);
    if (operation == "RemoveFile") return RemoveFile(a);
    if (operation == "RemoveEmptyFolder") return RemoveEmptyFolder(a);
    if (operation == "WriteFileAtomically") return WriteFileAtomically(a, "new");
    if (operation == "WriteNewPrivateFile") return WriteNewPrivateFile(a, "new");
    if (operation == "CreateExtended") return CreateDirectories(L"\\\\?\\" + a);
    return CreateDirectories(a);
}

const Tree kStart = {
    {"s/a", "new"}, {"s/.h", "h"},      {"s/sub/b", "\r\n"}, {"d/a", "older"},
    {"o/d/f", "f"}, {"P/x.exe", "exe"}, {"from", "1"},       {"to", "2"},
};

// Each operation on the same starting tree: its result, a system error code on failure, and the
// entries it adds, changes or removes.
TEST(FsTest, OperationsChangeTheTreeOrFailWithACode) {
    const struct {
        const char* operation;
        const wchar_t *a, *b;
        bool ok;
        std::string changes;
    } cases[] = {
        {"CopyTree", L"s", L"d", true,
         " d/.h=h d/a=new d/sub/ d/sub/b=\r\n d/sub/空/ d/sub/空/文=w"},
        {"CopyTree", L"s/sub/", L"n/x/", true, " n/ n/x/ n/x/b=\r\n n/x/空/ n/x/空/文=w"},
        {"CopyTree", L"missing", L"d", true, ""},
        {"CopyTree", L"o", L"blocked", false, ""},  // a folder where a file goes
        {"CopyOneFile", L"s/a", L"d/a", true, " d/a=new"},
        {"CopyOneFile", L"to", L"to", false, ""},
        {"CopyOneFile", L"missing", L"x", false, ""},
        {"RenamePath", L"from", L"to", false, ""},
        {"RenamePath", L"P", L"Empty", false, ""},
        {"RenamePath", L"P", L"M", true, " M/ M/x.exe=exe -P/ -P/x.exe"},
        {"RemoveFile", L"s", L"", false, ""},
        {"RemoveFile", L"to", L"", true, " -to"},
        {"RemoveFile", L"missing", L"", false, ""},
        {"RemoveEmptyFolder", L"o/d", L"", false, ""},
        {"RemoveEmptyFolder", L"Empty", L"", true, " -Empty/"},
        {"WriteFileAtomically", L"to", L"", true, " to=new"},
        {"WriteFileAtomically", L"Empty", L"", false, ""},
        {"WriteNewPrivateFile", L"key", L"", true, " key=new"},
        {"WriteNewPrivateFile", L"to", L"", false, ""},
        {"CreateDirectories", L"n/a/f.txt", L"", true, " n/ n/a/"},
        {"CreateDirectories", L"遊//資/", L"", true, " 遊/ 遊/資/"},
        {"CreateDirectories", L"s/sub/", L"", true, ""},
        {"CreateDirectories", L"to/sub/x", L"", false, ""},
        {"CreateDirectories", L"to/", L"", false, ""},
        {"CreateExtended", L"long\\x\\", L"", true, " long/ long/x/"},
    };
    ScratchFolder scratch("fs");
    for (const auto& c : cases) {
        if (std::string(c.operation) == "CreateExtended" && !kWindowsHost) continue;
        const std::wstring root = scratch / L"tree";
        auto path = [&](const wchar_t* relative) { return JoinPath(root, relative); };
        fs::remove_all(fs::path(root));
        ASSERT_TRUE(WriteTree(root, kStart) && CreateDirectories(path(L"s/sub/空/")) &&
                    WriteFileBytes(path(L"s/sub/空/文"), "w") &&
                    CreateDirectories(path(L"blocked/d/f/")) && CreateDirectories(path(L"Empty/")));
        const auto before = Entries(root);
        SetLastSystemError(0);
        EXPECT_EQ(Apply(c.operation, path(c.a), path(c.b)), c.ok) << c.operation;
        EXPECT_TRUE(c.ok || LastSystemError() != 0) << c.operation << ": no error code";
        EXPECT_EQ(Changes(root, before), c.changes) << c.operation << " " << ToNarrow(c.a);
    }
}

// What the queries say of a file, folder trees, an empty folder and paths that are not there.
TEST(FsTest, QueriesTellFilesFromFolders) {
    ScratchFolder scratch("fs");
    ASSERT_TRUE(WriteTree(scratch.Path(),
                          {{"f", "abcd"}, {"t/.d", "12345"}, {"t/s/d/c", "ccc"}, {"t/s/e", ""}}));
    ASSERT_TRUE(CreateDirectories(scratch / L"empty/"));
    const std::pair<const wchar_t*, std::string> cases[] = {
        {L"f", "file 4 0 -"},           {L"t", "folder -1 8 .d:5 s/"},
        {L"t/", "folder -1 8 .d:5 s/"}, {L"t/s", "folder -1 3 d/ e:0"},
        {L"empty", "folder -1 0"},      {L"missing", "none -1 0 -"},
        {L"f/below", "none -1 0 -"},
    };
    for (const auto& [relative, expected] : cases) {
        const std::wstring path = scratch / relative;
        std::string text = FileExists(path) ? "file" : DirectoryExists(path) ? "folder" : "none";
        text += " " + std::to_string(FileSize64(path)) + " " + std::to_string(DirectorySize(path));
        std::vector<DirEntry> entries;
        SetLastSystemError(0);
        if (!ListDirectory(path, &entries)) text += LastSystemError() ? " -" : " - without code";
        std::sort(entries.begin(), entries.end(),
                  [](const DirEntry& a, const DirEntry& b) { return a.name < b.name; });
        for (const DirEntry& e : entries) {
            text += " " + ToNarrow(e.name) + (e.isDirectory ? "/" : ":" + std::to_string(e.size));
        }
        EXPECT_EQ(text, expected) << ToNarrow(relative);
    }
    uint64_t freeBytes = 0;
    EXPECT_TRUE(FreeDiskSpace(scratch.Path(), &freeBytes) && freeBytes > 0);
    EXPECT_TRUE(FileExists(ModulePath()));
    EXPECT_EQ(FileNameOfPath(ModulePath()), kWindowsHost ? L"velka_tests.exe" : L"velka_tests");
    EXPECT_EQ(ModuleDirectory(), FolderOfPath(ModulePath()));
}

// An ordinary user shut out of a folder: listing and copying fail with a code, sizes count the
// rest.
TEST(FsTest, UnreadableFolderFailsCopyAndCountsZero) {
    ScratchFolder scratch("fs");
    ASSERT_TRUE(WriteTree(scratch.Path(), {{"src/a", "0123456789"}, {"src/locked/b", "x"}}));
    fs::permissions(fs::path(scratch.Path()), fs::perms::all);  // the user may write the copy
    fs::permissions(fs::path(scratch / L"src/locked"), fs::perms::none);
    std::vector<DirEntry> entries;
    std::string seen;
    EXPECT_TRUE(AsOrdinaryUser([&] {
        seen = ListDirectory(scratch / L"src/locked", &entries) ? "listed" : "unlisted";
        SetLastSystemError(0);
        seen += CopyTree(scratch / L"src", scratch / L"dst") ? " copied" : " uncopied";
        seen += LastSystemError() ? " code " : " no code ";
        seen += std::to_string(DirectorySize(scratch / L"src"));
    })) << "cannot drop root's rights";
    fs::permissions(fs::path(scratch / L"src/locked"), fs::perms::all);
    if (kWindowsHost && seen.rfind("listed", 0) == 0) GTEST_SKIP() << "no folder keeps users out";
    EXPECT_EQ(seen, "unlisted uncopied code 10");
}

// A copied program keeps its execute bit, and a replaced file keeps its own bits.
TEST(FsTest, CopyOneFileKeepsPermissionBits) {
    if (kWindowsHost) GTEST_SKIP() << "no mode bits on Windows";
    ScratchFolder scratch("fs");
    ASSERT_TRUE(WriteTree(scratch.Path(), {{"tool", "#!/bin/sh\n"}, {"download", "echo 2\n"}}));
    ASSERT_TRUE(MarkExecutable(scratch / L"tool"));
    ASSERT_TRUE(CopyOneFile(scratch / L"tool", scratch / L"copy"));
    EXPECT_TRUE(IsExecutableFile(scratch / L"copy")) << "a new file gets the source's bits";
    ASSERT_TRUE(CopyOneFile(scratch / L"download", scratch / L"copy"));
    EXPECT_TRUE(IsExecutableFile(scratch / L"copy")) << "a replaced file keeps its bits";
    EXPECT_EQ(Contents(scratch / L"copy"), "echo 2\n");
}

}  // namespace
}  // namespace velka
