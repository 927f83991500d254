// The fetch and download primitives against a real HTTP server on 127.0.0.1, with shrunk time
// limits.
#include "transfer/http.h"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "platform/fs.h"
#include "platform/text.h"
#include "support/scratch_log.h"
#include "support/test_server.h"
#include "transfer/curl_easy.h"

namespace velka {
namespace {

using testing_support::LogLine;
using testing_support::Reply;
using testing_support::ScratchFolder;
using testing_support::ScratchLog;
using testing_support::TestServer;
using testing_support::UnusedLocalPort;

TransferSettings FastSettings() {
    TransferSettings settings;
    settings.textConnectTimeoutMs = 3000;
    settings.fileConnectTimeoutMs = 3000;
    settings.lowSpeedLimitBytes = 1000;
    settings.lowSpeedTimeSeconds = 1;
    settings.retryLowSpeedTimeSeconds = 2;
    settings.stallLimitMs = 400;
    settings.maxTextBytes = 4096;
    return settings;
}

std::string TextFetchLine(int code, int status) {
    return "Get Remote TextFile Failed! CURL CODE = " + std::to_string(code) +
           " HttpStatusCode = " + std::to_string(status);
}

std::string DownloadLine(const std::string& url, int code, int status) {
    return "Download Binary file failed! url = " + url + "    CURL CODE = " + std::to_string(code) +
           " HttpStatusCode = " + std::to_string(status);
}

std::vector<std::string> ErrorMessages(const ScratchLog& log) {
    std::vector<std::string> messages;
    for (const LogLine& line : log.Lines()) {
        EXPECT_EQ("[ERROR] ", line.level) << "unexpected line: " << line.message;
        messages.push_back(line.message);
    }
    return messages;
}

// A scheme other than http and https is refused as unsupported (1); a libcurl built without
// file:// support already rejects such a redirect target as a malformed URL (3).
bool SchemeRefused(int code) {
    return code == CURLE_UNSUPPORTED_PROTOCOL || code == CURLE_URL_MALFORMAT;
}

std::string Pattern(size_t size) {
    std::string text;
    for (size_t i = 0; i < size; ++i) text += static_cast<char>('a' + i % 26);
    return text;
}

class HttpTest : public ::testing::Test {
  protected:
    std::string FileContents(const std::wstring& path) {
        std::string contents;
        EXPECT_TRUE(ReadFileBytes(path, &contents)) << ToNarrow(path);
        return contents;
    }

