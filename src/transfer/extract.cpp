#include "transfer/extract.h"

#include <minizip/unzip.h>

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>

#include "platform/fs.h"
#include "platform/text.h"
#include "transfer/zip_file_io.h"
#include "transfer/zip_inflate.h"
#include "util/logger.h"
#include "util/safe_path.h"

namespace velka {

namespace {

// Names this long or longer are refused: 511 bytes and a terminator is what the package format
// has always allowed.
constexpr size_t kNameBufferSize = 512;

// Owner of an archive open for reading.
using Archive = UnzFileOwner;

// minizip finds no end record at offset 0, so it cannot open an archive without entries: nothing
// but the 22-byte end record and its comment.
bool IsArchiveWithoutEntries(const std::wstring& path) {
    const int64_t size = FileSize64(path);
    if (size < 22 || size > 22 + 0xFFFF) return false;
    std::string bytes;
    if (!ReadFileBytes(path, &bytes) || bytes.size() != static_cast<size_t>(size)) return false;
    const auto u16 = [&](size_t at) {
        return static_cast<unsigned>(static_cast<unsigned char>(bytes[at])) |
               static_cast<unsigned>(static_cast<unsigned char>(bytes[at + 1])) << 8;
    };
    if (bytes.compare(0, 4, "PK\x05\x06") != 0) return false;
    // Entry counts, directory size and offset all zero; the comment fills the rest.
    for (size_t at = 4; at < 20; at += 2) {
        if (u16(at) != 0) return false;
    }
    return u16(20) == bytes.size() - 22;
}

// The code to report for a minizip failure: only UNZ_ERRNO comes from a system call.
uint32_t CodeForUnzipError(int error) {
    return error == UNZ_ERRNO ? LastSystemError() : 0;
}

struct EntryInfo {
    std::string name;
    bool isFolder = false;
    // Made on a Unix host with an execute bit: the unpacked file gets one too, so programs in a
    // package stay runnable where the system keeps such bits.
    bool executable = false;
    bool encrypted = false;
    ZipEntryData data;  // all but the offset, which only the local header tells
};

constexpr unsigned kUnixHost = 3;

// Reads the current entry's record. False with *code set when minizip fails; a name that does
// not fit the buffer comes back with `name` cut to the buffer and `nameTooLong` set.
bool ReadEntryInfo(unzFile archive, EntryInfo* entry, bool* nameTooLong, uint32_t* code) {
    unz_file_info64 info;
    char name[kNameBufferSize] = {};
    const int error =
        unzGetCurrentFileInfo64(archive, &info, name, sizeof(name), nullptr, 0, nullptr, 0);
    if (error != UNZ_OK) {
        *code = CodeForUnzipError(error);
        return false;
    }
    *nameTooLong = info.size_filename >= kNameBufferSize;
    // Taken with its length: a NUL inside a name must not hide what follows it.
    entry->name.assign(name, *nameTooLong ? kNameBufferSize - 1 : info.size_filename);
    const char last = entry->name.empty() ? '\0' : entry->name.back();
    entry->isFolder = info.external_fa == 16 || last == '/' || last == '\\';
    entry->executable = (info.version >> 8) == kUnixHost && ((info.external_fa >> 16) & 0111) != 0;
    entry->encrypted = (info.flag & 1) != 0;
    entry->data.compressedSize = info.compressed_size;
    entry->data.uncompressedSize = info.uncompressed_size;
    entry->data.method = static_cast<uint32_t>(info.compression_method);
    entry->data.crc = static_cast<uint32_t>(info.crc);
    return true;
}

// --- Paths an archive writes ------------------------------------------------------------------
//
// Two packages may be unpacked at once only when neither writes where the other does: the same
// file, or a file where the other needs a folder. Paths are compared by a hash of their
// components, separators unified, "." and empty components dropped and ASCII letters folded (the
// Windows file system does not tell case apart). A collision only costs parallelism.
constexpr uint64_t kHashStart = 14695981039346656037ull;

uint64_t HashByte(uint64_t hash, unsigned char byte) {
    return (hash ^ byte) * 1099511628211ull;
}

// The paths written by every package, one 64-bit key each: the top bits are the path's hash, the
// bits below them the package's index in the list and, lowest, whether the path is a folder. A
// list of 100,000 files thus costs about 8 bytes a file, and sorted, the keys of one path lie
// together in list order.
class PathKeys {
  public:
    explicit PathKeys(size_t packageCount) {
        while (packageCount > (size_t{1} << (shift_ - 1))) ++shift_;
    }

