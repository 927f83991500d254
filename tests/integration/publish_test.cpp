// velka-publish against the launcher's own readers and update pipeline.
#include <gtest/gtest.h>

#include <sstream>

#include "patcher/self_update.h"
#include "publish/game_tree.h"
#include "publish/launcher_package.h"
#include "publish/package_writer.h"
#include "publish/publish_cli.h"
#include "publish/publish_progress.h"
#include "publish/published_texts.h"
#include "support/fixtures.h"
#include "support/scratch_log.h"
#include "support/test_server.h"

namespace velka {
namespace {

namespace fs = std::filesystem;
using namespace testing_support;

const std::string kTestSeed(64, '5');
const char kTestPublicKey[] = "c6822637c7d310ec57627be00ba259d253749f4aaf644470cffbe53a35f73242";
constexpr int64_t kTestIssued = 1700000000;
const Tree kLauncherTree = {{"VELKALauncher.exe", "MZ new launcher " + VariedBytes(900, 5)},
                            {"helper.dll", VariedBytes(700, 6)}};

Tree SampleGame() {
    return {{"velka.exe", "MZ game" + VariedBytes(3000, 7)},
            {"empty.txt", ""},
            {"bin/big.pak", VariedBytes(200 * 1024, 1)},
            {"data/level 1.pak", VariedBytes(5000, 2)},
            {"data/sub/notes.txt", std::string(40000, 'n')}};
}

// A scratch folder holding game/velka_win and a launcher build; outputs go beside them.
struct Workspace {
    explicit Workspace(const Tree& game = SampleGame()) {
        EXPECT_TRUE(WriteTree(scratch / L"game/velka_win", game) &&
                    WriteTree(scratch / L"launcher", kLauncherTree) &&
                    WriteTree(scratch / L"launcher", {{"skins/extra.png", "not published"}}));
    }
    // Unsigned until a seed is set; then release 42, valid for a day.
    PublishOptions Options(const std::wstring& out) const {
        PublishOptions options;
        options.gameFolder = scratch / L"game";
        options.outputFolder = scratch / out;
        options.launcherFolder = scratch / L"launcher";
        options.mirrorBaseUrls = {"http://127.0.0.1:8080/velka/", "https://cdn.example.com/"};
        options.incrementVersion = ParseVersion("1.2.3");
        options.zipVersion = ParseVersion("1.2.0");
        options.launcherVersion = ParseVersion("3.1.2034");
        options.packageLimit = 45000;
        options.issued = kTestIssued;
        options.expires = kTestIssued + 86400;
        options.release = 42;
        return options;
    }
    ScratchFolder scratch{"publish"};
};

// Files are packed in order up to the byte limit and the entry limit; a larger file goes alone.
TEST(PublishPlanTest, GroupsFollowTheLimits) {
    const uint64_t max = ~0ull;
    using Groups = std::vector<std::vector<size_t>>;
    const std::tuple<std::vector<uint64_t>, uint64_t, Groups> cases[] = {
        {{5, 5, 5}, 10, {{0, 1}, {2}}},    {{20, 1, 1}, 10, {{0}, {1, 2}}},
        {{1, 20, 1}, 10, {{0}, {1}, {2}}}, {{0, 0, 3}, 3, {{0, 1, 2}}},
        {{max - 1, 5}, max, {{0}, {1}}},   {std::vector<uint64_t>{}, 10, Groups{}},
    };
    for (const auto& [sizes, limit, groups] : cases)
        EXPECT_EQ(PlanPackages(sizes, limit), groups) << ::testing::PrintToString(sizes);
    const Groups many = PlanPackages(std::vector<uint64_t>(kMaxEntriesPerPackage + 10, 1), max);
    ASSERT_EQ(many.size(), 2u);
    EXPECT_EQ(many[1].front(), kMaxEntriesPerPackage) << "a full package, then the rest in order";
}

// What the lists, the download URLs, Windows and the launcher's replacement script can carry.
TEST(PublishNamesTest, NamesAndUrlsTheLauncherCannotCarryAreRefused) {
    for (const char* name : {"a+b(1)_~-x", "COM0", "COM10", "COMA", "console.txt", "lpt10"})
        EXPECT_EQ(CheckPublishableName(name) + CheckLauncherFileName(name), "") << name;
    for (const char* name :
         {"",      "a=b",      "a$b",    "a\nb",     "\x7f",       "\x01", ".",       "..",
          "a%20b", "a#b",      "a?b",    "a:b",      "a\\b",       "a*b",  "a|b",     "a\"b",
          "a<b",   "trail.",   "trail ", "CON",      "prn",        "AUX",  "nul.txt", "aux .txt",
          "COM1",  "com9.txt", "LPT1",   "Lpt9.dat", "caf\xC3\xA9"})
        EXPECT_NE(CheckPublishableName(name), "") << name;
    for (const char* name :
         {".hidden", "it's.dll", "UPDATER.BAT", "updater.sh", "Temp", "game", "PACKAGE", "config"})
        EXPECT_TRUE(CheckPublishableName(name).empty() && !CheckLauncherFileName(name).empty())
            << name;
    // Base URLs the launcher joins names to, after rewriting "https" to "http" everywhere.
    for (const char* url : {"http://host/", "https://cdn.example.com/a/b/",
                            "http://127.0.0.1:8080/velka_hk_win/", "http://host/a%20b/"})
        EXPECT_EQ(CheckBaseUrl(url), "") << url;
    for (const char* url :
         {"", "ftp://host/", "HTTP://host/", "http://host", "http:///", "http://host/a b/",
          "http://host/a$b/", "http://host/#x/", "http://host/a;b/", "http://host/?q=/",
          "http://host/a\\b/", "http://host/https-mirror/", "http://h\xC3\xB6st/"})
        EXPECT_NE(CheckBaseUrl(url), "") << url;
}

// Each refusal: exit code, error, nothing written. Row arguments replace same-named defaults
// ("~--x" drops one); "@" is the scratch folder with the row's files ("x/": a folder) and "key".
TEST(PublishCliTest, RefusalsExitWithTheirCodeAndWriteNothing) {
    const int U = kPublishUsage, R = kPublishRefused;
    const struct {
        std::vector<std::string> args;
        int code;
        const char* error;
        Tree files = {};
        bool posixOnly = false;  // names Windows cannot hold
    } cases[] = {
        {{"--bogus"}, U, "unknown argument \"--bogus\""},
        {{"--increment-version"}, U, "--increment-version needs a value"},
        {{"~--game"}, U, "--game is required"},
        {{"--enciphered=yes"}, U, "--enciphered takes no value"},
        {{"--release", "3"}, U, "--expires, --issued and --release need --sign-key"},
        {{"keygen"}, U, "keygen needs the file"},
        {{"keygen", "@k"}, U, "keygen takes no --game"},
        {{"--increment-version", "1.2.x"}, R, "--increment-version \"1.2.x\" is not a valid"},
        {{"--launcher-version", "0.2.3"}, R, "--launcher-version \"0.2.3\" is not a valid"},
        {{"--package-limit", "10k"}, R, "--package-limit \"10k\" is not"},
        {{"--package-limit", "0"}, R, "--package-limit \"0\" is not"},
        {{"--package-limit", "99999999999999999999"}, R, "--package-limit \"9"},
        {{"--use-zip", "yes"}, R, "--use-zip takes True or False, not \"yes\""},
        {{"--sign-key", "@game/velka_win/velka.exe"}, R, "holds no secret key"},
        {{"--sign-key", "@key", "--expires", "0"}, R, "--expires \"0\" is not"},
        {{"--sign-key", "@key", "--expires", "3651"}, R, "--expires \"3651\" is not"},
        {{"--sign-key", "@key", "--issued", "1099511627777"}, R, "--issued \"1099511627777\""},
        {{"--game", "@none"}, R, "does not exist"},
        {{"--game", "@game/velka_win"}, R, "holds no velka_win folder"},
        {{"--game", "@g"}, R, "velka_win holds no files", {{"g/velka_win/x/", ""}}},
        {{"--mirror", "ftp://x/"}, R, "\"ftp://x/\": a mirror base URL must start"},
        {{"--out", "@game/velka_win/m"}, R, "lies inside velka_win"},
        {{"--out", "@"}, R, "holds the game folder"},
        {{}, R, "already exists", {{"mirror/keep.txt", "old"}}},
        {{}, R, "\"velka_win/a/#1\": the name holds \"#\"", {{"game/velka_win/a/#1", ""}}},
        {{}, R, "Velka.exe\" differ only in letter case", {{"game/velka_win/Velka.exe", ""}}, true},
        {{"--launcher-dir", "@none"}, R, "does not exist"},
        {{"--launcher-dir", "@l"}, R, "holds no files", {{"l/sub/a", ""}}},
        {{"--launcher-dir", "@l"}, R, "\"it's.dll\" in the launcher folder", {{"l/it's.dll", ""}}},
        {{"--launcher-dir", "@l"}, R, "differ only in", {{"l/A", ""}, {"l/a", ""}}, true},
        {{"--launcher-dir", "@mirror/l"}, R, "holds the launcher folder"},
        {{"--launcher-dir", "@launcher", "--out", "@launcher/m"}, R, "inside the launcher folder"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.args));
        if (c.posixOnly && kWindowsHost) continue;
        Workspace ws;
        WriteTree(ws.scratch.Path(), c.files);  // fails on "x/" after making the folder
        ASSERT_TRUE(WriteFileBytes(ws.scratch / L"key", kTestSeed + "\n"));
        const auto expand = [&](const std::string& arg) {
            return arg.rfind('@', 0) == 0 ? ToNarrow(ws.scratch / ToWide(arg.substr(1))) : arg;
        };
        std::vector<std::string> args;
        std::istringstream words(
            "--game @game --out @mirror --mirror http://host/ --zip-version 1.0.0"
            " --launcher-version 3.1.2034 --increment-version 1.0.0");
        for (std::string option, value; words >> option >> value;) {
            const auto named = [&](const std::string& arg) { return arg.find(option) <= 1; };
            if (std::none_of(c.args.begin(), c.args.end(), named))
                args.insert(args.end(), {option, expand(value)});
        }
        for (const std::string& arg : c.args)
            if (arg[0] != '~') args.push_back(expand(arg));
        const Tree before = ReadTree(ws.scratch.Path());
        std::ostringstream out, err;
        EXPECT_EQ(RunPublishCommand(args, out, err), c.code);
        EXPECT_EQ(err.str().rfind("velka-publish: error: ", 0), 0u) << err.str();
        EXPECT_NE(err.str().find(c.error), std::string::npos) << err.str();
        EXPECT_EQ(Count(err.str(), "\nvelka-publish: try --help\n"), c.code == U ? 1u : 0u);
        EXPECT_TRUE(out.str().empty() && ReadTree(ws.scratch.Path()) == before) << "wrote";
    }
}

// keygen; the executable publishes a signed mirror, printing; the library writes the same bytes.
TEST(PublishCliTest, ExecutablePublishesWhatTheLibraryDoes) {
    const std::wstring exe = HostPath(VELKA_PUBLISH_EXE);
    if (!FileExists(exe)) GTEST_SKIP() << "no " << ToNarrow(exe);
    Workspace ws;
    ASSERT_TRUE(RemoveFile(ws.scratch / L"game/velka_win/velka.exe"));
    ASSERT_TRUE(WriteTree(ws.scratch / L"bare", {{"data.dll", "x"}, {"skins/a.png", "y"}}));
    const std::wstring key = ws.scratch / L"release.key";
    std::ostringstream keygen, ignored;
    ASSERT_EQ(RunPublishCommand({"keygen", ToNarrow(key)}, keygen, ignored), kPublishOk);
    ReleaseKeyPair keys;
    std::string reason;
    ASSERT_TRUE(ReleaseKeyPairFromSeed(Contents(key).substr(0, 64), &keys, &reason)) << reason;
    EXPECT_EQ(Contents(key + L".pub"), keys.publicHex + "\n");
    EXPECT_EQ(Count(keygen.str(), "-DVELKA_RELEASE_PUBLIC_KEY=" + keys.publicHex + "\n"), 1u);

    const auto arg = [](const std::wstring& path) {
        return kWindowsHost ? " \"" + ToNarrow(path) + "\" " : " '" + ToNarrow(path) + "' ";
    };
    const std::string args =
        "--game" + arg(ws.scratch / L"game") + "--out" + arg(ws.scratch / L"a") + "--sign-key" +
        arg(key) + "--launcher-dir" + arg(ws.scratch / L"bare") +
        "--mirror http://127.0.0.1:8080/velka/ --mirror https://cdn.example.com/ --enciphered "
        "--increment-version 1.2.3 --zip-version 1.2.0 --launcher-version 3.1.2034 --use-zip True "
        "--package-limit 45000 --issued 1700000000 --expires 1 --release 42";
    const std::wstring out = ws.scratch / L"out.txt", err = ws.scratch / L"err.txt";
    ASSERT_EQ(RunProgram(exe, args, out, err), 0) << Contents(err);
    const std::string printed = Contents(out) + Contents(err);
    for (const char* line :
         {"Published 4 files (",
          "launcher package Launcher/3.1.2034/launcher_3.1.2034.zip (1 files)",
          "Signed release 42 in Launcher/release.txt, valid until 2023-11-15 22:13:20 UTC",
          "velka-publish: copied and hashed 4 files (", "velka-publish: compressed 4 files (",
          "velka-publish: compressed 1 launcher files (",
          "warning: \"https://cdn.example.com/\": the launcher fetches every mirror over",
          "warning: velka_win holds no velka.exe", "warning: the launcher folder holds no VELKA",
          "warning: the launcher folder's sub-folder \"skins\" is not published"})
        EXPECT_EQ(Count(printed, line), 1u) << printed;
    const Tree published = ReadTree(ws.scratch / L"a");
    EXPECT_EQ(Count(published.at("Launcher/serverconfig.txt"), "http"), 0u) << "not enciphered";

    const auto older = fs::file_time_type::clock::now() - std::chrono::hours(50);
    for (const auto& entry : fs::recursive_directory_iterator(ToNarrow(ws.scratch.Path())))
        if (entry.is_regular_file()) fs::last_write_time(entry.path(), older);
    PublishOptions options = ws.Options(L"b");
    options.launcherFolder = ws.scratch / L"bare";
    options.enciphered = options.useZip = true;
    options.signingSeedHex = keys.seedHex;
    std::string progress;  // what a terminal shows while each stage runs
    options.progress = [&](const PublishProgress& p) { progress += PublishProgressText(p) + "\n"; };
    PublishSummary summary;
    ASSERT_TRUE(PublishMirror(options, &summary, &reason)) << reason;
    EXPECT_EQ(published.count("Launcher/release.txt") + published.count("lists/hashlist.txt"), 2u);
    EXPECT_TRUE(published == ReadTree(ws.scratch / L"b")) << "the tool and the library differ";
    const char* stages =
        "hashing files: 4/4 files, 0.2/0.2 MiB, 0.2 MiB written\ncopied and hashed 4 "
        "files (249800 bytes)\ncompressing packages: ";
    EXPECT_EQ(Count(progress, stages), 1u) << progress;
}

enum Stage { kFresh, kIncremental, kSelfUpdate };

// `genuine` begun with "EVIL" and four bytes solved for (CRC register run back) to keep its CRC-32.
std::string ForgeSameCrc32(const std::string& genuine) {
    const z_crc_t* table = get_crc_table();
    uint32_t back[256];
    for (uint32_t i = 0; i < 256; ++i) back[table[i] >> 24] = (table[i] << 8) ^ i;
    const auto crcRegister = [](const std::string& bytes, size_t n) {
        return ~uint32_t(crc32(0L, reinterpret_cast<const Bytef*>(bytes.data()), uInt(n)));
    };
    std::string forged = "EVIL" + genuine.substr(4);
    const uint32_t from = crcRegister(forged, 4);
    uint32_t to = crcRegister(genuine, 8);
    for (int i = 3; i >= 0; --i) to = (to << 8) ^ back[to >> 24] ^ ((from >> (8 * i)) & 0xFF);
    for (int i = 0; i < 4; ++i) forged[4 + i] = static_cast<char>(to >> (8 * i));
    return forged;
}

// Release 42 on an evil mirror (then an honest one); incremental: 43 changes a file and adds one.
struct SignedRelease {
    SignedRelease(bool honestMirror, Stage stage) {
        options.signingSeedHex = kTestSeed;
        options.mirrorBaseUrls = {evil.BaseUrl()};
        if (honestMirror) options.mirrorBaseUrls.push_back(honest.BaseUrl());
        if (stage != kSelfUpdate) options.launcherFolder.clear();
        EXPECT_TRUE(PublishMirror(options, &summary, &error)) << error;
        // Only the launcher's sub-folder, or the missing launcher package, is worth a warning.
        EXPECT_EQ(summary.warnings.size(), 1u) << ::testing::PrintToString(summary.warnings);
        for (TestServer* server : {&evil, &honest}) server->ServeFolder(options.outputFolder);
        // Without an installed configuration the launcher replaces itself first.
        if (stage != kSelfUpdate) {
            EXPECT_TRUE(CreateDirectories(JoinPath(install, L"Config/")) &&
                        CopyOneFile(JoinPath(options.outputFolder, L"Launcher/launcherconfig.txt"),
                                    JoinPath(install, L"Config/launcherconfig.txt")));
        }
        if (stage != kIncremental) return;
        EXPECT_TRUE(Run()) << ToNarrow(message);
        game["data/level 1.pak"] = VariedBytes(6000, 99);
        game["data/sub/new file.txt"] = "added in 1.2.4";
        EXPECT_TRUE(WriteTree(ws.scratch / L"game/velka_win", game));
        options.incrementVersion = ParseVersion("1.2.4");
        options.release = 43;
        options.replaceOutput = true;
        EXPECT_TRUE(PublishMirror(options, &summary, &error)) << error;
        EXPECT_FALSE(
            DirectoryExists(ws.scratch / (L"mirror.old-" + std::to_wstring(CurrentProcessId()))));
    }

