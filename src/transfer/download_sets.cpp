#include "transfer/download_sets.h"

#include <curl/curl.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <exception>
#include <limits>
#include <mutex>
#include <thread>

#include "patcher/status.h"
#include "platform/fs.h"
#include "platform/text.h"
#include "transfer/curl_easy.h"
#include "transfer/http.h"
#include "transfer/resumable_download.h"
#include "transfer/stream_hash.h"
#include "transfer/transfer_watch.h"
#include "transfer/worker_pool.h"
#include "util/logger.h"
#include "util/safe_path.h"
#include "util/strings.h"

namespace velka {

namespace {

constexpr int32_t kJobFailed = -1;
constexpr int32_t kJobLocalFault = -3;
constexpr int32_t kPoolThreads = 2;

// libcurl refuses an easy handle only when memory or its global state is exhausted; a short
// wait may see it recover, an endless one would hold the sweep forever.
constexpr int kHandleAttempts = 100;
constexpr std::chrono::milliseconds kHandleRetryPause{20};

const wchar_t kErrorUnsuccessful[] = L"downloading unsuccessful";
const wchar_t kErrorLocalFault[] = L"Local Fault";

uint32_t ClampToU32(int64_t value) {
    if (value < 0) return 0;
    if (value > static_cast<int64_t>(std::numeric_limits<uint32_t>::max())) {
        return std::numeric_limits<uint32_t>::max();
    }
    return static_cast<uint32_t>(value);
}

// An unreadable file gives an empty CRC text, which must never count as a match.
bool CrcMatches(const std::string& computed, const std::string& expected) {
    return !computed.empty() && computed == expected;
}

// The local file of an entry, or "" when the list path would leave its folder (then nothing is
// opened, written or deleted for it).
std::wstring LocalPathOf(const std::wstring& folder, const std::string& relative) {
    if (!IsSafeRelativePath(relative)) return std::wstring();
    return JoinPath(folder, ToWide(relative));
}

void LogUnsafe(Logger& logger, const char* list, const std::string& name, const std::string& path) {
    logger.Error(std::string("Unsafe path in ") + list + "! Name = " + PrintableForLog(name) +
                 " Path = " + PrintableForLog(path));
}

// With a signed release: whether `actual` is the digest the release gives entry `index`. A
// refusal is logged and counted.
bool DigestAccepted(Logger& logger, ExpectedDigests* expected, size_t index,
                    const std::string& name, const Sha256Digest& actual) {
    if (!expected) return true;
    const Sha256Digest none{};
    if (index < expected->digests.size() && expected->digests[index] != none &&
        expected->digests[index] == actual) {
        return true;
    }
    logger.Error("Release check failed! FileName = " + PrintableForLog(name) + " SHA-256 = " +
                 Sha256Hex(actual) + " is not the signed release's");
    ++expected->refusals;
    return false;
}

// The same for a file an earlier attempt or run left staged: it was network data once, so its
// right CRC proves nothing against a forgery.
bool StagedFileAccepted(Logger& logger, ExpectedDigests* expected, size_t index,
                        const std::string& name, const std::wstring& path) {
    if (!expected) return true;
    Sha256Digest digest{};
    uint64_t size = 0;
    if (!Sha256OfFile(path, &digest, &size)) digest = Sha256Digest{};
    return DigestAccepted(logger, expected, index, name, digest);
}

CurlHandle AcquireHandle() {
    for (int attempt = 0; attempt < kHandleAttempts; ++attempt) {
        if (attempt > 0) std::this_thread::sleep_for(kHandleRetryPause);
        CurlHandle handle = NewCurlHandle();
        if (handle) return handle;
    }
    return CurlHandle();
}

std::string JobName(const DownloadJob& job) {
    return "Job " + ToNarrow(job.localPath);
}

int32_t ReportFailure(const DownloadJob& job, const TransferResult& result) {
    if (job.logger) {
        job.logger->Error(JobName(job) + " download failed! ResultCode = " +
                          IntToString(static_cast<int32_t>(result.code)) +
                          " HttpStatus = " + IntToString(result.responseCode));
        job.logger->SetTransferResult(static_cast<int32_t>(result.code), result.responseCode);
    }
    return kJobFailed;
}

// The job proper; its value becomes the record's result. May throw.
int32_t PerformJob(DownloadJob& job) {
    const TransferSettings& settings = job.settings ? *job.settings : DefaultTransferSettings();
    JobResult& record = *job.record;
    CreateDirectories(job.localPath);

    int32_t retries = 0;
    int64_t lastGrowthMs = 0;
    for (;;) {
        CurlHandle handle = AcquireHandle();
        if (!handle) return ReportFailure(job, TransferResult{CURLE_FAILED_INIT, 0});

        // Continues what an interrupted attempt (this run's or an earlier run's) left.
        ResumableDownload download;
        StreamHash hash;
        if (job.hash) download.HashInto(&hash);
        if (!download.Open(job.localPath, job.url)) return kJobLocalFault;

        TransferWatch watch = MakeTransferWatch(&record.bytesNow, nullptr, settings);
        // A retry restarts the byte count, not the stall clock: a server that answers and then
        // never sends anything must end the job, not restart it forever.
        if (retries > 0) watch.lastProgressMs = lastGrowthMs;
        CURLcode set = SetDownloadJobOptions(handle.get(), job.url, download.file(), &watch,
                                             retries > 0, settings);
        if (set == CURLE_OK) set = download.Apply(handle.get(), &watch);
        TransferResult result =
            set == CURLE_OK ? PerformTransfer(handle.get()) : TransferResult{set, 0};
        lastGrowthMs = watch.lastProgressMs;
        handle.reset();
        bool succeeded = download.Succeeded(result);
        // The last buffered bytes reach the disk only here; losing them is a short write.
        if (!download.Close() && succeeded) {
            succeeded = false;
            result.code = CURLE_WRITE_ERROR;
        }

        if (succeeded && job.hash && !hash.Finish(&record.digest)) {
            succeeded = false;
            result.code = CURLE_FAILED_INIT;
        }
        if (succeeded) {
            ResumableDownload::Forget(job.localPath);
            if (job.logger) {
                job.logger->Info(JobName(job) +
                                 " Download Success. RetryTime = " + IntToString(retries));
            }
            return retries + 1;
        }
        if (download.RangeRefused()) {
            // The server sent another part than the one asked for: start over at once.
            ResumableDownload::Discard(job.localPath);
            record.bytesNow = 0;
            continue;
        }
        const bool answered = result.responseCode == 200 || result.responseCode == 226 ||
                              result.responseCode == 206;
        if (result.code == CURLE_OPERATION_TIMEDOUT && answered &&
            retries + 1 < settings.speedFloorAttempts) {
            // The next attempt continues the file where this one stopped.
            ++retries;
            record.bytesNow = 0;
            continue;
        }
        return ReportFailure(job, result);
    }
}

void LogJobException(const DownloadJob& job, const char* what) noexcept {
    if (!job.logger) return;
    try {
        job.logger->Error(JobName(job) + " DownLoad Error! " + what);
    } catch (...) {
        // Nothing left to report with; the result still tells the watcher.
    }
}

// Counts the jobs of a sweep that have ended, so the sweep can wake the moment the last one does
// instead of on its next progress sample.
struct JobsEnded {
    std::mutex lock;
    std::condition_variable changed;
    size_t count = 0;
};

struct PoolJob {
    DownloadJob* job;
    JobsEnded* ended;
};

void RunDownloadTask(void* argument) noexcept {
    const PoolJob& task = *static_cast<PoolJob*>(argument);
    RunDownloadJob(*task.job);
    std::lock_guard<std::mutex> guard(task.ended->lock);
    ++task.ended->count;
    task.ended->changed.notify_all();
}

struct SweepCounters {
    int32_t* failedFiles;
    int32_t* localFaults;
    // Per entry: its failure is counted in failedFiles (and localFaults), by this call.
    std::vector<uint8_t> countedFailed;
    std::vector<uint8_t> countedLocal;
};

// Takes back what an entry's previous attempt counted, before it is tried again. Flags that were
// set before this call (by the local check) counted nothing and only get cleared.
template <typename Entry>
void WithdrawFailure(Entry& entry, size_t index, const std::wstring& localPath,
                     SweepCounters& counters) {
    if (!entry.failed) return;
    if (!localPath.empty()) ResumableDownload::Discard(localPath);
    if (counters.countedLocal[index] && *counters.localFaults > 0) --*counters.localFaults;
    if (counters.countedFailed[index] && *counters.failedFiles > 0) --*counters.failedFiles;
    counters.countedLocal[index] = 0;
    counters.countedFailed[index] = 0;
    entry.failed = false;
    entry.error.clear();
}

template <typename Entry>
void CountFailure(Entry& entry, size_t index, SweepCounters& counters) {
    entry.failed = true;
    entry.error = kErrorUnsuccessful;
    ++*counters.failedFiles;
    counters.countedFailed[index] = 1;
}

// Samples the jobs' progress every packageWatchPeriodMs, and once more when the last job ends.
void WaitForJobs(PatcherStatus& status, const std::vector<DownloadJob>& jobs, JobsEnded& ended,
                 const TransferSettings& settings) {
    int64_t lastNonZero = 0;
    for (;;) {
        int64_t sum = 0;
        size_t endedJobs = 0;
        for (const DownloadJob& job : jobs) {
            sum += job.record->bytesNow.load();
            if (job.record->result.load() != 0) ++endedJobs;
        }
        // Between a job's retries its bytes drop to 0; showing the last real sum avoids a bar
        // that jumps back to empty.
        if (sum != 0) lastNonZero = sum;
        status.bytesDone = sum != 0 ? sum : lastNonZero;
        if (endedJobs == jobs.size()) return;
        std::unique_lock<std::mutex> guard(ended.lock);
        ended.changed.wait_for(guard, std::chrono::milliseconds(settings.packageWatchPeriodMs),
                               [&] { return ended.count >= jobs.size(); });
    }
}

void RunJobs(std::vector<DownloadJob>& jobs, PatcherStatus& status,
             const TransferSettings& settings) {
    // Jobs create easy handles on the workers; the global state must exist before them.
    curl_global_init(CURL_GLOBAL_ALL);
    // Declared before the pool: the tasks use them until the pool is shut down.
    JobsEnded ended;
    std::vector<PoolJob> tasks;
    tasks.reserve(jobs.size());
    for (DownloadJob& job : jobs) tasks.push_back(PoolJob{&job, &ended});
    std::unique_ptr<WorkerPool> pool = CreatePool(kPoolThreads);
    if (pool->threadCount == 0) {
        // The system gave us no thread: run the sweep here rather than wait for nobody.
        for (PoolJob& task : tasks) RunDownloadTask(&task);
    } else {
        for (PoolJob& task : tasks) SubmitTask(*pool, &RunDownloadTask, &task);
    }
    WaitForJobs(status, jobs, ended, settings);
    std::fputs("finish all task =====================>\n", stdout);
    std::fflush(stdout);
    status.SetState(PatcherState::FilesDownloaded);
    ShutdownPool(std::move(pool));
}

void VerifyPackages(Logger& logger, PatcherStatus& status, const std::wstring& packageFolder,
                    std::vector<PackageEntry>& entries, SweepCounters& counters,
                    ExpectedDigests* expected) {
    for (size_t i = 0; i < entries.size(); ++i) {
        PackageEntry& entry = entries[i];
        if (!entry.jobResult) continue;
        int32_t result = entry.jobResult->result.load();
        if (result >= 1) {
            const std::wstring localPath = LocalPathOf(packageFolder, entry.path);
            const std::string crc = ComputeFileCrc(localPath);
            if (CrcMatches(crc, entry.crc) &&
                DigestAccepted(logger, expected, i, entry.name, entry.jobResult->digest)) {
                // Packages verified in an earlier sweep are checked again but counted once.
                if (entry.needsDownload) {
                    entry.needsDownload = false;
                    ++status.filesDone;
                }
            } else {
                const int64_t measured = FileSize64(localPath);
                status.bytesDone -= measured >= 0 ? measured : entry.packageSize;
                result = kJobFailed;
                entry.jobResult->result = result;
                ResumableDownload::Discard(localPath);
                logger.Error("Zip File CRC Check Error! FileName = " + entry.name +
                             " CRC = " + crc);
            }
        }
        // An earlier sweep's failure that is not retried stays counted once.
        if (result == kJobFailed && !counters.countedFailed[i]) CountFailure(entry, i, counters);
    }
}

void SweepPackages(Logger& logger, PatcherStatus& status, const std::wstring& packageFolder,
                   const std::string& baseUrl, std::vector<PackageEntry>& entries,
                   SweepCounters& counters, const TransferSettings& settings,
                   ExpectedDigests* expected) {
    status.bytesTotal = 0;
    std::vector<DownloadJob> jobs;
    jobs.reserve(entries.size());
    for (size_t i = 0; i < entries.size(); ++i) {
        PackageEntry& entry = entries[i];
        if (entry.jobResult && entry.jobResult->result.load() == kJobLocalFault) {
            entry.error = kErrorLocalFault;
        }
        status.currentFileSize = ClampToU32(entry.packageSize);
        status.SetCurrentFileName(ToWide(entry.name));
        if (!entry.needsDownload) continue;
        status.bytesTotal += entry.packageSize;

        const std::wstring localPath = LocalPathOf(packageFolder, entry.path);
        WithdrawFailure(entry, i, localPath, counters);
        entry.jobResult = std::make_shared<JobResult>();
        if (localPath.empty()) {
            LogUnsafe(logger, "package list", entry.name, entry.path);
            entry.jobResult->result = kJobFailed;
            continue;
        }
        DownloadJob job;
        job.localPath = localPath;
        job.url = baseUrl + ReplaceAll(entry.name, "\\", "/");
        job.record = entry.jobResult;
        job.logger = &logger;
        job.settings = &settings;
        job.hash = expected != nullptr;
        jobs.push_back(std::move(job));
    }

    status.SetMessage(L"");
    status.SetState(PatcherState::DownloadingPackages);
    RunJobs(jobs, status, settings);
    for (const DownloadJob& job : jobs) {
        if (job.record->result.load() == kJobLocalFault) ++*counters.localFaults;
    }
    status.SetMessage(L"正在檢索本地整包文件");
    VerifyPackages(logger, status, packageFolder, entries, counters, expected);
}

}  // namespace

void RunDownloadJob(DownloadJob& job) noexcept {
    if (!job.record) return;
    int32_t result = kJobFailed;
    try {
        result = PerformJob(job);
    } catch (const std::exception& error) {
        LogJobException(job, error.what());
    } catch (...) {
        LogJobException(job, "unknown exception");
    }
    job.record->result = result;
}

void DownloadPackages(Logger& logger, PatcherStatus& status, const std::wstring& baseDir,
                      const std::vector<std::string>& baseUrls, std::vector<PackageEntry>& entries,
                      int32_t count, int64_t totalBytes, int32_t* failedFiles, int32_t* localFaults,
                      const TransferSettings& settings, ExpectedDigests* expected) {
    int32_t unusedFailed = 0;
    int32_t unusedLocal = 0;
    SweepCounters counters{
        failedFiles ? failedFiles : &unusedFailed, localFaults ? localFaults : &unusedLocal,
        std::vector<uint8_t>(entries.size(), 0), std::vector<uint8_t>(entries.size(), 0)};

    const std::wstring packageFolder = JoinPath(baseDir, L"Temp\\ZipUpdate");
    CreateDirectories(packageFolder + kPathSeparator);
    status.filesDone = 0;
    status.filesTotal = count;
    status.bytesDone = 0;
    status.bytesTotal = totalBytes;
    *counters.failedFiles = 0;
    *counters.localFaults = 0;

    for (const std::string& baseUrl : baseUrls) {
        if (status.filesDone.load() >= status.filesTotal.load()) break;
        SweepPackages(logger, status, packageFolder, baseUrl, entries, counters, settings,
                      expected);
    }
}

void DownloadFileSet(Logger& logger, PatcherStatus& status, const std::wstring& targetDir,
                     const std::vector<std::string>& baseUrls, std::vector<FileEntry>& entries,
                     int32_t count, int64_t totalBytes, int32_t* failedFiles, int32_t* localFaults,
                     const TransferSettings& settings, ExpectedDigests* expected) {
    int32_t unusedFailed = 0;
    int32_t unusedLocal = 0;
    SweepCounters counters{
        failedFiles ? failedFiles : &unusedFailed, localFaults ? localFaults : &unusedLocal,
        std::vector<uint8_t>(entries.size(), 0), std::vector<uint8_t>(entries.size(), 0)};

    status.filesDone = 0;
    status.filesTotal = count;
    status.bytesDone = 0;
    status.bytesTotal = totalBytes;
    status.SetMessage(L"");
    status.SetState(PatcherState::DownloadingFiles);
    *counters.failedFiles = 0;
    *counters.localFaults = 0;
    for (FileEntry& entry : entries) entry.verified = false;

    for (const std::string& baseUrl : baseUrls) {
        if (status.filesDone.load() == status.filesTotal.load()) break;
        status.filesDone = 0;
        for (size_t i = 0; i < entries.size(); ++i) {
            FileEntry& entry = entries[i];
            status.currentFileSize = entry.size;
            status.SetCurrentFileName(ToWide(entry.name));
            const std::wstring localPath = LocalPathOf(targetDir, entry.path);
            WithdrawFailure(entry, i, localPath, counters);
            if (!entry.needsDownload) continue;
            entry.verified = false;  // until this sweep finds the file intact
            if (localPath.empty()) {
                LogUnsafe(logger, "file list", entry.name, entry.path);
                CountFailure(entry, i, counters);
                continue;
            }

            const bool resumable = static_cast<int64_t>(entry.size) >= settings.resumeFileBytes;
            if (FileExists(localPath)) {
                const int64_t length = FileSize64(localPath);
                if (length == static_cast<int64_t>(entry.size) &&
                    CrcMatches(ComputeFileCrc(localPath), entry.crc) &&
                    StagedFileAccepted(logger, expected, i, entry.name, localPath)) {
                    entry.verified = true;
                    ++status.filesDone;
                    status.bytesDone += entry.size;
                    continue;
                }
                // A shorter file with its record is where an interrupted download stopped.
                if (!resumable || length >= static_cast<int64_t>(entry.size) ||
                    !ResumableDownload::HasRecord(localPath)) {
                    ResumableDownload::Discard(localPath);
                }
            }

            const std::string url =
                ReplaceAll(baseUrl + ReplaceAll(entry.path, "\\", "/"), " ", "%20");
            Sha256Digest digest{};
            const bool downloaded =
                DownloadToFile(url, localPath, &status.currentFileBytes, &status.bytesDone,
                               &logger, settings, resumable, expected ? &digest : nullptr);
            // Read at once: the flag belongs to this download only until the next one.
            const bool localFault = !downloaded && localFaultFlag.load();
            if (downloaded) {
                int64_t measured = -1;
                // The progress counter has already added the received bytes to bytesDone.
                if (CrcMatches(ComputeFileCrc(localPath, &measured), entry.crc) &&
                    DigestAccepted(logger, expected, i, entry.name, digest)) {
                    entry.verified = true;
                    ++status.filesDone;
                    continue;
                }
                ResumableDownload::Discard(localPath);
                status.bytesDone -= measured >= 0 ? measured : status.currentFileBytes.load();
            }
            CountFailure(entry, i, counters);
            if (localFault) {
                ++*counters.localFaults;
                counters.countedLocal[i] = 1;
                entry.error = kErrorLocalFault;
            }
        }
    }
}

}  // namespace velka
