#include "transfer/download_job.h"

#include <curl/curl.h>

#include <chrono>
#include <exception>
#include <thread>

#include "platform/fs.h"
#include "platform/text.h"
#include "transfer/curl_easy.h"
#include "transfer/http.h"
#include "transfer/resumable_download.h"
#include "transfer/stream_hash.h"
#include "transfer/transfer_watch.h"
#include "util/logger.h"
#include "util/strings.h"

namespace velka {

namespace {

// libcurl refuses an easy handle only when memory or its global state is exhausted; a short
// wait may see it recover, an endless one would hold the sweep forever.
constexpr int kHandleAttempts = 100;
constexpr std::chrono::milliseconds kHandleRetryPause{20};

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
        const bool answered =
            result.responseCode == 200 || result.responseCode == 226 || result.responseCode == 206;
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

}  // namespace velka
