// The self-update against a local server with a stand-in launcher; the console command line.
#include "patcher/self_update.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <thread>
#include <tuple>
#include <utility>

#include "patcher/maintenance.h"
#include "support/fixtures.h"
#include "support/scratch_log.h"
#include "support/test_server.h"
#include "support/zip_builder.h"
#include "transfer/http.h"

namespace velka {
namespace {

using namespace testing_support;

const bool kBatch = kNativeScriptLanguage == ScriptLanguage::Batch;
const std::wstring kFailed = L"程序更新失敗，請重啓後再試！";
const std::wstring kNoCodes = kFailed + L" CURLCODE(-1) HTTP STATUES CODE(-1)";
const std::string kStub = kBatch ? "VelkaStub.bat" : "velka-stub";

// A stand-in launcher: each start appends its version to started.txt in its current directory.
std::string Stub(const std::string& version) {
    return kBatch ? "@echo off\r\necho " + version + ">> started.txt\r\n"
                  : "#!/bin/sh\necho " + version + " >> started.txt\n";
}

class SelfUpdateTest : public ::testing::Test {
  protected:
    void SetUp() override {
        patcher_->GetLogger().Open(ToNarrow(install_ / L"log.txt"));
        how_.launcherExe = kStub;
        how_.processId = 2147483647u;  // no such process: a shell script's wait ends at once
        how_.endProcess = [this] { ++ends_; };
    }
    // Windows cannot remove a folder that is a process's current directory or holds a script.
    void TearDown() override {
        std::filesystem::current_path(saved_);
        WaitFor([&] { return !FileExists(script_); }, 10);
    }
    std::string At(const std::string& name) const { return Contents(install_ / ToWide(name)); }
    std::string Installed() const {
        return At(kStub) + "|" + At("data.dll") + "|" + At("Config/launcherconfig.txt");
    }

    // Zips `items`, serves them as /1.0.1/L.zip and describes them as a configuration would.
    PackageInfo Build(const std::vector<ZipItem>& items) {
        EXPECT_TRUE(WriteZip(scratch_ / L"L.zip", items));
        zip_ = Contents(scratch_ / L"L.zip");
        mirror_.SetFile("/1.0.1/L.zip", zip_);
        const int64_t size = static_cast<int64_t>(zip_.size());
        return PackageInfo{"L.zip", size, size, CrcText(zip_)};
    }
    // Launcher "v1" of 1.0.0, 1.0.1's configuration in Temp, and `items` fetched and staged.
    bool Stage(const std::vector<ZipItem>& items) {
        EXPECT_TRUE(
            WriteTree(install_.Path(), {{kStub, Stub("v1")},
                                        {"data.dll", "old"},
                                        {"Config/launcherconfig.txt", "launcherVersion=1.0.0\n"},
                                        {"Temp/launcherconfig.txt", "launcherVersion=1.0.1\n"}}) &&
            MarkExecutable(install_ / ToWide(kStub)));
        return UpdateLauncher(*patcher_, install_.Path(), {mirror_.Url("1.0.1/L.zip")},
                              Build(items));
    }

