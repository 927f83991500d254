// velka-bench-extract: the full update's unpacking (ExtractPackages) of the packages in a package
// list, from BASE/Temp/ZipUpdate into BASE/Package. Exits 1 unless every package unpacked and the
// byte count matches the list, so a benchmark run cannot pass on a broken extraction.
//
//   velka-bench-extract BASE ZIPLIST
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "patcher/file_lists.h"
#include "patcher/status.h"
#include "platform/fs.h"
#include "platform/text.h"
#include "transfer/extract.h"
#include "util/logger.h"

namespace velka {
namespace {

int Main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s BASE ZIPLIST\n", argv[0]);
        return 2;
    }
    std::string text;
    if (!ReadFileBytes(ToWide(argv[2]), &text)) {
        std::fprintf(stderr, "cannot read %s\n", argv[2]);
        return 2;
    }
    Logger logger;
    PatcherStatus status;
    std::vector<PackageEntry> packages;
    uint64_t unpackedTotal = 0;
    if (!ParsePackageList(logger, status, text, &packages, &unpackedTotal) || packages.empty()) {
        std::fprintf(stderr, "the package list was refused or is empty\n");
        return 1;
    }

    const auto start = std::chrono::steady_clock::now();
    const bool ok = ExtractPackages(logger, status, ToWide(argv[1]), packages, unpackedTotal);
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

    const int64_t written = status.bytesDone;
    std::printf("unpacked %zu packages, %lld bytes in %.3f s (%.0f MB/s)\n", packages.size(),
                static_cast<long long>(written), seconds, written / seconds / 1e6);
    if (!ok || written != static_cast<int64_t>(unpackedTotal)) {
        std::fprintf(stderr, "extraction failed or incomplete: %lld of %llu bytes\n",
                     static_cast<long long>(written),
                     static_cast<unsigned long long>(unpackedTotal));
        return 1;
    }
    return 0;
}

}  // namespace
}  // namespace velka

int main(int argc, char** argv) {
    return velka::Main(argc, argv);
}
