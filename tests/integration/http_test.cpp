// The fetch and download primitives against the local test server, with shrunk time limits.
#include "transfer/http.h"

#include <gtest/gtest.h>

#include "support/fixtures.h"
#include "support/scratch_log.h"
#include "support/test_server.h"

namespace velka {
namespace {

using namespace testing_support;

std::string Codes(int code, int status) {
    return "CURL CODE = " + std::to_string(code) + " HttpStatusCode = " + std::to_string(status);
}

std::string FileLine(const std::string& url, int code, int status) {
    return "Download Binary file failed! url = " + url + "    " + Codes(code, status);
}

class HttpTest : public ::testing::Test {
  protected:
    HttpTest() {
        settings_.stallLimitMs = 400;
        settings_.maxTextBytes = 4096;
    }
    // A URL: `where` itself, or the server's URL of the path `where`, which replies `reply`.
    std::string Serve(const std::string& where, const Reply& reply) {
        server_.SetReply(where, reply);
        return where[0] == '/' ? server_.Url(where) : where;
    }
    // A fresh day log per row; the messages it got, all of them errors.
    std::vector<std::string> Errors() {
        std::vector<std::string> messages;
        for (const LogLine& line : log_->Lines()) {
            EXPECT_EQ("[ERROR] ", line.level) << line.message;
            messages.push_back(line.message);
        }
        return messages;
    }
    Logger* NewLog() {
        log_.reset();
        folder_ = std::make_unique<ScratchFolder>("http_" + std::to_string(++row_));
        log_ = std::make_unique<ScratchLog>(*folder_);
        return &log_->logger();
    }

