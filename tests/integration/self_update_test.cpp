// HTTP transfers and the self-update against a local server; the console command line.
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

// The day-log line of a failed text fetch (no `url`) or file download.
std::string Line(const std::string& url, int code, int status) {
    return (url.empty() ? "[ERROR] Get Remote TextFile Failed! "
                        : "[ERROR] Download Binary file failed! url = " + url + "    ") +
           "CURL CODE = " + std::to_string(code) + " HttpStatusCode = " + std::to_string(status);
}

using Lines = std::vector<std::string>;

Lines Logged(const ScratchLog& log) {
    Lines lines;
    for (const LogLine& line : log.Lines()) lines.push_back(line.level + line.message);
    return lines;
}

class HttpTest : public ::testing::Test {
  protected:
    HttpTest() { settings_.maxTextBytes = 4096; }
    // `where` if it is a URL, else the URL of that path on the server; either replies `reply`.
    std::string Serve(const std::string& where, const Reply& reply) {
        server_.SetReply(where, reply);
        return where[0] == '/' ? server_.Url(where) : where;
    }

    TestServer server_;
    TransferSettings settings_ = FastSettings();
    const std::string dead_ = "http://127.0.0.1:" + std::to_string(UnusedLocalPort()) + "/x";
};

// Each reply fetched as text and as a file: success rule, log lines, codes, body, counters, proxy.
TEST_F(HttpTest, StatusesConnectionFaultsAndSchemes) {
    constexpr int kOk = -1, kScheme = -2;  // kScheme: 1, or 3 from a libcurl without file://
    const std::string body = VariedBytes(1000, 1);
    server_.SetFile("/final", body);
    const struct {
        std::string url;  // a path on the server, or a URL
        Reply reply;
        std::string arrived;
        int code, status;  // in the log lines
    } cases[] = {
        {"/200", Reply::Ok("two hundred"), "two hundred", kOk, 0},
        {"/226", Reply::WithStatus(226, "im used"), "im used", kOk, 0},
        {"/redirect", Reply::Redirect("/final", 302, "moved"), body, kOk, 0},
        {"http://mirror.invalid/via-proxy", Reply::Ok("proxied"), "proxied", kOk, 0},
        {"/404", Reply::WithStatus(404, "<html/>"), "<html/>", 0, 404},
        {"/cut-short", {200, body, {}, 0, 0, 400}, body.substr(0, 400), CURLE_PARTIAL_FILE, 200},
        {dead_, {}, "", CURLE_COULDNT_CONNECT, 0},
        {"/to-file", Reply::Redirect("file:///etc/passwd"), "", kScheme, 302},
        {"file:///etc/passwd", {}, "", kScheme, 0}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.url);
        const std::string url = Serve(c.url, c.reply);
        settings_.proxy = url.find("mirror.invalid") != std::string::npos ? server_.BaseUrl() : "";
        ScratchFolder folder("http_" + std::to_string(&c - cases));
        ScratchLog log(folder);
        Logger& logger = log.logger();
        std::string text = "before|";
        EXPECT_EQ(c.code == kOk, FetchRemoteText(url, &text, &logger, settings_));
        const int code = c.code == kScheme ? logger.LastCurlCode() : c.code;
        EXPECT_TRUE(c.code != kScheme || code == 1 || code == 3) << code;
        EXPECT_EQ(code, logger.LastCurlCode());
        const std::wstring target = folder / L"Game/sub dir/file.bin";
        std::atomic<int64_t> current{0}, total{5};
        localFaultFlag = true;
        EXPECT_EQ(c.code == kOk, DownloadToFile(url, target, &current, &total, &logger, settings_));
        EXPECT_EQ(c.code == kOk, localFaultFlag.load()) << "a failure clears it, a success not";
        EXPECT_EQ(std::make_pair(code, c.code == kOk ? -1 : c.status),
                  std::make_pair(logger.LastCurlCode(), logger.LastResponseCode()));
        EXPECT_EQ("before|" + c.arrived, text);
        EXPECT_EQ(c.arrived, Contents(target));
        const int64_t size = static_cast<int64_t>(c.arrived.size());
        EXPECT_EQ(std::make_pair(size, size + 5), std::make_pair(current.load(), total.load()));
        const Lines lines = {Line("", code, c.status), Line(url, code, c.status)};
        EXPECT_EQ(c.code == kOk ? Lines{} : lines, Logged(log));
    }
}