    ScratchFolder install_{"selfupd"}, scratch_{"selfupd_src"};
    TestServer mirror_;
    const std::filesystem::path saved_ = std::filesystem::current_path();
    const std::wstring script_ = install_ / UpdaterScriptName(kNativeScriptLanguage);
    const std::wstring staging_ = install_ / L"Temp/LauncherUpdate";
    const std::string old_ = Stub("v1") + "|old|launcherVersion=1.0.0\n";
    std::unique_ptr<Patcher> patcher_ = std::make_unique<Patcher>(install_.Path(), FastSettings());
    LauncherReplacement how_;
    std::string zip_;
    int ends_ = 0;
};

// A right copy in Temp is kept, a wrong download deleted and the next URL tried; failures named.
TEST_F(SelfUpdateTest, FetchTakesTheFirstCopyWithThePublishedCrc) {
    const PackageInfo info = Build({{"VelkaStub.bat", "new launcher"}, {"data.dll", "data"}});
    const Tree unpacked = {{"VelkaStub.bat", "new launcher"}, {"data.dll", "data"}};
    const std::string good = zip_;
    const PackageInfo climbing = Build({{"VelkaStub.bat", "new"}, {"../escaped.dll", "evil"}});
    const struct {
        const char* name;
        std::string inTemp, first;  // Temp/L.zip before; the first mirror's body if not the package
        std::string crc, fileName;  // published, if not the package's
        std::wstring message;       // "" for success
        size_t firstRequests, secondRequests;
    } cases[] = {
        {"no copy", "", "", "", "", L"", 1, 0},
        {"right copy", good, "", "", "", L"", 0, 0},
        {"stale copy", "PK truncated", "", "", "", L"", 1, 0},
        {"wrong bytes first", "", "not the package", "", "", L"", 1, 1},
        {"CRC differs", "", "", "0BADC0DE", "", kNoCodes, 1, 1},
        {"name leaves Temp", "", "", "", "../L.zip", kNoCodes, 0, 0},
        {"entry climbs out", "", zip_, climbing.crc, "", kFailed + L" LastError(0)", 1, 0}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        PackageInfo published = info;
        published.crc = c.crc.empty() ? info.crc : c.crc;
        if (!c.fileName.empty()) published.fileName = c.fileName;
        TestServer first, second;
        first.SetFile("/L.zip", c.first.empty() ? good : c.first);
        second.SetFile("/L.zip", good);
        RemoveFile(install_ / L"Temp/L.zip");
        ASSERT_TRUE(c.inTemp.empty() || WriteTree(install_.Path(), {{"Temp/L.zip", c.inTemp}}));
        DeleteTree(patcher_->GetLogger(), staging_);
        ASSERT_TRUE(WriteTree(staging_, {{"stale.dll", "old"}, {"left/over.dll", "old"}}));
        const bool ok = c.message.empty();
        EXPECT_EQ(ok, UpdateLauncher(*patcher_, install_.Path(),
                                     {first.Url("L.zip"), second.Url("L.zip")}, published));
        EXPECT_EQ(c.firstRequests, first.CountRequests("/L.zip"));
        EXPECT_EQ(c.secondRequests, second.CountRequests("/L.zip"));
        EXPECT_EQ(ok ? L"正在更新啓動器" : c.message, patcher_->Status().Message());
        EXPECT_EQ(PatcherState::DownloadingFiles, patcher_->Status().State());
        EXPECT_EQ(ToWide(published.fileName), patcher_->Status().CurrentFileName());
        const Tree staged = ReadTree(staging_);
        EXPECT_EQ(ok, staged == unpacked);
        EXPECT_TRUE(ok || staged.count("VelkaStub.bat") == 0) << "nothing of it is unpacked";
        EXPECT_EQ(c.message != kNoCodes, FileExists(install_ / L"Temp/L.zip"));
        EXPECT_FALSE(FileExists(install_ / L"escaped.dll"));
    }
    const std::string log = At("log.txt");
    EXPECT_EQ(1u, Count(log, "Download launcher self-update files finish crc = " +
                                 CrcText("not the package")));
    EXPECT_EQ(1u, Count(log, "Unzip failed! Unzip path : " + ToNarrow(install_ / L"Temp/L.zip") +
                                 " Zip path : " + ToNarrow(staging_) + " ErrorCode = 0"));
}

// The script swaps the staged files (hostile names copied, never run) and starts the new launcher.
TEST_F(SelfUpdateTest, ScriptSwapsTheLauncherAndStartsTheNewOne) {
    std::vector<std::string> names = {"a b (1).dll",   "x&copy nul canary1.txt",
                                      "c,d;e=f!g^h+i", "j&&copy nul canary2.txt&&k",
                                      "-rf",           "$(touch canary3)"};
    if (!kBatch) names.insert(names.end(), {"`touch canary4`", "y;touch canary5", "q\"uote"});
    std::vector<ZipItem> items = {{kStub, Stub("v2")}, {"data.dll", "new"}, {"plugins/x.dll", "x"}};
    for (const std::string& name : names) items.push_back({name, "file " + name});
    ASSERT_TRUE(Stage(items));
    ASSERT_TRUE(ReplaceLauncher(*patcher_, install_.Path(), staging_, how_));
    EXPECT_EQ(1, ends_) << "the process is ended once the script runs";
    ASSERT_TRUE(WaitFor([&] { return !FileExists(script_) && !At("started.txt").empty(); }, 30));
    EXPECT_EQ(kBatch ? "v2\r\n" : "v2\n", At("started.txt")) << "the new launcher, in its folder";
    EXPECT_EQ(Stub("v2") + "|new|launcherVersion=1.0.1\n", Installed());
    EXPECT_TRUE(kBatch || IsExecutableFile(install_ / ToWide(kStub)));
    for (const std::string& name : names) EXPECT_EQ("file " + name, At(name)) << name;
    for (const auto& [name, content] : ReadTree(install_.Path()))
        EXPECT_NE(0u, name.rfind("canary", 0)) << "a name ran as a command: " << name;
    EXPECT_FALSE(FileExists(install_ / L"Temp/launcherconfig.txt"));
    EXPECT_FALSE(DirectoryExists(install_ / L"Temp/LauncherBackup"));
    EXPECT_EQ((Tree{{"plugins/x.dll", "x"}}), ReadTree(staging_));
}

// A replacement that cannot be done safely writes and starts nothing and keeps the launcher.
TEST_F(SelfUpdateTest, RefusedReplacementKeepsTheLauncherRunning) {
    const std::string refused = kBatch ? "100%PATH%.dll" : "it's.so";
    const std::tuple<const char*, std::vector<ZipItem>, std::wstring> cases[] = {
        {"unsafe name", {{kStub, Stub("v2")}, {refused, "x"}}, kFailed},
        {"no launcher in the package", {{"VELKALauncher.exe", "window"}}, kFailed},
        {"script unwritable", {{kStub, Stub("v2")}}, kFailed + L" LastError("}};
    for (const auto& [name, items, message] : cases) {
        SCOPED_TRACE(name);
        const bool blocked = message != kFailed;  // a folder in the script's place
        ASSERT_TRUE(Stage(items) && (!blocked || CreateDirectories(script_ + kPathSeparator)));
        EXPECT_FALSE(ReplaceLauncher(*patcher_, install_.Path(), staging_, how_));
        EXPECT_EQ(0, ends_);
        EXPECT_EQ(PatcherState::Failed, patcher_->Status().State());
        const std::wstring shown = patcher_->Status().Message();
        EXPECT_EQ(message, blocked ? shown.substr(0, message.size()) : shown);
        EXPECT_NE(kFailed + L" LastError(0)", shown);
        EXPECT_FALSE(FileExists(script_)) << "no script is written";
        EXPECT_EQ(old_, Installed());
        RemoveEmptyFolder(script_);
    }
    EXPECT_EQ(1u, Count(At("log.txt"), "self-update refused! Unsafe file name : " + refused));
}

// A failed replacement restores the old launcher and restarts it once per staged version.
TEST_F(SelfUpdateTest, FailedReplacementRestoresAndRestartsTheOldLauncherOnce) {
    for (const bool oldLauncherRuns : {true, false}) {
        SCOPED_TRACE(oldLauncherRuns ? "the old launcher never ends" : "no configuration");
        RemoveFile(install_ / L"started.txt");
        DeleteTree(patcher_->GetLogger(), install_ / L"Temp");
        ASSERT_TRUE(Stage({{kStub, Stub("v2")}, {"data.dll", "new"}}));
        if (!oldLauncherRuns) RemoveFile(install_ / L"Temp/launcherconfig.txt");
        // A shell script waits for this process (0); cmd.exe cannot delete an open executable.
        how_.processId = oldLauncherRuns ? 0 : 2147483647u;
        how_.waitSeconds = 2;
        std::unique_ptr<File> inUse(
            oldLauncherRuns && kBatch ? new File(install_ / ToWide(kStub), "rb") : nullptr);
        const std::string once = kBatch ? "v1\r\n" : "v1\n";
        for (int attempt = 1; attempt <= 2; ++attempt) {
            SCOPED_TRACE(attempt);
            ASSERT_TRUE(ReplaceLauncher(*patcher_, install_.Path(), staging_, how_));
            ASSERT_TRUE(WaitFor([&] { return !FileExists(script_); }, 30));
            EXPECT_TRUE(attempt == 2 || WaitFor([&] { return At("started.txt") == once; }, 30));
            if (attempt == 2) std::this_thread::sleep_for(std::chrono::seconds(1));
            EXPECT_EQ(once, At("started.txt"));
            EXPECT_EQ(old_, Installed());
            EXPECT_FALSE(FileExists(install_ / L"Config/launcherconfig.txt.new"));
            EXPECT_EQ((Tree{{kStub, Stub("v2")}, {"data.dll", "new"}}), ReadTree(staging_));
            EXPECT_EQ(oldLauncherRuns, FileExists(install_ / L"Temp/launcherconfig.txt"));
        }
        EXPECT_EQ(2, std::exchange(ends_, 0));
    }
}

// Help and refused arguments exit with their codes and texts before anything is touched.
TEST(ConsoleCommandLineTest, HelpAndRefusedArgumentsExitWithTheirCodes) {
    ScratchFolder scratch("console-cli");  // a copy: a line taken for a run touches only scratch
    const std::wstring launcher = scratch / FileNameOfPath(HostPath(VELKA_LAUNCHER_EXE));
    ASSERT_TRUE(CopyOneFile(HostPath(VELKA_LAUNCHER_EXE), launcher) && MarkExecutable(launcher));
    const std::string unknown = "velka-launcher: unknown argument ";
    const std::tuple<const char*, int, std::string> runs[] = {
        {"--help", 0, "usage: velka-launcher [--no-start] [--max-speed KBPS] [gameupdate]"},
        {"--bogus", 2, unknown + "--bogus"},
        {"gameupdate extra", 2, unknown + "extra"},
        {"--no-start=1", 2, unknown + "--no-start=1"},
        {"--max-speed fast", 2, unknown},
        {"--max-speed -5", 2, unknown}};
    for (const auto& [args, code, text] : runs) {
        SCOPED_TRACE(args);
        EXPECT_EQ(code, RunProgram(launcher, args, scratch / L"out", scratch / L"err"));
        EXPECT_EQ(1u, Count(Contents(scratch / (code ? L"err" : L"out")), text));
        EXPECT_FALSE(DirectoryExists(scratch / L"Log")) << "the command line started a run";
    }
}

}  // namespace
}  // namespace velka
