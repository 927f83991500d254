// velka-bench-fileset: the incremental update's download of individual files (DownloadFileSet)
// of a published file list into an empty folder. Exits 1 unless every file arrived with its CRC,
// so a benchmark run cannot pass on a broken transfer.
//
//   velka-bench-fileset BASE_URL FILELIST TARGET
#include <curl/curl.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "patcher/download_sets.h"
#include "patcher/file_lists.h"
#include "patcher/status.h"
#include "platform/fs.h"
#include "platform/text.h"
#include "util/logger.h"

namespace velka {
namespace {

int Main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: %s BASE_URL FILELIST TARGET\n", argv[0]);
        return 2;
    }
    std::string text;
    if (!ReadFileBytes(ToWide(argv[2]), &text)) {
        std::fprintf(stderr, "cannot read %s\n", argv[2]);
        return 2;
    }
    Logger logger;
    PatcherStatus status;
    std::vector<FileEntry> entries;
    if (!ParseFileList(logger, status, text, &entries) || entries.empty()) {
        std::fprintf(stderr, "the file list was refused or is empty\n");
        return 1;
    }
    int64_t bytes = 0;
    for (FileEntry& entry : entries) {
        entry.needsDownload = true;
        bytes += entry.size;
    }
    curl_global_init(CURL_GLOBAL_ALL);
    int32_t failed = -1;
    int32_t local = -1;
    const auto start = std::chrono::steady_clock::now();
    DownloadFileSet(logger, status, ToWide(argv[3]), {argv[1]}, entries,
                    static_cast<int32_t>(entries.size()), bytes, &failed, &local);
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    curl_global_cleanup();

    std::printf("fetched %d of %zu files in %.3f s (%.0f files/s)\n", status.filesDone.load(),
                entries.size(), seconds, status.filesDone.load() / seconds);
    if (failed != 0 || local != 0 ||
        status.filesDone.load() != static_cast<int32_t>(entries.size())) {
        std::fprintf(stderr, "file set incomplete: failedFiles=%d localFaults=%d filesDone=%d\n",
                     failed, local, status.filesDone.load());
        return 1;
    }
    return 0;
}

}  // namespace
}  // namespace velka

int main(int argc, char** argv) {
    return velka::Main(argc, argv);
}
