// velka-publish against the launcher's own readers: the configurations and lists it writes are
// parsed with the launcher's parsers, its packages unpacked with the launcher's extractor (and
// Info-ZIP where available), and a published mirror served over HTTP updates an installation
// through the real update pipeline.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <system_error>
#include <vector>

#include "patcher/content_cipher.h"
#include "patcher/file_lists.h"
#include "patcher/patcher.h"
#include "patcher/release_record.h"
#include "patcher/remote_config.h"
#include "patcher/self_update.h"
#include "patcher/status.h"
#include "platform/fs.h"
#include "platform/text.h"
#include "publish/game_tree.h"
#include "publish/mirror_writer.h"
#include "publish/package_writer.h"
#include "publish/publish_cli.h"
#include "publish/published_texts.h"
#include "support/crc_forge.h"
#include "support/scratch_log.h"
#include "support/test_server.h"
#include "transfer/extract.h"
#include "util/file_crc.h"
#include "util/logger.h"
#include "util/safe_path.h"

namespace velka {
namespace {

namespace fs = std::filesystem;
using testing_support::ScratchFolder;
using testing_support::TestServer;

// Files below some root: "/"-separated relative path -> content.
using Tree = std::map<std::string, std::string>;

const bool kWindowsHost = kPathSeparator == L'\\';

fs::path FsPath(const std::wstring& path) {
    return fs::u8path(WideToUtf8(path));
}

std::string VariedBytes(size_t size, uint32_t seed) {
    std::string data(size, '\0');
    for (char& c : data) {
        seed = seed * 1103515245u + 12345u;
        c = static_cast<char>(seed >> 16);
    }
    return data;
}

Tree SampleGame() {
    std::string everyByte;
    for (int i = 0; i < 256; ++i) everyByte.push_back(static_cast<char>(i));
    return {
        {"velka.exe", std::string("MZ\x90\x00 game", 9) + VariedBytes(3000, 7)},
        {"empty.txt", ""},
        {"bin/every byte.bin", everyByte},
        {"bin/big.pak", VariedBytes(200 * 1024, 1)},
        {"data/level 1.pak", VariedBytes(5000, 2)},
        {"data/sub/deeper/config.ini", "[game]\r\nname=velka\r\n"},
        {"data/sub/notes.txt", std::string(40000, 'n')},
    };
}

bool WriteTree(const std::wstring& root, const Tree& tree) {
    for (const auto& [path, content] : tree) {
        const std::wstring target = JoinPath(root, ToWide(path));
        if (!CreateDirectories(target) || !WriteFileBytes(target, content)) return false;
    }
    return true;
}

Tree ReadTree(const std::wstring& root) {
    Tree tree;
    std::error_code ec;
    const fs::path base = FsPath(root);
    for (auto it = fs::recursive_directory_iterator(base, ec);
         !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
        if (!it->is_regular_file()) continue;
        std::string content;
        EXPECT_TRUE(ReadFileBytes(Utf8ToWide(it->path().u8string()), &content));
        tree[fs::relative(it->path(), base).generic_u8string()] = content;
    }
    return tree;
}

std::string Contents(const std::wstring& path) {
    std::string bytes;
    EXPECT_TRUE(ReadFileBytes(path, &bytes)) << ToNarrow(path);
    return bytes;
}

// A game folder holding velka_win with `tree`, and room for outputs beside it.
struct Workspace {
    explicit Workspace(const Tree& tree = SampleGame()) : scratch("publish") {
        EXPECT_TRUE(WriteTree(VelkaWin(), tree));
    }
    std::wstring Game() const { return scratch / L"game"; }
    std::wstring VelkaWin() const { return scratch / L"game/velka_win"; }
    std::wstring Out(const std::wstring& name = L"mirror") const { return scratch / name; }

    PublishOptions Options(const std::wstring& out) const {
        PublishOptions options;
        options.gameFolder = Game();
        options.outputFolder = out;
        options.mirrorBaseUrls = {"http://127.0.0.1:8080/velka/", "https://cdn.example.com/"};
        options.incrementVersion = ParseVersion("1.2.3");
        options.zipVersion = ParseVersion("1.2.0");
        options.launcherVersion = ParseVersion("3.1.2034");
        return options;
    }

