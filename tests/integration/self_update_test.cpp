// The launcher's self-update against a real mirror on 127.0.0.1 and real zip packages, and the
// replacement script run for real by the system's command interpreter (cmd.exe under Windows and
// Wine, /bin/sh elsewhere): which transfers happen, what is kept and deleted, what the player
// reads on failure, and that hostile file names never run as commands.
#include "patcher/self_update.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "patcher/file_lists.h"
#include "patcher/maintenance.h"
#include "patcher/patcher.h"
#include "platform/detached_script.h"
#include "platform/fs.h"
#include "platform/text.h"
#include "support/scratch_log.h"
#include "support/test_server.h"
#include "support/zip_builder.h"
#include "util/file_crc.h"

namespace velka {
namespace {

using testing_support::LogLine;
using testing_support::ReadLogLines;
using testing_support::Reply;
using testing_support::ScratchFolder;
using testing_support::TestServer;
using testing_support::WriteZip;
using testing_support::ZipFolder;
using testing_support::ZipItem;

const bool kBatch = kNativeScriptLanguage == ScriptLanguage::Batch;
const wchar_t kSelfUpdateFailed[] = L"程序更新失敗，請重啓後再試！";

// No process has this id (Linux keeps ids below 2^22), so a shell script's wait ends at once.
constexpr uint32_t kEndedProcess = 2147483647u;

TransferSettings FastSettings() {
    TransferSettings settings;
    settings.textConnectTimeoutMs = 2000;
    settings.fileConnectTimeoutMs = 2000;
    settings.lowSpeedTimeSeconds = 2;
    settings.stallLimitMs = 1000;
    return settings;
}

// A stand-in for a launcher: each start appends its version to "started.txt" in its current
// directory. A batch file on Windows, a shell script elsewhere.
std::string StubLauncherName() {
    return kBatch ? "VelkaStub.bat" : "velka-stub";
}
std::string StubLauncher(const std::string& version) {
    return kBatch ? "@echo off\r\necho " + version + ">> started.txt\r\n"
                  : "#!/bin/sh\necho " + version + " >> started.txt\n";
}

std::string Contents(const std::wstring& path) {
    std::string text;
    ReadFileBytes(path, &text);
    return text;
}

bool WaitFor(const std::function<bool()>& done, int seconds = 30) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (std::chrono::steady_clock::now() < deadline) {
        if (done()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return done();
}

// Every file name below `folder`, recursively, "/"-separated.
std::vector<std::string> TreeNames(const std::wstring& folder) {
    std::vector<std::string> names;
    std::error_code ec;
    const std::filesystem::path root(folder);
    for (std::filesystem::recursive_directory_iterator it(root, ec), end; !ec && it != end;
         it.increment(ec)) {
        names.push_back(it->path().lexically_relative(root).generic_u8string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

bool AnyNameContains(const std::wstring& folder, const std::string& part) {
    for (const std::string& name : TreeNames(folder)) {
        if (name.find(part) != std::string::npos) return true;
    }
    return false;
}

// Restores the current directory that starting a script changes: Windows cannot remove a folder
// that is some process's current directory.
class SelfUpdateTest : public ::testing::Test {
  protected:
    void SetUp() override {
        saved_ = std::filesystem::current_path();
        patcher_ = std::make_unique<Patcher>(install_.Path(), FastSettings());
        patcher_->GetLogger().Open(ToNarrow(install_ / L"test-log.txt"));
    }
    void TearDown() override {
        std::error_code ignored;
        std::filesystem::current_path(saved_, ignored);
        // A script still running would hold the scratch folder.
        WaitFor([&] { return !FileExists(ScriptPath()); }, 10);
    }

    std::wstring ScriptPath() const { return install_ / UpdaterScriptName(kNativeScriptLanguage); }
    std::wstring Staging() const { return install_ / L"Temp/LauncherUpdate"; }

    // Writes a package and returns its description as a configuration would publish it.
    PackageInfo MakePackage(const std::wstring& path, const std::vector<ZipItem>& items,
                            const std::string& name = "L.zip") {
        EXPECT_TRUE(CreateDirectories(path));
        EXPECT_TRUE(WriteZip(path, items));
        PackageInfo info;
        info.fileName = name;
        int64_t size = -1;
        info.crc = ComputeFileCrc(path, &size);
        info.packageSize = size;
        info.unpackedSize = 0;
        for (const ZipItem& item : items) info.unpackedSize += item.data.size();
        return info;
    }

    // The package's bytes, served by the mirror at /1.0.1/L.zip.
    PackageInfo ServePackage(const std::vector<ZipItem>& items, TestServer* server = nullptr) {
        const std::wstring built = scratch_ / L"built/L.zip";
        const PackageInfo info = MakePackage(built, items);
        (server ? server : &mirror_)->SetFile("/1.0.1/L.zip", Contents(built));
        return info;
    }

    std::vector<std::string> LogMessages() const {
        std::vector<std::string> messages;
        for (const LogLine& line : ReadLogLines(install_ / L"test-log.txt")) {
            messages.push_back(line.level + line.message);
        }
        return messages;
    }
    bool Logged(const std::string& line) const {
        const std::vector<std::string> messages = LogMessages();
        return std::find(messages.begin(), messages.end(), line) != messages.end();
    }

    // An installation of the stub launcher "v1" at version 1.0.0 with the configuration the
    // pipeline downloaded for 1.0.1 waiting in Temp.
    void InstallOldLauncher() {
        ASSERT_TRUE(WriteFileBytes(install_ / ToWide(StubLauncherName()), StubLauncher("v1")));
        ASSERT_TRUE(MarkExecutable(install_ / ToWide(StubLauncherName())));
        ASSERT_TRUE(CreateDirectories(install_ / L"Config/launcherconfig.txt"));
        ASSERT_TRUE(
            WriteFileBytes(install_ / L"Config/launcherconfig.txt", "launcherVersion=1.0.0\n"));
        ASSERT_TRUE(CreateDirectories(install_ / L"Temp/launcherconfig.txt"));
        ASSERT_TRUE(
            WriteFileBytes(install_ / L"Temp/launcherconfig.txt", "launcherVersion=1.0.1\n"));
    }

    LauncherReplacement Replacement() {
        LauncherReplacement how;
        how.launcherExe = StubLauncherName();
        how.processId = kEndedProcess;
        how.endProcess = [this] { ++ends_; };
        return how;
    }

    // Whether the stub of version "v2" was started, in the install folder.
    bool NewLauncherStarted() const {
        return WaitFor(
            [&] { return Contents(install_ / L"started.txt").find("v2") != std::string::npos; });
    }
    std::string OldLauncher() const { return StubLauncher("v1"); }

    // Runs the script for real and waits until it has deleted itself.
    void ReplaceAndWait(const LauncherReplacement& how) {
        ASSERT_TRUE(ReplaceLauncher(*patcher_, install_.Path(), Staging(), how))
            << ToNarrow(patcher_->Status().Message());
        EXPECT_EQ(1, ends_) << "the process is ended once the script runs";
        ASSERT_TRUE(WaitFor([&] { return !FileExists(ScriptPath()); }))
            << "the script did not finish:\n"
            << Contents(ScriptPath());
    }

    ScratchFolder install_{"selfupd"};
    ScratchFolder scratch_{"selfupd_src"};
    TestServer mirror_;
    std::unique_ptr<Patcher> patcher_;
    std::filesystem::path saved_;
    int ends_ = 0;
};

// ----- Fetching and verifying the package ---------------------------------------------------

TEST_F(SelfUpdateTest, PackageIsFetchedOnlyWhenTempHasNoCopyWithTheRightCrc) {
    const std::vector<ZipItem> items = {{"VelkaStub.bat", "new launcher"}, {"data.dll", "data"}};
    const PackageInfo info = ServePackage(items);
    const struct {
        const char* name;
        std::string inTemp;  // what lies in Temp\L.zip before, "" for nothing
        size_t requests;
    } cases[] = {
        {"no copy", "", 1},
        {"right copy", Contents(scratch_ / L"built/L.zip"), 0},
        {"stale copy", "PK truncated", 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TestServer server;
        server.SetFile("/1.0.1/L.zip", Contents(scratch_ / L"built/L.zip"));
        RemoveFile(install_ / L"Temp/L.zip");
        if (!c.inTemp.empty()) {
            ASSERT_TRUE(CreateDirectories(install_ / L"Temp/L.zip"));
            ASSERT_TRUE(WriteFileBytes(install_ / L"Temp/L.zip", c.inTemp));
        }
        EXPECT_TRUE(UpdateLauncher(*patcher_, install_.Path(), {server.Url("1.0.1/L.zip")}, info))
            << ToNarrow(patcher_->Status().Message());
        EXPECT_EQ(c.requests, server.CountRequests("/1.0.1/L.zip"));
        EXPECT_EQ(PatcherState::DownloadingFiles, patcher_->Status().State());
        EXPECT_EQ(L"正在更新啓動器", patcher_->Status().Message());
        EXPECT_EQ(L"L.zip", patcher_->Status().CurrentFileName());
        EXPECT_EQ(info.packageSize, patcher_->Status().bytesTotal.load());
        EXPECT_EQ(1, patcher_->Status().filesTotal.load());
        EXPECT_EQ("new launcher", Contents(JoinPath(Staging(), L"VelkaStub.bat")));
        EXPECT_EQ("data", Contents(JoinPath(Staging(), L"data.dll")));
        EXPECT_EQ(info.crc, ComputeFileCrc(install_ / L"Temp/L.zip")) << "the package stays";
    }
}

TEST_F(SelfUpdateTest, StagingFolderIsEmptiedBeforeUnpacking) {
    const PackageInfo info = ServePackage({{"VelkaStub.bat", "new"}});
    ASSERT_TRUE(CreateDirectories(JoinPath(Staging(), L"left/over.dll")));
    ASSERT_TRUE(WriteFileBytes(JoinPath(Staging(), L"left/over.dll"), "old"));
    ASSERT_TRUE(WriteFileBytes(JoinPath(Staging(), L"stale.dll"), "old"));
    ASSERT_TRUE(UpdateLauncher(*patcher_, install_.Path(), {mirror_.Url("1.0.1/L.zip")}, info));
    EXPECT_EQ(std::vector<std::string>{"VelkaStub.bat"}, TreeNames(Staging()));
}

TEST_F(SelfUpdateTest, WrongCrcDownloadIsDeletedAndTheNextUrlTried) {
    TestServer good;
    const PackageInfo info = ServePackage({{"VelkaStub.bat", "new"}}, &good);
    mirror_.SetFile("/1.0.1/L.zip", "not the package");
    const std::string badCrc = [&] {
        const std::wstring probe = scratch_ / L"probe.bin";
        WriteFileBytes(probe, "not the package");
        return ComputeFileCrc(probe);
    }();

    ASSERT_TRUE(UpdateLauncher(*patcher_, install_.Path(),
                               {mirror_.Url("1.0.1/L.zip"), good.Url("1.0.1/L.zip")}, info));
    EXPECT_EQ(1u, mirror_.CountRequests("/1.0.1/L.zip"));
    EXPECT_EQ(1u, good.CountRequests("/1.0.1/L.zip"));
    const std::vector<std::string> log = LogMessages();
    const auto first =
        std::find(log.begin(), log.end(),
                  "[INFO] Download launcher self-update files finish crc = " + badCrc);
    const auto second =
        std::find(log.begin(), log.end(),
                  "[INFO] Download launcher self-update files finish crc = " + info.crc);
    EXPECT_TRUE(first != log.end() && second != log.end() && first < second)
        << "each download's CRC is logged, in order";
    EXPECT_EQ(info.crc, ComputeFileCrc(install_ / L"Temp/L.zip"));
}

TEST_F(SelfUpdateTest, OnlyProblemACrcMismatchShowsNoTransferCodes) {
    PackageInfo info = ServePackage({{"VelkaStub.bat", "new"}});
    info.crc = "0BADC0DE";
    EXPECT_FALSE(UpdateLauncher(*patcher_, install_.Path(), {mirror_.Url("1.0.1/L.zip")}, info));
    EXPECT_EQ(std::wstring(kSelfUpdateFailed) + L" CURLCODE(-1) HTTP STATUES CODE(-1)",
              patcher_->Status().Message());
    EXPECT_EQ(PatcherState::DownloadingFiles, patcher_->Status().State())
        << "the pipeline sets Failed";
    EXPECT_FALSE(FileExists(install_ / L"Temp/L.zip")) << "a package with a wrong CRC is deleted";
    EXPECT_FALSE(DirectoryExists(Staging()) && !TreeNames(Staging()).empty());
}

TEST_F(SelfUpdateTest, LowerCasePublishedCrcNeverMatches) {
    // Content whose CRC has a letter in it, so that lower case differs.
    std::string data = "launcher";
    PackageInfo info;
    for (int i = 0;; ++i) {
        info = ServePackage({{"VelkaStub.bat", data + std::to_string(i)}});
        if (info.crc.find_first_of("ABCDEF") != std::string::npos) break;
    }
    for (char& c : info.crc) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    TestServer second;
    second.SetFile("/1.0.1/L.zip", Contents(scratch_ / L"built/L.zip"));

    EXPECT_FALSE(UpdateLauncher(*patcher_, install_.Path(),
                                {mirror_.Url("1.0.1/L.zip"), second.Url("1.0.1/L.zip")}, info));
    EXPECT_EQ(1u, mirror_.CountRequests("/1.0.1/L.zip")) << "every URL is downloaded";
    EXPECT_EQ(1u, second.CountRequests("/1.0.1/L.zip"));
    EXPECT_FALSE(FileExists(install_ / L"Temp/L.zip")) << "every download is deleted again";
}

TEST_F(SelfUpdateTest, EveryMirrorFailingShowsTheLastTransferCodes) {
    const PackageInfo info = ServePackage({{"VelkaStub.bat", "new"}});
    TestServer missing;
    missing.SetReply("/1.0.1/L.zip", Reply::WithStatus(404, "gone"));
    EXPECT_FALSE(UpdateLauncher(*patcher_, install_.Path(), {missing.Url("1.0.1/L.zip")}, info));
    EXPECT_EQ(std::wstring(kSelfUpdateFailed) + L" CURLCODE(0) HTTP STATUES CODE(404)",
              patcher_->Status().Message());
}

TEST_F(SelfUpdateTest, PackageEntriesThatClimbOutAreRefusedWhole) {
    for (const char* hostile : {"../escaped.dll", "../../escaped.dll", "/escaped.dll"}) {
        SCOPED_TRACE(hostile);
        TestServer server;
        const PackageInfo info =
            ServePackage({{"VelkaStub.bat", "new"}, {hostile, "evil"}}, &server);
        RemoveFile(install_ / L"Temp/L.zip");
        EXPECT_FALSE(UpdateLauncher(*patcher_, install_.Path(), {server.Url("1.0.1/L.zip")}, info));
        EXPECT_EQ(std::wstring(kSelfUpdateFailed) + L" LastError(0)", patcher_->Status().Message());
        EXPECT_TRUE(
            Logged("[ERROR] Unzip failed! Unzip path : " + ToNarrow(install_ / L"Temp/L.zip") +
                   " Zip path : " + ToNarrow(Staging()) + " ErrorCode = 0"));
        EXPECT_FALSE(AnyNameContains(install_.Path(), "escaped"));
        EXPECT_FALSE(AnyNameContains(Staging(), "VelkaStub")) << "nothing of it is unpacked";
    }
}

TEST_F(SelfUpdateTest, PackageNameThatLeavesTempIsNotFetched) {
    PackageInfo info = ServePackage({{"VelkaStub.bat", "new"}});
    for (const char* name : {"../L.zip", "..\\..\\L.zip", "C:L.zip", "/tmp/L.zip"}) {
        info.fileName = name;
        EXPECT_FALSE(UpdateLauncher(*patcher_, install_.Path(), {mirror_.Url("1.0.1/L.zip")}, info))
            << name;
        EXPECT_EQ(std::wstring(kSelfUpdateFailed) + L" CURLCODE(-1) HTTP STATUES CODE(-1)",
                  patcher_->Status().Message());
    }
    EXPECT_TRUE(mirror_.Requests().empty());
}

// ----- The replacement script ---------------------------------------------------------------

TEST_F(SelfUpdateTest, ScriptSwapsTheFilesAndStartsTheNewLauncher) {
    InstallOldLauncher();
    ASSERT_TRUE(WriteFileBytes(install_ / L"data.dll", "old data"));
    const PackageInfo info = ServePackage({{StubLauncherName(), StubLauncher("v2")},
                                           {"data.dll", "new data"},
                                           {"extra.pak", "extra"},
                                           ZipFolder("plugins/"),
                                           {"plugins/inner.dll", "inner"}});
    ASSERT_TRUE(UpdateLauncher(*patcher_, install_.Path(), {mirror_.Url("1.0.1/L.zip")}, info));
    ReplaceAndWait(Replacement());

    EXPECT_EQ(StubLauncher("v2"), Contents(install_ / ToWide(StubLauncherName())));
    EXPECT_EQ("new data", Contents(install_ / L"data.dll"));
    EXPECT_EQ("extra", Contents(install_ / L"extra.pak"));
    EXPECT_EQ("launcherVersion=1.0.1\n", Contents(install_ / L"Config/launcherconfig.txt"))
        << "the downloaded configuration is installed";
    EXPECT_FALSE(FileExists(install_ / L"Temp/launcherconfig.txt"));
    EXPECT_TRUE(NewLauncherStarted()) << "the new launcher was started in the install folder";
    // Sub-folders are not copied, so the staging folder keeps them and is not removed.
    EXPECT_FALSE(DirectoryExists(install_ / L"plugins"));
    EXPECT_FALSE(FileExists(install_ / L"inner.dll"));
    EXPECT_EQ((std::vector<std::string>{"plugins", "plugins/inner.dll"}), TreeNames(Staging()));
    EXPECT_EQ(PatcherState::DownloadingFiles, patcher_->Status().State());
}

TEST_F(SelfUpdateTest, ScriptRemovesTheEmptiedStagingFolder) {
    InstallOldLauncher();
    const PackageInfo info = ServePackage({{StubLauncherName(), StubLauncher("v2")}});
    ASSERT_TRUE(UpdateLauncher(*patcher_, install_.Path(), {mirror_.Url("1.0.1/L.zip")}, info));
    ReplaceAndWait(Replacement());
    EXPECT_FALSE(DirectoryExists(Staging()));
    EXPECT_EQ(StubLauncher("v2"), Contents(install_ / ToWide(StubLauncherName())));
}

TEST_F(SelfUpdateTest, HostileFileNamesAreCopiedAndNeverRun) {
    InstallOldLauncher();
    // Names Windows can hold as well as POSIX; the POSIX-only ones follow.
    std::vector<std::string> names = {"x&copy nul canary1.txt", "a b (1).dll", "c,d;e=f!g^h+i.dll",
                                      "j&&copy nul canary2.txt&&k", "-rf"};
    if (!kBatch) {
        for (const char* name :
             {"x&echo INJ>canary3.txt", "$(touch canary4.txt)", "`touch canary5.txt`",
              "y;touch canary6.txt", "a|b<c>d", "q\"uote"}) {
            names.push_back(name);
        }
    }
    std::vector<ZipItem> items = {{StubLauncherName(), StubLauncher("v2")}};
    for (size_t i = 0; i < names.size(); ++i)
        items.push_back({names[i], "file " + std::to_string(i)});
    const PackageInfo info = ServePackage(items);
    ASSERT_TRUE(UpdateLauncher(*patcher_, install_.Path(), {mirror_.Url("1.0.1/L.zip")}, info))
        << ToNarrow(patcher_->Status().Message());
    ReplaceAndWait(Replacement());
    ASSERT_TRUE(NewLauncherStarted());

    for (size_t i = 0; i < names.size(); ++i) {
        EXPECT_EQ("file " + std::to_string(i), Contents(install_ / ToWide(names[i])))
            << "copied under its own name: " << names[i];
    }
    for (const std::string& name : TreeNames(install_.Path())) {
        EXPECT_NE(0u, name.rfind("canary", 0)) << "a name ran as a command: " << name;
        EXPECT_NE("INJ", name);
    }
}

TEST_F(SelfUpdateTest, NameNoQuotingMakesSafeFailsBeforeAnythingIsWritten) {
    InstallOldLauncher();
    const std::string refused = kBatch ? "100%PATH%.dll" : "it's.so";
    const PackageInfo info =
        ServePackage({{StubLauncherName(), StubLauncher("v2")}, {refused, "x"}});
    ASSERT_TRUE(UpdateLauncher(*patcher_, install_.Path(), {mirror_.Url("1.0.1/L.zip")}, info));
    EXPECT_FALSE(ReplaceLauncher(*patcher_, install_.Path(), Staging(), Replacement()));
    EXPECT_EQ(0, ends_) << "the launcher stays";
    EXPECT_EQ(PatcherState::Failed, patcher_->Status().State());
    EXPECT_EQ(kSelfUpdateFailed, patcher_->Status().Message());
    EXPECT_FALSE(FileExists(ScriptPath())) << "no script is written";
    EXPECT_EQ(OldLauncher(), Contents(install_ / ToWide(StubLauncherName())));
    EXPECT_EQ("launcherVersion=1.0.0\n", Contents(install_ / L"Config/launcherconfig.txt"));
    EXPECT_TRUE(Logged("[ERROR] Launcher self-update refused! Unsafe file name : " + refused));
}

TEST_F(SelfUpdateTest, PackageWithoutTheRunningLauncherIsRefused) {
    InstallOldLauncher();
    const PackageInfo info = ServePackage({{"VELKALauncher.exe", "a window launcher"}});
    ASSERT_TRUE(UpdateLauncher(*patcher_, install_.Path(), {mirror_.Url("1.0.1/L.zip")}, info));
    EXPECT_FALSE(ReplaceLauncher(*patcher_, install_.Path(), Staging(), Replacement()));
    EXPECT_EQ(0, ends_);
    EXPECT_EQ(kSelfUpdateFailed, patcher_->Status().Message());
    EXPECT_FALSE(FileExists(ScriptPath()));
    EXPECT_EQ(OldLauncher(), Contents(install_ / ToWide(StubLauncherName())))
        << "the installed launcher is kept, not deleted for nothing";
}

TEST_F(SelfUpdateTest, ScriptThatCannotBeWrittenLeavesTheLauncherUsable) {
    InstallOldLauncher();
    const PackageInfo info = ServePackage({{StubLauncherName(), StubLauncher("v2")}});
    ASSERT_TRUE(UpdateLauncher(*patcher_, install_.Path(), {mirror_.Url("1.0.1/L.zip")}, info));
    // A folder in the script's place: it cannot be opened for writing.
    ASSERT_TRUE(CreateDirectories(ScriptPath() + kPathSeparator));

    EXPECT_FALSE(ReplaceLauncher(*patcher_, install_.Path(), Staging(), Replacement()));
    EXPECT_EQ(0, ends_) << "nothing is started and the process goes on";
    EXPECT_EQ(PatcherState::Failed, patcher_->Status().State());
    const std::wstring message = patcher_->Status().Message();
    const std::wstring prefix = std::wstring(kSelfUpdateFailed) + L" LastError(";
    ASSERT_EQ(prefix, message.substr(0, prefix.size())) << ToNarrow(message);
    EXPECT_EQ(L')', message.back());
    EXPECT_NE(L"0", message.substr(prefix.size(), message.size() - prefix.size() - 1))
        << "the system's code of the refused open";
    EXPECT_TRUE(DirectoryExists(ScriptPath()));
    EXPECT_EQ(OldLauncher(), Contents(install_ / ToWide(StubLauncherName())));
    RemoveEmptyFolder(ScriptPath());
}

// The old launcher still running: on Windows its executable held open without delete sharing,
// as a running executable is; elsewhere a process whose id the shell script polls.
class RunningOldLauncher {
  public:
    RunningOldLauncher(const std::wstring& exe, const std::wstring& scratch)
        : release_(scratch + kPathSeparator + L"release") {
        if (kBatch) {
            inUse_ = std::make_unique<File>(exe, "rb");
            return;
        }
        const std::wstring pidFile = scratch + kPathSeparator + L"pid.txt";
        const std::string command = "sh -c 'echo $$ > \"" + ToNarrow(pidFile) +
                                    "\"; while [ ! -f \"" + ToNarrow(release_) +
                                    "\" ]; do sleep 0.05; done'";
        process_ = std::thread([command] { std::system(command.c_str()); });
        if (WaitFor([&] { return !Contents(pidFile).empty(); })) {
            processId_ = static_cast<uint32_t>(std::stoul(Contents(pidFile)));
        }
    }
    ~RunningOldLauncher() { Release(); }

    bool Running() const { return kBatch ? static_cast<bool>(*inUse_) : processId_ != 0; }
    uint32_t ProcessId() const { return processId_; }
    void Release() {
        inUse_.reset();
        if (process_.joinable()) {
            WriteFileBytes(release_, "");
            process_.join();
        }
    }

  private:
    std::wstring release_;
    std::unique_ptr<File> inUse_;
    std::thread process_;
    uint32_t processId_ = kEndedProcess;
};

TEST_F(SelfUpdateTest, ScriptWaitsForTheOldLauncherToEndBeforeItReplacesAnything) {
    InstallOldLauncher();
    const PackageInfo info = ServePackage({{StubLauncherName(), StubLauncher("v2")}});
    ASSERT_TRUE(UpdateLauncher(*patcher_, install_.Path(), {mirror_.Url("1.0.1/L.zip")}, info));
    RunningOldLauncher old(install_ / ToWide(StubLauncherName()), scratch_.Path());
    ASSERT_TRUE(old.Running());
    LauncherReplacement how = Replacement();
    how.processId = old.ProcessId();
    EXPECT_TRUE(ReplaceLauncher(*patcher_, install_.Path(), Staging(), how));
    // The old launcher is copied aside before the wait begins.
    EXPECT_TRUE(WaitFor([&] {
        return Contents(JoinPath(install_ / L"Temp/LauncherBackup", ToWide(StubLauncherName()))) ==
               OldLauncher();
    }));
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    EXPECT_TRUE(FileExists(ScriptPath())) << "the script is still waiting";
    EXPECT_EQ(OldLauncher(), Contents(install_ / ToWide(StubLauncherName())))
        << "replaced while the old launcher still ran";
    EXPECT_EQ("launcherVersion=1.0.0\n", Contents(install_ / L"Config/launcherconfig.txt"))
        << "the new version is recorded before the new launcher is in place";

    old.Release();
    EXPECT_TRUE(WaitFor([&] { return !FileExists(ScriptPath()); }));
    EXPECT_EQ(StubLauncher("v2"), Contents(install_ / ToWide(StubLauncherName())));
    EXPECT_TRUE(kBatch || IsExecutableFile(install_ / ToWide(StubLauncherName())));
    EXPECT_EQ("launcherVersion=1.0.1\n", Contents(install_ / L"Config/launcherconfig.txt"));
    EXPECT_FALSE(DirectoryExists(install_ / L"Temp/LauncherBackup"));
}

// A replacement that cannot finish leaves the old launcher, its files and its recorded version,
// keeps what was staged, and starts the old launcher again, once per staged version: a second
// failure of the same version starts nothing.
TEST_F(SelfUpdateTest, FailedReplacementRestoresTheOldLauncherAndRestartsItOnce) {
    const struct {
        const char* name;
        bool oldLauncherKeepsRunning;  // the wait gives up
        bool configMissing;            // installing the configuration fails after the copies
    } cases[] = {
        {"the old launcher never ends", true, false},
        {"the configuration cannot be installed", false, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ScratchFolder scratch{"selfupd_case"};
        RemoveFile(install_ / L"started.txt");
        DeleteTree(patcher_->GetLogger(), install_ / L"Temp");
        InstallOldLauncher();
        ASSERT_TRUE(WriteFileBytes(install_ / L"data.dll", "old data"));
        const PackageInfo info =
            ServePackage({{StubLauncherName(), StubLauncher("v2")}, {"data.dll", "new data"}});
        ASSERT_TRUE(UpdateLauncher(*patcher_, install_.Path(), {mirror_.Url("1.0.1/L.zip")}, info));
        if (c.configMissing) RemoveFile(install_ / L"Temp/launcherconfig.txt");
        std::unique_ptr<RunningOldLauncher> old;
        LauncherReplacement how = Replacement();
        how.waitSeconds = 2;
        if (c.oldLauncherKeepsRunning) {
            old = std::make_unique<RunningOldLauncher>(install_ / ToWide(StubLauncherName()),
                                                       scratch.Path());
            ASSERT_TRUE(old->Running());
            how.processId = old->ProcessId();
        }
        for (int attempt = 1; attempt <= 2; ++attempt) {
            SCOPED_TRACE("attempt " + std::to_string(attempt));
            ReplaceAndWait(how);
            ends_ = 0;
            const std::string startedOnce = kBatch ? "v1\r\n" : "v1\n";
            if (attempt == 1) {
                // The script may still be writing the line when the file appears.
                EXPECT_TRUE(WaitFor([&] {
                    return Contents(install_ / L"started.txt") == startedOnce;
                })) << "the old launcher is started again";
            } else {
                std::this_thread::sleep_for(std::chrono::milliseconds(1000));
            }
            EXPECT_EQ(startedOnce, Contents(install_ / L"started.txt"));
            EXPECT_EQ(OldLauncher(), Contents(install_ / ToWide(StubLauncherName())));
            EXPECT_EQ("old data", Contents(install_ / L"data.dll"));
            EXPECT_EQ("launcherVersion=1.0.0\n", Contents(install_ / L"Config/launcherconfig.txt"));
            EXPECT_FALSE(FileExists(install_ / L"Config/launcherconfig.txt.new"));
            std::vector<std::string> staged = {StubLauncherName(), "data.dll"};
            std::sort(staged.begin(), staged.end());
            EXPECT_EQ(staged, TreeNames(Staging())) << "the staged files are kept for the next try";
            EXPECT_EQ(!c.configMissing, FileExists(install_ / L"Temp/launcherconfig.txt"));
        }
    }
}

// ----- Through the pipeline -----------------------------------------------------------------

class SelfUpdatePipelineTest : public SelfUpdateTest {
  protected:
    std::string LauncherConfig(const std::string& version, const std::string& zipInfo) {
        return "launcherVersion=" + version + "\nremoteURLs=" + mirror_.BaseUrl() +
               "\nlauncherZipInfo=" + zipInfo + "\n";
    }
};

TEST_F(SelfUpdatePipelineTest, NewerLauncherIsFetchedSwappedAndStarted) {
    InstallOldLauncher();
    RemoveFile(install_ / L"Temp/launcherconfig.txt");  // the run downloads its own
    const PackageInfo info = ServePackage({{StubLauncherName(), StubLauncher("v2")}});
    const std::string published =
        LauncherConfig("1.0.1", "L.zip$" + std::to_string(info.unpackedSize) + "$" +
                                    std::to_string(info.packageSize) + "$" + info.crc);
    mirror_.SetFile("/launcherconfig.txt", published);
    ASSERT_TRUE(
        WriteFileBytes(install_ / L"Config/launcherconfig.txt", LauncherConfig("1.0.0", "")));
    patcher_->SetSelfUpdater(MakeSelfUpdater(Replacement()));

    patcher_->Run("http://127.0.0.1:1/unused/");
    EXPECT_EQ(1, ends_) << "the process is ended after the script starts";
    ASSERT_TRUE(WaitFor([&] { return !FileExists(ScriptPath()); }));
    EXPECT_EQ(published, Contents(install_ / L"Config/launcherconfig.txt"));
    EXPECT_EQ(StubLauncher("v2"), Contents(install_ / ToWide(StubLauncherName())));
    EXPECT_TRUE(NewLauncherStarted());
    EXPECT_EQ(1u, mirror_.CountRequests("/1.0.1/L.zip"));
    EXPECT_EQ(0u, mirror_.CountRequests("/serverconfig.txt")) << "the game waits for the new run";
}

TEST_F(SelfUpdatePipelineTest, UnwritableScriptFailsTheRunWithItsOwnMessage) {
    InstallOldLauncher();
    RemoveFile(install_ / L"Temp/launcherconfig.txt");
    const PackageInfo info = ServePackage({{StubLauncherName(), StubLauncher("v2")}});
    mirror_.SetFile("/launcherconfig.txt",
                    LauncherConfig("1.0.1", "L.zip$" + std::to_string(info.unpackedSize) + "$" +
                                                std::to_string(info.packageSize) + "$" + info.crc));
    ASSERT_TRUE(
        WriteFileBytes(install_ / L"Config/launcherconfig.txt", LauncherConfig("1.0.0", "")));
    ASSERT_TRUE(CreateDirectories(ScriptPath() + kPathSeparator));
    patcher_->SetSelfUpdater(MakeSelfUpdater(Replacement()));

    EXPECT_FALSE(patcher_->Run("http://127.0.0.1:1/unused/"));
    EXPECT_EQ(0, ends_);
    EXPECT_EQ(PatcherState::Failed, patcher_->Status().State());
    const std::wstring prefix = std::wstring(kSelfUpdateFailed) + L" LastError(";
    EXPECT_EQ(prefix, patcher_->Status().Message().substr(0, prefix.size()));
    EXPECT_EQ(LauncherConfig("1.0.0", ""), Contents(install_ / L"Config/launcherconfig.txt"));
    RemoveEmptyFolder(ScriptPath());
}

}  // namespace
}  // namespace velka
