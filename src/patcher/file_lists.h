// The published file list and package list, and the check of the local disk against them.
//
// Both lists are plain text, one entry per line (LF, a CR before it tolerated):
//   file list     name=path$size$CRC
//   package list  name=path$unpackedSize$packageSize$CRC
// Paths are relative, written with backslashes; they get native separators before they reach the
// file system. CRC texts are eight upper-case hexadecimal digits (ComputeFileCrc).
//
// Everything here runs on the update thread and writes the PatcherStatus fields named below.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "util/compact_text.h"

namespace velka {

class Logger;
class PatcherStatus;
struct JobResult;  // the download pool's per-job record

// A list may name hundreds of thousands of files, so the texts of an entry are compact (16 bytes
// each, short ones without a heap block); they convert to and compare with std::string.
struct FileEntry {
    CompactText name;  // text before "="; shown as the current file name
    CompactText path;  // relative to the checked folder, backslash-separated
    uint32_t size = 0;
    CompactText crc;  // upper-cased on parsing
    bool needsDownload = false;
    bool failed = false;    // unparseable line, or the local file could not be opened
    CompactWideText error;  // "Parse Failed", "failed to open for checking", ...
    // Set by DownloadFileSet when it found the downloaded (or already staged) file intact in
    // this call; only such files may be copied into the game.
    bool verified = false;
};

struct PackageEntry {
    std::string name;
    std::string path;  // the package file, relative to Temp\ZipUpdate
    int64_t packageSize = 0;
    int64_t unpackedSize = 0;
    std::string crc;
    bool needsDownload = false;
    bool failed = false;
    std::wstring error;
    std::shared_ptr<JobResult> jobResult;  // attached and managed by the download pool
};

// Parse a list body. bytesTotal is set to 0 first.
//
// Lines that do not split into exactly two non-empty pieces at "=" are dropped. Lines with the
// wrong number of "$" fields (or, in the package list, a negative size) become entries with only
// `name`, `failed` set and error "Parse Failed"; they do not stop the parse. A byte-order mark
// before the first line is ignored. ParsePackageList adds the unpackedSize of every
// well-formed entry to *totalUnpacked (which it does not reset).
//
// A list naming a path that would leave its folder (absolute, drive letter, "..", control
// characters; see IsSafeRelativePath) is hostile: one ERROR line names the entry, *entries is
// left empty and the result is false. The caller must then end the run as failed without
// touching the installation, e.g. with kMsgCannotVerify alone (the transfer codes are
// meaningless here). On true every non-failed entry has a safe path.
bool ParseFileList(Logger& logger, PatcherStatus& status, const std::string& text,
                   std::vector<FileEntry>* entries);
bool ParsePackageList(Logger& logger, PatcherStatus& status, const std::string& text,
                      std::vector<PackageEntry>* entries, uint64_t* totalUnpacked);

struct LocalCheckResult {
    uint32_t openFailures = 0;     // files that exist but could not be opened
    uint32_t filesToDownload = 0;  // entries marked needsDownload
    uint64_t bytesToDownload = 0;  // sum of their expected sizes
};

// Checks every entry, in order, against `gameFolder` (CheckLocalFiles) or against
// baseFolder\Temp\ZipUpdate (CheckLocalPackages): an entry whose file is missing, of another
// length than `size` / `packageSize`, or of another CRC is marked needsDownload; an intact one
// gets needsDownload cleared and counts in filesDone. A file that exists but cannot be opened
// also gets `failed` and error "failed to open for checking".
//
// Status: filesDone = 0, filesTotal = entry count, bytesDone = 0, state = CheckingFiles, message
// kCheckingGameText (files) or kCheckingPackagesText (packages); currentFileName follows the
// entry being checked. Entries whose path is not safe (only the parser's "Parse Failed" entries,
// whose path is empty, when the list came from the parsers) are marked without any file access.
LocalCheckResult CheckLocalFiles(PatcherStatus& status, const std::wstring& gameFolder,
                                 std::vector<FileEntry>& entries);
LocalCheckResult CheckLocalPackages(PatcherStatus& status, const std::wstring& baseFolder,
                                    std::vector<PackageEntry>& entries);

// The ERROR line for an entry of `list` ("file list", "package list") whose path is not safe.
void LogUnsafe(Logger& logger, const char* list, const std::string& name, const std::string& path);

}  // namespace velka
