// The launcher's self-update against a mirror on 127.0.0.1 and real zip packages, with the
// replacement script run for real (cmd.exe under Windows and Wine, /bin/sh elsewhere).
#include "patcher/self_update.h"

#include <gtest/gtest.h>

#include <cctype>
#include <filesystem>
#include <memory>
#include <thread>

#include "patcher/maintenance.h"
#include "support/fixtures.h"
#include "support/scratch_log.h"
#include "support/test_server.h"
#include "support/zip_builder.h"
#include "util/file_crc.h"

namespace velka {
namespace {

using namespace testing_support;

const bool kBatch = kNativeScriptLanguage == ScriptLanguage::Batch;
const std::wstring kFailed = L"程序更新失敗，請重啓後再試！";
const std::wstring kNoCodes = kFailed + L" CURLCODE(-1) HTTP STATUES CODE(-1)";
const std::string kStub = kBatch ? "VelkaStub.bat" : "velka-stub";
// No process has this id, so a shell script's wait ends at once.
constexpr uint32_t kEndedProcess = 2147483647u;

// A stand-in launcher: each start appends its version to started.txt in its current directory.
std::string Stub(const std::string& version) {
    return kBatch ? "@echo off\r\necho " + version + ">> started.txt\r\n"
                  : "#!/bin/sh\necho " + version + " >> started.txt\n";
}

class SelfUpdateTest : public ::testing::Test {
  protected:
    void SetUp() override {
        saved_ = std::filesystem::current_path();
        patcher_ = std::make_unique<Patcher>(install_.Path(), FastSettings());
        patcher_->GetLogger().Open(ToNarrow(install_ / L"log.txt"));
        oldConfig_ = "launcherVersion=1.0.0\nremoteURLs=" + mirror_.BaseUrl() + "\n";
    }
    // Windows cannot remove a folder that is a process's current directory or holds a script.
    void TearDown() override {
        std::error_code ignored;
        std::filesystem::current_path(saved_, ignored);
        WaitFor([&] { return !FileExists(Script()); }, 10);
    }

    std::wstring Script() const { return install_ / UpdaterScriptName(kNativeScriptLanguage); }
    std::wstring Staging() const { return install_ / L"Temp/LauncherUpdate"; }
    std::string At(const std::string& name) const { return Contents(install_ / ToWide(name)); }
    bool Logged(const std::string& line) const {
        for (const LogLine& l : ReadLogLines(install_ / L"log.txt")) {
            if (l.level + l.message == line) return true;
        }
        return false;
    }

    // Zips `items` into zip_; its description as a configuration publishes it.
    PackageInfo Build(const std::vector<ZipItem>& items) {
        EXPECT_TRUE(WriteZip(scratch_ / L"L.zip", items));
        zip_ = Contents(scratch_ / L"L.zip");
        PackageInfo info;
        info.fileName = "L.zip";
        info.crc = ComputeFileCrc(scratch_ / L"L.zip", &info.packageSize);
        info.unpackedSize = 0;
        for (const ZipItem& item : items) info.unpackedSize += item.data.size();
        return info;
    }
    PackageInfo Serve(const std::vector<ZipItem>& items) {
        const PackageInfo info = Build(items);
        mirror_.SetFile("/1.0.1/L.zip", zip_);
        return info;
    }
    bool Fetch(const PackageInfo& info) {
        return UpdateLauncher(*patcher_, install_.Path(), {mirror_.Url("1.0.1/L.zip")}, info);
    }

    // Launcher "v1" of version 1.0.0, with the configuration of 1.0.1 downloaded into Temp.
    void InstallOld() {
        ASSERT_TRUE(
            WriteTree(install_.Path(), {{kStub, Stub("v1")},
                                        {"Config/launcherconfig.txt", oldConfig_},
                                        {"Temp/launcherconfig.txt", "launcherVersion=1.0.1\n"},
                                        {"data.dll", "old data"}}));
        ASSERT_TRUE(MarkExecutable(install_ / ToWide(kStub)));
    }

    LauncherReplacement How(uint32_t processId = kEndedProcess) {
        LauncherReplacement how;
        how.launcherExe = kStub;
        how.processId = processId;
        how.endProcess = [this] { ++ends_; };
        return how;
    }

