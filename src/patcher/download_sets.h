// Download sets: the packages of a full update and the individual files of an incremental
// update, both two at a time on a small worker pool. Both work in sweeps over the mirror base
// URLs: sweep k fetches from the k-th base every entry still missing or wrong, until every entry
// is verified or the bases are used up.
//
// Both run on the update thread and publish progress through `status`; both set `*failedFiles`
// and `*localFaults` to 0 on entry and leave there the entries whose last attempt failed and the
// local write faults counted, which decide the pipeline's outcome.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "patcher/file_lists.h"
#include "platform/sha256.h"
#include "transfer/download_job.h"
#include "transfer/transfer_settings.h"

namespace velka {

class Logger;
class PatcherStatus;

// The SHA-256 every entry of a list must have when a signed release vouches for it, one per
// entry in list order; an all-zero digest stands for an entry it does not vouch for, which never
// passes. A download set given one keeps an entry only when both its CRC and its digest match,
// downloaded or found staged, and counts here the files it refused for their digest (each with
// an ERROR line naming the file).
struct ExpectedDigests {
    std::vector<Sha256Digest> digests;
    int32_t refusals = 0;
};

// Fetches every package marked needsDownload into baseDir/Temp/ZipUpdate/<path> from
// base + name ("\\" made "/"), sweeping over the bases in order while filesDone < count. Each
// sweep runs its jobs on a fresh two-thread pool, sums their progress into bytesDone every
// settings.packageWatchPeriodMs until all have ended, and once more the moment the last one ends
// (no time limit; the jobs' own transfer limits end them), prints a line to stdout, shuts the
// pool down and checks the CRC of every package that has a job record. A package that passes gets
// needsDownload cleared and counts once in filesDone; one that does not is deleted, logged at
// ERROR with its name and CRC, and marked failed.
//
// Counters: *failedFiles ends as the number of packages whose last attempt failed; a package
// whose target file could not be opened adds one to *localFaults in every sweep where that
// happened, never withdrawn. Entries whose path is unsafe are never fetched and count as failed.
// Status: state DownloadingPackages during a sweep's transfers, FilesDownloaded after them.
// Jobs and their pool live for one sweep; each entry keeps the record of its latest job.
void DownloadPackages(Logger& logger, PatcherStatus& status, const std::wstring& baseDir,
                      const std::vector<std::string>& baseUrls, std::vector<PackageEntry>& entries,
                      int32_t count, int64_t totalBytes, int32_t* failedFiles, int32_t* localFaults,
                      const TransferSettings& settings = DefaultTransferSettings(),
                      ExpectedDigests* expected = nullptr);

// Fetches every file marked needsDownload into targetDir/<path> from base + path ("\\" made
// "/", every blank of the URL made "%20"; the local name keeps its blanks), sweeping over the
// bases in order while filesDone differs from count. A file already present with the right CRC
// is counted without a transfer; a wrong one is replaced. needsDownload is never cleared here;
// `verified` is set on the entries whose staged file this call found intact, and cleared on all
// others.
//
// Two files are worked on at a time (check, transfer, CRC) on a two-thread pool that lives for
// one sweep; each worker keeps its easy handle, and so its connection, from one file to the next
// for the whole call. The calling thread takes the outcomes in list order and only then logs,
// stores transfer codes (Logger::SetTransferResult), sets localFaultFlag (as DownloadToFile
// would) and counts, so all of these end as if the files had been fetched one after the other;
// the same holds for the files themselves, since entries naming the same file (or a file and a
// folder above it) are never worked on at once. Only bytesDone grows as bytes arrive.
// currentFileName and currentFileSize name the file whose outcome is awaited, and
// currentFileBytes shows its bytes; after the sweep they name the list's last entry.
//
// Counters: *failedFiles ends as the number of files whose last attempt failed (download or
// CRC); those whose target could not be opened count in *localFaults too. A file counted in one
// sweep is uncounted when the next sweep tries it again; flags set before the call (by the local
// check) are cleared but never uncount anything. Entries whose path is unsafe are never fetched
// and count as failed. Status: state DownloadingFiles; bytesDone grows with the bytes received
// and by the size of files found correct (again in every sweep that re-checks them).
void DownloadFileSet(Logger& logger, PatcherStatus& status, const std::wstring& targetDir,
                     const std::vector<std::string>& baseUrls, std::vector<FileEntry>& entries,
                     int32_t count, int64_t totalBytes, int32_t* failedFiles, int32_t* localFaults,
                     const TransferSettings& settings = DefaultTransferSettings(),
                     ExpectedDigests* expected = nullptr);

}  // namespace velka
