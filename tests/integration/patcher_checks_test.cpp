// The pipeline against a hand-made mirror: mirror order, failure texts, version line, side effects.
#include <gtest/gtest.h>

#include <algorithm>

#include "patcher/content_cipher.h"
#include "patcher/patcher.h"
#include "support/fixtures.h"
#include "support/scratch_log.h"
#include "support/test_server.h"
#include "support/zip_builder.h"
#include "util/dates.h"
#include "util/strings.h"

namespace velka {
namespace {

using namespace testing_support;

const auto Dead = [] { return "http://127.0.0.1:" + std::to_string(UnusedLocalPort()) + "/"; };

std::string LauncherConfig(const std::string& version, const std::string& urls) {
    return "launcherVersion=" + version + "\nremoteURLs=" + urls + "\n";
}

std::string Encipher(const std::string& config) {  // every value, keys kept
    std::string out;
    for (const std::string& line : Split(config, '\n'))
        out += line.substr(0, line.find('=') + 1) +
               ContentCipher(kContentCipherKey).Encipher(line.substr(line.find('=') + 1)) + "\n";
    return out;
}

class PatcherChecksTest : public ::testing::Test {
  public:
    // A release of one package holding velka_win/`files`, listed file by file as well.
    void ServeRelease(const Tree& files, const std::string& zipVersion = "1.2.0",
                      bool enciphered = false, std::vector<ZipItem> items = {}) {
        const std::string base = mirror_.BaseUrl();
        const std::string server =
            "incrementVersion=1.2.3\nzipVersion=" + zipVersion +
            "\nuseZip=false\nfilelistURLs=" + base + "filelist.txt\nziplistURLs=" + base +
            "ziplist.txt\nzipupdateURLs=" + base + "zip/\nincrementupdateURLs=" + base + "files/\n";
        mirror_.SetFile("/launcherconfig.txt", enciphered ? Encipher(served_) : served_);
        mirror_.SetFile("/serverconfig.txt", enciphered ? Encipher(server) : server);
        std::string list;
        size_t unpacked = 0;
        for (const auto& [path, content] : files) {
            items.push_back({"velka_win/" + path, content});
            list += path + "=" + path + "$" + std::to_string(content.size()) + "$" +
                    CrcText(content) + "\n";
            unpacked += content.size();
        }
        ASSERT_TRUE(WriteZip(install_ / L"pkg.zip", items));
        const std::string zip = Contents(install_ / L"pkg.zip");
        RemoveFile(install_ / L"pkg.zip");
        mirror_.SetFile("/filelist.txt", list);
        mirror_.SetFile("/ziplist.txt", "pkg.zip=pkg.zip$" + std::to_string(unpacked) + "$" +
                                            std::to_string(zip.size()) + "$" + CrcText(zip) + "\n");
        mirror_.SetFile("/zip/pkg.zip", zip);
    }
    void Install(const Tree& tree) { ASSERT_TRUE(WriteTree(install_.Path(), tree)); }
    // An installed launcher configuration, a release of one file; the compiled-in mirror is dead.
    std::string Standard(const std::string& zipVersion = "1.2.0", bool enciphered = false) {
        ServeRelease({{"a", "a"}}, zipVersion, enciphered);
        Install({{"Config/launcherconfig.txt", local_}});
        return Dead();
    }
    bool Run(const std::string& defaultUrl) {
        patcher_ = std::make_unique<Patcher>(install_.Path(), FastSettings());
        if (updater_.update) patcher_->SetSelfUpdater(updater_);
        return patcher_->Run(defaultUrl);
    }
    bool Logged(const std::string& message) const {
        const auto lines = ReadLogLines(install_ / (L"Log/" + ToWide(TodayString()) + L".txt"));
        return std::any_of(lines.begin(), lines.end(),
                           [&](const LogLine& l) { return l.message == message; });
    }

