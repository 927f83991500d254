// Package and file-set downloads against a real HTTP server on 127.0.0.1, with shrunk time
// limits: mirror sweeps, CRC checks, the failure counters and the job retry rules.
#include "patcher/download_sets.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "patcher/file_lists.h"
#include "patcher/status.h"
#include "platform/fs.h"
#include "platform/text.h"
#include "support/scratch_log.h"
#include "support/test_server.h"
#include "transfer/http.h"
#include "util/logger.h"

namespace velka {
namespace {

using testing_support::LogLine;
using testing_support::RecordedRequest;
using testing_support::Reply;
using testing_support::ScratchFolder;
using testing_support::ScratchLog;
using testing_support::TestServer;
using testing_support::UnusedLocalPort;

const char kFinishLine[] = "finish all task =====================>\n";

TransferSettings FastSettings() {
    TransferSettings settings;
    settings.fileConnectTimeoutMs = 3000;
    settings.lowSpeedTimeSeconds = 1;
    settings.retryLowSpeedTimeSeconds = 2;
    settings.stallLimitMs = 1500;
    settings.packageWatchPeriodMs = 50;
    return settings;
}

// Incompressible bytes, different per seed.
std::string Bytes(size_t size, uint32_t seed) {
    std::mt19937 generator(seed);
    std::string bytes(size, '\0');
    for (char& c : bytes) c = static_cast<char>(generator() & 0xFF);
    return bytes;
}

Sha256Digest Digest(const std::string& bytes) {
    Sha256 hash;
    hash.Update(bytes.data(), bytes.size());
    Sha256Digest digest{};
    EXPECT_TRUE(hash.Finish(&digest));
    return digest;
}

// Computed with zlib directly, not with the code under test.
std::string CrcText(const std::string& bytes) {
    uLong crc = crc32(0L, Z_NULL, 0);
    crc = crc32(crc, reinterpret_cast<const Bytef*>(bytes.data()), static_cast<uInt>(bytes.size()));
    static const char kHex[] = "0123456789ABCDEF";
    std::string text(8, '0');
    for (int i = 7; i >= 0; --i) {
        text[i] = kHex[crc & 0xF];
        crc >>= 4;
    }
    return text;
}

PackageEntry Package(const std::string& name, const std::string& path, const std::string& body) {
    PackageEntry entry;
    entry.name = name;
    entry.path = path;
    entry.packageSize = static_cast<int64_t>(body.size());
    entry.unpackedSize = entry.packageSize * 2;
    entry.crc = CrcText(body);
    entry.needsDownload = true;
    return entry;
}

FileEntry FileItem(const std::string& path, const std::string& body) {
    FileEntry entry;
    entry.name = path;
    entry.path = path;
    entry.size = static_cast<uint32_t>(body.size());
    entry.crc = CrcText(body);
    entry.needsDownload = true;
    return entry;
}

size_t Occurrences(const std::string& text, const std::string& piece) {
    size_t count = 0;
    for (size_t at = text.find(piece); at != std::string::npos; at = text.find(piece, at + 1)) {
        ++count;
    }
    return count;
}

struct Outcome {
    int32_t failedFiles = -99;
    int32_t localFaults = -99;
    std::string out;  // what was printed to stdout
};

class DownloadSetsTest : public ::testing::Test {
  protected:
    std::string Mirror(int n) const { return server_.Url("m" + std::to_string(n) + "/"); }

    std::wstring PackageFile(const std::string& path) const {
        return JoinPath(scratch_ / L"Temp\\ZipUpdate", ToWide(path));
    }
    std::wstring GameFile(const std::string& path) const {
        return JoinPath(scratch_ / L"Game", ToWide(path));
    }
    std::string JobLine(const std::string& path) const {
        return "Job " + ToNarrow(PackageFile(path));
    }

    std::string Contents(const std::wstring& path) const {
        std::string contents;
        EXPECT_TRUE(ReadFileBytes(path, &contents)) << ToNarrow(path);
        return contents;
    }

    Outcome RunPackages(std::vector<PackageEntry>& entries, const std::vector<std::string>& bases,
                        ExpectedDigests* expected = nullptr) {
        int32_t count = 0;
        int64_t bytes = 0;
        for (const PackageEntry& entry : entries) {
            if (!entry.needsDownload) continue;
            ++count;
            bytes += entry.packageSize;
        }
        Outcome outcome;
        ::testing::internal::CaptureStdout();
        DownloadPackages(log_.logger(), status_, scratch_.Path(), bases, entries, count, bytes,
                         &outcome.failedFiles, &outcome.localFaults, settings_, expected);
        outcome.out = ::testing::internal::GetCapturedStdout();
        return outcome;
    }

    Outcome RunFiles(std::vector<FileEntry>& entries, const std::vector<std::string>& bases,
                     ExpectedDigests* expected = nullptr) {
        int32_t count = 0;
        int64_t bytes = 0;
        for (const FileEntry& entry : entries) {
            if (!entry.needsDownload) continue;
            ++count;
            bytes += entry.size;
        }
        Outcome outcome;
        DownloadFileSet(log_.logger(), status_, scratch_ / L"Game", bases, entries, count, bytes,
                        &outcome.failedFiles, &outcome.localFaults, settings_, expected);
        return outcome;
    }

