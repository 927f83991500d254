// Folder upkeep below the launcher's folder: the free-space check before large writes, and the
// removal of working folders and of the old game folder.
//
// Update thread only. Nothing here stops at a failure or throws: every file or folder that
// cannot be removed leaves one error line in the log and the rest is still removed; the caller
// learns of leftovers only when a later step (such as a rename) fails.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace velka {

class Logger;
class PatcherStatus;

// True only when the bytes available to the caller on the volume of `folder` are strictly more
// than `required`. Logs "Avaliable space : N Required space : M"; a volume that cannot be queried
// logs "Disk not readable! <folder>" at ERROR and gives false.
bool CheckDiskSpace(Logger& logger, const std::wstring& folder, uint64_t required);

// The decision and log line of CheckDiskSpace once the available bytes are known.
bool ReportDiskSpace(Logger& logger, uint64_t available, uint64_t required);

// Removes `folder` and everything below it. A folder that does not exist is left alone silently.
// Sub-folders whose names begin with "." are neither entered nor removed, so a folder holding one
// stays (with one error line).
void DeleteTree(Logger& logger, const std::wstring& folder);

// Called with every new status message; lets a front end or a test follow the progress without
// polling.
using MessageObserver = std::function<void(const std::wstring& message)>;

// DeleteTree that also reports progress: before each file is removed its size is added to
// `*done` and the status message becomes `prefix` + " ( " + done * 100 / total + "% )".
// Files whose size cannot be read are removed without progress. With `total` <= 0 no percentage
// can be given and the message is left as it was. `done` may be null (counting then starts at 0).
void DeleteTreeWithProgress(Logger& logger, PatcherStatus& status, const std::wstring& folder,
                            const std::wstring& prefix, int64_t* done, int64_t total,
                            const MessageObserver& observer = nullptr);

}  // namespace velka