    // Starts the keys of the package at `index`; packages come in list order.
    void BeginPackage(size_t index) {
        package_ = index;
        packageStart_ = keys_.size();
        previousFolders_.clear();
    }

    // Adds a name of the current package: every folder above it, and the name itself as a file
    // or a folder.
    void Add(const std::string& name, bool isFolder) {
        uint64_t hash = kHashStart;
        size_t depth = 0;
        for (size_t at = 0; at <= name.size();) {
            size_t end = at;
            while (end < name.size() && name[end] != '/' && name[end] != '\\') ++end;
            const bool skipped = end == at || (end == at + 1 && name[at] == '.');
            if (!skipped) {
                if (depth > 0) {
                    AddFolderAbove(depth - 1, hash);
                    hash = HashByte(hash, '/');
                }
                for (size_t i = at; i < end; ++i) {
                    const char c = name[i];
                    hash = HashByte(hash,
                                    static_cast<unsigned char>(c >= 'A' && c <= 'Z' ? c + 32 : c));
                }
                ++depth;
            }
            at = end + 1;
        }
        if (depth > 0) Push(hash, isFolder);
    }

    // Ends the current package: its keys are sorted and each kept once.
    void EndPackage() {
        std::sort(keys_.begin() + static_cast<std::ptrdiff_t>(packageStart_), keys_.end());
        keys_.erase(
            std::unique(keys_.begin() + static_cast<std::ptrdiff_t>(packageStart_), keys_.end()),
            keys_.end());
    }

    // For each of the first `count` packages, the earlier packages that must be unpacked before
    // it because the two write the same path (the later one wins, as in a run one after
    // another). A file waits for the last earlier package writing that file (which waited for
    // the ones before it) and for every earlier package holding a folder there; a folder waits
    // for the last earlier package writing a file there. Folders do not clash with each other.
    // Uses up the keys.
    std::vector<std::vector<size_t>> Overlaps(size_t count) {
        std::vector<std::vector<size_t>> after(count);
        std::vector<uint64_t> keys;
        keys.swap(keys_);
        std::sort(keys.begin(), keys.end());
        std::vector<size_t> folderHolders;
        for (size_t at = 0; at < keys.size();) {
            const uint64_t path = keys[at] >> shift_;
            size_t lastFile = count;  // none yet
            folderHolders.clear();
            while (at < keys.size() && keys[at] >> shift_ == path) {
                const size_t package = PackageOf(keys[at]);
                bool file = false;
                bool folder = false;
                for (; at < keys.size() && keys[at] >> shift_ == path &&
                       PackageOf(keys[at]) == package;
                     ++at) {
                    ((keys[at] & 1) ? folder : file) = true;
                }
                if (package >= count) continue;
                if ((file || folder) && lastFile < count) after[package].push_back(lastFile);
                if (file) {
                    after[package].insert(after[package].end(), folderHolders.begin(),
                                          folderHolders.end());
                    lastFile = package;
                }
                if (folder) folderHolders.push_back(package);
            }
        }
        for (std::vector<size_t>& before : after) {
            std::sort(before.begin(), before.end());
            before.erase(std::unique(before.begin(), before.end()), before.end());
        }
        return after;
    }