    std::vector<std::string> Messages(const std::string& level) const {
        std::vector<std::string> messages;
        for (const LogLine& line : log_.Lines()) {
            if (line.level == level) messages.push_back(line.message);
        }
        return messages;
    }
    size_t CountMessages(const std::string& level, const std::string& message) const {
        size_t count = 0;
        for (const std::string& m : Messages(level)) count += m == message ? 1 : 0;
        return count;
    }

    ScratchFolder scratch_{"dlsets"};
    TestServer server_;
    ScratchLog log_{scratch_};
    PatcherStatus status_;
    TransferSettings settings_ = FastSettings();
};

TEST_F(DownloadSetsTest, PackagesAllFineOnFirstMirrorTakeOneSweep) {
    const std::vector<std::string> bodies = {Bytes(30000, 1), Bytes(1, 2), Bytes(70000, 3)};
    std::vector<PackageEntry> entries;
    int64_t total = 0;
    for (size_t i = 0; i < bodies.size(); ++i) {
        const std::string n = std::to_string(i);
        entries.push_back(Package("zip\\game_" + n + ".zip", "game_" + n + ".zip", bodies[i]));
        server_.SetFile("/m1/zip/game_" + n + ".zip", bodies[i]);
        server_.SetFile("/m2/zip/game_" + n + ".zip", bodies[i]);
        total += static_cast<int64_t>(bodies[i].size());
    }
    // The sweep ends when its last job does, not on its next progress sample: with an hour
    // between samples this would otherwise hold the test that long.
    settings_.packageWatchPeriodMs = 3600 * 1000;

    const Outcome outcome = RunPackages(entries, {Mirror(1), Mirror(2)});

    EXPECT_EQ(outcome.failedFiles, 0);
    EXPECT_EQ(outcome.localFaults, 0);
    EXPECT_EQ(status_.filesDone.load(), 3);
    EXPECT_EQ(status_.filesTotal.load(), 3);
    EXPECT_EQ(status_.bytesTotal.load(), total);
    EXPECT_EQ(status_.bytesDone.load(), total) << "watcher's last sum";
    EXPECT_EQ(status_.State(), PatcherState::FilesDownloaded);
    EXPECT_EQ(status_.Message(), L"正在檢索本地整包文件");
    EXPECT_EQ(outcome.out, kFinishLine) << "one sweep, one line";
    for (size_t i = 0; i < entries.size(); ++i) {
        SCOPED_TRACE(entries[i].name);
        EXPECT_FALSE(entries[i].needsDownload);
        EXPECT_FALSE(entries[i].failed);
        ASSERT_TRUE(entries[i].jobResult);
        EXPECT_EQ(entries[i].jobResult->result.load(), 1);
        EXPECT_EQ(Contents(PackageFile(entries[i].path)), bodies[i]);
        EXPECT_EQ(
            CountMessages("[INFO] ", JobLine(entries[i].path) + " Download Success. RetryTime = 0"),
            1u);
    }
    for (const RecordedRequest& request : server_.Requests()) {
        EXPECT_EQ(request.target.rfind("/m1/zip/", 0), 0u) << request.target;
    }
    EXPECT_EQ(server_.Requests().size(), 3u);
    EXPECT_TRUE(Messages("[ERROR] ").empty());
}

TEST_F(DownloadSetsTest, CrcMismatchIsCountedDeletedAndRetriedFromNextMirror) {
    const std::string good = Bytes(20000, 11);
    const std::string right = Bytes(25000, 12);
    const std::string wrong = Bytes(24000, 13);
    server_.SetFile("/m1/good.zip", good);
    server_.SetFile("/m1/bad.zip", wrong);
    server_.SetFile("/m2/good.zip", good);
    server_.SetFile("/m2/bad.zip", right);
    const std::string crcLine =
        "Zip File CRC Check Error! FileName = bad.zip CRC = " + CrcText(wrong);

    {
        SCOPED_TRACE("only the first mirror");
        std::vector<PackageEntry> entries = {Package("good.zip", "good.zip", good),
                                             Package("bad.zip", "bad.zip", right)};
        const Outcome outcome = RunPackages(entries, {Mirror(1)});
        EXPECT_EQ(outcome.failedFiles, 1);
        EXPECT_EQ(outcome.localFaults, 0);
        EXPECT_EQ(status_.filesDone.load(), 1);
        EXPECT_EQ(status_.bytesDone.load(), static_cast<int64_t>(good.size()))
            << "the rejected package's bytes are taken back";
        EXPECT_TRUE(entries[1].needsDownload);
        EXPECT_TRUE(entries[1].failed);
        EXPECT_EQ(entries[1].error, L"downloading unsuccessful");
        EXPECT_EQ(entries[1].jobResult->result.load(), -1);
        EXPECT_FALSE(FileExists(PackageFile("bad.zip"))) << "stale package left behind";
        EXPECT_EQ(CountMessages("[ERROR] ", crcLine), 1u);
    }
    {
        SCOPED_TRACE("both mirrors");
        std::vector<PackageEntry> entries = {Package("good.zip", "good.zip", good),
                                             Package("bad.zip", "bad.zip", right)};
        const Outcome outcome = RunPackages(entries, {Mirror(1), Mirror(2)});
        EXPECT_EQ(outcome.failedFiles, 0) << "the first sweep's failure is withdrawn";
        EXPECT_EQ(outcome.localFaults, 0);
        EXPECT_EQ(status_.filesDone.load(), 2);
        EXPECT_EQ(Occurrences(outcome.out, kFinishLine), 2u);
        EXPECT_FALSE(entries[1].needsDownload);
        EXPECT_FALSE(entries[1].failed);
        EXPECT_TRUE(entries[1].error.empty());
        EXPECT_EQ(Contents(PackageFile("bad.zip")), right);
        EXPECT_EQ(CountMessages("[ERROR] ", crcLine), 2u) << "one more from this call";
        EXPECT_EQ(server_.CountRequests("/m2/bad.zip"), 1u);
        EXPECT_EQ(server_.CountRequests("/m2/good.zip"), 0u) << "verified package fetched again";
    }
}

TEST_F(DownloadSetsTest, PackageMissingOnEveryMirrorStaysFailed) {
    const std::string body = Bytes(5000, 21);
    server_.SetFile("/m1/ok.zip", body);
    std::vector<PackageEntry> entries = {Package("ok.zip", "ok.zip", body),
                                         Package("gone.zip", "gone.zip", Bytes(9000, 22))};

    const Outcome outcome = RunPackages(entries, {Mirror(1), Mirror(2)});

    EXPECT_EQ(outcome.failedFiles, 1);
    EXPECT_EQ(outcome.localFaults, 0);
    EXPECT_EQ(status_.filesDone.load(), 1);
    EXPECT_TRUE(entries[1].needsDownload);
    EXPECT_TRUE(entries[1].failed);
    EXPECT_EQ(entries[1].error, L"downloading unsuccessful");
    EXPECT_EQ(CountMessages("[ERROR] ", JobLine("gone.zip") +
                                            " download failed! ResultCode = 0 HttpStatus = 404"),
              2u);
    EXPECT_EQ(log_.logger().LastCurlCode(), 0);
    EXPECT_EQ(log_.logger().LastResponseCode(), 404);
    EXPECT_EQ(server_.CountRequests("/m1/ok.zip"), 1u);
    EXPECT_EQ(server_.CountRequests("/m2/gone.zip"), 1u);
}

TEST_F(DownloadSetsTest, UnopenableTargetCountsALocalFaultInEverySweepItHappens) {
    const std::string body = Bytes(4000, 31);
    const std::string blocked = Bytes(6000, 32);
    for (const char* mirror : {"/m1/", "/m2/"}) {
        server_.SetFile(std::string(mirror) + "ok.zip", body);
        server_.SetFile(std::string(mirror) + "blocked.zip", blocked);
    }
    // A folder where the package file should go cannot be opened for writing on any system.
    ASSERT_TRUE(CreateDirectories(PackageFile("blocked.zip") + kPathSeparator));
    std::vector<PackageEntry> entries = {Package("ok.zip", "ok.zip", body),
                                         Package("blocked.zip", "blocked.zip", blocked)};

    const Outcome outcome = RunPackages(entries, {Mirror(1), Mirror(2)});

    EXPECT_EQ(outcome.localFaults, 2) << "one per sweep, never withdrawn";
    EXPECT_EQ(outcome.failedFiles, 0) << "a local fault is not a failed download";
    EXPECT_EQ(entries[1].jobResult->result.load(), -3);
    EXPECT_TRUE(entries[1].needsDownload);
    EXPECT_FALSE(entries[1].failed);
    EXPECT_EQ(entries[1].error, L"Local Fault");
    EXPECT_EQ(server_.CountRequests("/m1/blocked.zip") + server_.CountRequests("/m2/blocked.zip"),
              0u);
    for (const LogLine& line : log_.Lines()) {
        EXPECT_EQ(line.message.find("blocked.zip"), std::string::npos) << line.message;
    }
}

TEST_F(DownloadSetsTest, LocalFaultIsNotWithdrawnWhenTheNextSweepSucceeds) {
    const std::string body = Bytes(4000, 41);
    const std::string blocked = Bytes(6000, 42);
    std::vector<PackageEntry> entries = {Package("ok.zip", "ok.zip", body),
                                         Package("blocked.zip", "blocked.zip", blocked)};
    const std::wstring obstacle = PackageFile("blocked.zip");
    ASSERT_TRUE(CreateDirectories(obstacle + kPathSeparator));
    // The first mirror answers for ok.zip only once blocked.zip's job has given up, and clears
    // the obstacle then, so the second sweep can write the package.
    std::atomic<bool> cleared{false};
    server_.SetHandler("/m1/ok.zip", [&](const RecordedRequest&) {
        const std::shared_ptr<JobResult> record = entries[1].jobResult;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (record && record->result.load() == 0 &&
               std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        cleared = RemoveEmptyFolder(obstacle);
        return Reply::Ok(body);
    });
    server_.SetFile("/m2/blocked.zip", blocked);

    const Outcome outcome = RunPackages(entries, {Mirror(1), Mirror(2)});

    ASSERT_TRUE(cleared);
    EXPECT_EQ(outcome.localFaults, 1);
    EXPECT_EQ(outcome.failedFiles, 0);
    EXPECT_EQ(status_.filesDone.load(), 2);
    EXPECT_FALSE(entries[1].needsDownload);
    EXPECT_EQ(entries[1].jobResult->result.load(), 1);
    EXPECT_EQ(Contents(obstacle), blocked);
}

TEST_F(DownloadSetsTest, ThrottledJobRestartsFromZeroWithTheLongerWindow) {
    const std::string body = Bytes(40000, 51);
    std::atomic<int> served{0};
    server_.SetHandler("/m1/slow.zip", [&](const RecordedRequest&) {
        Reply reply = Reply::Ok(body);
        // Well below the speed floor, but never silent long enough to stall.
        if (served++ == 0) reply.bytesPerSecond = 2000;
        return reply;
    });
    std::vector<PackageEntry> entries = {Package("slow.zip", "slow.zip", body)};

    const Outcome outcome = RunPackages(entries, {Mirror(1)});

    EXPECT_EQ(served.load(), 2);
    EXPECT_EQ(outcome.failedFiles, 0);
    EXPECT_EQ(entries[0].jobResult->result.load(), 2) << "finished on the second attempt";
    EXPECT_EQ(entries[0].jobResult->bytesNow.load(), static_cast<int64_t>(body.size()));
    EXPECT_EQ(Contents(PackageFile("slow.zip")), body) << "the retry rewrote from byte 0";
    EXPECT_EQ(CountMessages("[INFO] ", JobLine("slow.zip") + " Download Success. RetryTime = 1"),
              1u);
    EXPECT_TRUE(Messages("[ERROR] ").empty());
}

TEST_F(DownloadSetsTest, TrickleFailsAfterThreeAttemptsAndTheNextMirrorServes) {
    settings_.retryLowSpeedTimeSeconds = 1;
    const std::string body = Bytes(40000, 52);
    server_.SetHandler("/m1/slow.zip", [&](const RecordedRequest&) {
        Reply reply = Reply::Ok(body);
        reply.bytesPerSecond = 2000;
        return reply;
    });
    server_.SetFile("/m2/slow.zip", body);
    std::vector<PackageEntry> entries = {Package("slow.zip", "slow.zip", body)};

    const Outcome outcome = RunPackages(entries, {Mirror(1), Mirror(2)});

    EXPECT_EQ(server_.CountRequests("/m1/slow.zip"), 3u);
    EXPECT_EQ(CountMessages("[ERROR] ", JobLine("slow.zip") +
                                            " download failed! ResultCode = 28 HttpStatus = 200"),
              1u);
    EXPECT_EQ(outcome.failedFiles, 0);
    EXPECT_EQ(entries[0].jobResult->result.load(), 1) << "the second mirror's first attempt";
    EXPECT_EQ(Contents(PackageFile("slow.zip")), body);
}

// The limit holds for the two parallel jobs together; only the lower bound of the time is
// checked, which load cannot break. Waiting for the limit, even below the speed floor and for
// longer than the stall limit, abandons no healthy transfer.
TEST_F(DownloadSetsTest, SpeedLimitHoldsForBothJobsTogetherWithoutTrippingTheTransferRules) {
    struct Case {
        int64_t limitKBps;
        size_t packageBytes;
        int64_t floorBytes;
        double minSeconds;
    };
    const Case cases[] = {
        {4000, 10 * 1024 * 1024, 10240, 4.5},  // 20 MiB at 4,000 KB/s: 5.1 s
        {16, 24 * 1024, 100 * 1024, 2.5},      // 48 KiB at 16 KB/s under a 100 KB/s floor: 3 s
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.limitKBps) + " KB/s");
        settings_.lowSpeedLimitBytes = c.floorBytes;
        settings_.downloadLimit = std::make_shared<RateLimiter>(c.limitKBps * 1024);
        std::vector<PackageEntry> entries;
        for (int i = 0; i < 2; ++i) {
            const std::string name =
                "limited_" + std::to_string(c.limitKBps) + "_" + std::to_string(i) + ".zip";
            const std::string body = Bytes(c.packageBytes, static_cast<uint32_t>(60 + i));
            server_.SetFile("/m1/" + name, body);
            entries.push_back(Package(name, name, body));
        }

        const auto start = std::chrono::steady_clock::now();
        const Outcome outcome = RunPackages(entries, {Mirror(1)});
        const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;

        EXPECT_EQ(outcome.failedFiles, 0);
        for (const std::string& line : Messages("[ERROR] ")) ADD_FAILURE() << line;
        EXPECT_GE(took.count(), c.minSeconds);
        for (const PackageEntry& entry : entries) {
            EXPECT_EQ(entry.jobResult->result.load(), 1) << entry.name << ": first attempt";
            EXPECT_FALSE(entry.needsDownload) << entry.name << " verified";
        }
    }
}

// A package whose download broke off is continued on the next call with Range and If-Range, but
// only where the server sends exactly the missing part of the same file; otherwise it is
// fetched whole. Either way the result is the published package, and its SHA-256, hashed while it
// arrives, covers the kept bytes too.
TEST_F(DownloadSetsTest, InterruptedPackageContinuesOnlyWhereTheServerSendsTheRest) {
    enum class Server { HonoursRanges, IgnoresRanges, ChangedFile, SendsAnotherPart };
    struct Case {
        const char* name;
        Server server;
        size_t bytesSentAfterBreak;
    };
    const size_t total = 50000;
    const size_t kept = 30000;
    const Case cases[] = {
        {"honours ranges", Server::HonoursRanges, total - kept},
        {"ignores ranges", Server::IgnoresRanges, total},
        {"changed file", Server::ChangedFile, total},
        {"sends another part", Server::SendsAnotherPart, 2 * total},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = "resumed_" + std::to_string(static_cast<int>(c.server)) + ".zip";
        const std::string first = Bytes(total, 80);
        const std::string changed = Bytes(total, 81);
        const std::string& published = c.server == Server::ChangedFile ? changed : first;
        std::atomic<size_t> sent{0};
        bool broken = false;
        server_.SetHandler("/m1/" + path, [&](const RecordedRequest& request) {
            const std::string range = request.Header("Range");
            Reply reply = Reply::Ok(published);
            reply.headers.emplace_back("ETag", published == first ? "\"v1\"" : "\"v2\"");
            if (!broken) {  // the first attempt breaks off after `kept` bytes
                broken = true;
                reply.sendBytes = static_cast<int64_t>(kept);
                return reply;
            }
            const bool sameFile = request.Header("If-Range") == "\"v1\"" && published == first;
            if (c.server == Server::HonoursRanges && sameFile && range == "bytes=30000-") {
                reply.status = 206;
                reply.body = published.substr(kept);
                reply.headers.emplace_back("Content-Range", "bytes 30000-49999/50000");
            } else if (c.server == Server::SendsAnotherPart && !range.empty()) {
                reply.status = 206;
                reply.headers.emplace_back("Content-Range", "bytes 0-49999/50000");
            }
            sent += reply.body.size();
            return reply;
        });

        std::vector<PackageEntry> entries = {Package(path, path, first)};
        ASSERT_EQ(RunPackages(entries, {Mirror(1)}).failedFiles, 1);
        ASSERT_EQ(FileSize64(PackageFile(path)), static_cast<int64_t>(kept)) << "kept bytes";

        entries = {Package(path, path, published)};  // as listed at the next start
        ExpectedDigests digests{{Digest(published)}};
        const Outcome outcome = RunPackages(entries, {Mirror(1)}, &digests);

        EXPECT_EQ(outcome.failedFiles, 0);
        EXPECT_EQ(digests.refusals, 0);
        EXPECT_EQ(entries[0].jobResult->result.load(), 1);
        EXPECT_EQ(Contents(PackageFile(path)), published);
        EXPECT_EQ(sent.load(), c.bytesSentAfterBreak);
        EXPECT_FALSE(FileExists(PackageFile(path) + L".resume")) << "record removed at the end";
    }
}

// The incremental path continues files from the size threshold up; smaller ones start over.
TEST_F(DownloadSetsTest, InterruptedLargeFileOfAFileSetContinuesAndASmallOneStartsOver) {
    settings_.resumeFileBytes = 40000;
    const std::string large = Bytes(50000, 90);
    const std::string small = Bytes(30000, 91);
    std::atomic<size_t> sentAfterBreak{0};
    auto serve = [&](const std::string& body) {
        auto broken = std::make_shared<bool>(false);
        return [&, body, broken](const RecordedRequest& request) {
            Reply reply = Reply::Ok(body);
            reply.headers.emplace_back("ETag", "\"v1\"");
            if (!*broken) {  // the first attempt breaks off after 60 %
                *broken = true;
                reply.sendBytes = static_cast<int64_t>(body.size() * 6 / 10);
                return reply;
            }
            const std::string from = std::to_string(body.size() * 6 / 10);
            if (request.Header("Range") == "bytes=" + from + "-" &&
                request.Header("If-Range") == "\"v1\"") {
                reply.status = 206;
                reply.body = body.substr(body.size() * 6 / 10);
                reply.headers.emplace_back("Content-Range", "bytes " + from + "-" +
                                                                std::to_string(body.size() - 1) +
                                                                "/" + std::to_string(body.size()));
            }
            sentAfterBreak += reply.body.size();
            return reply;
        };
    };
    server_.SetHandler("/m1/large.pak", serve(large));
    server_.SetHandler("/m1/small.pak", serve(small));
    std::vector<FileEntry> entries = {FileItem("large.pak", large), FileItem("small.pak", small)};
    ASSERT_EQ(RunFiles(entries, {Mirror(1)}).failedFiles, 2);

    entries = {FileItem("large.pak", large), FileItem("small.pak", small)};  // the next start
    ExpectedDigests digests{{Digest(large), Digest(small)}};
    const Outcome outcome = RunFiles(entries, {Mirror(1)}, &digests);

    EXPECT_EQ(outcome.failedFiles, 0);
    EXPECT_EQ(digests.refusals, 0) << "the digest covers the kept bytes";
    EXPECT_EQ(sentAfterBreak.load(), large.size() * 4 / 10 + small.size());
    EXPECT_EQ(Contents(GameFile("large.pak")), large);
    EXPECT_EQ(Contents(GameFile("small.pak")), small);
    EXPECT_EQ(status_.bytesDone.load(), static_cast<int64_t>(large.size() + small.size()))
        << "kept bytes counted once";
}

TEST_F(DownloadSetsTest, ServerThatAnswersAndFallsSilentEndsTheJob) {
    settings_.lowSpeedTimeSeconds = 1;
    settings_.retryLowSpeedTimeSeconds = 1;
    settings_.stallLimitMs = 2500;
    settings_.speedFloorAttempts = 1000;  // the stall rule, not the attempt bound, ends the job
    server_.SetHandler("/m1/mute.zip", [](const RecordedRequest&) {
        Reply reply = Reply::Ok(std::string(5000, 'x'));
        reply.silenceMs = 600000;  // ended by the server's destructor
        return reply;
    });
    std::vector<PackageEntry> entries = {Package("mute.zip", "mute.zip", Bytes(5000, 61))};

    const Outcome outcome = RunPackages(entries, {Mirror(1)});

    EXPECT_GE(server_.CountRequests("/m1/mute.zip"), 2u) << "the speed floor retries first";
    EXPECT_EQ(entries[0].jobResult->result.load(), -1);
    EXPECT_EQ(outcome.failedFiles, 1);
    EXPECT_EQ(CountMessages("[ERROR] ", JobLine("mute.zip") +
                                            " download failed! ResultCode = 42 HttpStatus = 200"),
              1u);
}

TEST_F(DownloadSetsTest, UnsafePackagePathIsNeverFetched) {
    std::vector<PackageEntry> entries = {Package("evil.zip", "..\\evil.zip", Bytes(100, 71))};
    server_.SetFile("/m1/evil.zip", Bytes(100, 71));

    const Outcome outcome = RunPackages(entries, {Mirror(1), Mirror(2)});

    EXPECT_EQ(outcome.failedFiles, 1);
    EXPECT_EQ(outcome.localFaults, 0);
    EXPECT_TRUE(entries[0].needsDownload);
    EXPECT_TRUE(server_.Requests().empty());
    EXPECT_FALSE(FileExists(scratch_ / L"Temp\\evil.zip"));
}

TEST_F(DownloadSetsTest, FilesAlreadyPresentAreCountedWithoutTransfer) {
    const std::string a = Bytes(3000, 81);
    const std::string b = Bytes(5000, 82);
    std::vector<FileEntry> entries = {FileItem("velka_win\\a.dat", a), FileItem("b.dat", b)};
    ASSERT_TRUE(CreateDirectories(GameFile("velka_win\\a.dat")));
    ASSERT_TRUE(WriteFileBytes(GameFile("velka_win\\a.dat"), a));
    ASSERT_TRUE(WriteFileBytes(GameFile("b.dat"), b));

    const Outcome outcome = RunFiles(entries, {Mirror(1), Mirror(2)});

    EXPECT_TRUE(server_.Requests().empty());
    EXPECT_EQ(outcome.failedFiles, 0);
    EXPECT_EQ(outcome.localFaults, 0);
    EXPECT_EQ(status_.filesDone.load(), 2);
    EXPECT_EQ(status_.filesTotal.load(), 2);
    EXPECT_EQ(status_.bytesDone.load(), static_cast<int64_t>(a.size() + b.size()));
    EXPECT_EQ(status_.State(), PatcherState::DownloadingFiles);
    EXPECT_TRUE(entries[0].needsDownload) << "the file set never clears the mark";
}

TEST_F(DownloadSetsTest, FileSetFetchesMissingAndWrongFilesWithBlanksEncodedInTheUrlOnly) {
    const std::string spaced = Bytes(7000, 91);
    const std::string right = Bytes(3000, 92);
    const std::string fresh = Bytes(1000, 93);
    server_.SetFile("/m1/data/a b/file one.txt", spaced);
    server_.SetFile("/m1/data/b.bin", right);
    server_.SetFile("/m1/c.bin", fresh);
    std::vector<FileEntry> entries = {FileItem("data\\a b\\file one.txt", spaced),
                                      FileItem("data\\b.bin", right), FileItem("c.bin", fresh)};
    ASSERT_TRUE(CreateDirectories(GameFile("data\\b.bin")));
    ASSERT_TRUE(WriteFileBytes(GameFile("data\\b.bin"), "left by an older version"));

    const Outcome outcome = RunFiles(entries, {Mirror(1)});

    EXPECT_EQ(outcome.failedFiles, 0);
    EXPECT_EQ(status_.filesDone.load(), 3);
    EXPECT_EQ(status_.bytesDone.load(),
              static_cast<int64_t>(spaced.size() + right.size() + fresh.size()));
    EXPECT_EQ(Contents(GameFile("data\\a b\\file one.txt")), spaced);
    EXPECT_EQ(Contents(GameFile("data\\b.bin")), right);
    EXPECT_EQ(Contents(GameFile("c.bin")), fresh);
    std::vector<std::string> targets;
    for (const RecordedRequest& request : server_.Requests()) targets.push_back(request.target);
    std::sort(targets.begin(), targets.end());  // two files are fetched at a time
    EXPECT_EQ(targets, (std::vector<std::string>{"/m1/c.bin", "/m1/data/a%20b/file%20one.txt",
                                                 "/m1/data/b.bin"}));
}

TEST_F(DownloadSetsTest, FileSetSkipsADeadMirror) {
    const std::string a = Bytes(2000, 101);
    const std::string b = Bytes(4000, 102);
    server_.SetFile("/m2/a.bin", a);
    server_.SetFile("/m2/sub/b.bin", b);
    const std::string dead = "http://127.0.0.1:" + std::to_string(UnusedLocalPort()) + "/";
    std::vector<FileEntry> entries = {FileItem("a.bin", a), FileItem("sub\\b.bin", b)};

    const Outcome outcome = RunFiles(entries, {dead, Mirror(2)});

    EXPECT_EQ(outcome.failedFiles, 0);
    EXPECT_EQ(outcome.localFaults, 0);
    EXPECT_EQ(status_.filesDone.load(), 2);
    EXPECT_EQ(status_.bytesDone.load(), static_cast<int64_t>(a.size() + b.size()));
    EXPECT_FALSE(entries[1].failed);
    EXPECT_EQ(Contents(GameFile("sub\\b.bin")), b);
    EXPECT_EQ(CountMessages("[ERROR] ", "Download Binary file failed! url = " + dead +
                                            "sub/b.bin    CURL CODE = 7 HttpStatusCode = 0"),
              1u);
}

TEST_F(DownloadSetsTest, FileSetCountersHoldOnlyThisCallsFailures) {
    const std::string missing = Bytes(1000, 111);
    const std::string flagged = Bytes(2000, 112);
    const std::string blocked = Bytes(3000, 113);
    const std::string right = Bytes(4000, 114);
    server_.SetFile("/m1/flagged.bin", flagged);
    server_.SetFile("/m1/wrong.bin", Bytes(4000, 115));
    std::vector<FileEntry> entries = {
        FileItem("missing.bin", missing), FileItem("flagged.bin", flagged),
        FileItem("blocked.bin", blocked), FileItem("wrong.bin", right)};
    // Flagged by the local check before the download; it counted nothing here.
    entries[1].failed = true;
    entries[1].error = L"failed to open for checking";
    ASSERT_TRUE(CreateDirectories(GameFile("blocked.bin") + kPathSeparator));

    const Outcome outcome = RunFiles(entries, {Mirror(1)});

    EXPECT_EQ(outcome.failedFiles, 3) << "missing, blocked and wrong";
    EXPECT_EQ(outcome.localFaults, 1) << "a CRC mismatch after a local fault is no local fault";
    const std::vector<std::wstring> errors = {L"downloading unsuccessful", L"", L"Local Fault",
                                              L"downloading unsuccessful"};
    for (size_t i = 0; i < entries.size(); ++i) {
        EXPECT_EQ(entries[i].error, errors[i]) << entries[i].path;
        EXPECT_EQ(entries[i].failed, !errors[i].empty()) << entries[i].path;
    }
    EXPECT_FALSE(FileExists(GameFile("wrong.bin")));
    EXPECT_EQ(status_.filesDone.load(), 1);
}

TEST_F(DownloadSetsTest, FileSetWithdrawsFailuresThatTheNextSweepRetries) {
    const std::string blocked = Bytes(3000, 121);
    const std::string right = Bytes(4000, 122);
    server_.SetFile("/m1/wrong.bin", Bytes(4000, 123));
    server_.SetFile("/m2/wrong.bin", right);
    std::vector<FileEntry> entries = {FileItem("blocked.bin", blocked),
                                      FileItem("wrong.bin", right),
                                      FileItem("..\\outside.bin", right)};
    ASSERT_TRUE(CreateDirectories(GameFile("blocked.bin") + kPathSeparator));

    const Outcome outcome = RunFiles(entries, {Mirror(1), Mirror(2)});

    EXPECT_EQ(outcome.failedFiles, 2) << "blocked and the unsafe path";
    EXPECT_EQ(outcome.localFaults, 1);
    EXPECT_EQ(Contents(GameFile("wrong.bin")), right);
    EXPECT_FALSE(entries[1].failed);
    EXPECT_EQ(entries[2].error, L"downloading unsuccessful");
    for (const RecordedRequest& request : server_.Requests()) {
        EXPECT_NE(request.target.find("wrong.bin"), std::string::npos) << request.target;
    }
    EXPECT_FALSE(FileExists(scratch_ / L"outside.bin"));
    EXPECT_EQ(
        CountMessages("[ERROR] ",
                      "Unsafe path in file list! Name = ..\\outside.bin Path = ..\\outside.bin"),
        2u)
        << "once per sweep";
}

// Two files are fetched at a time, yet the outcomes are taken in list order: the log lines, the
// codes left in the logger and the local-fault flag are those of a run one file after the other,
// and an entry naming a file that is still being fetched finds it there afterwards.
TEST_F(DownloadSetsTest, FileSetTakesOutcomesInListOrderWhicheverTransferEndsLast) {
    std::mutex lock;
    std::condition_variable answered;
    bool secondAnswered = false;
    server_.SetHandler("/m1/first.bin", [&](const RecordedRequest&) {
        std::unique_lock<std::mutex> guard(lock);
        answered.wait_for(guard, std::chrono::seconds(10), [&] { return secondAnswered; });
        Reply reply = Reply::WithStatus(500, std::string(2000, 'e'));
        reply.bytesPerSecond = 20000;  // ends well after the second
        return reply;
    });
    server_.SetHandler("/m1/second.bin", [&](const RecordedRequest&) {
        std::lock_guard<std::mutex> guard(lock);
        secondAnswered = true;
        answered.notify_all();
        return Reply::WithStatus(404, "Not Found");
    });
    const std::string twice = Bytes(3000, 131);
    server_.SetFile("/m1/twice.bin", twice);
    std::vector<FileEntry> entries = {FileItem("first.bin", "1"), FileItem("second.bin", "2"),
                                      FileItem("twice.bin", twice), FileItem("twice.bin", twice),
                                      FileItem("blocked.bin", "3")};
    ASSERT_TRUE(CreateDirectories(GameFile("blocked.bin") + kPathSeparator));
    localFaultFlag = false;

    const Outcome outcome = RunFiles(entries, {Mirror(1)});

    EXPECT_EQ(outcome.failedFiles, 3);
    EXPECT_EQ(outcome.localFaults, 1);
    EXPECT_EQ(log_.logger().LastCurlCode(), 0);
    EXPECT_EQ(log_.logger().LastResponseCode(), 404) << "the later failure in the list";
    EXPECT_TRUE(localFaultFlag.load()) << "the last download in the list was a local fault";
    EXPECT_EQ(Messages("[ERROR] "),
              (std::vector<std::string>{"Download Binary file failed! url = " + Mirror(1) +
                                            "first.bin    CURL CODE = 0 HttpStatusCode = 500",
                                        "Download Binary file failed! url = " + Mirror(1) +
                                            "second.bin    CURL CODE = 0 HttpStatusCode = 404"}));
    EXPECT_EQ(server_.CountRequests("/m1/twice.bin"), 1u) << "the second entry found it intact";
    EXPECT_TRUE(entries[3].verified);
    EXPECT_EQ(status_.filesDone.load(), 2);
}

TEST_F(DownloadSetsTest, NoMirrorsOrNothingToFetchTouchesNothing) {
    server_.SetFile("/m1/p.zip", "p");
    server_.SetFile("/m1/f.bin", "f");
    struct Case {
        const char* name;
        bool withMirror;
    };
    for (const Case& c : {Case{"empty base list", false}, Case{"count 0", true}}) {
        SCOPED_TRACE(c.name);
        const std::vector<std::string> bases =
            c.withMirror ? std::vector<std::string>{Mirror(1)} : std::vector<std::string>{};
        const int32_t count = c.withMirror ? 0 : 1;
        std::vector<PackageEntry> packages = {Package("p.zip", "p.zip", "p")};
        std::vector<FileEntry> files = {FileItem("f.bin", "f")};
        int32_t failed = 7;
        int32_t local = 7;
        ::testing::internal::CaptureStdout();
        DownloadPackages(log_.logger(), status_, scratch_.Path(), bases, packages, count, 1,
                         &failed, &local, settings_);
        EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
        EXPECT_EQ(failed, 0);
        EXPECT_EQ(local, 0);
        EXPECT_FALSE(packages[0].jobResult) << "no job was prepared";
        failed = 7;
        local = 7;
        DownloadFileSet(log_.logger(), status_, scratch_ / L"Game", bases, files, count, 1, &failed,
                        &local, settings_);
        EXPECT_EQ(failed, 0);
        EXPECT_EQ(local, 0);
        EXPECT_TRUE(server_.Requests().empty());
        EXPECT_FALSE(FileExists(GameFile("f.bin")));
    }
}

}  // namespace
}  // namespace velka
