// velka-bench-extract: the full update's unpacking (ExtractPackages) of the packages in a package
// list, from BASE/Temp/ZipUpdate into BASE/Package. Exits 1 unless every package unpacked and the
// byte count matches the list, so a benchmark run cannot pass on a broken extraction.
//
//   velka-bench-extract [--minizip] BASE ZIPLIST
//
// --minizip unpacks the same packages the way the launcher did before it inflated entries itself:
// one package after the other, minizip's unzReadCurrentFile in 64 KiB pieces (zlib fed 16 KiB at a
// time). The reference the engine's own extraction is set against.
#include <minizip/unzip.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "patcher/file_lists.h"
#include "patcher/package_extraction.h"
#include "patcher/status.h"
#include "platform/fs.h"
#include "platform/text.h"
#include "transfer/extract.h"
#include "util/logger.h"

namespace velka {
namespace {

// Bytes written, or -1 on any failure.
int64_t UnpackWithMinizip(const std::string& zipPath, const std::string& destDir) {
    unzFile archive = unzOpen64(zipPath.c_str());
    if (!archive) return -1;
    std::vector<char> buffer(65536);
    int64_t written = 0;
    for (int step = unzGoToFirstFile(archive); step == UNZ_OK; step = unzGoToNextFile(archive)) {
        unz_file_info64 info;
        char name[512] = {};
        if (unzGetCurrentFileInfo64(archive, &info, name, sizeof(name), nullptr, 0, nullptr, 0) !=
            UNZ_OK) {
            written = -1;
            break;
        }
        const std::string target = destDir + "/" + name;
        if (!target.empty() && target.back() == '/') {
            CreateDirectories(ToWide(target));
            continue;
        }
        CreateDirectories(ToWide(target));
        std::FILE* out = std::fopen(target.c_str(), "wb");
        if (!out || unzOpenCurrentFile(archive) != UNZ_OK) {
            if (out) std::fclose(out);
            written = -1;
            break;
        }
        int got;
        while ((got = unzReadCurrentFile(archive, buffer.data(), buffer.size())) > 0) {
            std::fwrite(buffer.data(), 1, static_cast<size_t>(got), out);
            written += got;
        }
        std::fclose(out);
        if (unzCloseCurrentFile(archive) != UNZ_OK || got < 0) {
            written = -1;
            break;
        }
    }
    unzClose(archive);
    return written;
}

int Main(int argc, char** argv) {
    const bool minizip = argc > 1 && std::string(argv[1]) == "--minizip";
    if (minizip) {
        --argc;
        ++argv;
    }
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s [--minizip] BASE ZIPLIST\n", argv[0]);
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
    bool ok = true;
    if (minizip) {
        const std::string base = argv[1];
        for (const PackageEntry& package : packages) {
            const int64_t got =
                UnpackWithMinizip(base + "/Temp/ZipUpdate/" + package.path, base + "/Package");
            ok = ok && got >= 0;
            status.bytesDone += got;
        }
    } else {
        ok = ExtractPackages(logger, status, ToWide(argv[1]), packages, unpackedTotal);
    }
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
