// The CRC-32 of files, as the file and package lists give it, and the rule that compares them.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "platform/fs.h"

namespace velka {

// CRC-32 (the zip/zlib polynomial) of the whole file as eight upper-case hexadecimal digits,
// e.g. "0A1B2C3D"; an empty file gives "00000000". Empty text when the file cannot be opened or
// read. When `fileSize` is given and the file opened, it receives the file's 64-bit length.
std::string ComputeFileCrc(const std::wstring& path, int64_t* fileSize = nullptr);

// Whether a computed CRC text is the expected one. An unreadable file gives an empty CRC text,
// which never matches, not even an empty expected one.
inline bool CrcMatches(const std::string& computed, const std::string& expected) {
    return !computed.empty() && computed == expected;
}

// The pieces for callers that already know the length (the local check): a file opened for the
// check, unbuffered (CrcOfOpenFile reads whole blocks of at least 4 KiB into its own buffer, so a
// stdio buffer would only cost, per file, its allocation, a copy of the tail and one more read),
// and the CRC of `file` from its current position to the end. False on a read error, so a file
// that could not be read whole never matches a list CRC.
File OpenForCrc(const std::wstring& path);
bool CrcOfOpenFile(std::FILE* file, int64_t length, uint32_t* crc);

}  // namespace velka
