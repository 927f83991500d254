// The transfer layer: HTTP transfers against a local server (success rule, log lines, limits),
// the transfer watch, and the worker pool (every task once, in order on one worker; shutdown
// waits for the running task, drops queued and late ones, and never hangs).
#include <gtest/gtest.h>

#include <future>
#include <thread>

#include "support/fixtures.h"
#include "support/scratch_log.h"
#include "support/test_server.h"
#include "transfer/http.h"
#include "transfer/worker_pool.h"

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

// Notes how often, when (by a shared count) and where it ran; a gate holds its worker until open.
struct Task {
    std::atomic<int>* clock;
    std::atomic<bool>* gate = nullptr;
    int ranAt = -1, runs = 0;
    std::thread::id thread{};
};

void RunTask(void* argument) noexcept {
    auto* task = static_cast<Task*>(argument);
    task->ranAt = (*task->clock)++;
    while (task->gate && !*task->gate) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    task->runs++;
    task->thread = std::this_thread::get_id();
}

// Runs `stop` on a thread of its own; true once it returned, false when it hangs for 10 s.
bool Returns(std::function<void()> stop) {
    auto returned = std::make_shared<std::atomic<bool>>(false);
    std::thread([stop, returned] { stop(), *returned = true; }).detach();
    return WaitFor([&] { return returned->load(); }, 10);
}

TEST(WorkerPoolTest, RunsEveryTaskOnceAndShutsDownCleanly) {
    for (int threads : {1, 2}) {
        std::unique_ptr<WorkerPool> pool = CreatePool(threads);
        std::atomic<int> clock{0};
        std::atomic<bool> open{false};
        Task hold{&clock, &open};
        SubmitTask(*pool, &RunTask, &hold);  // the queue fills behind a held worker
        std::vector<Task> tasks(400, Task{&clock});
        for (Task& task : tasks) SubmitTask(*pool, &RunTask, &task);
        open = true;
        EXPECT_TRUE(WaitFor([&] { return clock == 401; }, 10));
        ASSERT_TRUE(Returns([&] { ShutdownPool(std::move(pool)); }));
        for (size_t i = 0; i < tasks.size(); ++i) {
            const Task& t = tasks[i];
            EXPECT_TRUE(t.runs == 1 && t.thread != std::this_thread::get_id() &&
                        (threads > 1 || t.ranAt == static_cast<int>(i) + 1))
                << threads << " threads, task " << i << ": " << t.runs << " runs, at " << t.ranAt;
        }
    }

    // Shutdown waits for the running task and drops the queued one and one submitted meanwhile.
    std::unique_ptr<WorkerPool> pool = CreatePool(1);
    WorkerPool* raw = pool.get();  // alive until the held task ends
    std::atomic<int> clock{0};
    std::atomic<bool> open{false};
    Task hold{&clock, &open}, queued{&clock}, late{&clock};
    SubmitTask(*pool, &RunTask, &hold);
    EXPECT_TRUE(WaitFor([&] { return clock == 1; }, 10));
    SubmitTask(*pool, &RunTask, &queued);
    auto stopped = std::async(std::launch::async, [&] { ShutdownPool(std::move(pool)); });
    EXPECT_TRUE(WaitFor([&] { return raw->ShutdownRequested(); }, 10));
    SubmitTask(*raw, &RunTask, &late);
    EXPECT_EQ(std::future_status::timeout, stopped.wait_for(std::chrono::milliseconds(50)));
    open = true;
    stopped.get();
    EXPECT_EQ(1, clock.load()) << "a queued or late task ran";

    // A dropped pool stops its workers as well; a null one is no pool.
    EXPECT_TRUE(Returns([] { CreatePool(2); }));
    EXPECT_EQ(0, WorkerMain(nullptr));
    ShutdownPool(nullptr);
}

}  // namespace
}  // namespace velka
