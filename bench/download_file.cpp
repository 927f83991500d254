// velka-bench-download: one file download through DownloadToFile, the primitive under every
// launcher transfer. Exits 1 unless the transfer succeeded and the file on disk and both progress
// counters hold the expected number of bytes.
//
//   velka-bench-download URL PATH EXPECTED_BYTES [--sha256]
//
// With --sha256 the download is hashed as it arrives, as a launcher with a release key does, and
// the digest is printed on a line of its own.
#include <curl/curl.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/fs.h"
#include "platform/text.h"
#include "transfer/http.h"
#include "util/logger.h"

namespace velka {
namespace {

int Main(int argc, char** argv) {
    const bool hash = argc == 5 && std::string(argv[4]) == "--sha256";
    if (argc != 4 && !hash) {
        std::fprintf(stderr, "usage: %s URL PATH EXPECTED_BYTES [--sha256]\n", argv[0]);
        return 2;
    }
    const std::wstring path = ToWide(argv[2]);
    const int64_t expected = std::strtoll(argv[3], nullptr, 10);
    curl_global_init(CURL_GLOBAL_ALL);
    Logger logger;
    std::atomic<int64_t> current{0};
    std::atomic<int64_t> total{0};

    const auto start = std::chrono::steady_clock::now();
    Sha256Digest digest{};
    const bool ok = DownloadToFile(argv[1], path, &current, &total, &logger,
                                   DefaultTransferSettings(), false, hash ? &digest : nullptr);
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    curl_global_cleanup();

    const int64_t onDisk = FileSize64(path);
    std::printf("downloaded %lld bytes in %.3f s (%.0f MB/s)\n", static_cast<long long>(onDisk),
                seconds, onDisk / seconds / 1e6);
    if (hash) std::printf("sha256 %s\n", Sha256Hex(digest).c_str());
    if (!ok || onDisk != expected || current != expected || total != expected) {
        std::fprintf(stderr,
                     "download failed or incomplete: ok=%d file=%lld current=%lld "
                     "total=%lld expected=%lld\n",
                     ok ? 1 : 0, static_cast<long long>(onDisk),
                     static_cast<long long>(current.load()), static_cast<long long>(total.load()),
                     static_cast<long long>(expected));
        return 1;
    }
    return 0;
}

}  // namespace
}  // namespace velka

int main(int argc, char** argv) {
    return velka::Main(argc, argv);
}
