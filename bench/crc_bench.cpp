// velka-bench-crc (Google Benchmark): where the time of the local file check goes. Sets the
// engine's ComputeFileCrc and CheckLocalFiles beside the floor they are built on: zlib's crc32 on
// memory, and a plain open/read/crc32 loop over the same page-cached files.
//
// The files live in a scratch folder below $TMPDIR (or /tmp), made on first use and removed at
// exit. VELKA_BENCH_CRC_MIB sets the large file's size (default 256).
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "patcher/file_lists.h"
#include "patcher/status.h"
#include "platform/fs.h"
#include "platform/text.h"
#include "util/file_crc.h"

namespace velka {
namespace {

namespace fs = std::filesystem;

struct Scratch {
    fs::path root;
    fs::path large;
    uint64_t largeSize = 0;
    std::vector<FileEntry> small;  // relative to root/small
    uint64_t smallBytes = 0;

    Scratch() {
        const char* tmp = std::getenv("TMPDIR");
        root = fs::path(tmp && *tmp ? tmp : "/tmp") /
               ("velka-bench-crc-" + std::to_string(::getpid()));
        fs::create_directories(root / "small");
        const char* mib = std::getenv("VELKA_BENCH_CRC_MIB");
        largeSize = (mib ? std::strtoull(mib, nullptr, 10) : 256) << 20;
        large = root / "large.bin";

        uint64_t state = 88172645463325252ull;
        std::vector<unsigned char> buffer(1 << 20);
        const auto fill = [&](size_t n) {
            for (size_t i = 0; i < n; ++i) {
                state ^= state << 13;
                state ^= state >> 7;
                state ^= state << 17;
                buffer[i] = static_cast<unsigned char>(state);
            }
        };
        std::FILE* file = std::fopen(large.c_str(), "wb");
        for (uint64_t left = largeSize; file && left > 0;) {
            const size_t piece = static_cast<size_t>(std::min<uint64_t>(left, buffer.size()));
            fill(piece);
            std::fwrite(buffer.data(), 1, piece, file);
            left -= piece;
        }
        if (file) std::fclose(file);

        // 4000 files, 100 B..64 KiB log-uniform, as in a game's data folders.
        for (int i = 0; i < 4000; ++i) {
            state ^= state << 13;
            state ^= state >> 7;
            state ^= state << 17;
            const double unit = static_cast<double>(state >> 11) / 9007199254740992.0;
            const size_t size = static_cast<size_t>(100.0 * std::pow(655.36, unit));
            fill(size);
            FileEntry entry;
            entry.name = "f" + std::to_string(i);
            entry.path = "d" + std::to_string(i / 250) + "\\f" + std::to_string(i) + ".dat";
            entry.size = static_cast<uint32_t>(size);
            entry.crc = Hex(crc32(0L, buffer.data(), static_cast<uInt>(size)));
            const fs::path path = root / "small" / ("d" + std::to_string(i / 250)) /
                                  ("f" + std::to_string(i) + ".dat");
            fs::create_directories(path.parent_path());
            std::FILE* out = std::fopen(path.c_str(), "wb");
            if (out) {
                std::fwrite(buffer.data(), 1, size, out);
                std::fclose(out);
            }
            smallBytes += size;
            small.push_back(std::move(entry));
        }
    }
    ~Scratch() {
        std::error_code ignored;
        fs::remove_all(root, ignored);
    }

    static std::string Hex(uLong crc) {
        char text[16];
        std::snprintf(text, sizeof(text), "%08X", static_cast<unsigned>(crc & 0xFFFFFFFFu));
        return text;
    }
};

Scratch& Data() {
    static Scratch scratch;
    return scratch;
}

// The floor: read(2) into a buffer of the given size and crc32 it, nothing else.
uLong ReadCrc(const char* path, std::vector<unsigned char>& buffer) {
    const int fd = ::open(path, O_RDONLY);
    if (fd < 0) return 0;
    uLong crc = crc32(0L, Z_NULL, 0);
    for (;;) {
        const ssize_t got = ::read(fd, buffer.data(), buffer.size());
        if (got <= 0) break;
        crc = crc32(crc, buffer.data(), static_cast<uInt>(got));
    }
    ::close(fd);
    return crc;
}

void BM_Crc32Memory(benchmark::State& state) {
    std::vector<unsigned char> buffer(1 << 20, 0x5A);
    for (auto _ : state) {
        benchmark::DoNotOptimize(crc32(0L, buffer.data(), static_cast<uInt>(buffer.size())));
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * buffer.size());
}
BENCHMARK(BM_Crc32Memory);

void BM_ReadCrcLoopLarge(benchmark::State& state) {
    Scratch& data = Data();
    std::vector<unsigned char> buffer(static_cast<size_t>(state.range(0)));
    const std::string expected = ComputeFileCrc(ToWide(data.large.string()));
    for (auto _ : state) {
        const uLong crc = ReadCrc(data.large.c_str(), buffer);
        if (Scratch::Hex(crc) != expected) state.SkipWithError("CRC differs from ComputeFileCrc");
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * data.largeSize));
}
BENCHMARK(BM_ReadCrcLoopLarge)->Arg(64 << 10)->Arg(1 << 20)->Unit(benchmark::kMillisecond);

void BM_ComputeFileCrcLarge(benchmark::State& state) {
    Scratch& data = Data();
    const std::wstring path = ToWide(data.large.string());
    for (auto _ : state) {
        int64_t size = 0;
        const std::string crc = ComputeFileCrc(path, &size);
        if (crc.size() != 8 || static_cast<uint64_t>(size) != data.largeSize) {
            state.SkipWithError("ComputeFileCrc failed");
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * data.largeSize));
}
BENCHMARK(BM_ComputeFileCrcLarge)->Unit(benchmark::kMillisecond);

void BM_ReadCrcLoopSmall(benchmark::State& state) {
    Scratch& data = Data();
    std::vector<std::string> paths;
    for (const FileEntry& entry : data.small) {
        std::string path = (data.root / "small").string() + "/" + entry.path;
        for (char& c : path) {
            if (c == '\\') c = '/';
        }
        paths.push_back(path);
    }
    std::vector<unsigned char> buffer(1 << 20);
    for (auto _ : state) {
        for (size_t i = 0; i < paths.size(); ++i) {
            if (Scratch::Hex(ReadCrc(paths[i].c_str(), buffer)) != data.small[i].crc) {
                state.SkipWithError("CRC mismatch");
                break;
            }
        }
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * data.small.size()));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * data.smallBytes));
}
BENCHMARK(BM_ReadCrcLoopSmall)->Unit(benchmark::kMillisecond);

void BM_CheckLocalFilesSmall(benchmark::State& state) {
    Scratch& data = Data();
    const std::wstring folder = ToWide((data.root / "small").string());
    std::vector<FileEntry> entries = data.small;
    for (auto _ : state) {
        PatcherStatus status;
        const LocalCheckResult result = CheckLocalFiles(status, folder, entries);
        if (result.filesToDownload != 0) state.SkipWithError("an intact file was not accepted");
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * entries.size()));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * data.smallBytes));
}
BENCHMARK(BM_CheckLocalFilesSmall)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace velka

BENCHMARK_MAIN();
