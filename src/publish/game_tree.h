// The game build tree below velka_win/, read and screened for publishing.
//
// Every name that reaches the file list, the package list and the zip packages must survive the
// launcher's way of reading them: the lists split at "=" and "$", the launcher runs on Windows,
// reads names in the player's ANSI code page, builds download URLs by replacing only "\" and
// blanks, and its copy step skips entries whose names begin with ".". A name that cannot make
// that trip is refused here, before anything is written, rather than published broken.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace velka {

// The launcher's file list holds sizes as unsigned 32-bit numbers.
inline constexpr uint64_t kMaxListedFileSize = 0xFFFFFFFFull;

// The extractor refuses an archive holding an entry name of this many bytes or more.
inline constexpr size_t kMaxEntryNameBytes = 511;

struct GameFile {
    std::string path;     // relative to velka_win, backslash-separated: the file-list form
    std::string name;     // the last component of `path`
    std::wstring source;  // the file in the build folder
    uint64_t size = 0;    // as found by the scan
};

// Why `component` (one file or folder name, narrow) cannot be published, or empty when it can.
std::string CheckPublishableName(const std::string& component);

// Reads every file below `velkaWinFolder`, recursively, into `files`, sorted by the bytes of
// `path`. Symbolic links to files are followed (their content is published); links to folders,
// dangling links and special files are refused, as are unpublishable names, two names in one
// folder that differ only in letter case (one file on Windows), files of 4 GiB or more, entry
// names too long for the extractor, and a tree without any file. Empty folders are not
// published (the lists carry files only).
//
// False with a one-line reason in `error` naming the offending path; `files` is then undefined.
bool ScanGameTree(const std::wstring& velkaWinFolder, std::vector<GameFile>* files,
                  std::string* error);

}  // namespace velka
