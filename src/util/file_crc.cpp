#include "util/file_crc.h"

#include <algorithm>
#include <vector>

#include "util/crc32.h"

namespace velka {

namespace {

constexpr size_t kMaxCrcBlock = size_t{1} << 20;

// Length of an open file from a 64-bit position; -1 when it cannot be taken.
int64_t LengthOfOpenFile(std::FILE* file) {
    if (!SeekFile(file, 0, SEEK_END)) return -1;
    const int64_t length = TellFile(file);
    if (length < 0 || !SeekFile(file, 0, SEEK_SET)) return -1;
    return length;
}

}  // namespace

bool CrcOfOpenFile(std::FILE* file, int64_t length, uint32_t* crc) {
    // Sized to the file so that checking thousands of small files does not touch 1 MiB each.
    const size_t block = static_cast<size_t>(
        std::min<int64_t>(std::max<int64_t>(length, 4096), static_cast<int64_t>(kMaxCrcBlock)));
    std::vector<unsigned char> buffer(block);
    *crc = 0;
    for (;;) {
        const size_t got = std::fread(buffer.data(), 1, buffer.size(), file);
        if (got == 0) break;
        *crc = Crc32(*crc, buffer.data(), got);
    }
    return !std::ferror(file);
}

File OpenForCrc(const std::wstring& path) {
    File file(path, "rb");
    if (file) std::setvbuf(file.get(), nullptr, _IONBF, 0);
    return file;
}

std::string ComputeFileCrc(const std::wstring& path, int64_t* fileSize) {
    File file = OpenForCrc(path);
    if (!file) return std::string();
    const int64_t length = LengthOfOpenFile(file.get());
    if (length < 0) return std::string();
    if (fileSize) *fileSize = length;
    uint32_t crc = 0;
    return CrcOfOpenFile(file.get(), length, &crc) ? CrcText(crc) : std::string();
}

}  // namespace velka
