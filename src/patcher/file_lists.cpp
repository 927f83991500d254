#include "patcher/file_lists.h"

#include <algorithm>
#include <cstdio>

#include "patcher/status.h"
#include "platform/fs.h"
#include "platform/text.h"
#include "util/crc32.h"
#include "util/logger.h"
#include "util/ordered_parallel.h"
#include "util/safe_path.h"
#include "util/strings.h"

namespace velka {

namespace {

constexpr size_t kMaxCrcBlock = size_t{1} << 20;

std::string UpperAscii(std::string text) {
    for (char& c : text) {
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    }
    return text;
}

// Reads `file` from its current position to the end. False on a read error, so a file that
// could not be read whole never matches a list CRC.
bool CrcOfOpenFile(std::FILE* file, int64_t length, uint32_t* crc) {
    // Sized to the file so that checking thousands of small files does not touch 1 MiB each.
    const size_t block = static_cast<size_t>(
        std::min<int64_t>(std::max<int64_t>(length, 4096), static_cast<int64_t>(kMaxCrcBlock)));
    std::vector<unsigned char> buffer(block);
    *crc = 0;
    for (;;) {
        const size_t got = std::fread(buffer.data(), 1, buffer.size(), file);
        if (got == 0) break;
        *crc = Crc32(*crc, buffer.data(), got);
    }
    return !std::ferror(file);
}

// Opens a file for the CRC check, unbuffered: CrcOfOpenFile reads whole blocks of at least 4 KiB
// into its own buffer, so a stdio buffer would only cost, per file, its allocation (with an
// fstat), a copy of the tail and one more read.
File OpenForCrc(const std::wstring& path) {
    File file(path, "rb");
    if (file) std::setvbuf(file.get(), nullptr, _IONBF, 0);
    return file;
}

// Length of an open file from a 64-bit position; -1 when it cannot be taken.
int64_t LengthOfOpenFile(std::FILE* file) {
    if (!SeekFile(file, 0, SEEK_END)) return -1;
    const int64_t length = TellFile(file);
    if (length < 0 || !SeekFile(file, 0, SEEK_SET)) return -1;
    return length;
}

// The common part of both parsers: name, and the "$" pieces when there are `fieldCount`.
// False when the line is dropped altogether.
bool SplitLine(const std::string& line, size_t fieldCount, std::string* name,
               std::vector<std::string>* fields) {
    const std::vector<std::string> halves = Split(line, '=');
    if (halves.size() != 2) return false;
    *name = halves[0];
    *fields = Split(halves[1], '$');
    if (fields->size() != fieldCount) fields->clear();
    return true;
}

void MarkParseFailed(bool* failed, std::wstring* error) {
    *failed = true;
    *error = L"Parse Failed";
}

void LogUnsafe(Logger& logger, const char* list, const std::string& name, const std::string& path) {
    logger.Error(std::string("Unsafe path in ") + list + "! Name = " + PrintableForLog(name) +
                 " Path = " + PrintableForLog(path));
}

template <typename Entry>
int64_t ExpectedSize(const Entry& entry);
template <>
int64_t ExpectedSize(const FileEntry& entry) {
    return entry.size;
}
template <>
int64_t ExpectedSize(const PackageEntry& entry) {
    return entry.packageSize;
}

// What the check found on disk for one entry.
struct Probe {
    enum Kind : uint8_t { Unsafe, Missing, NotOpened, OtherSize, Summed } kind = Unsafe;
    bool readOk = false;  // Summed: the whole file was read
    uint32_t crc = 0;     // Summed and readOk
};

// The file system part of checking one entry; safe to run for two entries at once.
Probe ProbeFile(const std::wstring& folder, const std::string& path, int64_t expected) {
    Probe probe;
    if (!IsSafeRelativePath(path)) return probe;
    const std::wstring local = JoinPath(folder, ToWide(path));
    // The query that tells whether the file is there also gives its length, so the open file
    // needs no seeks to measure it.
    const int64_t length = FileSize64(local);
    if (length < 0) {
        probe.kind = Probe::Missing;
        return probe;
    }
    File file = OpenForCrc(local);
    if (!file) {
        probe.kind = Probe::NotOpened;
        return probe;
    }
    if (length != expected) {
        probe.kind = Probe::OtherSize;
        return probe;
    }
    probe.kind = Probe::Summed;
    probe.readOk = CrcOfOpenFile(file.get(), length, &probe.crc);
    return probe;
}

// Entries whose files are read ahead of the one being marked, at most. Bounds the memory of the
// check, not its speed: the two readers rarely get this far apart.
constexpr size_t kProbeWindow = 256;

template <typename Entry>
LocalCheckResult CheckEntries(PatcherStatus& status, const std::wstring& folder,
                              const std::wstring& message, std::vector<Entry>& entries) {
    status.filesDone = 0;
    status.filesTotal = static_cast<int32_t>(entries.size());
    status.bytesDone = 0;
    status.SetState(PatcherState::CheckingFiles);
    status.SetMessage(message);

    LocalCheckResult result;
    // Files are read and summed on two threads; marks, counters and status follow list order.
    ComputeAheadInOrder<Probe>(
        entries.size(), kProbeWindow,
        [&](size_t i) { return ProbeFile(folder, entries[i].path, ExpectedSize(entries[i])); },
        [&](size_t i, const Probe& probe) {
            Entry& entry = entries[i];
            status.SetCurrentFileName(ToWide(entry.name));
            if (probe.kind == Probe::Summed && probe.readOk && CrcText(probe.crc) == entry.crc) {
                entry.needsDownload = false;
                ++status.filesDone;
                return;
            }
            if (probe.kind == Probe::NotOpened) {
                entry.failed = true;
                entry.error = L"failed to open for checking";
                ++result.openFailures;
            }
            entry.needsDownload = true;
            ++result.filesToDownload;
            // A negative size from a broken list wraps here; the disk-space check then fails
            // the run rather than under-counting.
            result.bytesToDownload += static_cast<uint64_t>(ExpectedSize(entry));
        });
    return result;
}

}  // namespace

bool ParseFileList(Logger& logger, PatcherStatus& status, const std::string& text,
                   std::vector<FileEntry>* entries) {
    status.bytesTotal = 0;
    entries->clear();
    for (const std::string& line : Split(WithoutByteOrderMark(text), '\n')) {
        FileEntry entry;
        std::vector<std::string> fields;
        if (!SplitLine(line, 3, &entry.name, &fields)) continue;
        if (fields.empty()) {
            MarkParseFailed(&entry.failed, &entry.error);
        } else {
            if (!IsSafeRelativePath(fields[0])) {
                LogUnsafe(logger, "file list", entry.name, fields[0]);
                entries->clear();
                return false;
            }
            entry.path = fields[0];
            entry.size = ToUInt32(fields[1]);
            entry.crc = UpperAscii(Trim(fields[2]));
        }
        entries->push_back(std::move(entry));
    }
    return true;
}

bool ParsePackageList(Logger& logger, PatcherStatus& status, const std::string& text,
                      std::vector<PackageEntry>* entries, uint64_t* totalUnpacked) {
    status.bytesTotal = 0;
    entries->clear();
    uint64_t unpacked = 0;
    for (const std::string& line : Split(WithoutByteOrderMark(text), '\n')) {
        PackageEntry entry;
        std::vector<std::string> fields;
        if (!SplitLine(line, 4, &entry.name, &fields)) continue;
        // A negative size is no size: summed as unsigned it would wrap into a small total.
        if (!fields.empty() && (ToInt64(fields[1]) < 0 || ToInt64(fields[2]) < 0)) fields.clear();
        if (fields.empty()) {
            MarkParseFailed(&entry.failed, &entry.error);
        } else {
            if (!IsSafeRelativePath(fields[0])) {
                LogUnsafe(logger, "package list", entry.name, fields[0]);
                entries->clear();
                return false;
            }
            entry.path = fields[0];
            entry.unpackedSize = ToInt64(fields[1]);
            entry.packageSize = ToInt64(fields[2]);
            entry.crc = UpperAscii(Trim(fields[3]));
            unpacked += static_cast<uint64_t>(entry.unpackedSize);
        }
        entries->push_back(std::move(entry));
    }
    // Added only now so that a rejected list leaves the caller's total as it was.
    *totalUnpacked += unpacked;
    return true;
}

LocalCheckResult CheckLocalFiles(PatcherStatus& status, const std::wstring& gameFolder,
                                 std::vector<FileEntry>& entries) {
    return CheckEntries(status, gameFolder, L"正在驗證遊戲完整性", entries);
}

LocalCheckResult CheckLocalPackages(PatcherStatus& status, const std::wstring& baseFolder,
                                    std::vector<PackageEntry>& entries) {
    return CheckEntries(status, JoinPath(baseFolder, L"Temp\\ZipUpdate"), L"正在檢索本地整包文件",
                        entries);
}

std::string ComputeFileCrc(const std::wstring& path, int64_t* fileSize) {
    File file = OpenForCrc(path);
    if (!file) return std::string();
    const int64_t length = LengthOfOpenFile(file.get());
    if (length < 0) return std::string();
    if (fileSize) *fileSize = length;
    uint32_t crc = 0;
    return CrcOfOpenFile(file.get(), length, &crc) ? CrcText(crc) : std::string();
}

}  // namespace velka
