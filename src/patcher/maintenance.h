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
#include <vector>

namespace velka {

class Logger;
class PatcherStatus;
struct FileEntry;

// True only when the bytes available to the caller on the volume of `folder` are strictly more
// than `required`. Logs both figures; a volume that cannot be queried gives an ERROR line naming
// the folder, and false.
bool CheckDiskSpace(Logger& logger, const std::wstring& folder, uint64_t required);

// The decision and log line of CheckDiskSpace once the available bytes are known.
bool ReportDiskSpace(Logger& logger, uint64_t available, uint64_t required);

// Removes `folder` and everything below it, names beginning with "." included. A folder that does
// not exist is left alone silently. A symbolic link is removed as a link; its target is never
// entered.
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

// Copies into `game` the staged files below `staging` of the entries that need a download and
// were verified by this run's download (FileEntry::verified); nothing else in `staging` is
// copied. Folders are made on the way; a file that is replaced keeps its permissions. Then every
// copied file is checked in place, size and CRC. False at the first failure, with *errorCode the
// system error code of a failed copy, or 0 for an entry that was not verified or a copy that
// does not match (an ERROR line names the file).
bool CopyVerifiedFiles(Logger& logger, const std::wstring& staging, const std::wstring& game,
                       const std::vector<FileEntry>& entries, uint32_t* errorCode);

// Puts the freshly unpacked tree `fresh` in the place of `game` without a moment in which a kill
// could leave neither: `game` is renamed to `aside` (same volume; its parent folder is made and an
// `aside` left by an earlier run is removed first), `fresh` is renamed to `game`, and only then is
// `aside` removed, with progress as DeleteTreeWithProgress (the message starts at
// `prefix` at 0 %, the count at 1, the total is the old tree's size), logged before and after.
// Without a `game` folder only the second rename happens. When that rename fails the old tree is
// renamed back. False when a rename failed: *errorCode holds its system error code, and `game`
// holds the old tree (or still nothing).
bool SwapInFolder(Logger& logger, PatcherStatus& status, const std::wstring& game,
                  const std::wstring& fresh, const std::wstring& aside, const std::wstring& prefix,
                  uint32_t* errorCode);

// Finishes a swap a kill interrupted, at the next start: an `aside` folder is renamed back to
// `game` when `game` is missing (the old tree returns with its record), and removed otherwise.
void RepairInterruptedSwap(Logger& logger, const std::wstring& game, const std::wstring& aside);

}  // namespace velka
