// Unpacking of zip archives: a list of them in order (the full update's packages), and single
// archives (the launcher's own package), into a folder of the caller's choice.
//
// Archives are walked through minizip with wide paths, so folders whose names
// the ANSI code page cannot spell work too. Entry names are taken as narrow (ANSI / UTF-8) text,
// either separator. Each entry's data are read in large blocks and inflated by ZipEntryDecoder.
//
// No entry is ever written outside the destination: an archive holding an entry whose name is
// 512 bytes or longer, absolute ("/x", "\x"), has a drive letter or ":" ("C:x"), or has a
// component of dots ("../x", "..\x") is refused as a whole before anything of it is written.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

namespace velka {

class Logger;

// Where UnpackArchivesInOrder stopped: `failed` is the index of the earliest archive that failed
// (the count of archives when none did), `code` the system error of its failing step (0 for a
// refused name or a damaged archive), `refusal` the text naming a refused entry when the failure
// was found while reading the directories.
struct ArchivesUnpacked {
    size_t failed = 0;
    uint32_t code = 0;
    std::string refusal;
};

// Unpacks the archives `zipPaths` into `destDir` on the calling thread and one helper thread, two
// at a time, with the outcome of list order: an archive that writes a path an earlier one writes
// too (or a file where the other has a folder) waits for that one, so the later archive wins.
// The directories of all archives are read first, in list order; the first archive that cannot be
// read or holds a refused name is not unpacked, nor anything after it. After a failure nothing
// later is started, so every archive before the earliest failure is unpacked; archives after it
// may have been unpacked in part, and what was unpacked stays. Every byte written is added to
// `bytesDone`.
ArchivesUnpacked UnpackArchivesInOrder(const std::vector<std::wstring>& zipPaths,
                                       const std::wstring& destDir, std::atomic<int64_t>* bytesDone,
                                       Logger& logger);

// Unpacks the archive `zipPath` into `destDir` (created as needed; existing files overwritten,
// nothing deleted). Folder entries (name ending in a separator, or attributes exactly 16) become
// folders. When `bytesDone` is given, every byte written is added to it as it is written.
//
// Any thread. False when the archive cannot be opened or read, an entry cannot be decoded
// (damaged data, a method other than stored and deflate, encryption) or written, or a name is
// refused (see above; then nothing is written at all). A partly written file stays.
// LastSystemError() afterwards holds the code of the failing step: 0 for a refused name or a
// damaged archive, which no system call caused. With a `logger`, refused names and entries whose
// data do not match their CRC get an ERROR line; a CRC mismatch alone does not fail the unpacking
// (the file check after a full update finds and replaces such files).
bool UnzipArchive(const std::wstring& zipPath, const std::wstring& destDir,
                  std::atomic<int64_t>* bytesDone = nullptr, Logger* logger = nullptr);

}  // namespace velka
