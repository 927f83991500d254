// Package and file-set downloads against a real HTTP server: sweeps, CRCs, counters, resumption.
#include "patcher/download_sets.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "patcher/status.h"
#include "support/fixtures.h"
#include "support/scratch_log.h"
#include "support/test_server.h"
#include "transfer/http.h"
#include "util/strings.h"

namespace velka {
namespace {

using namespace testing_support;

template <typename Entry>  // PackageEntry or FileEntry, marked for download
Entry Item(const std::string& path, const std::string& body) {
    Entry entry;
    entry.name = entry.path = path;
    if constexpr (std::is_same_v<Entry, PackageEntry>) entry.packageSize = body.size();
    if constexpr (std::is_same_v<Entry, FileEntry>) entry.size = static_cast<uint32_t>(body.size());
    entry.crc = CrcText(body);
    entry.needsDownload = true;
    return entry;
}
const auto Package = &Item<PackageEntry>;
const auto FileItem = &Item<FileEntry>;

class DownloadSetsTest : public ::testing::Test {
  protected:
    std::wstring Staged(bool package, const std::string& path) const {
        return JoinPath(scratch_ / (package ? L"Temp\\ZipUpdate" : L"Game"), ToWide(path));
    }
    template <typename Entry>  // the failed count; local_ and out_ (stdout) beside it
    int32_t Run(std::vector<Entry>& entries, const std::vector<std::string>& bases,
                ExpectedDigests* expected = nullptr) {
        int64_t bytes = 0;
        const auto count = static_cast<int32_t>(entries.size());
        ::testing::internal::CaptureStdout();
        if constexpr (std::is_same_v<Entry, PackageEntry>) {
            for (const Entry& e : entries) bytes += e.packageSize;
            DownloadPackages(log_.logger(), status_, scratch_.Path(), bases, entries, count, bytes,
                             &failed_, &local_, settings_, expected);
        } else {
            for (const Entry& e : entries) bytes += e.size;
            DownloadFileSet(log_.logger(), status_, scratch_ / L"Game", bases, entries, count,
                            bytes, &failed_, &local_, settings_, expected);
        }
        out_ = ::testing::internal::GetCapturedStdout();
        return failed_;
    }
    std::vector<std::string> Lines(const std::string& level) const {
        std::vector<std::string> lines;
        for (const LogLine& line : log_.Lines())
            if (line.level == level) lines.push_back(line.message);
        return lines;
    }

