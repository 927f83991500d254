#include "transfer/zip_inflate.h"

#include <isa-l/igzip_lib.h>

#include <algorithm>

#include "platform/fs.h"
#include "util/crc32.h"

namespace velka {

namespace {

constexpr size_t kInputBlock = size_t{1} << 20;
constexpr size_t kOutputBlock = size_t{1} << 20;

}  // namespace

ZipEntryDecoder::ZipEntryDecoder()
    : input_(new unsigned char[kInputBlock]),
      output_(new unsigned char[kOutputBlock]),
      state_(new inflate_state) {}

ZipEntryDecoder::~ZipEntryDecoder() = default;

ZipDecodeStatus ZipEntryDecoder::Decode(std::FILE* archive, const ZipEntryData& entry,
                                        std::FILE* out, std::atomic<int64_t>* bytesDone) {
    if (!SeekFile(archive, static_cast<int64_t>(entry.offset), SEEK_SET)) {
        return ZipDecodeStatus::ReadFailed;
    }
    uint64_t unread = entry.compressedSize;
    uint64_t room = entry.uncompressedSize;  // bytes the file may still take
    uint32_t crc = 0;
    bool truncated = false;  // the compressed data ended before the stream did

    // Writes what the output buffer holds, as far as the declared length allows.
    const auto emit = [&](const unsigned char* data, size_t size) {
        size = static_cast<size_t>(std::min<uint64_t>(size, room));
        if (size == 0) return true;
        if (std::fwrite(data, 1, size, out) != size) return false;
        crc = Crc32(crc, data, size);
        room -= size;
        if (bytesDone) *bytesDone += static_cast<int64_t>(size);
        return true;
    };
    const auto readBlock = [&](size_t* got) {
        const size_t want = static_cast<size_t>(std::min<uint64_t>(unread, kInputBlock));
        *got = std::fread(input_.get(), 1, want, archive);
        unread -= *got;
        return *got == want || !std::ferror(archive);
    };

    if (entry.method == 0) {
        while (unread > 0 && room > 0) {
            size_t got = 0;
            if (!readBlock(&got)) return ZipDecodeStatus::ReadFailed;
            if (got == 0) {
                truncated = true;
                break;
            }
            if (!emit(input_.get(), got)) return ZipDecodeStatus::WriteFailed;
        }
    } else {
        inflate_state& state = *state_;
        isal_inflate_init(&state);
        state.crc_flag = ISAL_DEFLATE;
        state.avail_in = 0;
        size_t produced = 0;
        while (state.block_state != ISAL_BLOCK_FINISH && room > 0) {
            // With no input left, a call that filled the output buffer may still hold output
            // back (a long run of one byte): call again before taking the data as cut short.
            if (state.avail_in == 0 && (unread > 0 || produced < kOutputBlock)) {
                if (unread == 0) {
                    truncated = true;
                    break;
                }
                size_t got = 0;
                if (!readBlock(&got)) return ZipDecodeStatus::ReadFailed;
                if (got == 0) {
                    truncated = true;
                    break;
                }
                state.next_in = input_.get();
                state.avail_in = static_cast<uint32_t>(got);
            }
            state.next_out = output_.get();
            state.avail_out = static_cast<uint32_t>(kOutputBlock);
            if (isal_inflate(&state) < 0) return ZipDecodeStatus::DataDamaged;
            produced = kOutputBlock - state.avail_out;
            if (!emit(output_.get(), produced)) return ZipDecodeStatus::WriteFailed;
        }
    }
    if (truncated || room != 0 || crc != entry.crc) return ZipDecodeStatus::Mismatch;
    return ZipDecodeStatus::Ok;
}

}  // namespace velka
