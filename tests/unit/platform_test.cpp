// The platform layer: file-system calls, starting programs (real processes), proxy rules.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "platform/fs.h"
#include "platform/process.h"
#include "platform/proxy_rules.h"
#include "platform/text.h"
#include "support/fixtures.h"
#include "support/ordinary_user.h"
#include "support/scratch_log.h"
#include "util/strings.h"

namespace velka {
namespace {

using namespace testing_support;
namespace fs = std::filesystem;

// LaunchProgram keeps the directory it enters; Windows cannot remove a folder that is one.
class ProcessTest : public ::testing::Test {
  protected:
    void TearDown() override { std::filesystem::current_path(saved_); }
    const std::filesystem::path saved_ = std::filesystem::current_path();
    ScratchFolder scratch_{"proc"};
};

// The program starts in the folder with parameters split at blanks, or nothing starts and why.
TEST_F(ProcessTest, LaunchProgramStartsInTheFolderWithSplitParameters) {
    const std::wstring game = scratch_ / L"game.exe", work = scratch_ / L"work";
    ASSERT_TRUE(CopyOneFile(
        JoinPath(ModuleDirectory(), kWindowsHost ? L"velka_sample_game.exe" : L"velka_sample_game"),
        game));
    ASSERT_TRUE(MarkExecutable(game) && WriteFileBytes(scratch_ / L"plain", "text") &&
                CreateDirectories(work + kPathSeparator));
    const std::pair<std::wstring, std::wstring> runs[] = {{game, scratch_ / L"missing"},
                                                          {scratch_ / L"missing-program", work},
                                                          {scratch_ / L"plain", work},
                                                          {game, work}};
    for (const auto& [program, folder] : runs) {
        if (kWindowsHost && program != game) continue;  // the Windows shell would show a box
        SCOPED_TRACE(ToNarrow(program + L" in " + folder));
        const bool starts = program == game && folder == work;
        SetLastSystemError(0);
        EXPECT_EQ(starts, LaunchProgram(program, L"alpha  beta gamma", folder));
        EXPECT_EQ(starts, LastSystemError() == 0);
        EXPECT_TRUE(std::filesystem::equivalent(std::filesystem::current_path(),
                                                folder == work ? work : saved_.wstring()));
    }
    ASSERT_TRUE(WaitFor([&] { return Count(Contents(scratch_ / L"started.txt"), "\n") == 1; }, 30));
    const std::string out = Contents(scratch_ / L"started.txt");
    const size_t with = out.find(" with arguments: ");
    EXPECT_EQ(" with arguments: [alpha] [beta] [gamma]\n", out.substr(with));
    EXPECT_TRUE(std::filesystem::equivalent(ToWide(out.substr(11, with - 11)), work)) << out;
}

// Every entry below `root`: "path/" for a folder, "path=content" for a file, "*" when executable.
Tree Entries(const std::wstring& root) {
    Tree entries;
    for (const auto& entry : fs::recursive_directory_iterator(fs::path(root))) {
        const std::string name = fs::relative(entry.path(), fs::path(root)).generic_u8string();
        const std::wstring path = Utf8ToWide(entry.path().u8string());
        const bool folder = entry.is_directory();
        entries[name + (folder ? "/" : "")] =
            folder ? "" : "=" + Contents(path) + (IsExecutableFile(path) ? "*" : "");
    }
    return entries;
}

// Entries new or changed in `after`, then "-" and those gone from it.
std::string Changes(const std::wstring& root, const Tree& before) {
    const Tree after = Entries(root);
    std::string text;
    for (const auto& [name, content] : after)
        if (!before.count(name) || before.at(name) != content) text += " " + name + content;
    for (const auto& [name, content] : before) text += after.count(name) ? "" : " -" + name;
    return text;
}

// What the queries say of a path: kind, file size, tree size, contents and sorted listing.
std::string Describe(const std::wstring& path) {
    std::string text = FileExists(path) ? "file" : DirectoryExists(path) ? "folder" : "none";
    text += " " + std::to_string(FileSize64(path)) + " " + std::to_string(DirectorySize(path));
    std::string bytes = "stale";  // a buffer that held something before
    if (ReadFileBytes(path, &bytes)) text += " =" + bytes;
    std::vector<DirEntry> entries;
    if (!ListDirectory(path, &entries)) return text + " unlisted";
    std::sort(entries.begin(), entries.end(),
              [](const DirEntry& a, const DirEntry& b) { return a.name < b.name; });
    for (const DirEntry& e : entries)
        text += " " + ToNarrow(e.name) + (e.isDirectory ? "/" : ":" + std::to_string(e.size));
    return text;
}

std::string Apply(const std::string& call, const std::wstring& a, const std::wstring& b) {
    auto result = [](bool ok) { return ok ? "ok" : "failed"; };
    if (call == "Describe") return Describe(a);
    if (call == "CopyTree") return result(CopyTree(a, b));
    if (call == "CopyOneFile") return result(CopyOneFile(a, b));
    if (call == "RenamePath") return result(RenamePath(a, b));
    if (call == "RemoveFile") return result(RemoveFile(a));
    if (call == "RemoveEmptyFolder") return result(RemoveEmptyFolder(a));
    if (call == "WriteFileAtomically") return result(WriteFileAtomically(a, "new"));
    if (call == "WriteNewPrivateFile") return result(WriteNewPrivateFile(a, "new"));
    if (call == "CreateExtended") return result(CreateDirectories(L"\\\\?\\" + a));
    return result(CreateDirectories(a));
}

const Tree kStart = {{"s/a", "new"}, {"s/.h", "h"},        {"s/sub/b", "\r\n"}, {"d/a", "older"},
                     {"o/d/f", "f"}, {"P/x.exe", "older"}, {"from", "1"},       {"to", "2"}};

// Each call on one tree (with a wide-named file): its result, error code on failure, changes.
TEST(FsTest, CallsChangeTheTreeOrFailWithACode) {
    const struct {
        const char* call;
        const wchar_t *a, *b;
        const char* result;
        std::string changes;
    } cases[] = {{"Describe", L"s", L"", "folder -1 7 .h:1 a:3 sub/", ""},
                 {"Describe", L"s/a", L"", "file 3 0 =new unlisted", ""},
                 {"Describe", L"missing", L"", "none -1 0 unlisted", ""},
                 {"CopyTree", L"s", L"d", "ok",
                  " d/.h=h d/a=new d/sub/ d/sub/b=\r\n d/sub/空/ d/sub/空/文=w"},
                 {"CopyTree", L"s/sub/", L"n/x/", "ok", " n/ n/x/ n/x/b=\r\n n/x/空/ n/x/空/文=w"},
                 {"CopyTree", L"missing", L"d", "ok", ""},
                 {"CopyTree", L"o", L"blocked", "failed", ""},  // a folder where a file goes
                 {"CopyOneFile", L"s/a", L"P/x.exe", "ok", " P/x.exe=new*"},  // keeps its own mode
                 {"CopyOneFile", L"P/x.exe", L"n.exe", "ok", " n.exe=older*"},  // gets the source's
                 {"CopyOneFile", L"to", L"to", "failed", ""},
                 {"CopyOneFile", L"s", L"x", "failed", ""},  // a folder is no file
                 {"RenamePath", L"from", L"to", "failed", ""},
                 {"RenamePath", L"P", L"Empty", "failed", ""},
                 {"RenamePath", L"P", L"M", "ok", " M/ M/x.exe=older* -P/ -P/x.exe"},
                 {"RemoveFile", L"s", L"", "failed", ""},
                 {"RemoveFile", L"to", L"", "ok", " -to"},
                 {"RemoveEmptyFolder", L"o/d", L"", "failed", ""},
                 {"RemoveEmptyFolder", L"Empty", L"", "ok", " -Empty/"},
                 {"WriteFileAtomically", L"to", L"", "ok", " to=new"},
                 {"WriteFileAtomically", L"Empty", L"", "failed", ""},
                 {"WriteNewPrivateFile", L"key", L"", "ok", " key=new"},
                 {"WriteNewPrivateFile", L"to", L"", "failed", ""},
                 {"CreateDirectories", L"n/a/f.txt", L"", "ok", " n/ n/a/"},
                 {"CreateDirectories", L"遊//資/", L"", "ok", " 遊/ 遊/資/"},
                 {"CreateDirectories", L"to/sub/x", L"", "failed", ""},
                 {"CreateDirectories", L"to/", L"", "failed", ""},
                 {"CreateExtended", L"long\\x\\", L"", "ok", " long/ long/x/"}};
    ScratchFolder scratch("fs");
    for (const auto& c : cases) {
        if (std::string(c.call) == "CreateExtended" && !kWindowsHost) continue;
        const std::wstring root = scratch / L"tree";
        auto path = [&](const wchar_t* relative) { return JoinPath(root, relative); };
        fs::remove_all(fs::path(root));
        ASSERT_TRUE(WriteTree(root, kStart) && CreateDirectories(path(L"s/sub/空/")) &&
                    WriteFileBytes(path(L"s/sub/空/文"), "w") &&
                    CreateDirectories(path(L"blocked/d/f/")) &&
                    CreateDirectories(path(L"Empty/")) && MarkExecutable(path(L"P/x.exe")));
        const auto before = Entries(root);
        SetLastSystemError(0);
        EXPECT_EQ(Apply(c.call, path(c.a), path(c.b)), c.result) << c.call << " " << ToNarrow(c.a);
        EXPECT_TRUE(std::string(c.result) != "failed" || LastSystemError() != 0) << "no error code";
        EXPECT_EQ(Changes(root, before), kWindowsHost ? ReplaceAll(c.changes, "*", "") : c.changes)
            << c.call << " " << ToNarrow(c.a);
    }
}

// A folder shut to an ordinary user: copying fails with a code, sizes count the rest, no listing.
TEST(FsTest, UnreadableFolderFailsCopyAndCountsZero) {
    ScratchFolder scratch("fs");
    ASSERT_TRUE(WriteTree(scratch.Path(), {{"src/a", "0123456789"}, {"src/locked/b", "x"}}));
    fs::permissions(fs::path(scratch.Path()), fs::perms::all);  // the user may write the copy
    fs::permissions(fs::path(scratch / L"src/locked"), fs::perms::none);
    std::string seen;
    EXPECT_TRUE(AsOrdinaryUser([&] {
        SetLastSystemError(0);
        seen = CopyTree(scratch / L"src", scratch / L"dst") ? "copied" : "failed";
        seen += LastSystemError() ? ", " : " without code, ";
        seen += Describe(scratch / L"src") + ", " + Describe(scratch / L"src/locked");
    })) << "cannot drop root's rights";
    fs::permissions(fs::path(scratch / L"src/locked"), fs::perms::all);
    if (kWindowsHost && seen.find("unlisted") == std::string::npos) GTEST_SKIP() << "not shut out";
    EXPECT_EQ(seen, "failed, folder -1 10 a:10 locked/, folder -1 0 unlisted");
}

// The proxy of the Windows lists for a URL: per scheme or for all, socks last; bypass patterns
// with wildcards, <local>, ports and schemes, any case. "" is a direct connection.
TEST(ProxyRulesTest, ChoosesTheProxyOfTheWindowsListsForAUrl) {
    const struct {
        const char *url, *proxyList, *bypassList, *expected;
    } cases[] = {
        {"http://cdn.example.com/zip/a.zip", "proxy.corp:8080", "", "http://proxy.corp:8080"},
        {"http://cdn.example.com/a", "http=hp:3128;https=sp:3129", "", "http://hp:3128"},
        {"https://cdn.example.com/a", "http=hp:3128 https=sp:3129", "", "http://sp:3129"},
        {"HTTP://cdn.example.com/a", "HTTP=hp:3128", "", "http://hp:3128"},
        {"https://cdn.example.com/a", "http=hp:3128;plain:1", "", "http://plain:1"},
        {"http://cdn.example.com/a", "socks=sk:1080", "", "socks4://sk:1080"},
        {"http://cdn.example.com/a", "socks=sk:1080;http=hp:1", "", "http://hp:1"},
        {"http://cdn.example.com/a", "https://sp:443", "", "https://sp:443"},
        {"http://cdn.example.com/a", "p:1", "*.example.com", ""},
        {"http://CDN.Example.COM/a", "p:1", "*.EXAMPLE.com", ""},
        {"http://example.com/a", "p:1", "*.example.com", "http://p:1"},
        {"http://10.1.2.3:8080/a", "p:1", "*.example.com;10.*", ""},
        {"http://mirror/a", "p:1", "<local>", ""},
        {"http://127.0.0.1/a", "p:1", "<local>", "http://p:1"},
        {"http://127.0.0.1:8080/a", "p:1", "127.0.0.1:8080", ""},
        {"http://127.0.0.1:9090/a", "p:1", "127.0.0.1:8080", "http://p:1"},
        {"http://127.0.0.1/a", "p:1", "127.0.0.1:80", ""},
        {"https://host/a", "p:1", "http://host", "http://p:1"},
        {"http://host/a", "p:1", "http://host", ""},
        {"http://user:pw@host/a", "p:1", "host", ""},
        {"http://[::1]:8080/a", "p:1", "::1", ""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.expected, ChooseProxy(c.url, c.proxyList, c.bypassList))
            << c.url << " with proxies \"" << c.proxyList << "\" bypass \"" << c.bypassList << "\"";
    }
}

}  // namespace
}  // namespace velka
