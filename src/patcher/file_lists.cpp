#include "patcher/file_lists.h"

#include <algorithm>
#include <cstdio>
#include <string_view>

#include "patcher/install_layout.h"
#include "patcher/player_texts.h"
#include "patcher/status.h"
#include "platform/fs.h"
#include "platform/text.h"
#include "util/crc32.h"
#include "util/file_crc.h"
#include "util/logger.h"
#include "util/ordered_parallel.h"
#include "util/safe_path.h"
#include "util/strings.h"

namespace velka {

namespace {

std::string UpperAscii(std::string text) {
    for (char& c : text) {
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    }
    return text;
}

// The non-empty pieces of `text` between `delimiter`s, as views into it. Reuses *pieces.
void SplitInto(std::string_view text, char delimiter, std::vector<std::string_view>* pieces) {
    pieces->clear();
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find(delimiter, start);
        if (end == std::string_view::npos) end = text.size();
        if (end > start) pieces->push_back(text.substr(start, end - start));
        start = end + 1;
    }
}

// Calls onLine(line) for every non-empty line of a list body, in order, after a byte-order mark.
// The lines are views into `body`: a list of many entries is walked without a copy of each line.
template <typename OnLine>
bool ForEachLine(const std::string& body, OnLine onLine) {
    const std::string_view text(body);
    size_t start = text.compare(0, 3, "\xEF\xBB\xBF") == 0 ? 3 : 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string_view::npos) end = text.size();
        if (end > start && !onLine(text.substr(start, end - start))) return false;
        start = end + 1;
    }
    return true;
}

// The common part of both parsers: the name, and the "$" pieces in *fields when there are
// `fieldCount` of them (else *fields is empty). False when the line is dropped altogether: it
// does not split into exactly two non-empty pieces at "=".
bool SplitLine(std::string_view line, size_t fieldCount, std::vector<std::string_view>* halves,
               std::vector<std::string_view>* fields) {
    SplitInto(line, '=', halves);
    if (halves->size() != 2) return false;
    SplitInto((*halves)[1], '$', fields);
    if (fields->size() != fieldCount) fields->clear();
    return true;
}

// The number of entries the parser makes from `body`, so that the list is allocated once and
// exactly: growing it by doubling would hold up to three times its size while copying.
size_t CountEntries(const std::string& body) {
    size_t count = 0;
    std::vector<std::string_view> halves;
    ForEachLine(body, [&](std::string_view line) {
        SplitInto(line, '=', &halves);
        if (halves.size() == 2) ++count;
        return true;
    });
    return count;
}

template <typename Entry>
void MarkParseFailed(Entry& entry) {
    entry.failed = true;
    entry.error = L"Parse Failed";
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
    std::vector<FileEntry>().swap(*entries);
    entries->reserve(CountEntries(text));
    std::vector<std::string_view> halves, fields;
    const bool safe = ForEachLine(text, [&](std::string_view line) {
        if (!SplitLine(line, 3, &halves, &fields)) return true;
        FileEntry& entry = entries->emplace_back();
        entry.name = halves[0];
        if (fields.empty()) {
            MarkParseFailed(entry);
            return true;
        }
        entry.path = fields[0];
        if (!IsSafeRelativePath(entry.path)) {
            LogUnsafe(logger, "file list", entry.name, entry.path);
            return false;
        }
        entry.size = ToUInt32(std::string(fields[1]));
        entry.crc = UpperAscii(Trim(std::string(fields[2])));
        return true;
    });
    if (!safe) std::vector<FileEntry>().swap(*entries);
    return safe;
}

bool ParsePackageList(Logger& logger, PatcherStatus& status, const std::string& text,
                      std::vector<PackageEntry>* entries, uint64_t* totalUnpacked) {
    status.bytesTotal = 0;
    std::vector<PackageEntry>().swap(*entries);
    entries->reserve(CountEntries(text));
    uint64_t unpacked = 0;
    std::vector<std::string_view> halves, fields;
    const bool safe = ForEachLine(text, [&](std::string_view line) {
        if (!SplitLine(line, 4, &halves, &fields)) return true;
        PackageEntry& entry = entries->emplace_back();
        entry.name = halves[0];
        int64_t unpackedSize = 0;
        int64_t packageSize = 0;
        if (!fields.empty()) {
            unpackedSize = ToInt64(std::string(fields[1]));
            packageSize = ToInt64(std::string(fields[2]));
        }
        // A negative size is no size: summed as unsigned it would wrap into a small total.
        if (fields.empty() || unpackedSize < 0 || packageSize < 0) {
            MarkParseFailed(entry);
            return true;
        }
        entry.path = fields[0];
        if (!IsSafeRelativePath(entry.path)) {
            LogUnsafe(logger, "package list", entry.name, entry.path);
            return false;
        }
        entry.unpackedSize = unpackedSize;
        entry.packageSize = packageSize;
        entry.crc = UpperAscii(Trim(std::string(fields[3])));
        unpacked += static_cast<uint64_t>(entry.unpackedSize);
        return true;
    });
    if (!safe) {
        std::vector<PackageEntry>().swap(*entries);
        return false;
    }
    // Added only now so that a rejected list leaves the caller's total as it was.
    *totalUnpacked += unpacked;
    return true;
}

void LogUnsafe(Logger& logger, const char* list, const std::string& name, const std::string& path) {
    logger.Error(std::string("Unsafe path in ") + list + "! Name = " + PrintableForLog(name) +
                 " Path = " + PrintableForLog(path));
}

LocalCheckResult CheckLocalFiles(PatcherStatus& status, const std::wstring& gameFolder,
                                 std::vector<FileEntry>& entries) {
    return CheckEntries(status, gameFolder, kCheckingGameText, entries);
}

LocalCheckResult CheckLocalPackages(PatcherStatus& status, const std::wstring& baseFolder,
                                    std::vector<PackageEntry>& entries) {
    return CheckEntries(status, JoinPath(baseFolder, kPackageDownloadFolder), kCheckingPackagesText,
                        entries);
}

}  // namespace velka