    ScratchFolder scratch;
};

const std::string kTestSeed(64, '5');
constexpr int64_t kTestIssued = 1700000000;

PublishOptions Signed(PublishOptions options) {
    options.signingSeedHex = kTestSeed;
    options.issued = kTestIssued;
    options.expires = kTestIssued + 86400;
    options.release = 42;
    return options;
}

bool Publish(const PublishOptions& options, PublishSummary* summary = nullptr) {
    PublishSummary ignored;
    std::string error;
    const bool ok = PublishMirror(options, summary ? summary : &ignored, &error);
    EXPECT_TRUE(ok) << error;
    return ok;
}

std::vector<PackageEntry> ParsedPackages(const std::wstring& out, uint64_t* totalUnpacked) {
    Logger logger;
    PatcherStatus status;
    std::vector<PackageEntry> packages;
    EXPECT_TRUE(ParsePackageList(logger, status, Contents(JoinPath(out, L"lists/ziplist.txt")),
                                 &packages, totalUnpacked));
    return packages;
}

// ----- Planning and screening tables ----------------------------------------------------------

TEST(PublishPlanTest, GroupsFollowTheLimit) {
    const uint64_t max = ~0ull;
    const struct {
        std::vector<uint64_t> sizes;
        uint64_t limit;
        std::vector<std::vector<size_t>> groups;
    } cases[] = {
        {{5, 5, 5}, 10, {{0, 1}, {2}}},
        {{10}, 10, {{0}}},
        {{20, 1, 1}, 10, {{0}, {1, 2}}},  // too large: alone, then packing resumes
        {{1, 20, 1}, 10, {{0}, {1}, {2}}},
        {{0, 0, 3}, 3, {{0, 1, 2}}},
        {{3, 4, 3}, 1, {{0}, {1}, {2}}},
        {{max - 1, 5}, max, {{0}, {1}}},  // no overflow of the running total
        {{}, 10, {}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(PlanPackages(c.sizes, c.limit), c.groups)
            << "sizes " << ::testing::PrintToString(c.sizes) << " limit " << c.limit;
    }

    // Many tiny files: the entry count closes a package long before the byte limit would.
    const std::vector<std::vector<size_t>> groups =
        PlanPackages(std::vector<uint64_t>(kMaxEntriesPerPackage + 10, 1), max);
    ASSERT_EQ(2u, groups.size());
    EXPECT_EQ(kMaxEntriesPerPackage, groups[0].size());
    EXPECT_EQ(10u, groups[1].size());
    EXPECT_EQ(kMaxEntriesPerPackage, groups[1].front()) << "order is kept across the cut";
}

TEST(PublishNamesTest, NamesTheLauncherCannotCarryAreRefused) {
    const std::vector<std::string> accepted = {"velka.exe",   "level 1.pak", "a+b(1)_~-x", "COM0",
                                               "console.txt", "lpt10",       ".hidden"};
    const std::vector<std::string> refused = {
        "",     "a=b",   "a$b",    "a\nb",   "a\rb", "tab\there", "\x01",     ".",
        "..",   "a%20b", "a#b",    "a?b",    "a:b",  "a\\b",      "a*b",      "a|b",
        "a\"b", "a<b",   "trail.", "trail ", "CON",  "nul.txt",   "Lpt1.dat", "caf\xC3\xA9",
    };
    for (const std::string& name : accepted) {
        EXPECT_EQ(CheckPublishableName(name), "") << "\"" << name << "\"";
    }
    for (const std::string& name : refused) {
        EXPECT_NE(CheckPublishableName(name), "") << "\"" << PrintableForLog(name) << "\"";
    }
}

TEST(PublishNamesTest, BaseUrlsMustSurviveTheLauncher) {
    const std::vector<std::string> accepted = {"http://host/", "https://cdn.example.com/a/b/",
                                               "http://127.0.0.1:8080/velka_hk_win/",
                                               "http://host/a%20b/"};
    const std::vector<std::string> refused = {
        "",
        "ftp://host/",
        "HTTP://host/",  // the launcher would take the file for enciphered
        "http://host",   // names are appended directly
        "http:///",      // no host
        "http://host/a b/",
        "http://host/a$b/",  // list separator
        "http://host/#x/",   // comment
        "http://host/a;b/",  // comment
        "http://host/?q=/",
        "http://host/https-mirror/",  // rewritten to http by the launcher
        "http://h\xC3\xB6st/",
    };
    for (const std::string& url : accepted) EXPECT_EQ(CheckBaseUrl(url), "") << url;
    for (const std::string& url : refused) EXPECT_NE(CheckBaseUrl(url), "") << url;
}

// ----- The published mirror -------------------------------------------------------------------

// Raw "key=value" lines of a configuration.
std::map<std::string, std::string> RawValues(const std::string& text) {
    std::map<std::string, std::string> values;
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        const size_t equals = line.find('=');
        if (equals != std::string::npos) values[line.substr(0, equals)] = line.substr(equals + 1);
    }
    return values;
}

class PublishConfigTest : public ::testing::TestWithParam<bool> {};

TEST_P(PublishConfigTest, LauncherParsersReadBackVersionsAndUrls) {
    const bool enciphered = GetParam();
    Workspace ws;
    PublishOptions options = ws.Options(ws.Out());
    options.enciphered = enciphered;
    options.useZip = enciphered;  // both values of useZip, through both forms
    ASSERT_TRUE(Publish(options));

    Logger logger;
    const ContentCipher cipher(kContentCipherKey);
    const std::wstring server = JoinPath(ws.Out(), L"Launcher/serverconfig.txt");
    const std::wstring launcher = JoinPath(ws.Out(), L"Launcher/launcherconfig.txt");

    ServerConfig parsed;
    ASSERT_TRUE(ParseServerConfig(logger, cipher, server, &parsed, false));
    EXPECT_EQ(parsed.incrementVersion, options.incrementVersion);
    EXPECT_EQ(parsed.zipVersion, options.zipVersion);
    EXPECT_EQ(parsed.useZip, enciphered);
    const auto expected = [](const std::string& relative) {
        return std::vector<std::string>{"http://127.0.0.1:8080/velka/" + relative,
                                        "https://cdn.example.com/" + relative};
    };
    EXPECT_EQ(parsed.filelistURLs, expected("lists/filelist.txt"));
    EXPECT_EQ(parsed.ziplistURLs, expected("lists/ziplist.txt"));
    EXPECT_EQ(parsed.zipupdateURLs, expected("zip/"));
    EXPECT_EQ(parsed.incrementupdateURLs, expected("files/"));

    LauncherConfig parsedLauncher;
    ASSERT_TRUE(ParseLauncherConfig(logger, cipher, launcher, &parsedLauncher));
    EXPECT_EQ(parsedLauncher.launcherVersion, options.launcherVersion);
    EXPECT_EQ(parsedLauncher.remoteURLs, expected("Launcher/"));
    EXPECT_EQ(parsedLauncher.launcherZipInfo.fileName, "") << "no launcher package yet";

    // The form the launcher detects is the form that was asked for, keys always plain.
    const auto serverRaw = RawValues(Contents(server));
    const auto launcherRaw = RawValues(Contents(launcher));
    ASSERT_EQ(serverRaw.count("filelistURLs"), 1u);
    ASSERT_EQ(launcherRaw.count("remoteURLs"), 1u);
    EXPECT_EQ(IsPlainConfiguration(serverRaw.at("filelistURLs")), !enciphered);
    EXPECT_EQ(IsPlainConfiguration(launcherRaw.at("remoteURLs")), !enciphered);
    EXPECT_EQ(serverRaw.at("incrementVersion"), "1.2.3");
    EXPECT_EQ(serverRaw.size(), 7u);
    if (enciphered) {
        EXPECT_NE(serverRaw.at("useZip"), "True");
    } else {
        EXPECT_EQ(serverRaw.at("useZip"), "False");
    }
}

INSTANTIATE_TEST_SUITE_P(Publish, PublishConfigTest, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& info) {
                             return info.param ? "Enciphered" : "Plain";
                         });

TEST(PublishMirrorTest, ListsDescribeEveryServedFile) {
    Workspace ws;
    PublishSummary summary;
    ASSERT_TRUE(Publish(ws.Options(ws.Out()), &summary));
    const Tree game = SampleGame();
    EXPECT_EQ(summary.fileCount, game.size());

    Logger logger;
    PatcherStatus status;
    std::vector<FileEntry> files;
    ASSERT_TRUE(
        ParseFileList(logger, status, Contents(JoinPath(ws.Out(), L"lists/filelist.txt")), &files));
    std::set<std::string> listed;
    std::string previous;
    for (const FileEntry& entry : files) {
        SCOPED_TRACE(entry.path);
        EXPECT_FALSE(entry.failed);
        EXPECT_LT(previous, entry.path) << "list not sorted";
        previous = entry.path;
        std::string relative = entry.path;
        std::replace(relative.begin(), relative.end(), '\\', '/');
        listed.insert(relative);
        ASSERT_EQ(game.count(relative), 1u);
        EXPECT_EQ(entry.name, relative.substr(relative.rfind('/') + 1));
        const std::wstring served = JoinPath(ws.Out(), L"files/" + ToWide(relative));
        int64_t size = -1;
        EXPECT_EQ(ComputeFileCrc(served, &size), entry.crc);
        EXPECT_EQ(size, static_cast<int64_t>(entry.size));
    }
    EXPECT_EQ(listed.size(), game.size());
    EXPECT_EQ(ReadTree(JoinPath(ws.Out(), L"files")), game);

    uint64_t totalUnpacked = 0;
    const std::vector<PackageEntry> packages = ParsedPackages(ws.Out(), &totalUnpacked);
    ASSERT_EQ(packages.size(), summary.packages.size());
    uint64_t gameBytes = 0;
    for (const auto& [path, content] : game) gameBytes += content.size();
    EXPECT_EQ(totalUnpacked, gameBytes);
    for (const PackageEntry& package : packages) {
        SCOPED_TRACE(package.path);
        EXPECT_EQ(package.name, package.path);
        int64_t size = -1;
        EXPECT_EQ(ComputeFileCrc(JoinPath(ws.Out(), L"zip/" + ToWide(package.path)), &size),
                  package.crc);
        EXPECT_EQ(size, package.packageSize);
    }
}

// Unpacks every listed package with the launcher's extractor, each into a folder of its own.
std::vector<Tree> UnpackEach(const std::wstring& out, const std::wstring& into) {
    std::vector<Tree> contents;
    uint64_t totalUnpacked = 0;
    for (const PackageEntry& package : ParsedPackages(out, &totalUnpacked)) {
        const std::wstring dest = JoinPath(into, ToWide(package.path));
        std::atomic<int64_t> written{0};
        EXPECT_TRUE(UnzipArchive(JoinPath(out, L"zip/" + ToWide(package.path)), dest, &written))
            << package.path;
        EXPECT_EQ(written.load(), package.unpackedSize) << package.path;
        contents.push_back(ReadTree(dest));
    }
    return contents;
}

class PublishPackageTest : public ::testing::TestWithParam<uint64_t> {};

TEST_P(PublishPackageTest, PackagesUnpackToExactlyTheGameBelowVelkaWin) {
    const uint64_t limit = GetParam();
    Workspace ws;
    PublishOptions options = ws.Options(ws.Out());
    options.packageLimit = limit;
    PublishSummary summary;
    ASSERT_TRUE(Publish(options, &summary));

    Tree expected;
    for (const auto& [path, content] : SampleGame()) expected["velka_win/" + path] = content;

    Tree combined;
    const std::vector<Tree> packages = UnpackEach(ws.Out(), ws.scratch / L"unpacked");
    for (const Tree& package : packages) {
        uint64_t bytes = 0;
        for (const auto& [path, content] : package) {
            EXPECT_TRUE(combined.emplace(path, content).second) << path << " in two packages";
            bytes += content.size();
        }
        EXPECT_TRUE(bytes <= limit || package.size() == 1)
            << bytes << " bytes in " << package.size() << " files over the limit " << limit;
    }
    EXPECT_EQ(combined, expected);
    if (limit == kDefaultPackageLimit) {
        EXPECT_EQ(packages.size(), 1u);
        EXPECT_EQ(summary.packages, std::vector<std::string>{"velka_win_1.2.3_001.zip"});
    } else {
        EXPECT_GE(packages.size(), 3u) << "a small limit must split the game";
    }
}

INSTANTIATE_TEST_SUITE_P(Publish, PublishPackageTest,
                         ::testing::Values(kDefaultPackageLimit, 45000, 1));

// Signed, so that the record and its signature are covered as well.
TEST(PublishMirrorTest, SameInputGivesTheSameBytes) {
    Workspace ws;
    PublishOptions options = Signed(ws.Options(ws.Out(L"first")));
    options.packageLimit = 45000;
    ASSERT_TRUE(Publish(options));

    // Timestamps and the output's own name must not leak into what is published.
    std::error_code ec;
    for (const auto& [path, content] : SampleGame()) {
        fs::last_write_time(FsPath(JoinPath(ws.VelkaWin(), ToWide(path))),
                            fs::file_time_type::clock::now() - std::chrono::hours(50), ec);
    }
    options.outputFolder = ws.Out(L"second");
    ASSERT_TRUE(Publish(options));

    const Tree first = ReadTree(ws.Out(L"first"));
    EXPECT_GE(first.size(), SampleGame().size() + 8);
    EXPECT_TRUE(first == ReadTree(ws.Out(L"second"))) << "two publications differ";
}

// Where each name of the release record lies in the mirror.
std::wstring MirrorPathOf(const std::wstring& out, const std::string& name) {
    if (name == kLauncherConfigName || name == kServerConfigName) {
        return JoinPath(out, ToWide("Launcher/" + name));
    }
    if (name == kFileListName || name == kPackageListName || name == kHashListName) {
        return JoinPath(out, ToWide("lists/" + name));
    }
    return JoinPath(out, ToWide("zip/" + name));
}

TEST(PublishSigningTest, RecordVouchesForEveryArtifactAndTheHashListForEveryFile) {
    Workspace ws;
    PublishOptions options = Signed(ws.Options(ws.Out()));
    options.packageLimit = 45000;
    PublishSummary summary;
    ASSERT_TRUE(Publish(options, &summary));
    EXPECT_EQ(summary.releaseRecord, "Launcher/release.txt");

    ReleaseKeyPair keys;
    std::string reason;
    ASSERT_TRUE(ReleaseKeyPairFromSeed(kTestSeed, &keys, &reason));
    ReleaseRecord record;
    ASSERT_TRUE(VerifyReleaseRecord(Contents(JoinPath(ws.Out(), L"Launcher/release.txt")),
                                    {keys.publicHex, kTestIssued, 0}, &record, &reason))
        << reason;
    EXPECT_EQ(record.release, 42u);
    EXPECT_EQ(record.expires, kTestIssued + 86400);
    std::set<std::string> expected = {kLauncherConfigName, kServerConfigName, kFileListName,
                                      kPackageListName, kHashListName};
    expected.insert(summary.packages.begin(), summary.packages.end());
    EXPECT_GE(summary.packages.size(), 2u);
    std::set<std::string> listed;
    for (const auto& [name, artifact] : record.files) {
        listed.insert(name);
        std::string sha;
        uint64_t size = 0;
        ASSERT_TRUE(ComputeFileSha256(MirrorPathOf(ws.Out(), name), &sha, &size)) << name;
        EXPECT_EQ(artifact.sha256, sha) << name;
        EXPECT_EQ(artifact.size, size) << name;
    }
    EXPECT_EQ(listed, expected);

    std::map<std::string, std::string> hashes;
    ASSERT_TRUE(
        ParseHashList(Contents(JoinPath(ws.Out(), L"lists/hashlist.txt")), &hashes, &reason))
        << reason;
    EXPECT_EQ(hashes.size(), SampleGame().size());
    for (const auto& [path, content] : SampleGame()) {
        std::string listPath = path;
        std::replace(listPath.begin(), listPath.end(), '/', '\\');
        EXPECT_EQ(hashes[listPath], Sha256OfBytes(content.data(), content.size())) << path;
    }

    // Without a key the mirror is as it always was.
    ASSERT_TRUE(Publish(ws.Options(ws.Out(L"mirror-unsigned"))));
    const Tree unsigned_ = ReadTree(ws.Out(L"mirror-unsigned"));
    EXPECT_EQ(unsigned_.count("Launcher/release.txt") + unsigned_.count("lists/hashlist.txt"), 0u);
}

TEST(PublishMirrorTest, InfoZipTestsAndUnpacksThePackages) {
    if (kWindowsHost || std::system("unzip -v > /dev/null 2>&1") != 0) {
        GTEST_SKIP() << "Info-ZIP unzip is not available";
    }
    Workspace ws;
    PublishOptions options = ws.Options(ws.Out());
    options.packageLimit = 45000;
    PublishSummary summary;
    ASSERT_TRUE(Publish(options, &summary));
    const std::string dest = ToNarrow(ws.scratch / L"infozip");
    for (const std::string& package : summary.packages) {
        const std::string zip = ToNarrow(JoinPath(ws.Out(), L"zip/" + ToWide(package)));
        const std::string test = "unzip -tqq '" + zip + "'";
        EXPECT_EQ(std::system(test.c_str()), 0) << test;
        const std::string unpack = "unzip -qq -o '" + zip + "' -d '" + dest + "'";
        EXPECT_EQ(std::system(unpack.c_str()), 0) << unpack;
    }
    EXPECT_EQ(ReadTree(ws.scratch / L"infozip/velka_win"), SampleGame());
}

TEST(PublishMirrorTest, ExistingOutputIsReplacedOnlyOnRequest) {
    Workspace ws;
    ASSERT_TRUE(WriteTree(ws.Out(), {{"keep.txt", "old mirror"}}));
    PublishOptions options = ws.Options(ws.Out());
    PublishSummary summary;
    std::string error;
    EXPECT_FALSE(PublishMirror(options, &summary, &error));
    EXPECT_NE(error.find("already exists"), std::string::npos) << error;
    EXPECT_EQ(ReadTree(ws.Out()), (Tree{{"keep.txt", "old mirror"}}));

    options.replaceOutput = true;
    ASSERT_TRUE(Publish(options));
    const Tree replaced = ReadTree(ws.Out());
    EXPECT_EQ(replaced.count("keep.txt"), 0u);
    EXPECT_EQ(replaced.count("lists/filelist.txt"), 1u);
    // Nothing but the game folder and the output is left in the workspace.
    std::set<std::string> left;
    for (const auto& entry : fs::directory_iterator(FsPath(ws.scratch.Path()))) {
        left.insert(entry.path().filename().u8string());
    }
    EXPECT_EQ(left, (std::set<std::string>{"game", "mirror"}));
}

// ----- Refusals -------------------------------------------------------------------------------

// Every entry of `folder` whose name starts with "mirror": the output and any partial folder.
std::set<std::string> OutputTraces(const std::wstring& folder) {
    std::set<std::string> names;
    std::error_code ec;
    for (auto it = fs::directory_iterator(FsPath(folder), ec);
         !ec && it != fs::directory_iterator(); it.increment(ec)) {
        const std::string name = it->path().filename().u8string();
        if (name.rfind("mirror", 0) == 0) names.insert(name);
    }
    return names;
}

TEST(PublishRefusalTest, BadGameTreesAreRefusedWithoutOutput) {
    const struct {
        const char* label;
        std::vector<std::string> extraFiles;  // below velka_win
        const char* expected;                 // part of the error
        bool posixOnly;  // a name Windows cannot hold, or would read as something else
    } cases[] = {
        {"equals sign", {"a=b.txt"}, "\"=\"", false},
        {"dollar", {"data/price$.txt"}, "\"$\"", false},
        {"percent", {"100%.txt"}, "\"%\"", false},
        {"hash", {"data/sub/#1.txt"}, "\"#\"", false},
        {"line break", {"two\nlines.txt"}, "control character", true},
        {"control char", {"bell\x07.txt"}, "control character", true},
        {"non-ASCII", {"caf\xC3\xA9.txt"}, "ASCII", false},
        {"backslash", {"back\\slash.txt"}, "\"\\\"", true},
        {"colon", {"a:b.txt"}, "\":\"", true},
        {"case twins", {"data/Level 1.pak"}, "letter case", true},
        {"device name", {"aux.txt"}, "device name", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        Workspace ws;
        if (c.posixOnly && kWindowsHost) {
            std::cout << "[ SKIPPED  ] " << c.label << ": Windows cannot hold the name\n";
            continue;
        }
        for (const std::string& path : c.extraFiles) {
            // Split at "/" only: a backslash must stay part of the name.
            fs::path target = FsPath(ws.VelkaWin());
            for (size_t start = 0, end; start <= path.size(); start = end + 1) {
                end = std::min(path.find('/', start), path.size());
                target /= fs::u8path(path.substr(start, end - start));
            }
            fs::create_directories(target.parent_path());
            ASSERT_TRUE(std::ofstream(target) << "x") << path;
        }
        PublishSummary summary;
        std::string error;
        EXPECT_FALSE(PublishMirror(ws.Options(ws.Out()), &summary, &error));
        EXPECT_NE(error.find(c.expected), std::string::npos) << error;
        EXPECT_EQ(OutputTraces(ws.scratch.Path()), std::set<std::string>());
    }
}

TEST(PublishRefusalTest, BadOptionsAreRefusedWithoutOutput) {
    const struct {
        const char* label;
        void (*change)(PublishOptions*, const Workspace&);
        const char* expected;
    } cases[] = {
        {"missing game folder",
         [](PublishOptions* o, const Workspace& ws) { o->gameFolder = ws.scratch / L"nothing"; },
         "does not exist"},
        {"no velka_win",
         [](PublishOptions* o, const Workspace& ws) { o->gameFolder = ws.VelkaWin(); },
         "holds no velka_win"},
        {"invalid increment version",
         [](PublishOptions* o, const Workspace&) { o->incrementVersion = ParseVersion("0.5.1"); },
         "increment version 0.5.1 is invalid"},
        {"unknown zip version",
         [](PublishOptions* o, const Workspace&) { o->zipVersion = Version(); },
         "zip version -1.-1.-1 is invalid"},
        {"invalid launcher version",
         [](PublishOptions* o, const Workspace&) { o->launcherVersion = ParseVersion("1.-2.0"); },
         "launcher version"},
        {"no mirror", [](PublishOptions* o, const Workspace&) { o->mirrorBaseUrls.clear(); },
         "no mirror"},
        {"ftp mirror",
         [](PublishOptions* o, const Workspace&) { o->mirrorBaseUrls.push_back("ftp://x/"); },
         "http://"},
        {"mirror without slash",
         [](PublishOptions* o, const Workspace&) { o->mirrorBaseUrls[0] = "http://x/velka"; },
         "end in \"/\""},
        {"zero package limit", [](PublishOptions* o, const Workspace&) { o->packageLimit = 0; },
         "package size limit"},
        {"output inside velka_win",
         [](PublishOptions* o, const Workspace& ws) {
             o->outputFolder = JoinPath(ws.VelkaWin(), L"mirror");
         },
         "inside velka_win"},
        {"output holding the game",
         [](PublishOptions* o, const Workspace& ws) { o->outputFolder = ws.scratch.Path(); },
         "holds the game"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        Workspace ws;
        PublishOptions options = ws.Options(ws.Out());
        c.change(&options, ws);
        options.replaceOutput = true;  // even then nothing may be touched
        PublishSummary summary;
        std::string error;
        EXPECT_FALSE(PublishMirror(options, &summary, &error));
        EXPECT_NE(error.find(c.expected), std::string::npos) << error;
        EXPECT_EQ(OutputTraces(ws.scratch.Path()), std::set<std::string>());
        EXPECT_EQ(ReadTree(ws.VelkaWin()), SampleGame()) << "the game was touched";
    }
}

TEST(PublishRefusalTest, GameWithoutFilesIsRefused) {
    Workspace ws(Tree{});
    ASSERT_TRUE(CreateDirectories(JoinPath(ws.VelkaWin(), L"only/folders/")));
    PublishSummary summary;
    std::string error;
    EXPECT_FALSE(PublishMirror(ws.Options(ws.Out()), &summary, &error));
    EXPECT_NE(error.find("holds no files"), std::string::npos) << error;
    EXPECT_EQ(OutputTraces(ws.scratch.Path()), std::set<std::string>());
}

TEST(PublishRefusalTest, FileOfFourGiBIsRefusedBeforeAnythingIsWritten) {
    if (kWindowsHost) GTEST_SKIP() << "a 4 GiB file is not sparse on NTFS";
    Workspace ws;
    const fs::path huge = FsPath(JoinPath(ws.VelkaWin(), L"data/huge.pak"));
    { std::ofstream create(huge); }
    std::error_code ec;
    fs::resize_file(huge, kMaxListedFileSize + 1, ec);  // sparse: no data is written
    if (ec) GTEST_SKIP() << "cannot make a sparse file: " << ec.message();
    PublishSummary summary;
    std::string error;
    EXPECT_FALSE(PublishMirror(ws.Options(ws.Out()), &summary, &error));
    EXPECT_NE(error.find("4294967296 bytes; the launcher's file list"), std::string::npos) << error;
    EXPECT_EQ(OutputTraces(ws.scratch.Path()), std::set<std::string>());
}

// ----- Command line ---------------------------------------------------------------------------

TEST(PublishCliTest, MalformedCommandLinesAndValues) {
    Workspace ws;
    const std::vector<std::string> base = {"--game",
                                           ToNarrow(ws.Game()),
                                           "--out",
                                           ToNarrow(ws.Out()),
                                           "--mirror",
                                           "http://host/",
                                           "--zip-version=1.0.0",
                                           "--launcher-version",
                                           "3.1.2034"};
    const std::string key = ToNarrow(ws.scratch / L"release.key");
    ASSERT_TRUE(WriteFileBytes(ToWide(key), kTestSeed + "\n"));
    const std::string missingKey = ToNarrow(ws.scratch / L"missing.key");
    const std::string notAKey = ToNarrow(JoinPath(ws.VelkaWin(), L"velka.exe"));
    const struct {
        std::vector<std::string> extra;
        int exitCode;
        const char* expected;
    } cases[] = {
        {{"--increment-version", "1.0.0", "--bogus"}, kPublishUsage, "unknown argument"},
        {{"--increment-version"}, kPublishUsage, "needs a value"},
        {{}, kPublishUsage, "--increment-version is required"},
        {{"--increment-version", "1.0.0", "--zip-version", "1.0.0"}, kPublishUsage, "twice"},
        {{"--increment-version", "1.2"}, kPublishRefused, "not a valid version"},
        {{"--increment-version", "1.2.x"}, kPublishRefused, "not a valid version"},
        {{"--increment-version", "01.2.3"}, kPublishRefused, "not a valid version"},
        {{"--increment-version", "0.2.3"}, kPublishRefused, "not a valid version"},
        {{"--increment-version", "1.0.0", "--package-limit", "10k"},
         kPublishRefused,
         "--package-limit"},
        {{"--increment-version", "1.0.0", "--package-limit", "0"},
         kPublishRefused,
         "--package-limit"},
        {{"--increment-version", "1.0.0", "--package-limit", "99999999999999999999"},
         kPublishRefused,
         "--package-limit"},
        {{"--increment-version", "1.0.0", "--use-zip", "yes"}, kPublishRefused, "--use-zip"},
        {{"--increment-version", "1.0.0", "--enciphered=yes"}, kPublishUsage, "takes no value"},
        {{"--increment-version", "1.0.0", "--release", "3"}, kPublishUsage, "need --sign-key"},
        {{"--increment-version", "1.0.0", "--sign-key", missingKey},
         kPublishRefused,
         "cannot read the signing key"},
        {{"--increment-version", "1.0.0", "--sign-key", notAKey},
         kPublishRefused,
         "holds no secret key"},
        {{"--increment-version", "1.0.0", "--sign-key", key, "--expires", "0"},
         kPublishRefused,
         "--expires \"0\""},
        {{"--increment-version", "1.0.0", "--sign-key", key, "--issued", "-5"},
         kPublishRefused,
         "--issued \"-5\""},
        {{"--increment-version", "1.0.0", "--sign-key", key, "--release", "1e3"},
         kPublishRefused,
         "--release \"1e3\""},
        {{"keygen"}, kPublishUsage, "keygen needs the file"},
        {{"keygen", key}, kPublishUsage, "keygen takes no --game"},
    };
    for (const auto& c : cases) {
        std::vector<std::string> args = base;
        args.insert(args.end(), c.extra.begin(), c.extra.end());
        SCOPED_TRACE(::testing::PrintToString(c.extra));
        std::ostringstream out;
        std::ostringstream err;
        EXPECT_EQ(RunPublishCommand(args, out, err), c.exitCode);
        EXPECT_NE(err.str().find(c.expected), std::string::npos) << err.str();
        EXPECT_EQ(err.str().rfind("velka-publish: error: ", 0), 0u) << err.str();
        EXPECT_EQ(OutputTraces(ws.scratch.Path()), std::set<std::string>());
    }
}

// The real executable, as a subprocess. Under Wine the build path is a Unix path, which Wine
// maps to drive Z:.
std::string PublishExecutable() {
    std::string exe = VELKA_PUBLISH_EXE;
    if (kWindowsHost && !exe.empty() && exe.front() == '/') {
        std::replace(exe.begin(), exe.end(), '/', '\\');
        exe = "Z:" + exe;
    }
    return exe;
}

int RunExecutable(const std::vector<std::string>& args, const std::wstring& stdoutFile,
                  const std::wstring& stderrFile) {
    std::string command = "\"" + PublishExecutable() + "\"";
    for (const std::string& arg : args) command += " \"" + arg + "\"";
    command += " > \"" + ToNarrow(stdoutFile) + "\" 2> \"" + ToNarrow(stderrFile) + "\"";
    // cmd.exe strips the first and the last quote of a command that begins with one.
    if (kWindowsHost) command = "\"" + command + "\"";
    return std::system(command.c_str());
}

TEST(PublishCliTest, KeygenThenSignedPublishingRepeatsByteForByte) {
    Workspace ws;
    const std::string secret = ToNarrow(ws.scratch / L"keys");
    std::ostringstream out, err;
    ASSERT_EQ(RunPublishCommand({"keygen", secret}, out, err), kPublishOk) << err.str();
    const std::string seed = Contents(ToWide(secret));
    const std::string publicKey = Contents(ToWide(secret + ".pub"));
    ReleaseKeyPair keys;
    std::string reason;
    ASSERT_TRUE(ReleaseKeyPairFromSeed(seed.substr(0, 64), &keys, &reason)) << reason;
    EXPECT_EQ(publicKey, keys.publicHex + "\n");
    EXPECT_NE(out.str().find("-DVELKA_RELEASE_PUBLIC_KEY=" + keys.publicHex), std::string::npos);
    std::ostringstream out2, err2;
    EXPECT_EQ(RunPublishCommand({"keygen", secret}, out2, err2), kPublishRefused);
    EXPECT_NE(err2.str().find("already exists"), std::string::npos) << err2.str();
    EXPECT_EQ(Contents(ToWide(secret)), seed) << "a key was overwritten";

    std::string streams[2];
    for (const wchar_t* name : {L"mirror-a", L"mirror-b"}) {
        std::ostringstream publishOut, publishErr;
        ASSERT_EQ(
            RunPublishCommand({"--game", ToNarrow(ws.Game()), "--out", ToNarrow(ws.Out(name)),
                               "--mirror", "http://host/", "--increment-version", "1.0.0",
                               "--zip-version", "1.0.0", "--launcher-version", "3.1.2034",
                               "--sign-key", secret, "--issued", "1700000000", "--release", "9"},
                              publishOut, publishErr),
            kPublishOk)
            << publishErr.str();
        EXPECT_NE(publishOut.str().find("Signed release 9 in Launcher/release.txt, valid until "
                                        "2023-12-14 22:13:20 UTC"),
                  std::string::npos)
            << publishOut.str();
        streams[name == std::wstring(L"mirror-a") ? 0 : 1] = publishErr.str();
    }
    EXPECT_EQ(streams[0].rfind("velka-publish: copied and hashed 7 files (", 0), 0u) << streams[0];
    EXPECT_NE(streams[0].find("velka-publish: compressed 7 files ("), std::string::npos);
    EXPECT_EQ(streams[0], streams[1]);
    EXPECT_TRUE(ReadTree(ws.Out(L"mirror-a")) == ReadTree(ws.Out(L"mirror-b")));
}

TEST(PublishCliTest, RealExecutablePublishesAndRefuses) {
    if (!FileExists(ToWide(PublishExecutable()))) GTEST_SKIP() << "no " << PublishExecutable();
    Workspace ws;
    const std::wstring out = ws.scratch / L"stdout.txt";
    const std::wstring err = ws.scratch / L"stderr.txt";
    std::vector<std::string> args = {"--game",
                                     ToNarrow(ws.Game()),
                                     "--out",
                                     ToNarrow(ws.Out()),
                                     "--mirror",
                                     "http://host/a/",
                                     "--increment-version",
                                     "1.2.3",
                                     "--zip-version",
                                     "1.2.0",
                                     "--launcher-version",
                                     "3.1.2034",
                                     "--enciphered",
                                     "--package-limit",
                                     "45000"};

    std::vector<std::string> bad = args;
    bad[7] = "1.2";  // the increment version
    EXPECT_NE(RunExecutable(bad, out, err), 0);
    EXPECT_NE(Contents(err).find("velka-publish: error: --increment-version \"1.2\""),
              std::string::npos)
        << Contents(err);
    EXPECT_FALSE(DirectoryExists(ws.Out()));

    EXPECT_NE(RunExecutable({}, out, err), 0);
    EXPECT_NE(Contents(err).find("--game is required"), std::string::npos) << Contents(err);

    ASSERT_EQ(RunExecutable(args, out, err), 0) << Contents(err);
    EXPECT_EQ(Contents(out).rfind("Published 7 files", 0), 0u) << Contents(out);
    // The tool and the library write the same mirror.
    PublishOptions options = ws.Options(ws.Out(L"mirror-lib"));
    options.mirrorBaseUrls = {"http://host/a/"};
    options.enciphered = true;
    options.packageLimit = 45000;
    ASSERT_TRUE(Publish(options));
    EXPECT_TRUE(ReadTree(ws.Out()) == ReadTree(ws.Out(L"mirror-lib")));
}

// ----- Through the launcher's update pipeline -------------------------------------------------

// Installs from nothing (full packages), then takes a changed release file by file.
TEST(PublishLauncherTest, PublishedMirrorUpdatesAnInstallation) {
    Workspace ws;
    TestServer server;
    PublishOptions options = ws.Options(ws.Out());
    options.mirrorBaseUrls = {server.BaseUrl()};
    options.packageLimit = 45000;
    options.enciphered = true;
    ASSERT_TRUE(Publish(options));
    server.ServeFolder(ws.Out());

    // An installation holds the launcher and the launcher configuration of its mirror.
    const std::wstring install = ws.scratch / L"install";
    ASSERT_TRUE(CreateDirectories(JoinPath(install, L"Config/")));
    ASSERT_TRUE(CopyOneFile(JoinPath(ws.Out(), L"Launcher/launcherconfig.txt"),
                            JoinPath(install, L"Config/launcherconfig.txt")));
    TransferSettings settings;
    settings.packageWatchPeriodMs = 20;
    {
        Patcher patcher(install, settings);
        EXPECT_TRUE(patcher.Run(server.Url("Launcher/"))) << ToNarrow(patcher.Status().Message());
    }
    EXPECT_EQ(ReadTree(JoinPath(install, L"Game/velka_win")), SampleGame());
    EXPECT_GE(server.CountRequests("/zip/velka_win_1.2.3_003.zip"), 1u);

    Tree release = SampleGame();
    release["data/level 1.pak"] = VariedBytes(6000, 99);
    release["data/sub/new file.txt"] = "added in 1.2.4";
    ASSERT_TRUE(WriteTree(ws.VelkaWin(), release));
    options.incrementVersion = ParseVersion("1.2.4");
    options.replaceOutput = true;
    ASSERT_TRUE(Publish(options));
    const size_t requestsBefore = server.Requests().size();
    {
        Patcher patcher(install, settings);
        EXPECT_TRUE(patcher.Run(server.Url("Launcher/"))) << ToNarrow(patcher.Status().Message());
    }
    EXPECT_EQ(ReadTree(JoinPath(install, L"Game/velka_win")), release);
    std::set<std::string> fetched;
    const std::vector<testing_support::RecordedRequest> requests = server.Requests();
    for (size_t i = requestsBefore; i < requests.size(); ++i) fetched.insert(requests[i].target);
    EXPECT_EQ(fetched.count("/files/data/level%201.pak"), 1u) << "blank escaped by the launcher";
    EXPECT_EQ(fetched.count("/files/data/sub/new%20file.txt"), 1u);
    for (const std::string& target : fetched) {
        EXPECT_NE(target.rfind("/zip/", 0), 0u) << "a small release needs no packages: " << target;
    }
}

// ----- Signed releases against an evil mirror ------------------------------------------------
//
// The evil mirror serves the published folder but one artifact (or leaves one in Temp, as an
// earlier keyless or killed run could have) forged with the size and CRC-32 of the genuine one.

enum class Stage { Fresh, Incremental, SelfUpdate };
enum class Where { EvilThenHonest, EvilOnly, LeftInTemp };

struct Forgery {
    const char* path;  // below the mirror
    Stage stage;
    const wchar_t* stagedAt;  // where a run would leave it below the install; null: nowhere
};

const Forgery kForgeries[] = {
    {"Launcher/launcherconfig.txt", Stage::Fresh, nullptr},
    {"Launcher/serverconfig.txt", Stage::Fresh, nullptr},
    {"lists/filelist.txt", Stage::Fresh, nullptr},
    {"lists/ziplist.txt", Stage::Fresh, nullptr},
    {"zip/velka_win_1.2.3_001.zip", Stage::Fresh, L"Temp/ZipUpdate/velka_win_1.2.3_001.zip"},
    {"lists/hashlist.txt", Stage::Incremental, nullptr},
    {"files/data/level 1.pak", Stage::Incremental,
     L"Temp/Incrementupdate/velka_win/data/level 1.pak"},
    {"Launcher/3.1.2034/launcher_3.1.2034.zip", Stage::SelfUpdate, L"Temp/launcher_3.1.2034.zip"},
};

const Tree kLauncherTree = {{"VELKALauncher.exe", "MZ new launcher " + VariedBytes(900, 5)},
                            {"helper.dll", VariedBytes(700, 6)}};

std::string TestPublicKey(const std::string& seed = kTestSeed) {
    ReleaseKeyPair keys;
    std::string reason;
    EXPECT_TRUE(ReleaseKeyPairFromSeed(seed, &keys, &reason)) << reason;
    return keys.publicHex;
}

// Everything below the install but the day logs and the working folder.
Tree InstallState(const std::wstring& install) {
    Tree tree = ReadTree(install);
    for (auto it = tree.begin(); it != tree.end();) {
        const bool scratch = it->first.rfind("Log/", 0) == 0 || it->first.rfind("Temp/", 0) == 0;
        it = scratch ? tree.erase(it) : std::next(it);
    }
    return tree;
}

// A signed mirror served by an evil and an honest server, and an install to update from it.
struct SignedRelease {
    explicit SignedRelease(bool honestMirror, Stage stage = Stage::Fresh) {
        options = Signed(ws.Options(ws.Out()));
        options.mirrorBaseUrls = {evil.BaseUrl()};
        if (honestMirror) options.mirrorBaseUrls.push_back(honest.BaseUrl());
        options.packageLimit = 45000;
        options.launcherFolder = ws.scratch / L"launcher";
        EXPECT_TRUE(WriteTree(options.launcherFolder, kLauncherTree));
        EXPECT_TRUE(Publish(options));
        evil.ServeFolder(ws.Out());
        honest.ServeFolder(ws.Out());
        // Without an installed configuration the launcher replaces itself first.
        if (stage != Stage::SelfUpdate) {
            EXPECT_TRUE(CreateDirectories(JoinPath(install, L"Config/")));
            EXPECT_TRUE(CopyOneFile(JoinPath(ws.Out(), L"Launcher/launcherconfig.txt"),
                                    JoinPath(install, L"Config/launcherconfig.txt")));
        }
        if (stage == Stage::Incremental) {
            EXPECT_TRUE(Run()) << ToNarrow(message);
            game["data/level 1.pak"] = VariedBytes(6000, 99);
            EXPECT_TRUE(WriteTree(ws.VelkaWin(), game));
            options.incrementVersion = ParseVersion("1.2.4");
            options.release = 43;
            options.replaceOutput = true;
            EXPECT_TRUE(Publish(options));
        }
    }

    // One launcher run with the test key at `now`; keeps the message and whether the launcher
    // got as far as replacing itself.
    bool Run(const std::string& key = TestPublicKey(), int64_t now = kTestIssued + 60) {
        TransferSettings settings;
        settings.packageWatchPeriodMs = 20;
        Patcher patcher(install, settings);
        patcher.SetReleaseTrust(key, [now] { return now; });
        Patcher::SelfUpdater updater;
        updater.update = [](Patcher& p, const std::vector<std::string>& urls,
                            const PackageInfo& package) {
            return UpdateLauncher(p, p.BaseDirectory(), urls, package);
        };
        updater.replace = [this](Patcher&, const std::wstring&) { replaced = true; };
        patcher.SetSelfUpdater(updater);
        const bool finished = patcher.Run(evil.Url("Launcher/"));
        message = patcher.Status().Message();
        return finished;
    }

    std::string LoggedErrors() const {
        std::string errors;
        for (const std::wstring& log : ListLogs()) {
            for (const auto& line : testing_support::ReadLogLines(log)) {
                if (line.level == "[ERROR] ") errors += line.message + "\n";
            }
        }
        return errors;
    }
    std::vector<std::wstring> ListLogs() const {
        std::vector<std::wstring> logs;
        std::vector<DirEntry> entries;
        if (ListDirectory(JoinPath(install, L"Log"), &entries)) {
            for (const DirEntry& e : entries) logs.push_back(JoinPath(install, L"Log/" + e.name));
        }
        return logs;
    }

    Workspace ws;
    TestServer evil;
    TestServer honest;
    PublishOptions options;
    std::wstring install = ws.scratch / L"install";
    Tree game = SampleGame();
    std::wstring message;
    bool replaced = false;
};

void PrintTo(const Forgery& forgery, std::ostream* out) {
    *out << forgery.path;
}

using ForgeryParam = std::tuple<Forgery, Where>;

class EvilMirrorTest : public ::testing::TestWithParam<ForgeryParam> {};

TEST_P(EvilMirrorTest, ForgeryIsRefusedAndOnlyTheSignedReleaseIsInstalled) {
    const auto& [forgery, where] = GetParam();
    SignedRelease release(where != Where::EvilOnly, forgery.stage);
    const std::string genuine = Contents(JoinPath(release.ws.Out(), ToWide(forgery.path)));
    const std::string forged = testing_support::ForgeSameCrc32(genuine, "EVIL");
    ASSERT_EQ(forged.size(), genuine.size());
    const Tree before = InstallState(release.install);
    if (where == Where::LeftInTemp) {
        const std::wstring staged = JoinPath(release.install, forgery.stagedAt);
        ASSERT_TRUE(CreateDirectories(staged) && WriteFileBytes(staged, forged));
    } else {
        release.evil.SetFile(std::string("/") + forgery.path, forged);
    }

    const bool finished = release.Run();
    EXPECT_NE(release.LoggedErrors().find("Release check failed!"), std::string::npos)
        << "the forgery was never looked at";
    if (where == Where::EvilOnly) {
        EXPECT_FALSE(finished);
        EXPECT_EQ(release.message, kMsgReleaseUnverified);
        EXPECT_FALSE(release.replaced);
        EXPECT_EQ(InstallState(release.install), before) << "a refused run changed the install";
    } else if (forgery.stage == Stage::SelfUpdate) {
        EXPECT_TRUE(release.replaced) << ToNarrow(release.message);
        EXPECT_EQ(ReadTree(JoinPath(release.install, L"Temp/LauncherUpdate")), kLauncherTree);
    } else {
        EXPECT_TRUE(finished) << ToNarrow(release.message);
        EXPECT_EQ(ReadTree(JoinPath(release.install, L"Game/velka_win")), release.game);
        EXPECT_EQ(ReadAcceptedRelease(release.install), release.options.release);
    }
}

std::vector<ForgeryParam> AllForgeries() {
    std::vector<ForgeryParam> cases;
    for (const Forgery& forgery : kForgeries) {
        cases.emplace_back(forgery, Where::EvilThenHonest);
        cases.emplace_back(forgery, Where::EvilOnly);
        if (forgery.stagedAt) cases.emplace_back(forgery, Where::LeftInTemp);
    }
    return cases;
}

INSTANTIATE_TEST_SUITE_P(EveryArtifact, EvilMirrorTest, ::testing::ValuesIn(AllForgeries()),
                         [](const ::testing::TestParamInfo<ForgeryParam>& info) {
                             std::string name = std::get<0>(info.param).path;
                             for (char& c : name) {
                                 if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
                             }
                             const Where where = std::get<1>(info.param);
                             return name + (where == Where::EvilOnly     ? "_alone"
                                            : where == Where::LeftInTemp ? "_inTemp"
                                                                         : "");
                         });

// Why the signatures exist: a launcher without a key installs what a forged CRC-32 lets pass.
TEST(EvilMirrorKeylessTest, ForgedGameFileIsInstalledWithoutAKey) {
    SignedRelease release(false, Stage::Incremental);
    const std::string forged =
        testing_support::ForgeSameCrc32(release.game["data/level 1.pak"], "EVIL");
    release.evil.SetFile("/files/data/level 1.pak", forged);
    EXPECT_TRUE(release.Run("")) << ToNarrow(release.message);
    EXPECT_EQ(Contents(JoinPath(release.install, L"Game/velka_win/data/level 1.pak")), forged);
}

// Records a mirror might serve instead of the genuine one, and what the launcher holds.
struct RecordCase {
    const char* name;
    std::function<std::string(ReleaseRecord&)> evilRecord;  // given the genuine record
    int64_t now;                                            // the player's clock
    uint64_t highestAccepted;                               // recorded before the run
    bool finishes;                                          // through the honest mirror
    const char* logged;                                     // part of the refusal's log line
};

std::string Resign(const ReleaseRecord& record, const std::string& seed = kTestSeed) {
    std::string text;
    std::string reason;
    EXPECT_TRUE(SignReleaseRecord(record, seed, &text, &reason)) << reason;
    return text;
}

class ReleaseRecordRefusalTest : public ::testing::TestWithParam<RecordCase> {};

TEST_P(ReleaseRecordRefusalTest, RefusedWithItsReason) {
    const RecordCase& c = GetParam();
    SignedRelease release(true);
    const std::string genuine = Contents(JoinPath(release.ws.Out(), L"Launcher/release.txt"));
    ReleaseRecord record;
    std::string reason;
    ASSERT_TRUE(VerifyReleaseRecord(genuine, {TestPublicKey(), kTestIssued, 0}, &record, &reason));
    if (c.evilRecord) release.evil.SetFile("/Launcher/release.txt", c.evilRecord(record));
    if (c.highestAccepted) {
        ASSERT_TRUE(WriteAcceptedRelease(release.install, c.highestAccepted));
    }
    const Tree before = InstallState(release.install);

    EXPECT_EQ(release.Run(TestPublicKey(), c.now), c.finishes) << ToNarrow(release.message);
    EXPECT_NE(release.LoggedErrors().find(c.logged), std::string::npos) << release.LoggedErrors();
    if (c.finishes) {
        EXPECT_EQ(ReadTree(JoinPath(release.install, L"Game/velka_win")), SampleGame());
        EXPECT_EQ(ReadAcceptedRelease(release.install), 42u);
    } else {
        EXPECT_EQ(release.message, kMsgReleaseUnverified);
        EXPECT_EQ(InstallState(release.install), before);
    }
}

constexpr int64_t kDay = 86400;

INSTANTIATE_TEST_SUITE_P(
    Cases, ReleaseRecordRefusalTest,
    ::testing::Values(
        RecordCase{"truncated", [](ReleaseRecord&) { return std::string("velka-release 1\nrel"); },
                   kTestIssued, 0, true, "truncated"},
        RecordCase{"otherKey", [](ReleaseRecord& r) { return Resign(r, std::string(64, '6')); },
                   kTestIssued, 0, true, "does not verify"},
        RecordCase{"rollback",
                   [](ReleaseRecord& r) {
                       r.release = 41;
                       return Resign(r);
                   },
                   kTestIssued, 42, true, "a rollback"},
        RecordCase{"frozen",
                   [](ReleaseRecord& r) {
                       r.expires = r.issued + 1;
                       return Resign(r);
                   },
                   kTestIssued + 1 + kDay + 1, 0, true, "check the system date"},
        RecordCase{"expiredEverywhere", nullptr, kTestIssued + 3 * kDay, 0, false,
                   "check the system date"},
        RecordCase{"replayedEverywhere", nullptr, kTestIssued, 43, false, "a rollback"},
        RecordCase{"listHashMismatch",
                   [](ReleaseRecord& r) {
                       r.files["filelist.txt"].sha256 = std::string(64, 'a');
                       return Resign(r);
                   },
                   kTestIssued, 0, false, "filelist.txt does not have the SHA-256"}),
    [](const ::testing::TestParamInfo<RecordCase>& info) { return info.param.name; });

}  // namespace
}  // namespace velka
