#include "patcher/release_guard.h"

#include <algorithm>
#include <ctime>
#include <string_view>

#include "platform/fs.h"
#include "platform/text.h"
#include "transfer/http.h"
#include "util/logger.h"
#include "util/strings.h"

namespace velka {

uint64_t ReadAcceptedRelease(const std::wstring& baseDirectory) {
    std::string text;
    if (!ReadFileBytes(JoinPath(baseDirectory, kAcceptedReleasePath), &text)) return 0;
    text = Trim(text);
    uint64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return 0;
        const uint64_t digit = static_cast<uint64_t>(c - '0');
        if (value > (UINT64_MAX - digit) / 10) return 0;
        value = value * 10 + digit;
    }
    return value;
}

bool WriteAcceptedRelease(const std::wstring& baseDirectory, uint64_t release) {
    const std::wstring path = JoinPath(baseDirectory, kAcceptedReleasePath);
    CreateDirectories(path);
    return WriteFileAtomically(path, std::to_string(release) + "\n");
}

int64_t UnixTimeNow() {
    return static_cast<int64_t>(std::time(nullptr));
}

ReleaseGuard::ReleaseGuard(std::string publicKeyHex, std::function<int64_t()> clock)
    : publicKeyHex_(std::move(publicKeyHex)), clock_(std::move(clock)) {}

ReleaseGuard::Fetch ReleaseGuard::FetchRecord(const std::vector<std::string>& urls,
                                              uint64_t highestAccepted, Logger& logger,
                                              const TransferSettings& settings) {
    bool delivered = false;
    ReleaseExpectations expected;
    expected.publicKeyHex = publicKeyHex_;
    expected.now = clock_ ? clock_() : UnixTimeNow();
    expected.highestAccepted = highestAccepted;
    for (const std::string& url : urls) {
        std::string text;
        if (!FetchRemoteText(url, &text, &logger, settings)) continue;
        delivered = true;
        std::string reason;
        if (VerifyReleaseRecord(text, expected, &record_, &reason)) {
            logger.Info("Release record accepted : release " + std::to_string(record_.release) +
                        " from " + url);
            return Fetch::Accepted;
        }
        logger.Error("Release record refused! url = " + url + " reason = " + reason);
    }
    record_ = ReleaseRecord();
    return delivered ? Fetch::Refused : Fetch::Unreachable;
}

bool ReleaseGuard::Vouches(const std::string& name, uint64_t size, const Sha256Digest& digest,
                           const std::string& source, Logger& logger) {
    std::string reason;
    if (VerifyReleaseArtifact(record_, name, size, digest, &reason)) return true;
    logger.Error("Release check failed! url = " + source + " reason = " + reason);
    ++refusals_;
    return false;
}

bool ReleaseGuard::VouchesForText(const std::string& name, const std::string& text,
                                  const std::string& source, Logger& logger) {
    Sha256 hash;
    hash.Update(text.data(), text.size());
    Sha256Digest digest{};
    if (!hash.Finish(&digest)) digest = Sha256Digest{};
    return Vouches(name, text.size(), digest, source, logger);
}

bool ReleaseGuard::VouchesForFile(const std::string& name, const std::wstring& path,
                                  Logger& logger) {
    Sha256Digest digest{};
    uint64_t size = 0;
    if (!Sha256OfFile(path, &digest, &size)) digest = Sha256Digest{};
    return Vouches(name, size, digest, ToNarrow(path), logger);
}

std::vector<Sha256Digest> ReleaseGuard::PackageDigests(
    const std::vector<PackageEntry>& packages) const {
    std::vector<Sha256Digest> digests(packages.size());
    for (size_t i = 0; i < packages.size(); ++i) {
        const ReleaseArtifact* artifact = record_.Find(packages[i].name);
        // The size is the package list's, which the record vouches for, so only the digest
        // needs checking against each download.
        if (!artifact || artifact->size != static_cast<uint64_t>(packages[i].packageSize) ||
            !DigestFromHex(artifact->sha256, &digests[i])) {
            digests[i] = Sha256Digest{};
        }
    }
    return digests;
}

bool HashListDigests(const std::string& text, const std::vector<FileEntry>& entries,
                     std::vector<Sha256Digest>* digests, std::string* reason) {
    digests->assign(entries.size(), Sha256Digest{});
    // Entries by path, so each line finds its entries without a map of strings.
    std::vector<uint32_t> byPath(entries.size());
    for (uint32_t i = 0; i < byPath.size(); ++i) byPath[i] = i;
    std::sort(byPath.begin(), byPath.end(),
              [&](uint32_t a, uint32_t b) { return entries[a].path < entries[b].path; });
    return ForEachHashListLine(
        text,
        [&](std::string_view path, const Sha256Digest& digest, const std::string& where) {
            auto first = std::lower_bound(
                byPath.begin(), byPath.end(), path,
                [&](uint32_t index, std::string_view p) { return entries[index].path < p; });
            for (auto it = first; it != byPath.end() && entries[*it].path == path; ++it) {
                if ((*digests)[*it] != Sha256Digest{}) {
                    *reason = where + " names " + std::string(path) + " again";
                    return false;
                }
                (*digests)[*it] = digest;
            }
            return true;
        },
        reason);
}

std::string HashListUrlBeside(const std::string& fileListUrl) {
    const size_t slash = fileListUrl.rfind('/');
    if (slash == std::string::npos) return std::string();
    return fileListUrl.substr(0, slash + 1) + kHashListName;
}

}  // namespace velka
