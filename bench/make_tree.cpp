// velka-bench-make-tree: writes the synthetic game data the benchmarks run on. Everything is
// derived from a seed, so two runs with the same arguments write the same bytes.
//
//   velka-bench-make-tree mixed  DIR BYTES [SEED]   a game tree of about BYTES in DIR/velka_win
//   velka-bench-make-tree tiny   DIR COUNT [SEED]   COUNT files of 1..200 bytes in DIR/velka_win
//   velka-bench-make-tree single FILE BYTES [SEED]  one incompressible file
//   velka-bench-make-tree uniform DIR COUNT [SEED]  COUNT incompressible files of 4 KiB
//
// The mixed tree has the shape of a game install: many small files (100 B..64 KiB, log-uniform,
// about 12% of the bytes), MB-sized files (1..6 MiB, about 43%) and three files of a few hundred
// MB at 1 GiB (45%). Every other file is incompressible; the rest holds 4 bits of entropy per
// byte, which deflates to a little over half, so inflating does real Huffman work.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

namespace velka {
namespace {

namespace fs = std::filesystem;

class Rng {
  public:
    explicit Rng(uint64_t seed) : state_(seed * 0x9E3779B97F4A7C15ull + 0x2545F4914F6CDD1Dull) {}
    uint64_t Next() {
        // xorshift64*: fast enough that generating the data costs less than writing it.
        state_ ^= state_ >> 12;
        state_ ^= state_ << 25;
        state_ ^= state_ >> 27;
        return state_ * 0x2545F4914F6CDD1Dull;
    }
    // Uniform in [lo, hi].
    uint64_t Range(uint64_t lo, uint64_t hi) { return lo + Next() % (hi - lo + 1); }
    double Unit() { return static_cast<double>(Next() >> 11) / 9007199254740992.0; }

  private:
    uint64_t state_;
};

enum class Content { Random, Compressible };

bool WriteFile(const fs::path& path, uint64_t size, Content content, Rng& rng) {
    fs::create_directories(path.parent_path());
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (!file) {
        std::perror(path.c_str());
        return false;
    }
    static std::vector<unsigned char> buffer(1 << 20);
    uint64_t left = size;
    bool ok = true;
    while (left > 0 && ok) {
        const size_t piece = static_cast<size_t>(std::min<uint64_t>(left, buffer.size()));
        for (size_t i = 0; i < piece; i += 8) {
            uint64_t word = rng.Next();
            if (content == Content::Compressible) {
                // One of 16 letters per byte.
                word = (word & 0x0F0F0F0F0F0F0F0Full) + 0x6161616161616161ull;
            }
            for (size_t b = 0; b < 8 && i + b < piece; ++b) {
                buffer[i + b] = static_cast<unsigned char>(word >> (8 * b));
            }
        }
        ok = std::fwrite(buffer.data(), 1, piece, file) == piece;
        left -= piece;
    }
    if (std::fclose(file) != 0) ok = false;
    if (!ok) std::fprintf(stderr, "cannot write %s\n", path.c_str());
    return ok;
}

std::string Numbered(const char* prefix, uint64_t n, const char* suffix) {
    char text[64];
    std::snprintf(text, sizeof(text), "%s%05llu%s", prefix, static_cast<unsigned long long>(n),
                  suffix);
    return text;
}

int MakeMixed(const fs::path& dir, uint64_t total, uint64_t seed) {
    Rng rng(seed);
    const fs::path game = dir / "velka_win";
    uint64_t written = 0;
    uint64_t files = 0;
    const auto put = [&](const fs::path& path, uint64_t size) {
        const Content content = files % 2 == 0 ? Content::Random : Content::Compressible;
        ++files;
        written += size;
        return WriteFile(path, size, content, rng);
    };

    // A few large archives: 45% of the bytes in three files of 40%, 33% and 27% of that share.
    const double bigShare[] = {0.40, 0.33, 0.27};
    for (int i = 0; i < 3; ++i) {
        const uint64_t size = static_cast<uint64_t>(total * 0.45 * bigShare[i]);
        if (!put(game / "pak" / Numbered("archive", i, ".pak"), size)) return 1;
    }
    // MB-sized assets, 43% of the bytes, 150 per folder.
    const uint64_t mediumTarget = written + static_cast<uint64_t>(total * 0.43);
    for (uint64_t i = 0; written < mediumTarget; ++i) {
        const uint64_t size = rng.Range(1u << 20, 6u << 20);
        const fs::path path =
            game / "assets" / Numbered("set", i / 150, "") / Numbered("asset", i, ".bin");
        if (!put(path, size)) return 1;
    }
    // Small files up to the requested total, log-uniform between 100 B and 64 KiB, 250 per folder.
    for (uint64_t i = 0; written < total; ++i) {
        const uint64_t size =
            static_cast<uint64_t>(std::exp(std::log(100.0) + rng.Unit() * std::log(655.36)));
        const fs::path path =
            game / "data" / Numbered("dir", i / 250, "") / Numbered("item", i, ".dat");
        if (!put(path, size)) return 1;
    }
    std::printf("wrote %llu files, %llu bytes below %s\n", static_cast<unsigned long long>(files),
                static_cast<unsigned long long>(written), game.c_str());
    return 0;
}

int MakeTiny(const fs::path& dir, uint64_t count, uint64_t seed) {
    Rng rng(seed);
    const fs::path game = dir / "velka_win";
    uint64_t written = 0;
    for (uint64_t i = 0; i < count; ++i) {
        const uint64_t size = rng.Range(1, 200);
        const fs::path path =
            game / "res" / Numbered("dir", i / 500, "") / Numbered("file", i, ".txt");
        if (!WriteFile(path, size, Content::Compressible, rng)) return 1;
        written += size;
    }
    std::printf("wrote %llu files, %llu bytes below %s\n", static_cast<unsigned long long>(count),
                static_cast<unsigned long long>(written), game.c_str());
    return 0;
}

int MakeUniform(const fs::path& dir, uint64_t count, uint64_t seed) {
    Rng rng(seed);
    for (uint64_t i = 0; i < count; ++i) {
        const fs::path path = dir / "velka_win" / "patch" / Numbered("dir", i / 500, "") /
                              Numbered("file", i, ".bin");
        if (!WriteFile(path, 4096, Content::Random, rng)) return 1;
    }
    return 0;
}

int Main(int argc, char** argv) {
    if (argc < 4) {
        std::fprintf(stderr,
                     "usage: %s mixed DIR BYTES [SEED] | tiny DIR COUNT [SEED] | "
                     "single FILE BYTES [SEED] | uniform DIR COUNT [SEED]\n",
                     argv[0]);
        return 2;
    }
    const std::string mode = argv[1];
    const fs::path target = argv[2];
    const uint64_t amount = std::strtoull(argv[3], nullptr, 10);
    const uint64_t seed = argc > 4 ? std::strtoull(argv[4], nullptr, 10) : 1;
    if (mode == "mixed") return MakeMixed(target, amount, seed);
    if (mode == "tiny") return MakeTiny(target, amount, seed);
    if (mode == "uniform") return MakeUniform(target, amount, seed);
    if (mode == "single") {
        Rng rng(seed);
        return WriteFile(target, amount, Content::Random, rng) ? 0 : 1;
    }
    std::fprintf(stderr, "unknown mode %s\n", mode.c_str());
    return 2;
}

}  // namespace
}  // namespace velka

int main(int argc, char** argv) {
    return velka::Main(argc, argv);
}