    ScratchFolder install_{"checks"};
    TestServer mirror_;
    const std::string local_ = LauncherConfig("1.0.0", mirror_.BaseUrl());
    const std::string served_ = local_ + "launcherZipInfo=L.zip$1$1$0\n";
    std::unique_ptr<Patcher> patcher_;
    Patcher::SelfUpdater updater_;
};

// A run installs the game, records versions, stores the fetched configuration; a failed one
// nothing.
TEST_F(PatcherChecksTest, FullUpdateFinishesOrChangesNothing) {
    Install({{"Config/launcherconfig.txt", local_}, {"Game/velka_win/old.txt", "old"}});
    const Tree game = {{"velka.exe", "MZ game"}, {"data/level 1.pak", VariedBytes(5000, 1)}};
    ServeRelease(game, "1.2.0", false, {{"../../Game/velka_win/old.txt", "x"}});  // refused whole
    EXPECT_FALSE(Run(Dead())) << "a failed extraction is no success";
    EXPECT_EQ(patcher_->Status().State(), PatcherState::Failed);
    EXPECT_EQ(ReadTree(install_ / L"Game"), (Tree{{"velka_win/old.txt", "old"}}));
    EXPECT_EQ(Contents(install_ / L"Config/launcherconfig.txt"), local_);

    ServeRelease(game);
    EXPECT_TRUE(Run(Dead())) << ToNarrow(patcher_->Status().Message());
    EXPECT_EQ(ReadTree(install_ / L"Game/velka_win"), game);
    EXPECT_EQ(Contents(install_ / L"Config/launcherconfig.txt"), served_);
    EXPECT_FALSE(DirectoryExists(install_ / L"Temp"));
    const size_t before = mirror_.Requests().size();
    EXPECT_TRUE(Run(Dead()));
    EXPECT_TRUE(Logged("Local game version : 1.2.3")) << "the version record was written";
    EXPECT_EQ(mirror_.Requests().size() - before, 3u) << "configurations and the file list only";
    Install({{"Config/serverconfig.txt", "incrementVersion=1.0.0\nzipVersion=1.0.0\n"}});
    EXPECT_TRUE(Run(Dead()));
    EXPECT_EQ(mirror_.CountRequests("/zip/pkg.zip"), 3u) << "an old record: the package again";
}

struct CheckRow {
    const char* name;
    std::function<std::string(PatcherChecksTest&)> setup;  // the compiled-in URL
    bool finished;
    const wchar_t* message;  // exact; null: not checked
    std::vector<std::string> logged;
    std::vector<std::pair<std::string, size_t>> requests;  // path -> count
    const wchar_t* label = nullptr;
};

// clang-format off
const CheckRow kCheckRows[] = {
    {"no installed configuration: the launcher replaces itself", [](PatcherChecksTest& t) {
         t.mirror_.SetFile("/launcherconfig.txt", LauncherConfig("3.1.2034", t.mirror_.BaseUrl()) + "launcherZipInfo=L.zip$-1$-1$00000000\n"); return t.mirror_.BaseUrl(); },
     false, L"磁碟空間不足,請清理空間後再試！", {"Missing local launcherconfig, force launcher self-update", "Latest launcer version : 3.1.2034",
     "=========Launcher self-update process"}, {{"/launcherconfig.txt", 1}, {"/serverconfig.txt", 0}}},
    {"a newer launcher first, from the published mirrors then the compiled-in one, over http", [](PatcherChecksTest& t) {
         t.mirror_.SetFile("/launcherconfig.txt", LauncherConfig("1.0.1", t.mirror_.BaseUrl()) + "launcherZipInfo=L.zip$10$10$00000000\n");
         t.Install({{"Config/launcherconfig.txt", t.local_}});
         t.updater_.update = [&t](Patcher& p, const std::vector<std::string>& urls, const PackageInfo&) {
             EXPECT_EQ(urls, (std::vector<std::string>{t.mirror_.BaseUrl() + "1.0.1/L.zip", "http://fallback.invalid/L/1.0.1/L.zip"}));
             p.Status().SetMessage(L"updater asked"); return false; };
         t.updater_.replace = [](Patcher&, const std::wstring&) {}; return std::string("https://fallback.invalid/L/"); },
     false, L"updater asked", {}, {{"/serverconfig.txt", 0}}},
    {"installed mirrors first, dead ones skipped, the compiled-in one last", [](PatcherChecksTest& t) {
         t.mirror_.SetFile("/second/launcherconfig.txt", LauncherConfig("1.0.0", Dead()));
         t.Install({{"Config/launcherconfig.txt", LauncherConfig("1.0.0", Dead() + "$" + t.mirror_.Url("second/"))}}); return t.mirror_.Url("fallback/"); },
     false, nullptr, {"Local launcher version : 1.0.0"}, {{"/second/launcherconfig.txt", 1}, {"/fallback/launcherconfig.txt", 0}}},
    {"the compiled-in mirror when the installed ones are dead", [](PatcherChecksTest& t) {
         t.Standard(); t.Install({{"Config/launcherconfig.txt", LauncherConfig("1.0.0", Dead())}}); return t.mirror_.BaseUrl(); },
     true, nullptr, {}, {{"/launcherconfig.txt", 1}, {"/serverconfig.txt", 1}}},
    {"every mirror down: the codes of the last transfer", [](PatcherChecksTest& t) { t.Install({{"Config/launcherconfig.txt", LauncherConfig("1.0.0", Dead())}}); return Dead(); },
     false, L"暫時無法驗證更新，請啓動遊戲繼續驗證！ CURLCODE(7) HTTP STATUES CODE(0)", {}, {}},
    {"no server configuration on any mirror", [](PatcherChecksTest& t) {
         t.mirror_.SetFile("/launcherconfig.txt", t.local_); t.mirror_.SetReply("/serverconfig.txt", Reply::WithStatus(404, "gone"));
         t.Install({{"Config/launcherconfig.txt", t.local_}}); return Dead(); },
     false, L"暫時無法驗證更新，請啓動遊戲繼續驗證！ CURLCODE(0) HTTP STATUES CODE(404)", {}, {}},
    {"an empty file list describes no game", [](PatcherChecksTest& t) { const auto url = t.Standard(); t.mirror_.SetFile("/filelist.txt", "\n"); return url; },
     false, L"暫時無法驗證更新，請啓動遊戲繼續驗證！", {"The file list is empty"}, {{"/ziplist.txt", 0}}},
    {"plain configurations", [](PatcherChecksTest& t) { return t.Standard(); },
     true, nullptr, {"Latest game version : 1.2.3/1.2.0", "Local game version : -1.-1.-1"}, {{"/filelist.txt", 1}}, L"版本號: V1.2.0/V1.2.3"},
    {"enciphered configurations", [](PatcherChecksTest& t) { return t.Standard("1.2.0", true); },
     true, nullptr, {"Latest game version : 1.2.3/1.2.0"}, {{"/filelist.txt", 1}}, L"版本號: V1.2.0/V1.2.3"},
    {"an invalid package version", [](PatcherChecksTest& t) { return t.Standard("0.0.0"); },
     true, nullptr, {"Latest game version : 1.2.3/0.0.0"}, {{"/filelist.txt", 1}}, L"版本號: Vx.x.x/V1.2.3"},
};
// clang-format on

class PipelineChecksTest : public PatcherChecksTest,
                           public ::testing::WithParamInterface<CheckRow> {};

// The checks before the game update; a failed run leaves the configuration and the game alone.
TEST_P(PipelineChecksTest, Run) {
    const CheckRow& row = GetParam();
    SCOPED_TRACE(row.name);
    const std::string url = row.setup(*this);
    const std::string config = Contents(install_ / L"Config/launcherconfig.txt");
    EXPECT_EQ(Run(url), row.finished) << ToNarrow(patcher_->Status().Message());
    const std::wstring message = patcher_->Status().Message();
    EXPECT_TRUE(!row.message || message == row.message) << ToNarrow(message);
    EXPECT_TRUE(!row.label || patcher_->Status().VersionLabel() == row.label);
    EXPECT_EQ(patcher_->Status().State(),
              row.finished ? PatcherState::Finished : PatcherState::Failed);
    for (const std::string& line : row.logged) EXPECT_TRUE(Logged(line)) << line;
    for (const auto& [path, count] : row.requests)
        EXPECT_EQ(mirror_.CountRequests(path), count) << path;
    if (row.finished) return;
    EXPECT_EQ(Contents(install_ / L"Config/launcherconfig.txt"), config);
    EXPECT_FALSE(DirectoryExists(install_ / L"Game"));
}

INSTANTIATE_TEST_SUITE_P(Rows, PipelineChecksTest, ::testing::ValuesIn(kCheckRows));

}  // namespace
}  // namespace velka
