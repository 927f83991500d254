// Unpacking of zip packages: the full update's packages into D\Package, and single archives (the
// launcher's own package) into a folder of the caller's choice.
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

#include "patcher/file_lists.h"

namespace velka {

class Logger;
class PatcherStatus;

// Empties baseDir\Package (message kTidyingText meanwhile), then
// unpacks every package baseDir\Temp\ZipUpdate\<path>, whatever its flags, into baseDir\Package.
// Update thread; the packages are unpacked on it and one helper thread, two at a time, but the
// outcome is that of list order: a package that writes a path an earlier one writes too (or a
// file where the other has a folder) waits for that one, so the later package wins. Status: message
// "", state Extracting, bytesDone from 0 growing with every byte written, bytesTotal =
// unpackedTotal.
//
// The directories of all packages are read first, in list order; the first archive that cannot be
// read or holds a refused name is not unpacked, nor anything after it. The reported failure is
// that of the earliest package in list order that failed: state Failed, an ERROR line with
// both paths and the code, message kMsgExtractFailed with LastErrorSuffix, false. Packages after it may have
// been unpacked in part; what was unpacked stays. On success true, with state and message left for
// the caller.
bool ExtractPackages(Logger& logger, PatcherStatus& status, const std::wstring& baseDir,
                     const std::vector<PackageEntry>& packages, uint64_t unpackedTotal);

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
