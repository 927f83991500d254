// What one launcher run trusts of its mirrors when it was built with a release key: the release
// record it accepted, and the checks every artifact passes before the run uses it.
//
// Without a key the guard is inactive and every check here is skipped by its callers, so the run
// behaves exactly as a launcher built without one.
//
// Update thread only.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "patcher/file_lists.h"
#include "patcher/install_layout.h"
#include "patcher/release_record.h"
#include "transfer/transfer_settings.h"

namespace velka {

class Logger;

// The highest release accepted below `baseDirectory` (kAcceptedReleasePath: a decimal and a
// line end); 0 when none was recorded or the record is
// unreadable.
uint64_t ReadAcceptedRelease(const std::wstring& baseDirectory);
// Records `release` (replacing the file in one step). False when it cannot be written.
bool WriteAcceptedRelease(const std::wstring& baseDirectory, uint64_t release);

// Seconds since 1970-01-01 UTC by the computer's clock.
int64_t UnixTimeNow();

class ReleaseGuard {
  public:
    // `publicKeyHex` empty: inactive. `clock` gives the player's time in Unix seconds.
    ReleaseGuard(std::string publicKeyHex, std::function<int64_t()> clock);

    bool Active() const { return !publicKeyHex_.empty(); }

    enum class Fetch {
        Accepted,     // a mirror delivered a record that verified; Record() holds it
        Refused,      // at least one mirror delivered a record, none verified
        Unreachable,  // no mirror delivered anything
    };
    // Fetches the record from each of `urls` in order until one verifies against the key, the
    // clock and `highestAccepted`. Each refused record leaves an ERROR line with the URL and the
    // reason.
    Fetch FetchRecord(const std::vector<std::string>& urls, uint64_t highestAccepted,
                      Logger& logger, const TransferSettings& settings);
    const ReleaseRecord& Record() const { return record_; }

    // Whether the bytes received from `source` for `name` are those the record vouches for. A
    // refusal leaves an ERROR line with the source and the reason, and counts in Refusals().
    bool Vouches(const std::string& name, uint64_t size, const Sha256Digest& digest,
                 const std::string& source, Logger& logger);
    bool VouchesForText(const std::string& name, const std::string& text, const std::string& source,
                        Logger& logger);
    // For a file that lies on disk (reused instead of downloaded).
    bool VouchesForFile(const std::string& name, const std::wstring& path, Logger& logger);

    // Artifacts refused so far, by this guard and by the download sets (AddRefusals).
    int32_t Refusals() const { return refusals_; }
    void AddRefusals(int32_t count) { refusals_ += count; }

    // The digest the record gives each package, in list order (all zero for one it does not
    // list).
    std::vector<Sha256Digest> PackageDigests(const std::vector<PackageEntry>& packages) const;

  private:
    std::string publicKeyHex_;
    std::function<int64_t()> clock_;
    ReleaseRecord record_;
    int32_t refusals_ = 0;
};

// The digest of every file list entry from a hash list ("<path>=<sha256>" lines), in list order;
// all zero for an entry the hash list does not name. Kept to 32 bytes per entry beyond the text.
// False with a reason for a malformed hash list.
bool HashListDigests(const std::string& text, const std::vector<FileEntry>& entries,
                     std::vector<Sha256Digest>* digests, std::string* reason);

// The URL of the hash list published beside the file list at `fileListUrl`: everything up to its
// last "/" followed by "hashlist.txt"; empty when the URL has no "/".
std::string HashListUrlBeside(const std::string& fileListUrl);

}  // namespace velka
