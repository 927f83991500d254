// Unpacking of zip packages: the full update's packages into D\Package, and single archives (the
// launcher's own package) into a folder of the caller's choice.
//
// Update thread only. Archives are read through minizip with wide paths, so folders whose names
// the ANSI code page cannot spell work too. Entry names are taken as narrow (ANSI / UTF-8) text,
// either separator.
//
// No entry is ever written outside the destination: an archive holding an entry whose name is
// 512 bytes or longer, absolute ("/x", "\x"), has a drive letter or ":" ("C:x"), or has a
// component of dots ("../x", "..\x") is refused as a whole before anything of it is written.
#pragma once

#include <minizip/unzip.h>

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "patcher/file_lists.h"

namespace velka {

class Logger;
class PatcherStatus;

// Empties baseDir\Package (message "正在進行資源整理,如長時間卡頓可重開啓動器" meanwhile), then
// unpacks every package baseDir\Temp\ZipUpdate\<path>, in list order and whatever its flags, into
// baseDir\Package. Status: message "", state Extracting, bytesDone from 0 growing with every byte
// written, bytesTotal = unpackedTotal.
//
// On the first archive that fails: state Failed, the ERROR line "Unzip failed! Zip path : <zip>
// Unzip path : <Package> LastError = <code>", message "解壓失敗
// 請檢查本地壓縮包文件讀寫權限並重開啓動器 LastError(<code>)", false; later archives are not opened
// and what was unpacked stays. On success true, with state and message left for the caller.
bool ExtractPackages(Logger& logger, PatcherStatus& status, const std::wstring& baseDir,
                     const std::vector<PackageEntry>& packages, uint64_t unpackedTotal);

// Unpacks the archive `zipPath` into `destDir` (created as needed; existing files overwritten,
// nothing deleted). Folder entries (name ending in a separator, or attributes exactly 16) become
// folders. When `bytesDone` is given, every byte written is added to it as it is written.
//
// False when the archive cannot be opened or read, an entry cannot be opened (unsupported method,
// encryption) or written, or a name is refused (see above; then nothing is written at all). A
// partly written file stays. LastSystemError() afterwards holds the code of the failing step: 0
// for a refused name or a damaged archive, which no system call caused. With a `logger`, refused
// names and entries whose data do not match their CRC get an ERROR line; a CRC mismatch alone does
// not fail the unpacking (the file check after a full update finds and replaces such files).
bool UnzipArchive(const std::wstring& zipPath, const std::wstring& destDir,
                  std::atomic<int64_t>* bytesDone = nullptr, Logger* logger = nullptr);

// Writes the current, opened entry of `archive` to `target` (its folders created first; an
// existing file overwritten), adding each piece written to `bytesDone` when given. 0 at a clean
// end; negative when the target is empty or cannot be created or written (-1), or when the
// archive data cannot be read (minizip's code). The partly written file stays.
int WriteCurrentEntry(unzFile archive, const std::wstring& target,
                      std::atomic<int64_t>* bytesDone = nullptr);

}  // namespace velka