// The stall rule, the speed floor, the text size limit, and unopenable (local fault) or full
// targets.
TEST_F(HttpTest, LimitsAndUnwritableTargetsEndTransfers) {
    constexpr int kLocal = -3;
    const std::string big = VariedBytes(100000, 2);
    const struct {
        const char* name;
        bool file;  // DownloadToFile, else FetchRemoteText
        Reply reply;
        int code;
        const wchar_t* target = nullptr;  // instead of a file in the row's folder; "" the folder
    } cases[] = {
        {"silent after the headers", false, {200, "late", {}, 20000}, CURLE_ABORTED_BY_CALLBACK},
        {"trickling within the stall limit", false, {200, "0123456789", {}, 0, 20}, CURLE_OK},
        {"too slow", true, {200, big.substr(0, 20000), {}, 0, 200}, CURLE_OPERATION_TIMEDOUT},
        {"fast enough", true, {200, big.substr(0, 8000), {}, 0, 8000}, CURLE_OK},
        {"exactly 4096", false, Reply::Ok(big.substr(0, 4096)), CURLE_OK},
        {"announced 4097", false, Reply::Ok(big.substr(0, 4097)), CURLE_FILESIZE_EXCEEDED},
        {"unannounced 100000", false, {200, big, {}, 0, 0, -1, false}, CURLE_WRITE_ERROR},
        {"target is a folder", true, Reply::Ok("x"), kLocal, L""},
        {"disk full", true, Reply::Ok(big), CURLE_WRITE_ERROR, L"/dev/full"}};
    for (const auto& c : cases) {
        if (kWindowsHost && c.target && *c.target) continue;  // no /dev/full
        SCOPED_TRACE(c.name);
        const std::string path = "/limit" + std::to_string(&c - cases), url = Serve(path, c.reply);
        ScratchFolder folder("http_limit_" + std::to_string(&c - cases));
        ScratchLog log(folder);
        const std::wstring target =
            c.target ? (*c.target ? c.target : folder.Path()) : folder / L"f";
        std::string got;
        localFaultFlag = c.code != kLocal;
        const bool ok =
            c.file ? DownloadToFile(url, target, nullptr, nullptr, &log.logger(), settings_)
                   : FetchRemoteText(url, &got, &log.logger(), settings_);
        if (c.file && !c.target) got = Contents(target);
        EXPECT_EQ(c.code == CURLE_OK, ok);
        EXPECT_EQ(c.code == kLocal || !c.file || ok, localFaultFlag.load());
        EXPECT_EQ(c.code == kLocal ? 0u : 1u, server_.CountRequests(path));
        EXPECT_EQ(ok || c.code == kLocal ? -1 : c.code, log.logger().LastCurlCode());
        EXPECT_EQ(c.reply.body.substr(0, ok ? std::string::npos : got.size()), got);
        EXPECT_TRUE(ok || got.size() < (c.file ? c.reply.body.size() : 4097u)) << got.size();
        std::string line = Line(c.file ? url : "", c.code, 200);
        if (!c.file && c.reply.body.size() > 4096) line += " (text larger than 4096 bytes)";
        EXPECT_EQ(ok || c.code == kLocal ? Lines{} : Lines{line}, Logged(log));
    }
}

// Mirror lists: the first URL that succeeds wins, after one line per URL that failed before it.
TEST_F(HttpTest, MirrorListsTakeTheFirstUrlThatSucceeds) {
    ScratchFolder folder("http_lists");
    ScratchLog log(folder);
    const Lines urls = {Serve("/gone", Reply::WithStatus(404, "gone")), dead_,
                        Serve("/1", Reply::Ok("1")), Serve("/2", Reply::Ok("2"))};
    EXPECT_EQ("1", FetchFirstRemoteText(urls, &log.logger(), settings_));
    EXPECT_TRUE(DownloadFromFirstUrl(folder / L"T/l", urls, &log.logger(), settings_));
    EXPECT_EQ("1", Contents(folder / L"T/l"));
    EXPECT_EQ(4u, Logged(log).size());
    EXPECT_EQ(0u, server_.CountRequests("/2")) << "nothing is fetched after a success";
}

int64_t fakeNow = 0;

// A watch on a fake clock: counters follow the transfer, and silence beyond the limit aborts.
TEST(HttpTransferWatch, CountsProgressAndAbortsAStall) {
    const struct {
        int64_t nowMs, bytes, base, aborts, current, total;  // the call, its result, the counters
    } steps[] = {{60000, 0, 0, 0, 0, 1000},                  // silence of exactly the limit goes on
                 {60001, 0, 0, 1, 0, 1000},
                 {70000, 500, 0, 0, 500, 1500},  // growth restarts the clock
                 {129000, 0, 0, 0, 0, 1000},     // a fall (a followed redirect) is no growth
                 {130001, 0, 0, 1, 0, 1000},
                 {131000, 50, 300, 0, 350, 1350},  // bytes kept from an earlier attempt count once
                 {132000, 50, 300, 0, 350, 1350}};
    std::atomic<int64_t> current{-7}, total{1000};
    TransferWatch watch = MakeTransferWatch(&current, &total);  // the production stall limit
    watch.now = [] { return fakeNow; };
    watch.lastProgressMs = 0;
    for (const auto& s : steps) {
        fakeNow = s.nowMs;
        watch.base = s.base;
        const int64_t aborts = OnTransferProgress(&watch, 0, s.bytes, 0, 0);
        EXPECT_EQ((std::vector<int64_t>{s.aborts, s.current, s.total}),
                  (std::vector<int64_t>{aborts, current, total}))
            << "at " << s.nowMs;
    }
}

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
