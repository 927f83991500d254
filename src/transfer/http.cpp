#include "transfer/http.h"

#include "platform/fs.h"
#include "transfer/curl_easy.h"
#include "transfer/resumable_download.h"
#include "transfer/stream_hash.h"
#include "transfer/transfer_watch.h"
#include "util/strings.h"

namespace velka {

std::atomic<bool> localFaultFlag{false};

namespace {

// Performs the transfer unless setting its options failed; then that refusal is the result and
// there is no response.
TransferResult PerformIfSet(CURL* handle, CURLcode optionsResult) {
    if (optionsResult != CURLE_OK) return TransferResult{optionsResult, 0};
    return PerformTransfer(handle);
}

std::string Codes(const TransferResult& result) {
    return "CURL CODE = " + IntToString(static_cast<int32_t>(result.code)) +
           " HttpStatusCode = " + IntToString(result.responseCode);
}

void Report(Logger* logger, const std::string& line, const TransferResult& result) {
    if (!logger) return;
    logger->Error(line);
    logger->SetTransferResult(static_cast<int32_t>(result.code), result.responseCode);
}

}  // namespace

bool FetchRemoteText(const std::string& url, std::string* out, Logger* logger,
                     const TransferSettings& settings) {
    CurlHandle handle = NewCurlHandle();
    if (!handle) return false;

    TextSink sink;
    sink.out = out;
    sink.limit = settings.maxTextBytes;
    TransferWatch watch = MakeTransferWatch(nullptr, nullptr, settings);
    const TransferResult result =
        PerformIfSet(handle.get(), SetTextFetchOptions(handle.get(), url, &sink, &watch, settings));
    if (result.Succeeded()) return true;

    std::string line = "Get Remote TextFile Failed! " + Codes(result);
    if (sink.overflowed || result.code == CURLE_FILESIZE_EXCEEDED) {
        line += " (text larger than " + std::to_string(settings.maxTextBytes) + " bytes)";
    }
    Report(logger, line, result);
    return false;
}

std::string FetchFirstRemoteText(const std::vector<std::string>& urls, Logger* logger,
                                 const TransferSettings& settings) {
    for (const std::string& url : urls) {
        std::string body;
        if (FetchRemoteText(url, &body, logger, settings)) return body;
    }
    return std::string();
}

FileDownload DownloadWithHandle(CURL* handle, const std::string& url, const std::wstring& path,
                                std::atomic<int64_t>* currentCounter,
                                std::atomic<int64_t>* totalCounter,
                                const TransferSettings& settings, bool resumable,
                                Sha256Digest* digest) {
    FileDownload outcome;
    // A failure here shows up as the open below failing, which is the local fault we report.
    CreateDirectories(path);
    // A second pass only when the server answered the range with another part of the file.
    for (int pass = 0; pass < 2; ++pass) {
        ResumableDownload download;
        StreamHash hash;
        if (digest) download.HashInto(&hash);
        if (!download.Open(path, url, resumable)) {
            outcome.localFault = true;
            return outcome;
        }
        curl_easy_reset(handle);
        TransferWatch watch = MakeTransferWatch(currentCounter, totalCounter, settings);
        CURLcode set = SetFileDownloadOptions(handle, url, download.file(), &watch, settings);
        if (set == CURLE_OK) set = download.Apply(handle, &watch);
        outcome.result = PerformIfSet(handle, set);
        bool succeeded = download.Succeeded(outcome.result);
        // The last buffered bytes reach the disk only here; losing them is a short write too.
        if (!download.Close() && succeeded) {
            succeeded = false;
            outcome.result.code = CURLE_WRITE_ERROR;
        }
        if (succeeded && digest && !hash.Finish(digest)) {
            succeeded = false;
            outcome.result.code = CURLE_FAILED_INIT;
        }
        if (succeeded) {
            ResumableDownload::Forget(path);
            outcome.succeeded = true;
            return outcome;
        }
        if (!download.RangeRefused()) break;
        ResumableDownload::Discard(path);
    }
    return outcome;
}

std::string FileDownloadFailureLine(const std::string& url, const TransferResult& result) {
    return "Download Binary file failed! url = " + url + "    " + Codes(result);
}

bool DownloadToFile(const std::string& url, const std::wstring& path,
                    std::atomic<int64_t>* currentCounter, std::atomic<int64_t>* totalCounter,
                    Logger* logger, const TransferSettings& settings, bool resumable,
                    Sha256Digest* digest) {
    CurlHandle handle = NewCurlHandle();
    if (!handle) {
        localFaultFlag = false;
        return false;
    }
    const FileDownload outcome = DownloadWithHandle(handle.get(), url, path, currentCounter,
                                                    totalCounter, settings, resumable, digest);
    if (outcome.succeeded) return true;
    if (outcome.localFault) {
        localFaultFlag = true;
        return false;
    }
    Report(logger, FileDownloadFailureLine(url, outcome.result), outcome.result);
    localFaultFlag = false;
    return false;
}

bool DownloadFromFirstUrl(const std::wstring& path, const std::vector<std::string>& urls,
                          Logger* logger, const TransferSettings& settings) {
    for (const std::string& url : urls) {
        if (DownloadToFile(url, path, nullptr, nullptr, logger, settings)) return true;
    }
    return false;
}

}  // namespace velka
