#include "patcher/download_sets.h"

#include <curl/curl.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cwctype>
#include <deque>
#include <exception>
#include <limits>
#include <mutex>
#include <thread>

#include "patcher/install_layout.h"
#include "patcher/player_texts.h"
#include "patcher/status.h"
#include "platform/fs.h"
#include "platform/text.h"
#include "transfer/curl_easy.h"
#include "transfer/http.h"
#include "transfer/resumable_download.h"
#include "transfer/stream_hash.h"
#include "transfer/transfer_watch.h"
#include "transfer/worker_pool.h"
#include "util/file_crc.h"
#include "util/logger.h"
#include "util/safe_path.h"
#include "util/strings.h"

namespace velka {

namespace {

constexpr int32_t kPoolThreads = 2;

const wchar_t kErrorUnsuccessful[] = L"downloading unsuccessful";
const wchar_t kErrorLocalFault[] = L"Local Fault";

uint32_t ClampToU32(int64_t value) {
    if (value < 0) return 0;
    if (value > static_cast<int64_t>(std::numeric_limits<uint32_t>::max())) {
        return std::numeric_limits<uint32_t>::max();
    }
    return static_cast<uint32_t>(value);
}

// The local file of an entry, or "" when the list path would leave its folder (then nothing is
// opened, written or deleted for it).
std::wstring LocalPathOf(const std::wstring& folder, const std::string& relative) {
    if (!IsSafeRelativePath(relative)) return std::wstring();
    return JoinPath(folder, ToWide(relative));
}

// With a signed release: whether `actual` is the digest the release gives entry `index`. A
// refusal is logged and counted.
// Only reads `expected`: the file set's workers ask it concurrently.
bool DigestMatches(const ExpectedDigests* expected, size_t index, const Sha256Digest& actual) {
    if (!expected) return true;
    const Sha256Digest none{};
    return index < expected->digests.size() && expected->digests[index] != none &&
           expected->digests[index] == actual;
}

void LogRefusal(Logger& logger, ExpectedDigests* expected, const std::string& name,
                const Sha256Digest& actual) {
    logger.Error("Release check failed! FileName = " + PrintableForLog(name) +
                 " SHA-256 = " + Sha256Hex(actual) + " is not the signed release's");
    ++expected->refusals;
}

bool DigestAccepted(Logger& logger, ExpectedDigests* expected, size_t index,
                    const std::string& name, const Sha256Digest& actual) {
    if (DigestMatches(expected, index, actual)) return true;
    LogRefusal(logger, expected, name, actual);
    return false;
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

// The counters of one call: the caller's (or, where it passed none, the call's own), zeroed, with
// the status counters set for `count` entries of `totalBytes` in all.
struct SweepCounters {
    SweepCounters(PatcherStatus& status, size_t entryCount, int32_t count, int64_t totalBytes,
                  int32_t* failed, int32_t* local)
        : failedFiles(failed ? failed : &unusedFailed),
          localFaults(local ? local : &unusedLocal),
          countedFailed(entryCount, 0),
          countedLocal(entryCount, 0) {
        status.filesDone = 0;
        status.filesTotal = count;
        status.bytesDone = 0;
        status.bytesTotal = totalBytes;
        *failedFiles = 0;
        *localFaults = 0;
    }
    SweepCounters(const SweepCounters&) = delete;
    SweepCounters& operator=(const SweepCounters&) = delete;

    int32_t unusedFailed = 0;
    int32_t unusedLocal = 0;
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
    if (pool->ThreadCount() == 0) {
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
    status.SetMessage(kCheckingPackagesText);
    VerifyPackages(logger, status, packageFolder, entries, counters, expected);
}

// --- The file set ---------------------------------------------------------------------------
//
// A sweep runs the file work (check of a present file, transfer, CRC check) on the two workers,
// and the update thread takes the outcomes in list order: every log line, transfer code, counter
// and flag then comes out as if the files had been fetched one after the other.

// Files handed to the workers before the update thread has taken the outcome of the first.
// Bounds the memory of a long list; enough ahead that a large file does not idle the other
// worker at once.
constexpr size_t kFilesAhead = 64;

// Easy handles kept between the transfers of one file set, so that each worker's next file goes
// over the connection its previous one left open. Any thread may take and put.
class HandleShelf {
  public:
    // A kept handle, or a fresh one; empty when libcurl cannot create one.
    CurlHandle Take() {
        {
            std::lock_guard<std::mutex> guard(lock_);
            if (!handles_.empty()) {
                CurlHandle handle = std::move(handles_.back());
                handles_.pop_back();
                return handle;
            }
        }
        return NewCurlHandle();
    }
    void Put(CurlHandle handle) {
        std::lock_guard<std::mutex> guard(lock_);
        handles_.push_back(std::move(handle));
    }

  private:
    std::mutex lock_;
    std::vector<CurlHandle> handles_;
};

enum class FileOutcome { kIntact, kFetched, kWrongCrc, kFailed, kLocalFault, kUnsafe };

struct FileSet;

// One entry's work in one sweep. The update thread fills the inputs before the work is handed
// out and reads the outcome once `done` is set (under the set's lock); the worker writes only
// the outcome, bytesNow and done.
struct FileWork {
    FileSet* set = nullptr;
    size_t index = 0;
    std::wstring localPath;
    std::string url;
    std::wstring clashKey;
    uint32_t size = 0;
    std::string crc;
    bool resumable = false;

    FileOutcome outcome = FileOutcome::kFailed;
    // A transfer failed with these codes (not set for a failure before any transfer).
    bool transferFailed = false;
    TransferResult result;
    int64_t measured = -1;  // size of a fetched file whose CRC differs; -1 unknown
    // With a signed release: the digest of the fetched file, and whether a staged file with the
    // right CRC was refused for its digest (then `stagedDigest` is what it had).
    Sha256Digest digest{};
    bool stagedRefused = false;
    bool fetchedRefused = false;  // the right CRC, but not the signed digest
    Sha256Digest stagedDigest{};
    std::exception_ptr error;  // rethrown on the update thread, as if thrown there
    std::atomic<int64_t> bytesNow{0};
    bool done = false;
};

struct FileSet {
    Logger& logger;
    PatcherStatus& status;
    const TransferSettings& settings;
    const std::wstring& targetDir;
    std::vector<FileEntry>& entries;
    SweepCounters& counters;
    ExpectedDigests* expected;  // null without a signed release
    HandleShelf handles;
    std::mutex lock;
    std::condition_variable finished;
};

// Two entries whose local files are the same, or where one lies inside the other, are never
// worked on at once: the later one must find what the earlier one left. The key folds case and
// drops what Windows ignores (empty components, trailing dots and blanks), so it errs on the side
// of a clash.
std::wstring ClashKey(const std::string& relative) {
    const std::wstring wide = ToWide(relative);
    std::wstring key;
    size_t start = 0;
    while (start <= wide.size()) {
        size_t end = wide.find_first_of(L"/\\", start);
        if (end == std::wstring::npos) end = wide.size();
        size_t last = end;
        while (last > start && (wide[last - 1] == L'.' || wide[last - 1] == L' ')) --last;
        if (last > start) {
            key += L'/';
            for (size_t i = start; i < last; ++i) {
                key += static_cast<wchar_t>(std::towlower(wide[i]));
            }
        }
        start = end + 1;
    }
    return key;
}

bool Clash(const std::wstring& a, const std::wstring& b) {
    const std::wstring& shorter = a.size() <= b.size() ? a : b;
    const std::wstring& longer = a.size() <= b.size() ? b : a;
    return longer.compare(0, shorter.size(), shorter) == 0 &&
           (longer.size() == shorter.size() || longer[shorter.size()] == L'/');
}

// The worker's part. May throw.
void DoFileWork(FileWork& work) {
    FileSet& set = *work.set;
    if (FileExists(work.localPath)) {
        const int64_t length = FileSize64(work.localPath);
        if (length == static_cast<int64_t>(work.size) &&
            CrcMatches(ComputeFileCrc(work.localPath), work.crc)) {
            // A staged file was network data once: its right CRC proves nothing against a
            // forgery.
            Sha256Digest staged{};
            uint64_t stagedSize = 0;
            if (set.expected && !Sha256OfFile(work.localPath, &staged, &stagedSize)) {
                staged = Sha256Digest{};
            }
            if (DigestMatches(set.expected, work.index, staged)) {
                work.outcome = FileOutcome::kIntact;
                return;
            }
            work.stagedRefused = true;
            work.stagedDigest = staged;
        }
        // A shorter file with its record is where an interrupted download stopped.
        if (!work.resumable || length >= static_cast<int64_t>(work.size) ||
            !ResumableDownload::HasRecord(work.localPath)) {
            ResumableDownload::Discard(work.localPath);
        }
    }

    CurlHandle handle = set.handles.Take();
    if (!handle) {
        work.outcome = FileOutcome::kFailed;
        return;
    }
    const FileDownload download = DownloadWithHandle(
        handle.get(), work.url, work.localPath, &work.bytesNow, &set.status.bytesDone, set.settings,
        work.resumable, set.expected ? &work.digest : nullptr);
    set.handles.Put(std::move(handle));
    if (download.localFault) {
        work.outcome = FileOutcome::kLocalFault;
    } else if (!download.succeeded) {
        work.outcome = FileOutcome::kFailed;
        work.transferFailed = true;
        work.result = download.result;
    } else {
        const bool crcMatches =
            CrcMatches(ComputeFileCrc(work.localPath, &work.measured), work.crc);
        if (crcMatches && DigestMatches(set.expected, work.index, work.digest)) {
            work.outcome = FileOutcome::kFetched;
            return;
        }
        work.fetchedRefused = crcMatches;
        ResumableDownload::Discard(work.localPath);
        work.outcome = FileOutcome::kWrongCrc;
    }
}

void RunFileWork(void* argument) noexcept {
    FileWork& work = *static_cast<FileWork*>(argument);
    try {
        DoFileWork(work);
    } catch (...) {
        work.error = std::current_exception();
    }
    std::lock_guard<std::mutex> guard(work.set->lock);
    work.done = true;
    work.set->finished.notify_all();
}

// Waits for the work, then gives its outcome the effects a download on the update thread has.
void TakeOutcome(FileWork& work) {
    FileSet& set = *work.set;
    PatcherStatus& status = set.status;
    FileEntry& entry = set.entries[work.index];
    status.currentFileSize = entry.size;
    status.SetCurrentFileName(ToWide(entry.name));
    {
        std::unique_lock<std::mutex> guard(set.lock);
        while (!work.done) {
            if (work.bytesNow.load() > 0) status.currentFileBytes = work.bytesNow.load();
            set.finished.wait_for(guard,
                                  std::chrono::milliseconds(set.settings.packageWatchPeriodMs));
        }
    }
    if (work.error) std::rethrow_exception(work.error);
    if (work.stagedRefused) LogRefusal(set.logger, set.expected, entry.name, work.stagedDigest);

    switch (work.outcome) {
        case FileOutcome::kIntact:
            entry.verified = true;
            ++status.filesDone;
            status.bytesDone += entry.size;
            return;
        case FileOutcome::kFetched:
            // The progress counter has already added the received bytes to bytesDone.
            status.currentFileBytes = work.bytesNow.load();
            entry.verified = true;
            ++status.filesDone;
            return;
        case FileOutcome::kWrongCrc:
            if (work.fetchedRefused) LogRefusal(set.logger, set.expected, entry.name, work.digest);
            status.currentFileBytes = work.bytesNow.load();
            status.bytesDone -= work.measured >= 0 ? work.measured : work.bytesNow.load();
            CountFailure(entry, work.index, set.counters);
            return;
        case FileOutcome::kFailed:
            if (work.transferFailed) {
                status.currentFileBytes = work.bytesNow.load();
                set.logger.Error(FileDownloadFailureLine(work.url, work.result));
                set.logger.SetTransferResult(static_cast<int32_t>(work.result.code),
                                             work.result.responseCode);
            }
            localFaultFlag = false;
            CountFailure(entry, work.index, set.counters);
            return;
        case FileOutcome::kLocalFault:
            localFaultFlag = true;
            CountFailure(entry, work.index, set.counters);
            ++*set.counters.localFaults;
            set.counters.countedLocal[work.index] = 1;
            entry.error = kErrorLocalFault;
            return;
        case FileOutcome::kUnsafe:
            LogUnsafe(set.logger, "file list", entry.name, entry.path);
            CountFailure(entry, work.index, set.counters);
            return;
    }
}

void SweepFiles(FileSet& set, const std::string& baseUrl) {
    // Declared before the pool: its workers use the works until it is shut down.
    std::deque<FileWork> works;
    auto takeFirst = [&] {
        TakeOutcome(works.front());
        works.pop_front();
    };
    // Jobs create easy handles on the workers; the global state must exist before them.
    curl_global_init(CURL_GLOBAL_ALL);
    std::unique_ptr<WorkerPool> pool = CreatePool(kPoolThreads);

    for (size_t i = 0; i < set.entries.size(); ++i) {
        FileEntry& entry = set.entries[i];
        const std::wstring localPath = LocalPathOf(set.targetDir, entry.path);
        std::wstring key;
        if (!localPath.empty() && (entry.failed || entry.needsDownload)) {
            key = ClashKey(entry.path);
            bool clash = false;
            for (const FileWork& work : works) clash = clash || Clash(work.clashKey, key);
            while (clash && !works.empty()) takeFirst();
        }
        WithdrawFailure(entry, i, localPath, set.counters);
        if (!entry.needsDownload) continue;
        entry.verified = false;  // until this sweep finds the file intact

        while (works.size() >= kFilesAhead) takeFirst();
        works.emplace_back();
        FileWork& work = works.back();
        work.set = &set;
        work.index = i;
        if (localPath.empty()) {
            work.outcome = FileOutcome::kUnsafe;
            work.done = true;
            continue;
        }
        work.localPath = localPath;
        work.url = ReplaceAll(baseUrl + ReplaceAll(entry.path, "\\", "/"), " ", "%20");
        work.clashKey = std::move(key);
        work.size = entry.size;
        work.crc = entry.crc;
        work.resumable = static_cast<int64_t>(entry.size) >= set.settings.resumeFileBytes;
        if (pool->ThreadCount() == 0) {
            // The system gave us no thread: do the work here rather than wait for nobody.
            RunFileWork(&work);
        } else {
            SubmitTask(*pool, &RunFileWork, &work);
        }
    }
    while (!works.empty()) takeFirst();
    ShutdownPool(std::move(pool));
    if (!set.entries.empty()) {
        set.status.currentFileSize = set.entries.back().size;
        set.status.SetCurrentFileName(ToWide(set.entries.back().name));
    }
}

}  // namespace

void DownloadPackages(Logger& logger, PatcherStatus& status, const std::wstring& baseDir,
                      const std::vector<std::string>& baseUrls, std::vector<PackageEntry>& entries,
                      int32_t count, int64_t totalBytes, int32_t* failedFiles, int32_t* localFaults,
                      const TransferSettings& settings, ExpectedDigests* expected) {
    const std::wstring packageFolder = JoinPath(baseDir, kPackageDownloadFolder);
    CreateDirectories(packageFolder + kPathSeparator);
    SweepCounters counters(status, entries.size(), count, totalBytes, failedFiles, localFaults);

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
    SweepCounters counters(status, entries.size(), count, totalBytes, failedFiles, localFaults);
    status.SetMessage(L"");
    status.SetState(PatcherState::DownloadingFiles);
    for (FileEntry& entry : entries) entry.verified = false;

    FileSet set{logger, status, settings, targetDir, entries, counters, expected, {}, {}, {}};
    for (const std::string& baseUrl : baseUrls) {
        if (status.filesDone.load() == status.filesTotal.load()) break;
        status.filesDone = 0;
        SweepFiles(set, baseUrl);
    }
}

}  // namespace velka
