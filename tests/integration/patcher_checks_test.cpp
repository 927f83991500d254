// The pipeline's version checks against real mirrors on 127.0.0.1: which mirrors are asked in
// which order, what a failure shows, what the version line reads, and what is never changed.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "patcher/content_cipher.h"
#include "patcher/patcher.h"
#include "platform/fs.h"
#include "platform/text.h"
#include "support/scratch_log.h"
#include "support/test_server.h"
#include "util/dates.h"

namespace velka {
namespace {

using testing_support::LogLine;
using testing_support::ReadLogLines;
using testing_support::ScratchFolder;
using testing_support::TestServer;
using testing_support::UnusedLocalPort;

TransferSettings FastSettings() {
    TransferSettings settings;
    settings.textConnectTimeoutMs = 2000;
    settings.fileConnectTimeoutMs = 2000;
    settings.lowSpeedTimeSeconds = 2;
    settings.stallLimitMs = 1000;
    settings.packageWatchPeriodMs = 20;
    return settings;
}

std::string DeadBase() {
    return "http://127.0.0.1:" + std::to_string(UnusedLocalPort()) + "/";
}

std::string LauncherConfigText(const std::string& version, const std::string& remoteUrls) {
    return "launcherVersion=" + version + "\nremoteURLs=" + remoteUrls + "\n";
}

std::string ServerConfigText(const std::string& increment, const std::string& zip,
                             const std::string& lists) {
    return "incrementVersion=" + increment + "\nzipVersion=" + zip + "\nuseZip=false\n" +
           "filelistURLs=" + lists + "filelist.txt\nziplistURLs=" + lists +
           "ziplist.txt\nzipupdateURLs=" + lists + "zip/\nincrementupdateURLs=" + lists +
           "files/\n";
}

// Every value enciphered, keys kept, as the studio may publish them.
std::string Encipher(const std::string& config) {
    const ContentCipher cipher(kContentCipherKey);
    std::string out;
    size_t start = 0;
    while (start < config.size()) {
        size_t end = config.find('\n', start);
        if (end == std::string::npos) end = config.size();
        const std::string line = config.substr(start, end - start);
        const size_t eq = line.find('=');
        out += line.substr(0, eq + 1) + cipher.Encipher(line.substr(eq + 1)) + "\n";
        start = end + 1;
    }
    return out;
}

class PatcherChecksTest : public ::testing::Test {
  protected:
    void InstallLocalLauncherConfig(const std::string& text) {
        const std::wstring path = install_ / L"Config/launcherconfig.txt";
        ASSERT_TRUE(CreateDirectories(path));
        ASSERT_TRUE(WriteFileBytes(path, text));
    }

    // Runs the pipeline once with the mirror as the compiled-in default unless told otherwise.
    bool RunOnce(const std::string& defaultUrl) {
        patcher_ = std::make_unique<Patcher>(install_.Path(), FastSettings());
        return patcher_->Run(defaultUrl);
    }

    std::vector<std::string> LogMessages() const {
        std::vector<std::string> messages;
        for (const LogLine& line :
             ReadLogLines(install_ / (L"Log/" + ToWide(TodayString()) + L".txt"))) {
            messages.push_back(line.message);
        }
        return messages;
    }

    bool Logged(const std::string& message) const {
        const std::vector<std::string> messages = LogMessages();
        return std::find(messages.begin(), messages.end(), message) != messages.end();
    }