  private:
    size_t PackageOf(uint64_t key) const {
        return static_cast<size_t>((key & ((uint64_t{1} << shift_) - 1)) >> 1);
    }
    void Push(uint64_t hash, bool isFolder) {
        keys_.push_back((hash >> shift_ << shift_) | (uint64_t{package_} << 1) |
                        (isFolder ? 1 : 0));
    }
    // The folders of consecutive entries are mostly the same: each is added once per run.
    void AddFolderAbove(size_t depth, uint64_t hash) {
        if (depth < previousFolders_.size() && previousFolders_[depth] == hash) return;
        previousFolders_.resize(depth + 1);
        previousFolders_[depth] = hash;
        Push(hash, true);
    }

    unsigned shift_ = 1;  // the package index and the folder bit
    size_t package_ = 0;
    size_t packageStart_ = 0;
    std::vector<uint64_t> keys_;
    std::vector<uint64_t> previousFolders_;  // of the last name added, by depth
};

// Visits the entries of `archive` in directory order: visit(entry, refused) for each, `refused`
// when its name could land outside the destination (too long, or not a safe relative path).
// Stops with false at a directory that cannot be read (*code set) or at a visit that returns
// false (which sets *code itself). `rewind` first goes back to the first entry.
template <typename Visit>
bool WalkEntries(unzFile archive, uint64_t entryCount, bool rewind, uint32_t* code, Visit visit) {
    for (uint64_t i = 0; i < entryCount; ++i) {
        const int error =
            i > 0 ? unzGoToNextFile(archive) : (rewind ? unzGoToFirstFile(archive) : UNZ_OK);
        if (error != UNZ_OK) {
            *code = CodeForUnzipError(error);
            return false;
        }
        EntryInfo entry;
        bool nameTooLong = false;
        if (!ReadEntryInfo(archive, &entry, &nameTooLong, code)) return false;
        if (!visit(entry, nameTooLong, nameTooLong || !IsSafeRelativePath(entry.name))) {
            return false;
        }
    }
    return true;
}

// Walks the central directory once and refuses the archive when one name could land outside the
// destination; the refusal's log text goes to *refusal. With `keys`, the paths of all entries are
// collected. Only the directory is read, so this costs little next to the unpacking.
bool CheckEntryNames(unzFile archive, uint64_t entryCount, PathKeys* keys, std::string* refusal,
                     uint32_t* code) {
    return WalkEntries(
        archive, entryCount, false, code, [&](EntryInfo& entry, bool nameTooLong, bool refused) {
            if (refused) {
                *refusal = std::string(nameTooLong ? "Zip entry name too long! Entry = "
                                                   : "Unsafe zip entry name! Entry = ") +
                           PrintableForLog(entry.name);
                *code = 0;
                return false;
            }
            if (keys) keys->Add(entry.name, entry.isFolder);
            return true;
        });
}

// Writes the entry described by `entry` (positioned in `archive`, whose data are read through
// `data`) to `target`. False with *code set on a failure; a CRC or length mismatch is logged only.
bool WriteEntry(unzFile archive, std::FILE* data, ZipEntryDecoder& decoder, EntryInfo& entry,
                const std::wstring& target, std::atomic<int64_t>* bytesDone, Logger* logger,
                uint32_t* code) {
    // Encrypted data, and methods other than stored and deflate, are not unpacked.
    if (entry.encrypted || (entry.data.method != 0 && entry.data.method != Z_DEFLATED)) {
        *code = 0;
        return false;
    }
    int method = 0;
    int level = 0;
    const int openError = unzOpenCurrentFile2(archive, &method, &level, 1);
    if (openError != UNZ_OK) {
        *code = CodeForUnzipError(openError);
        return false;
    }
    entry.data.offset = unzGetCurrentFileZStreamPos64(archive);
    unzCloseCurrentFile(archive);

    if (target.empty() || !CreateDirectories(target)) {
        *code = LastSystemError();
        return false;
    }
    File file(target, "wb");
    if (!file) {
        *code = LastSystemError();
        return false;
    }
    std::setvbuf(file.get(), nullptr, _IONBF, 0);
    const ZipDecodeStatus status = decoder.Decode(data, entry.data, file.get(), bytesDone);
    switch (status) {
        case ZipDecodeStatus::Ok:
        case ZipDecodeStatus::Mismatch:
            break;
        case ZipDecodeStatus::DataDamaged:
            *code = 0;
            return false;
        case ZipDecodeStatus::ReadFailed:
        case ZipDecodeStatus::WriteFailed:
            *code = LastSystemError();
            return false;
    }
    if (!file.Close()) {
        *code = LastSystemError();
        return false;
    }
    if (entry.executable) MarkExecutable(target);
    if (status == ZipDecodeStatus::Mismatch && logger) {
        logger->Error("Zip entry CRC mismatch! Entry = " + PrintableForLog(entry.name));
    }
    return true;
}

bool UnpackEntries(unzFile archive, std::FILE* data, uint64_t entryCount,
                   const std::wstring& destDir, std::atomic<int64_t>* bytesDone, Logger* logger,
                   uint32_t* code) {
    ZipEntryDecoder decoder;
    return WalkEntries(archive, entryCount, true, code, [&](EntryInfo& entry, bool, bool refused) {
        // Checked again: the names were screened, but this is the step that
        // writes.
        if (refused) {
            *code = 0;
            return false;
        }
        const std::wstring target = JoinPath(destDir, ToWide(entry.name));
        if (!entry.isFolder) {
            return WriteEntry(archive, data, decoder, entry, target, bytesDone, logger, code);
        }
        // A trailing separator makes CreateDirectories create the last
        // component too.
        std::wstring folder = target;
        if (!IsSeparator(folder.back())) folder += kPathSeparator;
        if (!CreateDirectories(folder)) {
            *code = LastSystemError();
            return false;
        }
        return true;
    });
}

// Opens `zipPath` and runs `work(archive, entryCount, &code)` on it. True for an archive without
// entries (work not called). On failure false, with the failing step's code as the system error.
template <typename Work>
bool WithArchive(const std::wstring& zipPath, Work work) {
    ZipFileOpening context;
    zlib_filefunc64_def functions = WideZipFileFunctions(&context);
    uint32_t code = 0;
    bool ok = false;
    {
        Archive archive(unzOpen2_64(&zipPath, &functions));
        unz_global_info64 global;
        if (!archive) {
            // Opened but not read as a zip file: no system call failed.
            code = context.opened ? 0 : context.openError;
            ok = context.opened && IsArchiveWithoutEntries(zipPath);
        } else if (const int error = unzGetGlobalInfo64(archive.get(), &global); error != UNZ_OK) {
            code = CodeForUnzipError(error);
        } else {
            ok = work(archive.get(), global.number_entry, &code);
        }
    }
    // Closing the archive must not replace the code of the step that failed.
    if (!ok) SetLastSystemError(code);
    return ok;
}

// The name check of a whole archive; see CheckEntryNames.
bool ScanArchive(const std::wstring& zipPath, PathKeys* keys, std::string* refusal) {
    return WithArchive(zipPath, [&](unzFile archive, uint64_t entryCount, uint32_t* code) {
        return CheckEntryNames(archive, entryCount, keys, refusal, code);
    });
}

// The unpacking of an archive whose names were checked.
bool UnpackArchive(const std::wstring& zipPath, const std::wstring& destDir,
                   std::atomic<int64_t>* bytesDone, Logger* logger) {
    return WithArchive(zipPath, [&](unzFile archive, uint64_t entryCount, uint32_t* code) {
        // The entries' data are read through a handle of their own, unbuffered: the decoder
        // reads large blocks, and minizip's position stays its own.
        File data(zipPath, "rb");
        if (!data) {
            *code = LastSystemError();
            return false;
        }
        std::setvbuf(data.get(), nullptr, _IONBF, 0);
        return UnpackEntries(archive, data.get(), entryCount, destDir, bytesDone, logger, code);
    });
}

}  // namespace

bool UnzipArchive(const std::wstring& zipPath, const std::wstring& destDir,
                  std::atomic<int64_t>* bytesDone, Logger* logger) {
    std::string refusal;
    if (!ScanArchive(zipPath, nullptr, &refusal)) {
        if (logger && !refusal.empty()) {
            const uint32_t code = LastSystemError();
            logger->Error(refusal);
            SetLastSystemError(code);
        }
        return false;
    }
    return UnpackArchive(zipPath, destDir, bytesDone, logger);
}

ArchivesUnpacked UnpackArchivesInOrder(const std::vector<std::wstring>& zipPaths,
                                       const std::wstring& destDir, std::atomic<int64_t>* bytesDone,
                                       Logger& logger) {
    struct Job {
        std::wstring zipPath;
        std::vector<size_t> after;  // packages to finish first
        bool started = false;
        bool done = false;
        uint32_t code = 0;
    };
    std::vector<Job> jobs(zipPaths.size());

    // The directories first, in list order, up to the first archive that cannot be read or holds
    // a refused name: that one and everything after it are not unpacked.
    size_t count = 0;
    uint32_t scanCode = 0;
    std::string refusal;
    {
        PathKeys keys(zipPaths.size());
        for (; count < zipPaths.size(); ++count) {
            jobs[count].zipPath = zipPaths[count];
            keys.BeginPackage(count);
            if (!ScanArchive(jobs[count].zipPath, &keys, &refusal)) {
                scanCode = LastSystemError();
                break;
            }
            keys.EndPackage();
        }
        std::vector<std::vector<size_t>> after = keys.Overlaps(count);
        for (size_t i = 0; i < count; ++i) jobs[i].after = std::move(after[i]);
    }

    // Then the archives on two threads: each takes the earliest package whose overlapping
    // predecessors are done. After a failure nothing later than it is started, so every package
    // before the earliest failure is unpacked, as in a run one after another.
    std::mutex lock;
    std::condition_variable changed;
    size_t failedAt = count;
    const auto work = [&] {
        std::unique_lock<std::mutex> guard(lock);
        for (;;) {
            size_t pick = failedAt;
            bool waiting = false;
            for (size_t i = 0; i < failedAt; ++i) {
                if (jobs[i].started) continue;
                const bool ready = std::all_of(jobs[i].after.begin(), jobs[i].after.end(),
                                               [&](size_t j) { return jobs[j].done; });
                if (ready) {
                    pick = i;
                    break;
                }
                waiting = true;
            }
            if (pick == failedAt) {
                if (!waiting) return;
                changed.wait(guard);
                continue;
            }
            jobs[pick].started = true;
            guard.unlock();
            const bool ok = UnpackArchive(jobs[pick].zipPath, destDir, bytesDone, &logger);
            const uint32_t code = ok ? 0 : LastSystemError();
            guard.lock();
            jobs[pick].done = true;
            if (!ok && pick < failedAt) {
                failedAt = pick;
                jobs[pick].code = code;
            }
            changed.notify_all();
        }
    };
    std::thread helper;
    if (count > 1) {
        try {
            helper = std::thread(work);
        } catch (const std::system_error&) {
            // No second thread: the calling thread does it all.
        }
    }
    work();
    if (helper.joinable()) helper.join();

    ArchivesUnpacked outcome;
    if (failedAt == count && count == zipPaths.size()) {
        outcome.failed = zipPaths.size();
        return outcome;
    }
    const bool unpackFailed = failedAt < count;
    outcome.failed = unpackFailed ? failedAt : count;
    outcome.code = unpackFailed ? jobs[outcome.failed].code : scanCode;
    if (!unpackFailed) outcome.refusal = std::move(refusal);
    return outcome;
}

}  // namespace velka
