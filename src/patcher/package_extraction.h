// The full update's unpacking stage: the downloaded packages become the folder Package.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "patcher/file_lists.h"

namespace velka {

class Logger;
class PatcherStatus;

// Empties baseDir\Package (message kTidyingText meanwhile), then unpacks every package
// baseDir\Temp\ZipUpdate\<path>, whatever its flags, into baseDir\Package in list order
// (UnpackArchivesInOrder). Update thread. Status: message "", state Extracting, bytesDone from 0
// growing with every byte written, bytesTotal = unpackedTotal.
//
// An entry whose path is not safe ends the list there, like an archive that cannot be read. The
// reported failure is that of the earliest package in list order that failed: state Failed, an
// ERROR line with both paths and the code, message kMsgExtractFailed with LastErrorSuffix, false.
// On success true, with state and message left for the caller.
bool ExtractPackages(Logger& logger, PatcherStatus& status, const std::wstring& baseDir,
                     const std::vector<PackageEntry>& packages, uint64_t unpackedTotal);

}  // namespace velka