    ScratchFolder install_{"checks"};
    TestServer mirror_;
    std::unique_ptr<Patcher> patcher_;
};

TEST_F(PatcherChecksTest, MissingLocalLauncherConfigForcesSelfUpdateEvenWhenCurrent) {
    mirror_.SetFile("/launcherconfig.txt", LauncherConfigText("3.1.2034", mirror_.BaseUrl()) +
                                               "launcherZipInfo=L.zip$-1$-1$00000000\n");
    EXPECT_FALSE(RunOnce(mirror_.BaseUrl()));
    EXPECT_TRUE(Logged("Missing local launcherconfig, force launcher self-update"));
    EXPECT_TRUE(Logged("Latest launcer version : 3.1.2034"));
    EXPECT_TRUE(Logged("=========Launcher self-update process"));
    // Both sizes unknown: the space needed is beyond any disk, so nothing is downloaded.
    EXPECT_EQ(L"磁碟空間不足,請清理空間後再試！", patcher_->Status().Message());
    EXPECT_EQ(PatcherState::Failed, patcher_->Status().State());
    EXPECT_EQ(1u, mirror_.Requests().size()) << "only the configuration was fetched";
    EXPECT_EQ(0u, mirror_.CountRequests("/serverconfig.txt"));
}

TEST_F(PatcherChecksTest, InstalledMirrorsComeBeforeTheCompiledInOne) {
    TestServer second;
    TestServer fallback;
    const std::string config = LauncherConfigText("1.0.0", second.BaseUrl());
    second.SetFile("/launcherconfig.txt", config);
    fallback.SetFile("/launcherconfig.txt", config);
    InstallLocalLauncherConfig(LauncherConfigText("1.0.0", DeadBase() + "$" + second.BaseUrl()));

    RunOnce(fallback.BaseUrl());
    EXPECT_EQ(1u, second.CountRequests("/launcherconfig.txt"));
    EXPECT_EQ(0u, fallback.CountRequests("/launcherconfig.txt"))
        << "the default mirror is the last resort";
    EXPECT_TRUE(Logged("Local launcher version : 1.0.0"));
}

TEST_F(PatcherChecksTest, CompiledInMirrorServesWhenInstalledOnesAreDead) {
    mirror_.SetFile("/launcherconfig.txt", LauncherConfigText("1.0.0", mirror_.BaseUrl()));
    InstallLocalLauncherConfig(LauncherConfigText("1.0.0", DeadBase()));
    RunOnce(mirror_.BaseUrl());
    EXPECT_EQ(1u, mirror_.CountRequests("/launcherconfig.txt"));
    EXPECT_EQ(1u, mirror_.CountRequests("/serverconfig.txt"))
        << "the server configuration comes from the published mirrors";
}

TEST_F(PatcherChecksTest, AllMirrorsDownFailsWithTheCodesOfTheLastTransfer) {
    const std::string original = LauncherConfigText("1.0.0", DeadBase());
    InstallLocalLauncherConfig(original);
    EXPECT_FALSE(RunOnce(DeadBase()));
    EXPECT_EQ(PatcherState::Failed, patcher_->Status().State());
    EXPECT_EQ(L"暫時無法驗證更新，請啓動遊戲繼續驗證！ CURLCODE(7) HTTP STATUES CODE(0)",
              patcher_->Status().Message());
    std::string after;
    ASSERT_TRUE(ReadFileBytes(install_ / L"Config/launcherconfig.txt", &after));
    EXPECT_EQ(original, after) << "a failed run never changes the installed configuration";
    EXPECT_FALSE(DirectoryExists(install_ / L"Game")) << "the game is not touched";
}

TEST_F(PatcherChecksTest, ServerConfigurationMissingOnEveryMirrorFails) {
    mirror_.SetFile("/launcherconfig.txt", LauncherConfigText("1.0.0", mirror_.BaseUrl()));
    mirror_.SetReply("/serverconfig.txt", testing_support::Reply::WithStatus(404, "gone"));
    InstallLocalLauncherConfig(LauncherConfigText("1.0.0", mirror_.BaseUrl()));
    EXPECT_FALSE(RunOnce(mirror_.BaseUrl()));
    EXPECT_EQ(L"暫時無法驗證更新，請啓動遊戲繼續驗證！ CURLCODE(0) HTTP STATUES CODE(404)",
              patcher_->Status().Message());
}

struct LabelCase {
    const char* name;
    bool enciphered;
    const char* increment;
    const char* zip;
    const wchar_t* label;
};

class PatcherVersionLabelTest : public PatcherChecksTest,
                                public ::testing::WithParamInterface<LabelCase> {};

TEST_P(PatcherVersionLabelTest, ShowsThePublishedVersions) {
    const LabelCase& c = GetParam();
    std::string launcher = LauncherConfigText("1.0.0", mirror_.BaseUrl());
    std::string server = ServerConfigText(c.increment, c.zip, mirror_.BaseUrl());
    if (c.enciphered) {
        launcher = Encipher(launcher);
        server = Encipher(server);
    }
    mirror_.SetFile("/launcherconfig.txt", launcher);
    mirror_.SetFile("/serverconfig.txt", server);
    InstallLocalLauncherConfig(LauncherConfigText("1.0.0", mirror_.BaseUrl()));
    RunOnce(DeadBase());
    EXPECT_EQ(std::wstring(c.label), patcher_->Status().VersionLabel());
    EXPECT_TRUE(Logged(std::string("Latest game version : ") + c.increment + "/" + c.zip));
    EXPECT_TRUE(Logged("Local game version : -1.-1.-1"));
    // The run went on to the published file list, so the enciphered lists were read right.
    EXPECT_EQ(1u, mirror_.CountRequests("/filelist.txt"));
}

INSTANTIATE_TEST_SUITE_P(
    Configurations, PatcherVersionLabelTest,
    ::testing::Values(LabelCase{"Plain", false, "1.2.3", "1.2.0", L"版本號: V1.2.0/V1.2.3"},
                      LabelCase{"Enciphered", true, "1.2.3", "1.2.0", L"版本號: V1.2.0/V1.2.3"},
                      LabelCase{"InvalidZip", false, "2.0.1", "0.0.0", L"版本號: Vx.x.x/V2.0.1"}),
    [](const ::testing::TestParamInfo<LabelCase>& info) { return info.param.name; });

TEST_F(PatcherChecksTest, NewerPublishedLauncherIsReplacedBeforeTheGameIsChecked) {
    mirror_.SetFile("/launcherconfig.txt", LauncherConfigText("1.0.1", mirror_.BaseUrl()) +
                                               "launcherZipInfo=L.zip$10$10$00000000\n");
    InstallLocalLauncherConfig(LauncherConfigText("1.0.0", mirror_.BaseUrl()));
    bool asked = false;
    std::vector<std::string> packageUrls;
    Patcher::SelfUpdater updater;
    updater.update = [&](Patcher& p, const std::vector<std::string>& urls, const PackageInfo&) {
        asked = true;
        packageUrls = urls;
        p.Status().SetMessage(L"程序更新失敗，請重啓後再試！");
        return false;
    };
    updater.replace = [](Patcher&, const std::wstring&) {};
    patcher_ = std::make_unique<Patcher>(install_.Path(), FastSettings());
    patcher_->SetSelfUpdater(updater);
    EXPECT_FALSE(patcher_->Run("https://fallback.invalid/L/"));
    ASSERT_TRUE(asked);
    EXPECT_EQ((std::vector<std::string>{mirror_.BaseUrl() + "1.0.1/L.zip",
                                        "http://fallback.invalid/L/1.0.1/L.zip"}),
              packageUrls)
        << "published mirrors first, then the compiled-in one, all over plain http";
    EXPECT_EQ(PatcherState::Failed, patcher_->Status().State());
    EXPECT_EQ(0u, mirror_.CountRequests("/serverconfig.txt"));
}

TEST(PatcherUrlsTest, BuildUrlListJoinsBasesAndExtraPiecesWithoutSeparators) {
    EXPECT_EQ((std::vector<std::string>{"http://a/x.txt", "http://b/x.txt", "http://c/x.txt"}),
              Patcher::BuildUrlList("x.txt", {"http://a/", "http://b/"}, "$http://c/$"));
    EXPECT_TRUE(Patcher::BuildUrlList("x.txt", {}, "").empty());
}

}  // namespace
}  // namespace velka