    // Publishes launcher 1.0.1 as `info` and runs the whole pipeline with the self-updater.
    bool RunPipeline(const PackageInfo& info) {
        published_ = "launcherVersion=1.0.1\nremoteURLs=" + mirror_.BaseUrl() +
                     "\nlauncherZipInfo=L.zip$" + std::to_string(info.unpackedSize) + "$" +
                     std::to_string(info.packageSize) + "$" + info.crc + "\n";
        mirror_.SetFile("/launcherconfig.txt", published_);
        patcher_ = std::make_unique<Patcher>(install_.Path(), FastSettings());
        patcher_->SetSelfUpdater(MakeSelfUpdater(How()));
        return patcher_->Run("http://127.0.0.1:1/unused/");
    }

    // Runs the script for real and waits until it has deleted itself.
    void ReplaceAndWait(const LauncherReplacement& how) {
        ASSERT_TRUE(ReplaceLauncher(*patcher_, install_.Path(), Staging(), how))
            << ToNarrow(patcher_->Status().Message());
        EXPECT_EQ(1, ends_) << "the process is ended once the script runs";
        ASSERT_TRUE(WaitFor([&] { return !FileExists(Script()); }, 30)) << Contents(Script());
    }

    ScratchFolder install_{"selfupd"};
    ScratchFolder scratch_{"selfupd_src"};
    TestServer mirror_;
    std::unique_ptr<Patcher> patcher_;
    std::filesystem::path saved_;
    std::string zip_;
    std::string oldConfig_;
    std::string published_;
    int ends_ = 0;
};

// Fetching: a right copy in Temp is used, a wrong download deleted and the next URL tried, the
// staging folder emptied before unpacking; on failure the message names the cause and the state
// is left for the pipeline to fail.
TEST_F(SelfUpdateTest, FetchTakesTheFirstCopyWithThePublishedCrc) {
    std::string data;
    PackageInfo info;  // with letters in its CRC, for the lower-case row
    for (int i = 0; info.crc.find_first_of("ABCDEF") == std::string::npos; ++i) {
        data = "data " + std::to_string(i);
        info = Build({{"VelkaStub.bat", "new launcher"}, {"data.dll", data}});
    }
    const Tree unpacked = {{"VelkaStub.bat", "new launcher"}, {"data.dll", data}};
    const std::string good = zip_;
    const PackageInfo climbing = Build({{"VelkaStub.bat", "new"}, {"../escaped.dll", "evil"}});
    const struct {
        const char* name;
        std::string inTemp;  // Temp/L.zip before
        std::string first;   // the first mirror's body when not the package
        int status;          // of both mirrors
        std::string crc;     // published, when not the package's; "lower": in lower case
        std::string fileName;
        std::wstring message;  // "" for success
        size_t firstRequests, secondRequests;
        bool kept;  // Temp/L.zip afterwards
    } cases[] = {
        {"no copy", "", "", 200, "", "", L"", 1, 0, true},
        {"right copy", good, "", 200, "", "", L"", 0, 0, true},
        {"stale copy", "PK truncated", "", 200, "", "", L"", 1, 0, true},
        {"wrong bytes first", "", "not the package", 200, "", "", L"", 1, 1, true},
        {"CRC differs", "", "", 200, "0BADC0DE", "", kNoCodes, 1, 1, false},
        {"lower-case CRC", "", "", 200, "lower", "", kNoCodes, 1, 1, false},
        {"name leaves Temp", "", "", 200, "", "../L.zip", kNoCodes, 0, 0, false},
        {"entry climbs out", "", zip_, 200, climbing.crc, "", kFailed + L" LastError(0)", 1, 0,
         true},
        {"mirrors fail", "", "", 404, "", "", kFailed + L" CURLCODE(0) HTTP STATUES CODE(404)", 1,
         1, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        PackageInfo published = info;
        if (c.crc == "lower") {
            for (char& ch : published.crc) ch = static_cast<char>(std::tolower(ch));
        } else if (!c.crc.empty()) {
            published.crc = c.crc;
        }
        if (!c.fileName.empty()) published.fileName = c.fileName;
        TestServer first, second;
        first.SetReply("/L.zip", Reply::WithStatus(c.status, c.first.empty() ? good : c.first));
        second.SetReply("/L.zip", Reply::WithStatus(c.status, good));
        RemoveFile(install_ / L"Temp/L.zip");
        ASSERT_TRUE(c.inTemp.empty() || WriteTree(install_.Path(), {{"Temp/L.zip", c.inTemp}}));
        DeleteTree(patcher_->GetLogger(), Staging());
        ASSERT_TRUE(WriteTree(Staging(), {{"stale.dll", "old"}, {"left/over.dll", "old"}}));
        const bool ok = c.message.empty();
        EXPECT_EQ(ok, UpdateLauncher(*patcher_, install_.Path(),
                                     {first.Url("L.zip"), second.Url("L.zip")}, published));
        EXPECT_EQ(c.firstRequests, first.CountRequests("/L.zip"));
        EXPECT_EQ(c.secondRequests, second.CountRequests("/L.zip"));
        const PatcherStatus& status = patcher_->Status();
        EXPECT_EQ(ok ? L"正在更新啓動器" : c.message, status.Message());
        EXPECT_EQ(PatcherState::DownloadingFiles, status.State()) << "the pipeline sets Failed";
        EXPECT_EQ(ToWide(published.fileName), status.CurrentFileName());
        EXPECT_EQ(info.packageSize, status.bytesTotal.load());
        EXPECT_EQ(1, status.filesTotal.load());
        const Tree staging = ReadTree(Staging());
        EXPECT_EQ(ok, staging == unpacked);
        EXPECT_TRUE(ok || staging.count("VelkaStub.bat") == 0) << "nothing of it is unpacked";
        EXPECT_TRUE(c.status != 200 || c.kept == FileExists(install_ / L"Temp/L.zip"));
        EXPECT_FALSE(FileExists(install_ / L"escaped.dll"));
        if (!c.first.empty() && ok) {
            EXPECT_TRUE(Logged("[INFO] Download launcher self-update files finish crc = " +
                               CrcText(c.first)));
        }
    }
    EXPECT_TRUE(Logged("[ERROR] Unzip failed! Unzip path : " + ToNarrow(install_ / L"Temp/L.zip") +
                       " Zip path : " + ToNarrow(Staging()) + " ErrorCode = 0"));
}

// Through the pipeline: the script waits, swaps every staged file (hostile names copied, never
// run), installs the configuration last, cleans up and starts the new launcher in its folder.
TEST_F(SelfUpdateTest, PipelineSwapsTheLauncherAndStartsTheNewOne) {
    InstallOld();
    std::vector<std::string> names = {"a b (1).dll", "x&copy nul canary1.txt", "c,d;e=f!g^h+i.dll",
                                      "j&&copy nul canary2.txt&&k", "-rf"};
    if (!kBatch) {
        for (const char* name : {"$(touch canary3)", "`touch canary4`", "y;touch canary5",
                                 "a|b<c>d", "q\"uote", "x&echo INJ>canary6"}) {
            names.push_back(name);
        }
    }
    std::vector<ZipItem> items = {{kStub, Stub("v2")},
                                  {"data.dll", "new data"},
                                  ZipFolder("plugins/"),
                                  {"plugins/inner.dll", "inner"}};
    for (const std::string& name : names) items.push_back({name, "file " + name});
    const PackageInfo info = Serve(items);
    RunPipeline(info);
    EXPECT_EQ(1, ends_) << "the process is ended once the script runs";
    ASSERT_TRUE(WaitFor([&] { return At("started.txt") == (kBatch ? "v2\r\n" : "v2\n"); }, 30))
        << "the new launcher is started in the install folder: " << At("started.txt");
    ASSERT_TRUE(WaitFor([&] { return !FileExists(Script()); }, 30));

    EXPECT_EQ(Stub("v2"), At(kStub));
    EXPECT_TRUE(kBatch || IsExecutableFile(install_ / ToWide(kStub)));
    EXPECT_EQ("new data", At("data.dll"));
    for (const std::string& name : names) EXPECT_EQ("file " + name, At(name)) << name;
    for (const auto& [name, content] : ReadTree(install_.Path())) {
        EXPECT_NE(0u, name.rfind("canary", 0)) << "a name ran as a command: " << name;
        EXPECT_NE("INJ", name);
    }
    EXPECT_EQ(published_, At("Config/launcherconfig.txt"));
    EXPECT_FALSE(FileExists(install_ / L"Temp/launcherconfig.txt"));
    EXPECT_FALSE(DirectoryExists(install_ / L"Temp/LauncherBackup"));
    EXPECT_FALSE(FileExists(install_ / L"inner.dll")) << "sub-folders are not copied";
    EXPECT_EQ((Tree{{"plugins/inner.dll", "inner"}}), ReadTree(Staging()));
    EXPECT_EQ(1u, mirror_.CountRequests("/1.0.1/L.zip"));
    EXPECT_EQ(0u, mirror_.CountRequests("/serverconfig.txt")) << "the game waits for the new run";
}

// A replacement that cannot be done safely writes and starts nothing and keeps the launcher.
TEST_F(SelfUpdateTest, RefusedReplacementKeepsTheLauncherRunning) {
    const std::string refused = kBatch ? "100%PATH%.dll" : "it's.so";
    const struct {
        const char* name;
        std::vector<ZipItem> items;
        bool blockScript;  // a folder in the script's place
        bool pipeline;
        std::wstring message;  // "" for a system error code
    } cases[] = {
        {"unsafe name", {{kStub, Stub("v2")}, {refused, "x"}}, false, false, kFailed},
        {"no launcher in the package", {{"VELKALauncher.exe", "window"}}, false, false, kFailed},
        {"script unwritable", {{kStub, Stub("v2")}}, true, false, L""},
        {"script unwritable, pipeline", {{kStub, Stub("v2")}}, true, true, L""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        InstallOld();
        ends_ = 0;
        ASSERT_TRUE(!c.blockScript || CreateDirectories(Script() + kPathSeparator));
        const PackageInfo info = Serve(c.items);
        if (c.pipeline) {
            EXPECT_FALSE(RunPipeline(info));
        } else {
            ASSERT_TRUE(Fetch(info));
            EXPECT_FALSE(ReplaceLauncher(*patcher_, install_.Path(), Staging(), How()));
        }
        EXPECT_EQ(0, ends_);
        EXPECT_EQ(PatcherState::Failed, patcher_->Status().State());
        const std::wstring message = patcher_->Status().Message();
        if (c.message.empty()) {
            const std::wstring prefix = kFailed + L" LastError(";
            EXPECT_EQ(prefix, message.substr(0, prefix.size())) << ToNarrow(message);
            EXPECT_NE(prefix + L"0)", message) << "the system's code of the refused open";
        } else {
            EXPECT_EQ(c.message, message);
        }
        EXPECT_EQ(c.blockScript, DirectoryExists(Script()));
        EXPECT_FALSE(!c.blockScript && FileExists(Script())) << "no script is written";
        EXPECT_EQ(Stub("v1"), At(kStub));
        EXPECT_EQ(oldConfig_, At("Config/launcherconfig.txt"));
        RemoveEmptyFolder(Script());
    }
    EXPECT_TRUE(Logged("[ERROR] Launcher self-update refused! Unsafe file name : " + refused));
}

// A replacement that cannot finish puts the old files and version back, keeps what was staged,
// and starts the old launcher again once per staged version: a second failure starts nothing.
TEST_F(SelfUpdateTest, FailedReplacementRestoresAndRestartsTheOldLauncherOnce) {
    for (const bool oldLauncherRuns : {true, false}) {
        SCOPED_TRACE(oldLauncherRuns ? "the old launcher never ends" : "no configuration");
        RemoveFile(install_ / L"started.txt");
        DeleteTree(patcher_->GetLogger(), install_ / L"Temp");
        InstallOld();
        ASSERT_TRUE(Fetch(Serve({{kStub, Stub("v2")}, {"data.dll", "new data"}})));
        if (!oldLauncherRuns) RemoveFile(install_ / L"Temp/launcherconfig.txt");
        // A shell script waits for this process; cmd.exe cannot delete an open executable.
        LauncherReplacement how = How(oldLauncherRuns ? 0 : kEndedProcess);
        how.waitSeconds = 2;
        std::unique_ptr<File> inUse;
        if (oldLauncherRuns && kBatch)
            inUse = std::make_unique<File>(install_ / ToWide(kStub), "rb");
        const std::string once = kBatch ? "v1\r\n" : "v1\n";
        for (int attempt = 1; attempt <= 2; ++attempt) {
            SCOPED_TRACE("attempt " + std::to_string(attempt));
            ends_ = 0;
            ReplaceAndWait(how);
            EXPECT_TRUE(attempt == 2 || WaitFor([&] { return At("started.txt") == once; }, 30));
            if (attempt == 2) std::this_thread::sleep_for(std::chrono::seconds(1));
            EXPECT_EQ(once, At("started.txt"));
            EXPECT_EQ(Stub("v1"), At(kStub));
            EXPECT_EQ("old data", At("data.dll"));
            EXPECT_EQ(oldConfig_, At("Config/launcherconfig.txt"));
            EXPECT_FALSE(FileExists(install_ / L"Config/launcherconfig.txt.new"));
            EXPECT_EQ((Tree{{kStub, Stub("v2")}, {"data.dll", "new data"}}), ReadTree(Staging()));
            EXPECT_EQ(oldLauncherRuns, FileExists(install_ / L"Temp/launcherconfig.txt"));
        }
    }
}

}  // namespace
}  // namespace velka
