// The CRC-32 of zip, gzip and PNG (ISO 3309 / ITU-T V.42: polynomial 0x04C11DB7 bit-reflected,
// initial value and final XOR 0xFFFFFFFF) and its text form. Values equal zlib's crc32(), so a
// CRC may be built piece by piece: Crc32(Crc32(0, a), b) is the CRC of a followed by b.
//
// Computed with ISA-L's folding CRC (carry-less multiplication where the processor has it),
// several times faster than a table. Reentrant; any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace velka {

// The CRC of `size` bytes at `data` continuing from `crc` (0 to start).
uint32_t Crc32(uint32_t crc, const void* data, size_t size);

// Exactly eight hexadecimal digits, zero-padded, upper case: "0A1B2C3D".
std::string CrcText(uint32_t crc);

}  // namespace velka