    TestServer server_;
    TransferSettings settings_ = FastSettings();
    int row_ = 0;
    std::unique_ptr<ScratchFolder> folder_;
    std::unique_ptr<ScratchLog> log_;
    const std::string dead_ = "http://127.0.0.1:" + std::to_string(UnusedLocalPort()) + "/x";
};

// Each reply fetched as text and downloaded as a file: the success rule (CURLE_OK and 200 or
// 226), the day-log line with both codes, the logger's codes, what arrived (kept on failure), the
// byte counters, the local fault flag, folders created on the way and the configured proxy.
TEST_F(HttpTest, StatusesConnectionFaultsAndSchemes) {
    constexpr int kOk = -1, kScheme = -2;  // kScheme: 1, or 3 from a libcurl without file://
    const std::string body = VariedBytes(1000, 1);
    server_.SetFile("/final", body);
    const struct {
        const char* name;
        std::string url;  // a path on the server, or a URL
        Reply reply;
        std::string arrived;
        int code, status;  // in the log lines
    } cases[] = {
        {"200", "/200", Reply::Ok("two hundred"), "two hundred", kOk, 0},
        {"226", "/226", Reply::WithStatus(226, "im used"), "im used", kOk, 0},
        {"redirect", "/redirect", Reply::Redirect("/final", 302, "moved"), body, kOk, 0},
        {"proxy", "http://mirror.invalid/list.txt", Reply::Ok("proxied"), "proxied", kOk, 0},
        {"404 with a page", "/404", Reply::WithStatus(404, "<html/>"), "<html/>", 0, 404},
        {"302 without Location", "/302", Reply::WithStatus(302, "where?"), "where?", 0, 302},
        {"body cut short", "/cut", {200, body, {}, 0, 0, 400}, body.substr(0, 400), 18, 200},
        {"connection refused", dead_, {}, "", CURLE_COULDNT_CONNECT, 0},
        {"redirect to file://", "/to-file", Reply::Redirect("file:///etc/passwd"), "", kScheme,
         302},
        {"file:// asked", "file:///etc/passwd", {}, "", kScheme, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string url = Serve(c.url, c.reply);
        TransferSettings settings = settings_;
        if (c.url.find("mirror.invalid") != std::string::npos) settings.proxy = server_.BaseUrl();
        Logger* logger = NewLog();
        std::string text = "before|";
        const bool fetched = FetchRemoteText(url, &text, logger, settings);
        const int code = c.code == kScheme ? logger->LastCurlCode() : c.code;
        EXPECT_EQ(code, logger->LastCurlCode());
        EXPECT_EQ(c.code == kOk ? -1 : c.status, logger->LastResponseCode());
        const std::wstring target = *folder_ / L"Game/sub dir/file.bin";
        std::atomic<int64_t> current{0}, total{5};
        localFaultFlag = true;
        const bool downloaded = DownloadToFile(url, target, &current, &total, logger, settings);
        EXPECT_EQ(downloaded, localFaultFlag.load()) << "a failure clears it, a success keeps it";
        EXPECT_EQ(c.code == kOk, fetched);
        EXPECT_EQ(c.code == kOk, downloaded);
        EXPECT_TRUE(c.code != kScheme || code == 1 || code == 3) << code;
        EXPECT_EQ("before|" + c.arrived, text);
        EXPECT_EQ(c.arrived, Contents(target));
        EXPECT_EQ(static_cast<int64_t>(c.arrived.size()), current.load());
        EXPECT_EQ(static_cast<int64_t>(c.arrived.size()) + 5, total.load());
        std::vector<std::string> lines;
        if (c.code != kOk) {
            lines = {"Get Remote TextFile Failed! " + Codes(code, c.status),
                     FileLine(url, code, c.status)};
            // Without a logger a failure is only the result.
            EXPECT_FALSE(FetchRemoteText(url, &text, nullptr, settings));
            EXPECT_FALSE(DownloadToFile(url, target, nullptr, nullptr, nullptr, settings));
        }
        EXPECT_EQ(lines, Errors());
        EXPECT_EQ(c.code == kOk ? -1 : code, logger->LastCurlCode());
    }
}

// The stall rule, the speed floor of files and the size limit of text.
TEST_F(HttpTest, LimitsEndSilentSlowAndOversizedTransfers) {
    const std::string big = VariedBytes(100000, 2);
    const struct {
        const char* name;
        bool file;  // DownloadToFile, else FetchRemoteText
        Reply reply;
        int code;
    } cases[] = {
        {"silent after the headers", false, {200, "late", {}, 20000}, CURLE_ABORTED_BY_CALLBACK},
        {"trickling within the stall limit", false, {200, "0123456789", {}, 0, 20}, CURLE_OK},
        {"below the speed floor", true, {200, big.substr(0, 20000), {}, 0, 200}, 28},
        {"above the speed floor", true, {200, big.substr(0, 8000), {}, 0, 8000}, CURLE_OK},
        {"exactly the size limit", false, Reply::Ok(big.substr(0, 4096)), CURLE_OK},
        {"one byte over, announced", false, Reply::Ok(big.substr(0, 4097)), 63},
        {"far over, unannounced", false, {200, big, {}, 0, 0, -1, false}, CURLE_WRITE_ERROR},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string url = Serve("/limit" + std::to_string(row_), c.reply);
        Logger* logger = NewLog();
        std::string got;
        const std::wstring target = *folder_ / L"f.bin";
        const bool ok = c.file ? DownloadToFile(url, target, nullptr, nullptr, logger, settings_)
                               : FetchRemoteText(url, &got, logger, settings_);
        if (c.file) got = Contents(target);
        EXPECT_EQ(c.code == CURLE_OK, ok);
        EXPECT_EQ(c.reply.body.substr(0, ok ? std::string::npos : got.size()), got);
        EXPECT_TRUE(ok || got.size() < (c.file ? c.reply.body.size() : 4097u)) << got.size();
        std::vector<std::string> lines;
        if (!ok && c.file) lines = {FileLine(url, c.code, 200)};
        if (!ok && !c.file) lines = {"Get Remote TextFile Failed! " + Codes(c.code, 200)};
        if (c.code == 63 || c.code == CURLE_WRITE_ERROR)
            lines[0] += " (text larger than 4096 bytes)";
        EXPECT_EQ(lines, Errors());
    }
}

// Mirror lists: the first URL that succeeds wins with its body only; every failed URL before it
// leaves its line; an empty list logs nothing.
TEST_F(HttpTest, MirrorListsTakeTheFirstUrlThatSucceeds) {
    const std::string gone = Serve("/gone", Reply::WithStatus(404, "gone"));
    const std::string drop = Serve("/drop", Reply::Drop());
    const std::string first = Serve("/first", Reply::Ok("first"));
    const std::string second = Serve("/second", Reply::Ok("second"));
    const struct {
        std::vector<std::string> urls;
        std::string body;
        size_t failed;
    } cases[] = {
        {{}, "", 0}, {{gone, dead_}, "", 2}, {{gone, drop, dead_, first, second}, "first", 3}};
    for (const auto& c : cases) {
        Logger* logger = NewLog();
        EXPECT_EQ(c.body, FetchFirstRemoteText(c.urls, logger, settings_));
        const std::wstring target = *folder_ / L"Temp/list.txt";
        EXPECT_EQ(!c.body.empty(), DownloadFromFirstUrl(target, c.urls, logger, settings_));
        EXPECT_EQ(c.body, Contents(target));
        EXPECT_EQ(2 * c.failed, Errors().size());
    }
    EXPECT_EQ(0u, server_.CountRequests("/second")) << "nothing is fetched after a success";
}

// A target that cannot be opened is a local fault: no request, no line, the logger's codes left
// alone. A full disk fails the transfer with CURLE_WRITE_ERROR, while writing or only at close.
TEST_F(HttpTest, TargetsThatCannotBeWritten) {
    ScratchFolder folder("http_targets");
    ASSERT_TRUE(CreateDirectories(folder / L"in the way/"));
    const bool devFull = !kWindowsHost && std::filesystem::exists("/dev/full");
    const struct {
        std::wstring target;
        size_t size;
        bool localFault;
    } cases[] = {{folder / L"in the way", 10, true},
                 {L"/dev/full", 100, false},
                 {L"/dev/full", 200000, false}};
    for (const auto& c : cases) {
        if (!c.localFault && !devFull) continue;
        SCOPED_TRACE(ToNarrow(c.target) + " " + std::to_string(c.size));
        const std::string path = "/target" + std::to_string(row_);
        const std::string url = Serve(path, Reply::Ok(VariedBytes(c.size, 3)));
        Logger* logger = NewLog();
        localFaultFlag = !c.localFault;
        EXPECT_FALSE(DownloadToFile(url, c.target, nullptr, nullptr, logger, settings_));
        EXPECT_EQ(c.localFault, localFaultFlag.load());
        EXPECT_EQ(c.localFault ? 0u : 1u, server_.CountRequests(path));
        EXPECT_EQ(c.localFault ? -1 : CURLE_WRITE_ERROR, logger->LastCurlCode());
        std::vector<std::string> lines;
        if (!c.localFault) lines = {FileLine(url, CURLE_WRITE_ERROR, 200)};
        EXPECT_EQ(lines, Errors());
    }
}

}  // namespace
}  // namespace velka
