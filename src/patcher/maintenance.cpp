#include "patcher/maintenance.h"

#include <cstdio>
#include <limits>
#include <vector>

#include "patcher/file_lists.h"
#include "patcher/status.h"
#include "platform/fs.h"
#include "platform/text.h"
#include "util/file_crc.h"
#include "util/logger.h"

namespace velka {

bool ReportDiskSpace(Logger& logger, uint64_t available, uint64_t required) {
    logger.Info("Avaliable space : " + std::to_string(available) +
                " Required space : " + std::to_string(required));
    return available > required;
}

bool CheckDiskSpace(Logger& logger, const std::wstring& folder, uint64_t required) {
    uint64_t available = 0;
    if (!FreeDiskSpace(folder, &available)) {
        logger.Error("Disk not readable! " + ToNarrow(folder));
        return false;
    }
    return ReportDiskSpace(logger, available, required);
}

namespace {

struct ProgressState {
    PatcherStatus& status;
    const std::wstring& prefix;
    int64_t& done;
    int64_t total;
    const MessageObserver& observer;
};

// Size of a file as seen through a read handle, or -1. A file that cannot be opened gives no
// progress but is still removed.
int64_t ReadableSize(const std::wstring& path) {
    File file(path, "rb");
    if (!file || !SeekFile(file.get(), 0, SEEK_END)) return -1;
    return TellFile(file.get());
}

// done * 100 / total, truncated. The product stays in 64 bits for any real folder; only a
// caller's huge starting count leaves that range, and a shown percentage needs no exactness there.
int64_t Percentage(int64_t done, int64_t total) {
    constexpr int64_t kLimit = std::numeric_limits<int64_t>::max() / 100;
    if (done >= -kLimit && done <= kLimit) return done * 100 / total;
    const long double share = static_cast<long double>(done) * 100 / total;
    constexpr long double kMax = static_cast<long double>(kLimit) * 100;
    if (share >= kMax) return kLimit * 100;
    if (share <= -kMax) return -kLimit * 100;
    return static_cast<int64_t>(share);
}

void AddProgress(ProgressState& progress, const std::wstring& file) {
    const int64_t size = ReadableSize(file);
    if (size < 0) return;
    progress.done += size;
    // A total of 0 (a folder of empty files, or one measured as unreadable) gives no meaningful
    // percentage; the previous message stays rather than dividing by zero.
    if (progress.total <= 0) return;
    const std::wstring message = progress.prefix + L" ( " +
                                 std::to_wstring(Percentage(progress.done, progress.total)) +
                                 L"% )";
    progress.status.SetMessage(message);
    if (progress.observer) progress.observer(message);
}

void RemoveTree(Logger& logger, const std::wstring& folder, ProgressState* progress) {
    if (!DirectoryExists(folder)) return;
    std::vector<DirEntry> entries;
    if (!ListDirectory(folder, &entries)) return;

    const bool endsInSeparator = !folder.empty() && IsSeparator(folder.back());
    const std::wstring base = endsInSeparator ? folder : folder + kPathSeparator;
    for (const DirEntry& entry : entries) {
        const std::wstring path = base + entry.name;
        if (!entry.isDirectory) {
            if (progress) AddProgress(*progress, path);
            if (!RemoveFile(path)) {
                logger.Error("Delete file failed! error = " + std::to_string(LastSystemError()) +
                             "  FileName = " + ToNarrow(path));
            }
        } else {
            RemoveTree(logger, path, progress);
        }
    }

    if (!RemoveEmptyFolder(folder)) {
        logger.Error("Delete directory failed! error = " + std::to_string(LastSystemError()) +
                     "  Directory = " + ToNarrow(folder));
    }
}

}  // namespace

void DeleteTree(Logger& logger, const std::wstring& folder) {
    RemoveTree(logger, folder, nullptr);
}

void DeleteTreeWithProgress(Logger& logger, PatcherStatus& status, const std::wstring& folder,
                            const std::wstring& prefix, int64_t* done, int64_t total,
                            const MessageObserver& observer) {
    int64_t localDone = 0;
    ProgressState progress{status, prefix, done ? *done : localDone, total, observer};
    RemoveTree(logger, folder, &progress);
}

bool CopyVerifiedFiles(Logger& logger, const std::wstring& staging, const std::wstring& game,
                       const std::vector<FileEntry>& entries, uint32_t* errorCode) {
    *errorCode = 0;
    std::vector<const FileEntry*> copied;
    for (const FileEntry& entry : entries) {
        if (!entry.needsDownload) continue;
        const std::wstring target = JoinPath(game, ToWide(entry.path));
        if (!entry.verified) {
            logger.Error("Copy check failed! FileName = " + ToNarrow(target));
            return false;
        }
        if (!CreateDirectories(target) ||
            !CopyOneFile(JoinPath(staging, ToWide(entry.path)), target)) {
            *errorCode = LastSystemError();
            return false;
        }
        copied.push_back(&entry);
    }
    for (const FileEntry* entry : copied) {
        const std::wstring target = JoinPath(game, ToWide(entry->path));
        int64_t size = -1;
        const std::string crc = ComputeFileCrc(target, &size);
        if (!CrcMatches(crc, entry->crc) || size != static_cast<int64_t>(entry->size)) {
            logger.Error("Copy check failed! FileName = " + ToNarrow(target));
            return false;
        }
    }
    return true;
}

bool SwapInFolder(Logger& logger, PatcherStatus& status, const std::wstring& game,
                  const std::wstring& fresh, const std::wstring& aside, const std::wstring& prefix,
                  uint32_t* errorCode) {
    const bool hadGame = DirectoryExists(game);
    if (hadGame) {
        DeleteTree(logger, aside);
        CreateDirectories(aside);
        if (!RenamePath(game, aside)) {
            *errorCode = LastSystemError();
            return false;
        }
    }
    if (!RenamePath(fresh, game)) {
        *errorCode = LastSystemError();
        if (hadGame && !RenamePath(aside, game)) {
            logger.Error("Restore old game files failed! error = " +
                         std::to_string(LastSystemError()));
        }
        return false;
    }
    if (!hadGame) return true;
    status.SetMessage(prefix + L" ( 0% )");
    int64_t done = 1;
    const int64_t total = static_cast<int64_t>(DirectorySize(aside));
    logger.Info("Delete old game files");
    DeleteTreeWithProgress(logger, status, aside, prefix, &done, total);
    logger.Info("Delete old game files finish");
    return true;
}

void RepairInterruptedSwap(Logger& logger, const std::wstring& game, const std::wstring& aside) {
    if (!DirectoryExists(aside)) return;
    if (!DirectoryExists(game)) {
        logger.Info("Restore old game files left by an interrupted update");
        if (RenamePath(aside, game)) return;
        logger.Error("Restore old game files failed! error = " + std::to_string(LastSystemError()));
        return;
    }
    logger.Info("Delete old game files left by an interrupted update");
    DeleteTree(logger, aside);
}

}  // namespace velka
