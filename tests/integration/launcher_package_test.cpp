// velka-publish's launcher package: what it holds, how launcherconfig.txt describes it (read back
// with the launcher's own parser and extractor), that the same input gives the same bytes, and
// which launcher folders are refused.
#include "publish/launcher_package.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <sstream>
#include <string>
#include <system_error>
#include <vector>

#include "patcher/content_cipher.h"
#include "patcher/file_lists.h"
#include "patcher/remote_config.h"
#include "platform/fs.h"
#include "platform/text.h"
#include "publish/mirror_writer.h"
#include "publish/publish_cli.h"
#include "support/scratch_log.h"
#include "transfer/extract.h"
#include "util/file_crc.h"
#include "util/logger.h"
#include "util/safe_path.h"

namespace velka {
namespace {

using testing_support::ScratchFolder;

const bool kWindowsHost = kPathSeparator == L'\\';

using Tree = std::map<std::string, std::string>;

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
    const std::filesystem::path base(root);
    for (auto it = std::filesystem::recursive_directory_iterator(base, ec);
         !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
        if (!it->is_regular_file()) continue;
        std::string content;
        ReadFileBytes(it->path().wstring(), &content);
        tree[it->path().lexically_relative(base).generic_u8string()] = content;
    }
    return tree;
}

std::string Contents(const std::wstring& path) {
    std::string bytes;
    ReadFileBytes(path, &bytes);
    return bytes;
}

class LauncherPackagePublishTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(WriteTree(scratch_ / L"game/velka_win", {{"velka.exe", "game"}}));
        ASSERT_TRUE(WriteTree(Launcher(), {{"VELKALauncher.exe", std::string(3000, 'V')},
                                           {"Didura64.dll", "dumper"},
                                           {"read me.txt", "notes"},
                                           {"skins/extra.png", "not published"}}));
    }

    std::wstring Launcher() const { return scratch_ / L"launcher"; }
    std::wstring Out(const std::wstring& name = L"mirror") const { return scratch_ / name; }

    PublishOptions Options(const std::wstring& out) const {
        PublishOptions options;
        options.gameFolder = scratch_ / L"game";
        options.outputFolder = out;
        options.mirrorBaseUrls = {"http://127.0.0.1:8080/velka/"};
        options.incrementVersion = ParseVersion("1.0.0");
        options.zipVersion = ParseVersion("1.0.0");
        options.launcherVersion = ParseVersion("3.2.0");
        options.launcherFolder = Launcher();
        return options;
    }

    ScratchFolder scratch_{"publish_launcher"};
};

