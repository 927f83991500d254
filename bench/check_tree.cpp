// velka-bench-check: the launcher's local file check (CheckLocalFiles) over a folder, against a
// published file list. Every file must be found intact; anything else is a fault and exits 1, so
// a benchmark run cannot pass while the check is wrong.
//
//   velka-bench-check [--floor] FOLDER FILELIST
//
// --floor checks the same entries with nothing but open, read(2) into a 1 MiB buffer and the
// engine's CRC, on one thread: what a single reader costs, to set the engine's check against.
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "patcher/file_lists.h"
#include "patcher/status.h"
#include "platform/fs.h"
#include "platform/text.h"
#include "util/crc32.h"
#include "util/logger.h"

namespace velka {
namespace {

// The floor: counts the entries whose file is missing or has another CRC.
LocalCheckResult CheckWithReadLoop(const std::string& folder,
                                   const std::vector<FileEntry>& entries) {
    LocalCheckResult result;
    std::vector<unsigned char> buffer(1 << 20);
    for (const FileEntry& entry : entries) {
        std::string path = folder + "/" + entry.path;
        for (char& c : path) {
            if (c == '\\') c = '/';
        }
        const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) {
            ++result.openFailures;
            continue;
        }
        uint32_t crc = 0;
        ssize_t got;
        while ((got = ::read(fd, buffer.data(), buffer.size())) > 0) {
            crc = Crc32(crc, buffer.data(), static_cast<size_t>(got));
        }
        ::close(fd);
        if (got < 0 || entry.crc != CrcText(crc)) {
            ++result.filesToDownload;
            result.bytesToDownload += entry.size;
        }
    }
    return result;
}

int Main(int argc, char** argv) {
    const bool floor = argc > 1 && std::string(argv[1]) == "--floor";
    if (floor) {
        --argc;
        ++argv;
    }
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s [--floor] FOLDER FILELIST\n", argv[0]);
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
    uint64_t bytes = 0;
    for (const FileEntry& entry : entries) bytes += entry.size;

    const auto start = std::chrono::steady_clock::now();
    const LocalCheckResult result = floor ? CheckWithReadLoop(argv[1], entries)
                                          : CheckLocalFiles(status, ToWide(argv[1]), entries);
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

    std::printf(
        "checked %zu files, %llu bytes in %.3f s (%.0f MB/s); %u to download, %u not "
        "opened\n",
        entries.size(), static_cast<unsigned long long>(bytes), seconds, bytes / seconds / 1e6,
        result.filesToDownload, result.openFailures);
    const bool intact = result.filesToDownload == 0 && result.openFailures == 0 &&
                        (floor || status.filesDone == static_cast<int32_t>(entries.size()));
    return intact ? 0 : 1;
}

}  // namespace
}  // namespace velka

int main(int argc, char** argv) {
    return velka::Main(argc, argv);
}
