// The published configurations ("launcherconfig.txt", "serverconfig.txt"), the version triple and
// the two update decisions taken on it.
//
// The parsers read a local file, log grammar errors to the given logger and never throw: a file
// that is missing, malformed or lacks its URL key is reported by a false result, and the record
// keeps unknown versions and empty lists where nothing could be read. Update thread only; no
// shared state.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace velka {

class ContentCipher;
class Logger;

// All three -1 is the unknown version, the initial value of every record.
struct Version {
    int32_t major = -1;
    int32_t minor = -1;
    int32_t patch = -1;
};

bool operator==(const Version& a, const Version& b);
bool operator!=(const Version& a, const Version& b);

// One downloadable package as described in a configuration. Sizes are -1 when not given.
struct PackageInfo {
    std::string fileName;
    int64_t unpackedSize = -1;
    int64_t packageSize = -1;
    std::string crc;  // as published; compared as text with ComputeFileCrc's form
};

struct LauncherConfig {
    Version launcherVersion;
    std::vector<std::string> remoteURLs;
    PackageInfo launcherZipInfo;
};

// The published game configuration; also the form of the local version record, which holds only
// the two versions.
struct ServerConfig {
    Version incrementVersion;
    Version zipVersion;
    std::vector<std::string> filelistURLs;
    std::vector<std::string> ziplistURLs;
    std::vector<std::string> zipupdateURLs;
    std::vector<std::string> incrementupdateURLs;
    bool useZip = false;
};

// "1.4.12" -> 1.4.12. The text is split at "." with empty pieces dropped; exactly three pieces are
// read with ToInt (unreadable: 0), any other count gives the unknown version.
Version ParseVersion(const std::string& text);
// "major.minor.patch" in decimal; the unknown version reads "-1.-1.-1".
std::string VersionToString(const Version& version);
// major < 1, or minor < 0, or patch < 0.
bool IsInvalidVersion(const Version& version);

// True when `local` is invalid or any of its numbers is below the same number of `remote`. This
// is a component test, not an ordering: 2.0.5 against 1.9.0 asks for an update, an unknown
// `remote` never does.
bool LauncherNeedsUpdate(const Version& local, const Version& remote);

// Whether the game must be brought up to date with full packages: `local` invalid -> true;
// `local` equal to server.incrementVersion -> false; server.useZip -> true; otherwise true when
// any number of `local` is below the same number of server.zipVersion.
bool NeedsFullUpdate(const Version& local, const ServerConfig& server);

// Replaces every "https" in every URL by "http" (case-sensitive, not only the scheme).
void ForcePlainHttp(std::vector<std::string>* urls);

// Whether a configuration is published plain, judged from its deciding URL value: the text before
// the first ":" is exactly "http", "https" or "ftp". Anything else, including a value with no
// text besides colons, means its values are enciphered.
bool IsPlainConfiguration(const std::string& decidingUrlValue);

// Split at "$", empty pieces dropped, pieces kept as written and in order.
std::vector<std::string> ParseUrlList(const std::string& text);

// "name$unpacked$package$crc". Any count of non-empty fields other than four gives the empty
// description (empty name and CRC, both sizes -1).
PackageInfo ParsePackageInfo(const std::string& text);

// Reads a launcher configuration from `path`. False, with `out` untouched, when the file cannot be
// parsed (logged as "Process launcherconfig error! ...") or has no "remoteURLs" value (not
// logged); a missing file reads as an empty one. Enciphered values are deciphered with `cipher`.
bool ParseLauncherConfig(Logger& logger, const ContentCipher& cipher, const std::wstring& path,
                         LauncherConfig* out);

// Reads a server configuration or the local version record from `path`. A grammar error is
// logged ("Process serverConfig error! ...") and returns false with `out` untouched. Otherwise
// both versions are set (unknown when unreadable); without a "filelistURLs" value the result is
// false and the lists stay as they were. With `versionsOnly` nothing else is read and the result
// is true; otherwise the lists and useZip are replaced.
bool ParseServerConfig(Logger& logger, const ContentCipher& cipher, const std::wstring& path,
                       ServerConfig* out, bool versionsOnly);

}  // namespace velka
