#include "transfer/http.h"

#include "platform/fs.h"
#include "transfer/curl_easy.h"
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

bool DownloadToFile(const std::string& url, const std::wstring& path,
                    std::atomic<int64_t>* currentCounter, std::atomic<int64_t>* totalCounter,
                    Logger* logger, const TransferSettings& settings) {
    CurlHandle handle = NewCurlHandle();
    if (!handle) {
        localFaultFlag = false;
        return false;
    }

    // A failure here shows up as the open below failing, which is the local fault we report.
    CreateDirectories(path);
    File file(path, "wb");
    if (!file) {
        localFaultFlag = true;
        return false;
    }

    TransferWatch watch = MakeTransferWatch(currentCounter, totalCounter, settings);
    TransferResult result = PerformIfSet(
        handle.get(), SetFileDownloadOptions(handle.get(), url, file.get(), &watch, settings));
    // The last buffered bytes reach the disk only here; losing them is a short write too.
    if (!file.Close() && result.Succeeded()) result.code = CURLE_WRITE_ERROR;
    if (result.Succeeded()) return true;

    Report(logger, "Download Binary file failed! url = " + url + "    " + Codes(result), result);
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
