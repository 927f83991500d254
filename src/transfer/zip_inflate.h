// Decoding of one zip entry's data (stored or raw deflate) from an open archive into an open
// file, in large pieces: the archive is read in 1 MiB blocks and inflated with ISA-L's igzip,
// which decodes deflate about twice as fast as zlib. The directory walking stays with minizip;
// this takes over once the entry's data offset is known.
//
// One decoder per thread; its buffers are made once and reused for every entry.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <memory>

struct inflate_state;  // ISA-L

namespace velka {

// Where an entry's data lies and what it should decode to, from the archive's directory.
struct ZipEntryData {
    uint64_t offset = 0;  // of the first data byte in the archive
    uint64_t compressedSize = 0;
    uint64_t uncompressedSize = 0;  // the file is never written longer than this
    uint32_t method = 0;            // 0 stored, 8 deflate
    uint32_t crc = 0;
};

enum class ZipDecodeStatus {
    Ok,
    // The file was written, but its CRC or length differs from the directory's (a truncated
    // compressed stream ends here too). Not a failure of the unpacking.
    Mismatch,
    DataDamaged,  // the deflate data cannot be decoded
    ReadFailed,   // reading the archive failed (system error code set)
    WriteFailed,  // writing the file failed (system error code set)
};

class ZipEntryDecoder {
  public:
    ZipEntryDecoder();
    ~ZipEntryDecoder();
    ZipEntryDecoder(const ZipEntryDecoder&) = delete;
    ZipEntryDecoder& operator=(const ZipEntryDecoder&) = delete;

    // Seeks `archive` to entry.offset and writes the entry's data to `out`, adding every byte
    // written to `bytesDone` when given. `out` should be unbuffered: pieces are large. Methods
    // other than 0 and 8 are the caller's to refuse. The archive position afterwards is
    // unspecified.
    ZipDecodeStatus Decode(std::FILE* archive, const ZipEntryData& entry, std::FILE* out,
                           std::atomic<int64_t>* bytesDone);

  private:
    std::unique_ptr<unsigned char[]> input_;
    std::unique_ptr<unsigned char[]> output_;
    std::unique_ptr<inflate_state> state_;
};

}  // namespace velka