TEST_F(LauncherPackagePublishTest, PackageIsDescribedInTheLauncherConfiguration) {
    for (bool enciphered : {false, true}) {
        SCOPED_TRACE(enciphered ? "enciphered" : "plain");
        const std::wstring out = Out(enciphered ? L"enciphered" : L"plain");
        PublishOptions options = Options(out);
        options.enciphered = enciphered;
        PublishSummary summary;
        std::string error;
        ASSERT_TRUE(PublishMirror(options, &summary, &error)) << error;
        EXPECT_EQ("Launcher/3.2.0/launcher_3.2.0.zip", summary.launcherPackage);
        EXPECT_EQ(3u, summary.launcherFileCount);

        const std::wstring zip = JoinPath(out, L"Launcher/3.2.0/launcher_3.2.0.zip");
        Logger logger;
        LauncherConfig config;
        ASSERT_TRUE(ParseLauncherConfig(logger, ContentCipher(kContentCipherKey),
                                        JoinPath(out, L"Launcher/launcherconfig.txt"), &config));
        EXPECT_EQ("3.2.0", VersionToString(config.launcherVersion));
        EXPECT_EQ("launcher_3.2.0.zip", config.launcherZipInfo.fileName);
        EXPECT_EQ(3000 + 6 + 5, config.launcherZipInfo.unpackedSize);
        EXPECT_EQ(FileSize64(zip), config.launcherZipInfo.packageSize);
        EXPECT_EQ(ComputeFileCrc(zip), config.launcherZipInfo.crc);
        // Where the launcher looks: its mirror base, the version, the name.
        ASSERT_EQ(1u, config.remoteURLs.size());
        EXPECT_EQ("http://127.0.0.1:8080/velka/Launcher/", config.remoteURLs[0]);

        // The top-level files only, unpacked by the launcher's extractor.
        const std::wstring unpacked = scratch_ / (enciphered ? L"unpacked-e" : L"unpacked-p");
        ASSERT_TRUE(UnzipArchive(zip, unpacked));
        EXPECT_EQ((Tree{{"Didura64.dll", "dumper"},
                        {"VELKALauncher.exe", std::string(3000, 'V')},
                        {"read me.txt", "notes"}}),
                  ReadTree(unpacked));

        const auto& warnings = summary.warnings;
        EXPECT_TRUE(std::any_of(warnings.begin(), warnings.end(), [](const std::string& w) {
            return w.find("\"skins\" is not published") != std::string::npos;
        })) << ::testing::PrintToString(warnings);
        EXPECT_FALSE(std::any_of(warnings.begin(), warnings.end(), [](const std::string& w) {
            return w.find("describes no launcher package") != std::string::npos;
        }));
    }
}

TEST_F(LauncherPackagePublishTest, SameInputGivesTheSameBytes) {
    PublishSummary summary;
    std::string error;
    ASSERT_TRUE(PublishMirror(Options(Out(L"first")), &summary, &error)) << error;
    // A later modification time must not change the package.
    std::filesystem::last_write_time(
        std::filesystem::path(JoinPath(Launcher(), L"Didura64.dll")),
        std::filesystem::file_time_type::clock::now() + std::chrono::hours(1));
    ASSERT_TRUE(PublishMirror(Options(Out(L"second")), &summary, &error)) << error;
    const Tree first = ReadTree(Out(L"first"));
    EXPECT_TRUE(first == ReadTree(Out(L"second")));
    EXPECT_EQ(1u, first.count("Launcher/3.2.0/launcher_3.2.0.zip"));
}

TEST_F(LauncherPackagePublishTest, FoldersTheLauncherCannotUseAreRefused) {
    const struct {
        const char* name;
        Tree files;  // written into a fresh launcher folder; empty: the folder is not created
        bool createFolder;
        std::string expected;
    } cases[] = {
        {"missing", {}, false, "does not exist"},
        {"empty", {}, true, "holds no files"},
        {"script name", {{"VELKALauncher.exe", "x"}, {"Updater.bat", "x"}}, true, "taken"},
        {"working folder name", {{"VELKALauncher.exe", "x"}, {"Config", "x"}}, true, "taken"},
        {"quote", {{"VELKALauncher.exe", "x"}, {"it's.dll", "x"}}, true, "\"'\""},
        {"percent", {{"VELKALauncher.exe", "x"}, {"100%.dll", "x"}}, true, "\"%\""},
        {"hidden", {{"VELKALauncher.exe", "x"}, {".hidden", "x"}}, true, "begins with"},
    };
    int index = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::wstring folder = scratch_ / (L"bad" + std::to_wstring(index++));
        if (c.createFolder) {
            ASSERT_TRUE(CreateDirectories(folder + kPathSeparator));
        }
        ASSERT_TRUE(WriteTree(folder, c.files));
        PublishOptions options = Options(Out());
        options.launcherFolder = folder;
        PublishSummary summary;
        std::string error;
        EXPECT_FALSE(PublishMirror(options, &summary, &error));
        EXPECT_NE(std::string::npos, error.find(c.expected)) << error;
        EXPECT_FALSE(DirectoryExists(Out())) << "nothing is published";
    }
}