    ScratchFolder scratch_{"http"};
    TestServer server_;
    TransferSettings settings_ = FastSettings();
};

// One reply per row, fetched as text and downloaded as a file, each with a logger of its own.
struct StatusCase {
    const char* name;
    Reply reply;
    bool succeeds;
    int code;    // expected in the log line and the logger
    int status;  // ditto
};

std::vector<StatusCase> StatusCases() {
    Reply noLocation = Reply::WithStatus(302, "moved, but where?");
    return {
        {"200", Reply::Ok("body of 200"), true, 0, 0},
        {"226", Reply::WithStatus(226, "body of 226"), true, 0, 0},
        {"404 with a page", Reply::WithStatus(404, "<html>no such file</html>"), false, 0, 404},
        {"500", Reply::WithStatus(500, "server trouble"), false, 0, 500},
        {"201", Reply::WithStatus(201, "created"), false, 0, 201},
        {"302 without Location", noLocation, false, 0, 302},
    };
}

TEST_F(HttpTest, FetchRemoteTextAppliesTheSuccessRuleAndKeepsErrorPages) {
    int row = 0;
    for (const StatusCase& c : StatusCases()) {
        ScratchFolder folder("http_text_" + std::to_string(row++));
        ScratchLog log(folder);
        server_.SetReply("/list.txt", c.reply);
        std::string out = "before|";

        EXPECT_EQ(c.succeeds,
                  FetchRemoteText(server_.Url("list.txt"), &out, &log.logger(), settings_))
            << c.name;
        EXPECT_EQ("before|" + c.reply.body, out) << c.name << ": the body is appended either way";
        if (c.succeeds) {
            EXPECT_TRUE(ErrorMessages(log).empty()) << c.name;
            EXPECT_EQ(-1, log.logger().LastCurlCode()) << c.name;
        } else {
            EXPECT_EQ(std::vector<std::string>{TextFetchLine(c.code, c.status)}, ErrorMessages(log))
                << c.name;
            EXPECT_EQ(c.code, log.logger().LastCurlCode()) << c.name;
            EXPECT_EQ(c.status, log.logger().LastResponseCode()) << c.name;
        }
    }
}

TEST_F(HttpTest, DownloadToFileAppliesTheSuccessRuleAndCountsTheBody) {
    int row = 0;
    for (const StatusCase& c : StatusCases()) {
        ScratchFolder folder("http_file_" + std::to_string(row++));
        ScratchLog log(folder);
        server_.SetReply("/game/file.bin", c.reply);
        const std::string url = server_.Url("game/file.bin");
        const std::wstring target = folder / L"file.bin";
        std::atomic<int64_t> current{-1};
        std::atomic<int64_t> total{5};

        EXPECT_EQ(c.succeeds,
                  DownloadToFile(url, target, &current, &total, &log.logger(), settings_))
            << c.name;
        EXPECT_EQ(c.reply.body, FileContents(target)) << c.name << ": what arrived stays on disk";
        const int64_t size = static_cast<int64_t>(c.reply.body.size());
        EXPECT_EQ(size, current.load()) << c.name;
        EXPECT_EQ(5 + size, total.load()) << c.name;
        if (c.succeeds) {
            EXPECT_TRUE(ErrorMessages(log).empty()) << c.name;
        } else {
            EXPECT_EQ(std::vector<std::string>{DownloadLine(url, c.code, c.status)},
                      ErrorMessages(log))
                << c.name;
            EXPECT_EQ(c.code, log.logger().LastCurlCode()) << c.name;
            EXPECT_EQ(c.status, log.logger().LastResponseCode()) << c.name;
        }
    }
}

TEST_F(HttpTest, BrokenConnectionsFailWithTheLibraryCode) {
    struct Case {
        const char* name;
        Reply reply;
        int code;
        int status;
        size_t bytesLeft;
    };
    Reply cut = Reply::Ok(Pattern(1000));
    cut.sendBytes = 400;
    const Case cases[] = {
        {"dropped without a response", Reply::Drop(), CURLE_GOT_NOTHING, 0, 0},
        {"body cut short", cut, CURLE_PARTIAL_FILE, 200, 400},
    };
    int row = 0;
    for (const Case& c : cases) {
        ScratchFolder folder("http_broken_" + std::to_string(row++));
        ScratchLog log(folder);
        server_.SetReply("/broken.bin", c.reply);
        const std::wstring target = folder / L"broken.bin";

        EXPECT_FALSE(DownloadToFile(server_.Url("broken.bin"), target, nullptr, nullptr,
                                    &log.logger(), settings_))
            << c.name;
        EXPECT_EQ(
            std::vector<std::string>{DownloadLine(server_.Url("broken.bin"), c.code, c.status)},
            ErrorMessages(log))
            << c.name;
        EXPECT_EQ(static_cast<int64_t>(c.bytesLeft), FileSize64(target)) << c.name;
    }
}

TEST_F(HttpTest, FetchFirstRemoteTextReturnsOnlyTheFirstGoodBody) {
    ScratchLog log(scratch_);
    server_.SetReply("/a/list.txt", Reply::WithStatus(404, "<html>gone</html>"));
    server_.SetFile("/b/list.txt", "line one\nline two\n");
    const std::string refused = "http://127.0.0.1:" + std::to_string(UnusedLocalPort()) + "/";

    const std::string body = FetchFirstRemoteText(
        {server_.Url("a/list.txt"), refused + "list.txt", server_.Url("b/list.txt")}, &log.logger(),
        settings_);

    EXPECT_EQ("line one\nline two\n", body);
    EXPECT_EQ((std::vector<std::string>{TextFetchLine(0, 404), TextFetchLine(7, 0)}),
              ErrorMessages(log));
    EXPECT_EQ(7, log.logger().LastCurlCode()) << "codes of the last failure";
    EXPECT_EQ(0, log.logger().LastResponseCode());
}

TEST_F(HttpTest, MirrorListsThatYieldNothing) {
    ScratchLog log(scratch_);
    server_.SetReply("/missing.txt", Reply::WithStatus(404, "nope"));
    const std::wstring target = scratch_ / L"Temp/config.txt";

    EXPECT_EQ("", FetchFirstRemoteText({}, &log.logger(), settings_));
    EXPECT_FALSE(DownloadFromFirstUrl(target, {}, &log.logger(), settings_));
    EXPECT_TRUE(ErrorMessages(log).empty()) << "an empty list logs nothing";
    EXPECT_EQ(-1, log.logger().LastCurlCode());

    const std::vector<std::string> urls = {server_.Url("missing.txt"), server_.Url("missing.txt")};
    EXPECT_EQ("", FetchFirstRemoteText(urls, &log.logger(), settings_));
    EXPECT_FALSE(DownloadFromFirstUrl(target, urls, &log.logger(), settings_));
    EXPECT_EQ(4u, ErrorMessages(log).size()) << "one line per failed URL";
    EXPECT_EQ(4u, server_.CountRequests("/missing.txt"));
}

TEST_F(HttpTest, DownloadFromFirstUrlFallsThroughToTheNextMirror) {
    ScratchLog log(scratch_);
    const std::string dead =
        "http://127.0.0.1:" + std::to_string(UnusedLocalPort()) + "/launcherconfig.txt";
    server_.SetReply("/m1/launcherconfig.txt", Reply::Drop());
    server_.SetFile("/m2/launcherconfig.txt", "version=3.1.2034\n");
    const std::wstring target = scratch_ / L"Temp/launcherconfig.txt";

    EXPECT_TRUE(DownloadFromFirstUrl(
        target, {dead, server_.Url("m1/launcherconfig.txt"), server_.Url("m2/launcherconfig.txt")},
        &log.logger(), settings_));

    EXPECT_EQ("version=3.1.2034\n", FileContents(target));
    EXPECT_EQ((std::vector<std::string>{
                  DownloadLine(dead, 7, 0),
                  DownloadLine(server_.Url("m1/launcherconfig.txt"), CURLE_GOT_NOTHING, 0)}),
              ErrorMessages(log));
}

TEST_F(HttpTest, RefusedConnectionLeavesCodes7And0) {
    ScratchLog log(scratch_);
    const std::string base = "http://127.0.0.1:" + std::to_string(UnusedLocalPort()) + "/";
    std::string out;

    EXPECT_FALSE(FetchRemoteText(base + "list.txt", &out, &log.logger(), settings_));
    EXPECT_EQ(7, log.logger().LastCurlCode());
    EXPECT_EQ(0, log.logger().LastResponseCode());

    EXPECT_FALSE(DownloadToFile(base + "file.bin", scratch_ / L"file.bin", nullptr, nullptr,
                                &log.logger(), settings_));
    EXPECT_EQ(7, log.logger().LastCurlCode());
    EXPECT_EQ(0, log.logger().LastResponseCode());
    EXPECT_EQ(
        (std::vector<std::string>{TextFetchLine(7, 0), DownloadLine(base + "file.bin", 7, 0)}),
        ErrorMessages(log));

    // Without a logger the failure is only the result.
    EXPECT_FALSE(FetchRemoteText(base + "list.txt", &out, nullptr, settings_));
}

TEST_F(HttpTest, RedirectToAFileCountsOnlyTheFinalBody) {
    const std::string finalBody = Pattern(1500);
    server_.SetReply("/old/pkg.zip", Reply::Redirect("/new/pkg.zip", 302, Pattern(700)));
    server_.SetFile("/new/pkg.zip", finalBody);
    std::atomic<int64_t> current{0};
    std::atomic<int64_t> total{100};
    const std::wstring target = scratch_ / L"pkg.zip";

    ASSERT_TRUE(
        DownloadToFile(server_.Url("old/pkg.zip"), target, &current, &total, nullptr, settings_));
    EXPECT_EQ(finalBody, FileContents(target));
    EXPECT_EQ(1500, current.load());
    EXPECT_EQ(1600, total.load());
    EXPECT_EQ(1u, server_.CountRequests("/old/pkg.zip"));
    EXPECT_EQ(1u, server_.CountRequests("/new/pkg.zip"));

    std::string out;
    ASSERT_TRUE(FetchRemoteText(server_.Url("old/pkg.zip"), &out, nullptr, settings_));
    EXPECT_EQ(finalBody, out) << "the redirect's own body is not part of the text";
}

TEST_F(HttpTest, OnlyHttpAndHttpsAreFollowed) {
    server_.SetReply("/to-file", Reply::Redirect("file:///etc/passwd"));
    const std::string ftp = "ftp://127.0.0.1:" + std::to_string(server_.Port()) + "/x";
    server_.SetReply("/to-ftp", Reply::Redirect(ftp));
    struct Case {
        const char* name;
        std::string url;
        int status;
    };
    const Case cases[] = {
        {"redirect to file://", server_.Url("to-file"), 302},
        {"redirect to ftp://", server_.Url("to-ftp"), 302},
        {"file:// asked directly", "file:///etc/passwd", 0},
    };
    int row = 0;
    for (const Case& c : cases) {
        ScratchFolder folder("http_scheme_" + std::to_string(row++));
        ScratchLog log(folder);
        std::string out;
        EXPECT_FALSE(FetchRemoteText(c.url, &out, &log.logger(), settings_)) << c.name;
        EXPECT_EQ("", out) << c.name;
        const std::wstring target = folder / L"out.bin";
        EXPECT_FALSE(DownloadToFile(c.url, target, nullptr, nullptr, &log.logger(), settings_))
            << c.name;
        EXPECT_EQ(0, FileSize64(target)) << c.name;
        const int code = log.logger().LastCurlCode();
        EXPECT_TRUE(SchemeRefused(code)) << c.name << ": code " << code;
        EXPECT_EQ((std::vector<std::string>{TextFetchLine(code, c.status),
                                            DownloadLine(c.url, code, c.status)}),
                  ErrorMessages(log))
            << c.name;
    }
}

// The option table is shared with the download jobs and the event posts: each kind refuses
// other schemes too.
TEST_F(HttpTest, EveryKindOfTransferRefusesOtherSchemes) {
    server_.SetReply("/to-file", Reply::Redirect("file:///etc/passwd"));
    const std::wstring target = scratch_ / L"out.bin";
    for (const std::string& url : {std::string("file:///etc/passwd"), server_.Url("to-file")}) {
        const bool redirect = url.rfind("http", 0) == 0;
        std::string text;
        TextSink sink;
        sink.out = &text;
        sink.limit = settings_.maxTextBytes;
        File file(target, "wb");
        ASSERT_TRUE(file);
        TransferWatch watch = MakeTransferWatch(nullptr, nullptr, settings_);

        const std::vector<std::pair<const char*, std::function<CURLcode(CURL*)>>> kinds = {
            {"text",
             [&](CURL* h) { return SetTextFetchOptions(h, url, &sink, &watch, settings_); }},
            {"file",
             [&](CURL* h) {
                 return SetFileDownloadOptions(h, url, file.get(), &watch, settings_);
             }},
            {"job retry",
             [&](CURL* h) {
                 return SetDownloadJobOptions(h, url, file.get(), &watch, true, settings_);
             }},
            {"event post", [&](CURL* h) { return SetEventPostOptions(h, url, &text, ""); }},
        };
        for (const auto& kind : kinds) {
            CurlHandle handle = NewCurlHandle();
            ASSERT_TRUE(handle);
            ASSERT_EQ(CURLE_OK, kind.second(handle.get())) << kind.first;
            const TransferResult result = PerformTransfer(handle.get());
            EXPECT_FALSE(result.Succeeded()) << kind.first << " " << url;
            // An event post does not follow redirects, so it just sees the 302.
            const bool follows = std::string(kind.first) != "event post";
            if (!redirect || follows) {
                EXPECT_TRUE(SchemeRefused(result.code))
                    << kind.first << " " << url << ": code " << result.code;
            }
        }
        EXPECT_EQ(std::string::npos, text.find("root:")) << url;
    }
}

TEST_F(HttpTest, DownloadCreatesMissingFolders) {
    server_.SetFile("/game/velka_win/data/a b.pak", "pak");
    const std::wstring target = scratch_ / L"Game/velka_win/data/a b.pak";
    ASSERT_FALSE(DirectoryExists(scratch_ / L"Game"));

    ASSERT_TRUE(DownloadToFile(server_.Url("game/velka_win/data/a%20b.pak"), target, nullptr,
                               nullptr, nullptr, settings_));
    EXPECT_EQ("pak", FileContents(target));
}

// A full disk fails the download with CURLE_WRITE_ERROR whether the data is refused during the
// transfer or only when the last buffered bytes are written at close.
TEST_F(HttpTest, FullDiskFailsTheDownload) {
    const std::wstring fullDevice = L"/dev/full";
    std::error_code ignored;
    if (!std::filesystem::exists(std::filesystem::path(fullDevice), ignored)) {
        GTEST_SKIP() << "no /dev/full on this system";
    }
    struct Case {
        const char* name;
        size_t size;
    };
    const Case cases[] = {{"lost at close", 100}, {"refused while writing", 200000}};
    int row = 0;
    for (const Case& c : cases) {
        ScratchFolder folder("http_full_" + std::to_string(row++));
        ScratchLog log(folder);
        server_.SetFile("/full.bin", Pattern(c.size));
        localFaultFlag = true;

        EXPECT_FALSE(DownloadToFile(server_.Url("full.bin"), fullDevice, nullptr, nullptr,
                                    &log.logger(), settings_))
            << c.name;
        EXPECT_EQ(
            std::vector<std::string>{DownloadLine(server_.Url("full.bin"), CURLE_WRITE_ERROR, 200)},
            ErrorMessages(log))
            << c.name;
        EXPECT_FALSE(localFaultFlag) << c.name << ": a write error is not a local fault";
    }
}

TEST_F(HttpTest, UnopenableTargetIsALocalFaultWithoutLogLine) {
    ScratchLog log(scratch_);
    server_.SetFile("/file.bin", "content");
    server_.SetReply("/missing.bin", Reply::WithStatus(404, "nope"));
    const std::wstring folderInTheWay = scratch_ / L"Game/file.bin/";
    ASSERT_TRUE(CreateDirectories(folderInTheWay));
    const std::wstring blocked = scratch_ / L"Game/file.bin";
    const std::wstring fine = scratch_ / L"other.bin";

    localFaultFlag = false;
    EXPECT_FALSE(DownloadToFile(server_.Url("file.bin"), blocked, nullptr, nullptr, &log.logger(),
                                settings_));
    EXPECT_TRUE(localFaultFlag);
    EXPECT_TRUE(ErrorMessages(log).empty());
    EXPECT_EQ(-1, log.logger().LastCurlCode()) << "the logger's codes are left alone";
    EXPECT_EQ(-1, log.logger().LastResponseCode());
    EXPECT_EQ(0u, server_.Requests().size())
        << "nothing is fetched for a file that cannot be written";

    EXPECT_TRUE(
        DownloadToFile(server_.Url("file.bin"), fine, nullptr, nullptr, &log.logger(), settings_));
    EXPECT_TRUE(localFaultFlag) << "a success leaves the flag alone";

    EXPECT_FALSE(DownloadToFile(server_.Url("missing.bin"), fine, nullptr, nullptr, &log.logger(),
                                settings_));
    EXPECT_FALSE(localFaultFlag) << "a transfer failure clears it";
    EXPECT_EQ(1u, ErrorMessages(log).size());
}

// One slow reply, fetched as text or downloaded as a file; the expected libcurl code, CURLE_OK
// when the transfer must succeed.
struct SlowCase {
    const char* name;
    bool file;  // DownloadToFile, else FetchRemoteText
    Reply reply;
    int code;
};

void RunSlowCases(TestServer& server, const TransferSettings& settings,
                  const std::vector<SlowCase>& cases) {
    int row = 0;
    for (const SlowCase& c : cases) {
        const std::string path = "/slow" + std::to_string(row++);
        ScratchFolder folder("http_slow_" + std::to_string(row));
        ScratchLog log(folder);
        server.SetReply(path, c.reply);
        const bool succeeds = c.code == CURLE_OK;
        if (c.file) {
            const std::wstring target = folder / L"slow.bin";
            EXPECT_EQ(succeeds, DownloadToFile(server.Url(path), target, nullptr, nullptr,
                                               &log.logger(), settings))
                << c.name;
            const int64_t size = FileSize64(target);
            if (succeeds) {
                EXPECT_EQ(static_cast<int64_t>(c.reply.body.size()), size) << c.name;
            } else {
                EXPECT_GT(size, 0) << c.name << ": the partial file stays";
                EXPECT_LT(size, static_cast<int64_t>(c.reply.body.size())) << c.name;
            }
        } else {
            std::string out;
            EXPECT_EQ(succeeds, FetchRemoteText(server.Url(path), &out, &log.logger(), settings))
                << c.name;
            if (succeeds) {
                EXPECT_EQ(c.reply.body, out) << c.name;
            }
        }
        if (!succeeds) {
            EXPECT_EQ(c.code, log.logger().LastCurlCode()) << c.name;
            EXPECT_EQ(200, log.logger().LastResponseCode()) << c.name;
            EXPECT_EQ(1u, ErrorMessages(log).size()) << c.name;
        }
    }
}

TEST_F(HttpTest, StallRuleAbortsSilentTextButNotATrickle) {
    Reply silent = Reply::Ok("late");
    silent.silenceMs = 20000;
    Reply trickle = Reply::Ok("0123456789");  // a byte every 50 ms against a limit of 400 ms
    trickle.bytesPerSecond = 20;
    RunSlowCases(server_, settings_,
                 {
                     {"silent after the headers", false, silent, CURLE_ABORTED_BY_CALLBACK},
                     {"trickle within the stall limit", false, trickle, CURLE_OK},
                 });
}

TEST_F(HttpTest, SpeedFloorAbandonsSlowFilesOnly) {
    Reply below = Reply::Ok(Pattern(20000));  // 200 B/s against a floor of 1000 B/s
    below.bytesPerSecond = 200;
    Reply above = Reply::Ok(Pattern(8000));  // 8000 B/s: done in a second
    above.bytesPerSecond = 8000;
    RunSlowCases(server_, settings_,
                 {
                     {"below the speed floor", true, below, CURLE_OPERATION_TIMEDOUT},
                     {"above the speed floor", true, above, CURLE_OK},
                 });
}

TEST_F(HttpTest, TextLargerThanTheLimitIsRefused) {
    struct Case {
        const char* name;
        size_t size;
        bool announced;  // with Content-Length
        int code;        // CURLE_OK when accepted
    };
    const Case cases[] = {
        {"exactly the limit", 4096, true, CURLE_OK},
        {"exactly the limit, unannounced", 4096, false, CURLE_OK},
        {"one byte over, announced", 4097, true, CURLE_FILESIZE_EXCEEDED},
        {"far over, unannounced", 100000, false, CURLE_WRITE_ERROR},
    };
    int row = 0;
    for (const Case& c : cases) {
        const std::string path = "/big" + std::to_string(row++);
        ScratchFolder folder("http_big_" + std::to_string(row));
        ScratchLog log(folder);
        Reply reply = Reply::Ok(Pattern(c.size));
        reply.sendContentLength = c.announced;
        server_.SetReply(path, reply);
        std::string out;

        const bool accepted = FetchRemoteText(server_.Url(path), &out, &log.logger(), settings_);
        EXPECT_EQ(c.code == CURLE_OK, accepted) << c.name;
        EXPECT_LE(out.size(), 4096u) << c.name << ": never more than the limit in memory";
        if (accepted) {
            EXPECT_EQ(reply.body, out) << c.name;
            EXPECT_TRUE(ErrorMessages(log).empty()) << c.name;
        } else {
            EXPECT_EQ(std::vector<std::string>{TextFetchLine(c.code, 200) +
                                               " (text larger than 4096 bytes)"},
                      ErrorMessages(log))
                << c.name;
            EXPECT_EQ(c.code, log.logger().LastCurlCode()) << c.name;
        }
    }
}

TEST_F(HttpTest, ServerRecordsRequestsWithTheirBodies) {
    // The large body makes libcurl ask for "100 Continue" first.
    for (const std::string& body : {std::string("a=1&b=two"), Pattern(2 * 1024 * 1024)}) {
        server_.SetFile("/post", "thanks");
        std::string response;
        CurlHandle handle = NewCurlHandle();
        ASSERT_TRUE(handle);
        ASSERT_EQ(CURLE_OK, SetEventPostOptions(handle.get(), server_.Url("post"), &response, ""));
        curl_easy_setopt(handle.get(), CURLOPT_POST, 1L);
        curl_easy_setopt(handle.get(), CURLOPT_POSTFIELDSIZE_LARGE,
                         static_cast<curl_off_t>(body.size()));
        curl_easy_setopt(handle.get(), CURLOPT_POSTFIELDS, body.c_str());
        EXPECT_TRUE(PerformTransfer(handle.get()).Succeeded());
        EXPECT_EQ("thanks", response);
    }
    std::string out;
    ASSERT_TRUE(FetchRemoteText(server_.Url("post?x=1"), &out, nullptr, settings_));

    const std::vector<testing_support::RecordedRequest> requests = server_.Requests();
    ASSERT_EQ(3u, requests.size());
    EXPECT_EQ("POST", requests[0].method);
    EXPECT_EQ("127.0.0.1:" + std::to_string(server_.Port()), requests[0].Header("host"));
    EXPECT_EQ("a=1&b=two", requests[0].body);
    EXPECT_EQ(Pattern(2 * 1024 * 1024), requests[1].body);
    EXPECT_EQ("GET", requests[2].method);
    EXPECT_EQ("/post?x=1", requests[2].target);
    EXPECT_EQ("/post", requests[2].path);
    EXPECT_EQ("", requests[2].body);
}

}  // namespace
}  // namespace velka