    // One launcher run with the test key; the player's clock is a minute past the issue.
    bool Run() {
        TransferSettings settings;
        settings.packageWatchPeriodMs = 20;
        Patcher patcher(install, settings);
        patcher.SetReleaseTrust(kTestPublicKey, [] { return kTestIssued + 60; });
        patcher.SetSelfUpdater({[](Patcher& p, const auto& urls, const auto& package) {
                                    return UpdateLauncher(p, p.BaseDirectory(), urls, package);
                                },
                                [this](Patcher&, const std::wstring&) { replaced = true; }});
        const bool finished = patcher.Run(evil.Url("Launcher/"));
        message = patcher.Status().Message();
        return finished;
    }

    Workspace ws;
    TestServer evil, honest;
    PublishOptions options = ws.Options(L"mirror");
    std::wstring install = ws.scratch / L"install";
    Tree game = SampleGame();
    std::wstring message;
    bool replaced = false;
    PublishSummary summary;
    std::string error;
};

struct EvilCase {
    const char* name;
    Stage stage;
    const char* path;         // below the mirror: what the evil server serves forged
    bool honest;              // an honest mirror follows the evil one
    const wchar_t* stagedAt;  // set: the forgery is left there below the install instead
    std::string (*forge)(const std::string& genuine) = ForgeSameCrc32;
    uint64_t accepted = 0;  // the highest release accepted before
    const char* logged = "Release check failed!";
};

const char kPackage[] = "zip/velka_win_1.2.3_001.zip", kGameFile[] = "files/data/level 1.pak";
const char kLauncherPackage[] = "Launcher/3.1.2034/launcher_3.1.2034.zip";
const EvilCase kEvilCases[] = {
    {"launcherConfig", kFresh, "Launcher/launcherconfig.txt", true, nullptr},
    {"launcherConfigAlone", kFresh, "Launcher/launcherconfig.txt", false, nullptr},
    {"fileList", kFresh, "lists/filelist.txt", true, nullptr},
    {"fileListAlone", kFresh, "lists/filelist.txt", false, nullptr},
    {"package", kFresh, kPackage, true, nullptr},
    {"packageAlone", kFresh, kPackage, false, nullptr},
    {"packageInTemp", kFresh, kPackage, true, L"Temp/ZipUpdate/velka_win_1.2.3_001.zip"},
    {"hashList", kIncremental, "lists/hashlist.txt", true, nullptr},
    {"hashListAlone", kIncremental, "lists/hashlist.txt", false, nullptr},
    {"gameFile", kIncremental, kGameFile, true, nullptr},
    {"gameFileAlone", kIncremental, kGameFile, false, nullptr},
    {"gameFileInTemp", kIncremental, kGameFile, true,
     L"Temp/Incrementupdate/velka_win/data/level 1.pak"},
    {"launcherPackage", kSelfUpdate, kLauncherPackage, true, nullptr},
    {"launcherPackageAlone", kSelfUpdate, kLauncherPackage, false, nullptr},
    {"launcherPackageInTemp", kSelfUpdate, kLauncherPackage, true, L"Temp/launcher_3.1.2034.zip"},
    {"truncatedRecord", kFresh, "Launcher/release.txt", true, nullptr,
     [](const std::string& genuine) { return genuine.substr(0, 20); }, 42, "record refused! url"},
    {"replayedEverywhere", kFresh, nullptr, false, nullptr, nullptr, 43, "(a rollback)"},
};

class EvilMirrorTest : public ::testing::TestWithParam<EvilCase> {};

// A forgery or a bad record is logged, and only the signed release is installed, or nothing.
TEST_P(EvilMirrorTest, OnlyTheSignedReleaseIsInstalled) {
    const EvilCase& c = GetParam();
    SignedRelease release(c.honest, c.stage);
    const std::wstring install = release.install;
    if (c.path) {
        const std::string genuine =
            Contents(release.ws.scratch / ToWide(std::string("mirror/") + c.path));
        const std::string evil = c.forge(genuine);
        ASSERT_EQ(CrcText(evil), c.forge == ForgeSameCrc32 ? CrcText(genuine) : CrcText(evil));
        const std::wstring staged = c.stagedAt ? JoinPath(install, c.stagedAt) : L"";
        if (!c.stagedAt) release.evil.SetFile(std::string("/") + c.path, evil);
        ASSERT_TRUE(!c.stagedAt || (CreateDirectories(staged) && WriteFileBytes(staged, evil)));
    }
    ASSERT_TRUE(!c.accepted || WriteAcceptedRelease(install, c.accepted));
    const Tree before = ReadTree(JoinPath(install, L"Game"));
    const Tree config = ReadTree(JoinPath(install, L"Config"));
    const size_t requestsBefore = release.evil.Requests().size();

    const bool finished = release.Run();
    std::string logs;
    for (const auto& [name, text] : ReadTree(JoinPath(install, L"Log"))) logs += text;
    EXPECT_NE(logs.find(c.logged), std::string::npos) << logs;
    if (!c.honest) {
        EXPECT_FALSE(finished || release.replaced);
        EXPECT_EQ(release.message, kMsgReleaseUnverified);
        EXPECT_TRUE(ReadTree(JoinPath(install, L"Game")) == before &&
                    ReadTree(JoinPath(install, L"Config")) == config)
            << "a refused run changed the install";
    } else if (c.stage == kSelfUpdate) {
        EXPECT_TRUE(release.replaced) << ToNarrow(release.message);
        EXPECT_EQ(ReadTree(JoinPath(install, L"Temp/LauncherUpdate")), kLauncherTree);
    } else {
        EXPECT_TRUE(finished) << ToNarrow(release.message);
        EXPECT_EQ(ReadTree(JoinPath(install, L"Game/velka_win")), release.game);
        EXPECT_EQ(ReadAcceptedRelease(install), release.options.release);
        // Packages for a fresh install, files (blanks escaped) for a small release: lists agree.
        std::string fetched;
        const auto requests = release.evil.Requests();
        for (size_t i = requestsBefore; i < requests.size(); ++i) fetched += requests[i].target;
        const bool fresh = c.stage == kFresh;
        EXPECT_EQ(Count(fetched, "/zip/") > 0 && Count(fetched, "/files/") == 0, fresh) << fetched;
        EXPECT_EQ(Count(fetched, fresh ? "/zip/velka_win_1.2.3_003.zip" : "new%20file.txt"), 1u);
    }
}

INSTANTIATE_TEST_SUITE_P(EveryArtifact, EvilMirrorTest, ::testing::ValuesIn(kEvilCases),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace velka