TEST_F(LauncherPackagePublishTest, NamesDifferingOnlyInCaseAreRefused) {
    if (kWindowsHost) GTEST_SKIP() << "one file on Windows";
    ASSERT_TRUE(WriteTree(Launcher(), {{"didura64.dll", "other"}}));
    PublishSummary summary;
    std::string error;
    EXPECT_FALSE(PublishMirror(Options(Out()), &summary, &error));
    EXPECT_NE(std::string::npos, error.find("differ only in letter case")) << error;
}

TEST_F(LauncherPackagePublishTest, OutputAndLauncherFolderMustNotNest) {
    for (const std::wstring& out : {JoinPath(Launcher(), L"mirror"), Launcher()}) {
        PublishOptions options = Options(out);
        options.replaceOutput = true;
        PublishSummary summary;
        std::string error;
        EXPECT_FALSE(PublishMirror(options, &summary, &error)) << ToNarrow(out);
        EXPECT_NE(std::string::npos, error.find("launcher folder")) << error;
    }
    EXPECT_EQ(std::string(3000, 'V'), Contents(JoinPath(Launcher(), L"VELKALauncher.exe")))
        << "the launcher folder is never replaced";
}

TEST_F(LauncherPackagePublishTest, FolderWithoutALauncherExecutableIsPublishedWithAWarning) {
    const std::wstring folder = scratch_ / L"no-exe";
    ASSERT_TRUE(WriteTree(folder, {{"data.dll", "x"}}));
    PublishOptions options = Options(Out());
    options.launcherFolder = folder;
    PublishSummary summary;
    std::string error;
    ASSERT_TRUE(PublishMirror(options, &summary, &error)) << error;
    EXPECT_TRUE(
        std::any_of(summary.warnings.begin(), summary.warnings.end(), [](const std::string& w) {
            return w.find("holds no VELKALauncher.exe") != std::string::npos;
        }));
}

TEST_F(LauncherPackagePublishTest, CommandLineTakesTheLauncherFolder) {
    std::vector<std::string> args = {"--game",
                                     ToNarrow(scratch_ / L"game"),
                                     "--out",
                                     ToNarrow(Out()),
                                     "--mirror",
                                     "http://host/a/",
                                     "--increment-version",
                                     "1.0.0",
                                     "--zip-version",
                                     "1.0.0",
                                     "--launcher-version",
                                     "3.2.0",
                                     "--launcher-dir",
                                     ToNarrow(Launcher())};
    std::ostringstream out;
    std::ostringstream err;
    ASSERT_EQ(kPublishOk, RunPublishCommand(args, out, err)) << err.str();
    EXPECT_NE(std::string::npos,
              out.str().find(
                  "Published the launcher package Launcher/3.2.0/launcher_3.2.0.zip (3 files)"))
        << out.str();
    EXPECT_TRUE(FileExists(JoinPath(Out(), L"Launcher/3.2.0/launcher_3.2.0.zip")));

    args.push_back("--launcher-dir");
    args.push_back(ToNarrow(Launcher()));
    std::ostringstream out2;
    std::ostringstream err2;
    EXPECT_EQ(kPublishUsage, RunPublishCommand(args, out2, err2));
    EXPECT_NE(std::string::npos, err2.str().find("--launcher-dir given twice")) << err2.str();
}

TEST(LauncherFileNameTest, NamesTheReplacementScriptCannotCarryAreRefused) {
    for (const char* name :
         {"VELKALauncher.exe", "velka-launcher", "Didura64.dll", "a b(1)+c.dll"}) {
        EXPECT_EQ("", CheckLauncherFileName(name)) << name;
    }
    for (const char* name : {"", "it's.dll", "100%.dll", "a\"b", "a\nb", "UPDATER.BAT",
                             "updater.sh", "Temp", "game", "PACKAGE", "log", "config", "CON"}) {
        EXPECT_NE("", CheckLauncherFileName(name)) << PrintableForLog(name);
    }
}

}  // namespace
}  // namespace velka