    ScratchFolder scratch_{"dlsets"};
    TestServer server_;
    const std::string m1_ = server_.Url("m1/");
    ScratchLog log_{scratch_};
    PatcherStatus status_;
    TransferSettings settings_ = FastSettings();
    int32_t failed_ = -99, local_ = -99;
    std::string out_;
};

enum Serve { Good, Missing, WrongCrc, CutShort, Dead, Trickle, SlowOnce, Silent, Unused };

struct SweepRow {
    const char* name;
    Serve m1, m2;
    const char* path;  // of entry "p"; a folder stands where "blocked" goes
    int pkgFailed, pkgLocal, fileFailed, fileLocal, retries;
    std::vector<std::string> pkgLines, fileLines;  // "J|F<mirror>:entry:curl:http", "CRC", "U"
};

// clang-format off
const SweepRow kSweepRows[] = {
    {"first mirror good", Good, Good, "d\\p", 0, 0, 0, 0, 0, {}, {}},
    {"dead mirror then a good one", Dead, Good, "p", 0, 0, 0, 0, 0, {"J:ok:7:0", "J:p:7:0"}, {"F1:ok:7:0", "F1:p:7:0"}},
    {"404 then a good one", Missing, Good, "p", 0, 0, 0, 0, 0, {"J:p:0:404"}, {"F1:p:0:404"}},
    {"wrong CRC then a good one", WrongCrc, Good, "p", 0, 0, 0, 0, 0, {"CRC"}, {}},
    {"body cut short then a good one", CutShort, Good, "p", 0, 0, 0, 0, 0, {"J:p:18:200"}, {"F1:p:18:200"}},
    {"every mirror fails", Missing, Missing, "p", 1, 0, 1, 0, 0, {"J:p:0:404", "J:p:0:404"}, {"F1:p:0:404", "F2:p:0:404"}},
    {"the only mirror has a wrong CRC", WrongCrc, Unused, "p", 1, 0, 1, 0, 0, {"CRC"}, {}},
    {"trickle three times then a good one", Trickle, Good, "p", 0, 0, 0, 0, 0, {"J:p:28:200"}, {"F1:p:28:200"}},
    {"slow once: packages restart from byte 0", SlowOnce, Unused, "p", 0, 0, 1, 0, 1, {}, {"F1:p:28:200"}},
    {"answers then falls silent", Silent, Unused, "p", 1, 0, 1, 0, 0, {"J:p:42:200"}, {"F1:p:28:200"}},
    {"target cannot be opened", Good, Good, "blocked", 0, 2, 1, 1, 0, {}, {}},
    {"unsafe path", Good, Good, "..\\p", 1, 0, 1, 0, 0, {"U", "U"}, {"U", "U"}},
};
// clang-format on

class MirrorSweepTest : public DownloadSetsTest,
                        public ::testing::WithParamInterface<std::tuple<SweepRow, bool>> {};

// Entry "p" served per mirror as the row says, beside "ok", via both routines; the day-log texts.
TEST_P(MirrorSweepTest, CountersFilesAndLogLines) {
    const auto& [row, package] = GetParam();
    SCOPED_TRACE(std::string(row.name) + (package ? " (packages)" : " (file set)"));
    const std::string remote = ReplaceAll(row.path, "\\", "/");
    const std::string body = VariedBytes(40000, 1), wrong = VariedBytes(40000, 2), ok = "ok";
    const std::string dead = "http://127.0.0.1:" + std::to_string(UnusedLocalPort()) + "/";
    std::vector<std::string> bases;
    for (const Serve serve : {row.m1, row.m2}) {
        if (serve == Unused) continue;
        const std::string mirror = "/m" + std::to_string(bases.size() + 1) + "/";
        bases.push_back(serve == Dead ? dead : server_.Url(mirror.substr(1)));
        server_.SetFile(mirror + "ok", ok);
        auto once = std::make_shared<int>(0);
        server_.SetHandler(mirror + remote, [=](const RecordedRequest&) {
            Reply reply = Reply::Ok(serve == WrongCrc ? wrong : body);
            if (serve == Missing) reply = Reply::WithStatus(404, "Not Found");
            if (serve == CutShort) reply.sendBytes = 1000;
            reply.bytesPerSecond = serve == Trickle || (serve == SlowOnce && !(*once)++) ? 2000 : 0;
            if (serve == Silent) reply.silenceMs = 600000;  // ended by the server's destructor
            return reply;
        });
    }
    ASSERT_TRUE(std::string(row.path) != "blocked" ||
                CreateDirectories(Staged(package, row.path) + kPathSeparator));
    settings_.speedFloorAttempts = row.m1 == Silent ? 1000 : 3;  // the stall rule ends it
    settings_.packageWatchPeriodMs = 3600 * 1000;  // a sweep ends when its last job does
    settings_.lowSpeedLimitBytes = 10240;
    std::vector<PackageEntry> packages = {Package("ok", ok), Package(row.path, body)};
    std::vector<FileEntry> files = {FileItem("ok", ok), FileItem(row.path, body)};
    package ? Run(packages, bases) : Run(files, bases);
    const int failed = package ? row.pkgFailed : row.fileFailed;
    const int local = package ? row.pkgLocal : row.fileLocal;
    const bool installed = failed + local == 0;
    EXPECT_EQ(std::make_pair(failed_, local_), std::make_pair(failed, local));
    const std::string staged = Contents(Staged(package, row.path));
    EXPECT_EQ(staged == body, installed);
    EXPECT_TRUE(installed || row.m1 != WrongCrc || staged.empty()) << "rejected bytes are removed";
    EXPECT_EQ(Contents(Staged(package, "ok")), ok);
    EXPECT_EQ(server_.CountRequests("/m1/ok") + server_.CountRequests("/m2/ok"), 1u);
    EXPECT_TRUE(installed || row.m1 != Good || server_.Requests().size() == 1) << "never asked";
    const bool oneSweep = (row.m1 == Good || row.m1 == SlowOnce) && installed;
    EXPECT_TRUE(!oneSweep || server_.CountRequests("/m2/" + remote) == 0) << "asked once";
    std::vector<std::string> lines, logged = Lines("[ERROR] ");  // the texts support reads
    for (const std::string& code : package ? row.pkgLines : row.fileLines) {
        const std::vector<std::string> f = Split(code, ':');  // kind, entry, curl, http
        if (code[0] == 'J')
            lines.push_back("Job " + ToNarrow(Staged(true, f[1])) +
                            " download failed! ResultCode = " + f[2] + " HttpStatus = " + f[3]);
        if (code[0] == 'F')
            lines.push_back("Download Binary file failed! url = " + bases[code[1] - '1'] + f[1] +
                            "    CURL CODE = " + f[2] + " HttpStatusCode = " + f[3]);
        if (code == "CRC")
            lines.push_back("Zip File CRC Check Error! FileName = p CRC = " + CrcText(wrong));
        if (code == "U")
            lines.push_back(std::string("Unsafe path in ") + (package ? "package" : "file") +
                            " list! Name = ..\\p Path = ..\\p");
    }
    if (package) std::sort(logged.begin(), logged.end());  // two jobs at a time, in any order
    if (package) std::sort(lines.begin(), lines.end());
    EXPECT_EQ(logged, lines);
    const std::wstring error = local ? L"Local Fault" : failed ? L"downloading unsuccessful" : L"";
    EXPECT_EQ(status_.filesDone.load(), installed ? 2 : 1);
    EXPECT_EQ(status_.filesTotal.load(), 2);
    EXPECT_EQ(package ? packages[1].error : files[1].error.str(), error);
    EXPECT_EQ(package ? packages[1].failed : files[1].failed, failed > 0);
    EXPECT_EQ(status_.State(),
              package ? PatcherState::FilesDownloaded : PatcherState::DownloadingFiles);
    if (!package) return;
    EXPECT_EQ(packages[1].needsDownload, !installed);
    EXPECT_EQ(Count(out_, "finish all task =====================>\n"),
              oneSweep ? 1u : bases.size());
    if (oneSweep || bases.size() == 1) {  // both count the last sweep's packages
        EXPECT_EQ(status_.bytesTotal.load(), 40002);
        EXPECT_EQ(status_.bytesDone.load(), installed ? 40002 : 2);
    }
    EXPECT_EQ(status_.Message(), L"正在檢索本地整包文件");
    EXPECT_EQ(packages[1].jobResult->result.load(), local ? -3 : installed ? row.retries + 1 : -1);
    const std::string success = "Job " + ToNarrow(Staged(true, row.path)) +
                                " Download Success. RetryTime = " + std::to_string(row.retries);
    EXPECT_EQ(Count(Contents(scratch_ / L"log.txt"), success), installed + (row.m1 == WrongCrc))
        << "a wrong package arrived whole, too";
}

INSTANTIATE_TEST_SUITE_P(Rows, MirrorSweepTest,
                         ::testing::Combine(::testing::ValuesIn(kSweepRows), ::testing::Bool()));

// A broken-off download continues (Range + If-Range, file sets from resumeFileBytes up) only
// where the server sends exactly the rest of the same file; the SHA-256 covers the kept bytes too.
TEST_F(DownloadSetsTest, InterruptedDownloadsContinueOnlyWhereTheServerSendsTheRest) {
    enum Server { HonoursRanges, IgnoresRanges, ChangedFile, SendsAnotherPart, ErrorFirst };
    struct Case {
        const char* name;
        Server server;
        bool package;
        size_t total, sentAfterBreak;
    } const cases[] = {
        // clang-format off
        {"honours_ranges", HonoursRanges, true, 50000, 20000}, {"ignores_ranges", IgnoresRanges, true, 50000, 50000},
        {"changed_file", ChangedFile, true, 50000, 50000}, {"sends_another_part", SendsAnotherPart, true, 50000, 100000},
        {"error_page_then_the_rest", ErrorFirst, true, 50000, 20000}, {"smaller_file", HonoursRanges, false, 39999, 39999},
        {"file_from_the_threshold_up", HonoursRanges, false, 50000, 20000},
        // clang-format on
    };
    settings_.resumeFileBytes = 40000;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = c.name, first = VariedBytes(c.total, 8);
        const std::string published = c.server == ChangedFile ? VariedBytes(c.total, 9) : first;
        const size_t kept = c.total * 6 / 10;
        size_t requests = 0, sent = 0;
        server_.SetHandler("/m1/" + path, [&](const RecordedRequest& request) {
            if (c.server == ErrorFirst && requests == 1 && requests++)
                return Reply::WithStatus(404, "gone");
            Reply reply = Reply::Ok(published);
            reply.headers.emplace_back("ETag", published == first ? "\"v1\"" : "\"v2\"");
            reply.sendBytes = requests++ == 0 ? static_cast<int64_t>(kept) : -1;  // breaks off
            const bool exact = request.Header("Range") == "bytes=" + std::to_string(kept) + "-" &&
                               request.Header("If-Range") == "\"v1\"";
            if (((c.server == HonoursRanges || c.server == ErrorFirst) && exact) ||
                (c.server == SendsAnotherPart && !request.Header("Range").empty())) {
                const size_t at = c.server == SendsAnotherPart ? 0 : kept;
                reply.status = 206;
                reply.body = published.substr(at);
                reply.headers.emplace_back("Content-Range", "bytes " + std::to_string(at) + "-" +
                                                                std::to_string(c.total - 1) + "/" +
                                                                std::to_string(c.total));
            }
            if (reply.sendBytes < 0) sent += reply.body.size();
            return reply;
        });
        auto run = [&](const std::string& listed, ExpectedDigests* digests) {
            std::vector<PackageEntry> packages = {Package(path, listed)};
            std::vector<FileEntry> files = {FileItem(path, listed)};
            return c.package ? Run(packages, {m1_}, digests) : Run(files, {m1_}, digests);
        };
        for (int i = 0; i <= (c.server == ErrorFirst); ++i) {
            ASSERT_EQ(run(first, nullptr), 1);
            ASSERT_EQ(FileSize64(Staged(c.package, path)), static_cast<int64_t>(kept));
        }
        status_.bytesDone = 0;
        ExpectedDigests digests{{{}}};
        Sha256 hash;
        hash.Update(published.data(), published.size());
        ASSERT_TRUE(hash.Finish(&digests.digests[0]));
        EXPECT_EQ(run(published, &digests), 0) << "as listed at the next start";
        EXPECT_EQ(digests.refusals, 0);
        EXPECT_EQ(Contents(Staged(c.package, path)), published);
        EXPECT_EQ(sent, c.sentAfterBreak);
        EXPECT_FALSE(FileExists(Staged(c.package, path) + L".resume")) << "record removed";
        EXPECT_TRUE(c.package || status_.bytesDone.load() == static_cast<int64_t>(c.total));
    }
}

// File sets: two at a time, outcomes in list order; intact files counted untransferred, wrong ones
// replaced, blanks escaped in the URL only; flags from the local check count nothing.
TEST_F(DownloadSetsTest, FileSetTakesWhatIsThereAndOutcomesInListOrder) {
    std::atomic<bool> secondAnswered{false};
    server_.SetHandler("/m1/first", [&](const RecordedRequest&) {
        WaitFor([&] { return secondAnswered.load(); }, 10);
        Reply reply = Reply::WithStatus(500, std::string(2000, 'e'));
        reply.bytesPerSecond = 20000;  // ends well after the second
        return reply;
    });
    server_.SetHandler("/m1/second", [&](const RecordedRequest&) {
        secondAnswered = true;
        return Reply::WithStatus(404, "Not Found");
    });
    const std::string a = VariedBytes(3000, 1), b = VariedBytes(7000, 2), c = VariedBytes(1000, 3),
                      twice = VariedBytes(3000, 4),
                      url = "Download Binary file failed! url = " + m1_;
    ASSERT_TRUE(WriteTree(scratch_ / L"Game", {{"v/a", a}, {"d/b c", "left by an older version"}}));
    for (const auto& [path, body] : Tree{{"d/b c", b}, {"c", c}})
        server_.SetFile("/m1/" + path, body);
    Reply slowly = Reply::Ok(twice);  // the same path is not fetched again while it comes
    slowly.bytesPerSecond = 10000;
    server_.SetReply("/m1/twice", slowly);
    std::vector<FileEntry> entries = {FileItem("v\\a", a),      FileItem("first", "1"),
                                      FileItem("second", "2"),  FileItem("twice", twice),
                                      FileItem("twice", twice), FileItem("d\\b c", b),
                                      FileItem("blocked", "3"), FileItem("c", c)};
    entries[7].failed = true;
    entries[7].error = L"failed to open for checking";
    ASSERT_TRUE(CreateDirectories(Staged(false, "blocked") + kPathSeparator));
    localFaultFlag = false;
    EXPECT_EQ(Run(entries, {m1_}), 3);
    EXPECT_EQ(local_, 1);
    EXPECT_EQ(log_.logger().LastCurlCode(), 0);
    EXPECT_EQ(log_.logger().LastResponseCode(), 404) << "the later failure in the list";
    EXPECT_TRUE(localFaultFlag.load()) << "the last download in the list was a local fault";
    EXPECT_EQ(Lines("[ERROR] "),
              (std::vector<std::string>{url + "first    CURL CODE = 0 HttpStatusCode = 500",
                                        url + "second    CURL CODE = 0 HttpStatusCode = 404"}));
    std::vector<std::string> targets;  // v/a intact, the second "twice" found intact
    for (const RecordedRequest& request : server_.Requests()) targets.push_back(request.target);
    std::sort(targets.begin(), targets.end());
    EXPECT_EQ(targets, (std::vector<std::string>{"/m1/c", "/m1/d/b%20c", "/m1/first", "/m1/second",
                                                 "/m1/twice"}));
    EXPECT_EQ(Contents(Staged(false, "d/b c")) + Contents(Staged(false, "c")), b + c);
    EXPECT_EQ(status_.filesDone.load(), 5);
    EXPECT_EQ(status_.bytesDone.load(), int64_t{17000 + 2000 + 9});  // files, then error pages
    for (const FileEntry* e : {&entries[0], &entries[3], &entries[4], &entries[5], &entries[7]})
        EXPECT_TRUE(e->needsDownload && e->verified && !e->failed && e->error.empty()) << e->path;
}

// The limit holds for both jobs together (a lower time bound) and waiting for it trips no rule.
TEST_F(DownloadSetsTest, SpeedLimitHoldsForBothJobsWithoutTrippingTheTransferRules) {
    settings_.lowSpeedLimitBytes = 100 * 1024;
    settings_.lowSpeedTimeSeconds = 2;  // a busy machine may hold a job back for a second
    settings_.downloadLimit = std::make_shared<RateLimiter>(16 * 1024);
    const std::string a = VariedBytes(24576, 1), b = VariedBytes(24576, 2);
    std::vector<PackageEntry> entries = {Package("a", a), Package("b", b)};
    for (const auto& [path, body] : Tree{{"a", a}, {"b", b}}) server_.SetFile("/m1/" + path, body);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(Run(entries, {m1_}), 0);
    EXPECT_GE(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(), 2.5);
    EXPECT_TRUE(Lines("[ERROR] ").empty());
    EXPECT_EQ(entries[0].jobResult->result + entries[1].jobResult->result, 2) << "first attempts";
}

}  // namespace
}  // namespace velka
