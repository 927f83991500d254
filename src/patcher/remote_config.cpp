#include "patcher/remote_config.h"

#include <exception>
#include <sstream>

#include "patcher/content_cipher.h"
#include "platform/fs.h"
#include "platform/text.h"
#include "util/ini_reader.h"
#include "util/logger.h"
#include "util/strings.h"

namespace velka {

namespace {

// The values a parser asked for, in the order of `keys`, as read from the file's top level.
// A missing file reads as an empty one; a grammar error is logged with `errorPrefix` and
// reported as false, before any record is touched.
bool ReadRootValues(Logger& logger, const std::wstring& path, const char* errorPrefix,
                    const std::vector<std::string>& keys, std::vector<std::string>* values) {
    std::string bytes;
    if (!ReadFileBytes(path, &bytes)) bytes.clear();
    std::string error;
    try {
        std::istringstream input(WithoutByteOrderMark(bytes));
        IniReader reader(input);
        values->clear();
        for (const std::string& key : keys) values->push_back(reader.Root().Value(key));
        return true;
    } catch (const std::exception& e) {
        error = e.what();
    } catch (...) {
    }
    if (error.empty()) error = "Unknown exception";
    logger.Error(errorPrefix + ToNarrow(path) + error);
    return false;
}

}  // namespace

bool operator==(const Version& a, const Version& b) {
    return a.major == b.major && a.minor == b.minor && a.patch == b.patch;
}

bool operator!=(const Version& a, const Version& b) {
    return !(a == b);
}

Version ParseVersion(const std::string& text) {
    const std::vector<std::string> pieces = Split(text, '.');
    Version version;
    if (pieces.size() != 3) return version;
    version.major = ToInt(pieces[0]);
    version.minor = ToInt(pieces[1]);
    version.patch = ToInt(pieces[2]);
    return version;
}

std::string VersionToString(const Version& version) {
    return IntToString(version.major) + "." + IntToString(version.minor) + "." +
           IntToString(version.patch);
}

bool IsInvalidVersion(const Version& version) {
    return version.major < 1 || version.minor < 0 || version.patch < 0;
}

namespace {

bool AnyComponentBelow(const Version& a, const Version& b) {
    return a.major < b.major || a.minor < b.minor || a.patch < b.patch;
}

}  // namespace

bool LauncherNeedsUpdate(const Version& local, const Version& remote) {
    if (IsInvalidVersion(local)) return true;
    return AnyComponentBelow(local, remote);
}

bool NeedsFullUpdate(const Version& local, const ServerConfig& server) {
    if (IsInvalidVersion(local)) return true;
    if (local == server.incrementVersion) return false;
    if (server.useZip) return true;
    return AnyComponentBelow(local, server.zipVersion);
}

void ForcePlainHttp(std::vector<std::string>* urls) {
    for (std::string& url : *urls) url = ReplaceAll(url, "https", "http");
}

bool IsPlainConfiguration(const std::string& decidingUrlValue) {
    const std::vector<std::string> pieces = Split(decidingUrlValue, ':');
    if (pieces.empty()) return false;
    const std::string& scheme = pieces.front();
    return scheme == "http" || scheme == "https" || scheme == "ftp";
}

std::vector<std::string> ParseUrlList(const std::string& text) {
    return Split(text, '$');
}

PackageInfo ParsePackageInfo(const std::string& text) {
    const std::vector<std::string> fields = Split(text, '$');
    PackageInfo info;
    if (fields.size() != 4) return info;
    // A negative size makes the description malformed, like a missing field.
    if (ToInt64(fields[1]) < 0 || ToInt64(fields[2]) < 0) return info;
    info.fileName = fields[0];
    info.unpackedSize = ToInt64(fields[1]);
    info.packageSize = ToInt64(fields[2]);
    info.crc = fields[3];
    return info;
}

bool ParseLauncherConfig(Logger& logger, const ContentCipher& cipher, const std::wstring& path,
                         LauncherConfig* out) {
    std::vector<std::string> values;
    if (!ReadRootValues(logger, path, "Process launcherconfig error! ",
                        {"launcherVersion", "remoteURLs", "launcherZipInfo"}, &values)) {
        return false;
    }
    const std::string& remoteURLs = values[1];
    if (remoteURLs.empty()) return false;

    const bool plain = IsPlainConfiguration(remoteURLs);
    auto value = [&](const std::string& raw) { return plain ? raw : cipher.Decipher(raw); };
    out->launcherVersion = ParseVersion(value(values[0]));
    out->remoteURLs = ParseUrlList(value(remoteURLs));
    out->launcherZipInfo = ParsePackageInfo(value(values[2]));
    return true;
}

bool ParseServerConfig(Logger& logger, const ContentCipher& cipher, const std::wstring& path,
                       ServerConfig* out, bool versionsOnly) {
    std::vector<std::string> values;
    if (!ReadRootValues(logger, path, "Process serverConfig error! ",
                        {"incrementVersion", "incrementupdateURLs", "zipVersion", "useZip",
                         "zipupdateURLs", "ziplistURLs", "filelistURLs"},
                        &values)) {
        return false;
    }
    const std::string& incrementVersion = values[0];
    const std::string& incrementupdateURLs = values[1];
    const std::string& zipVersion = values[2];
    const std::string& useZip = values[3];
    const std::string& zipupdateURLs = values[4];
    const std::string& ziplistURLs = values[5];
    const std::string& filelistURLs = values[6];

    // Versions hold only digits and dots, which the cipher leaves alone, so they are read as
    // stored whatever the form of the file.
    out->incrementVersion = ParseVersion(incrementVersion);
    out->zipVersion = ParseVersion(zipVersion);
    if (filelistURLs.empty()) return false;

    const bool plain = IsPlainConfiguration(filelistURLs);
    if (versionsOnly) return true;
    auto value = [&](const std::string& raw) { return plain ? raw : cipher.Decipher(raw); };
    out->ziplistURLs = ParseUrlList(value(ziplistURLs));
    out->useZip = value(useZip) == "True";
    out->incrementupdateURLs = ParseUrlList(value(incrementupdateURLs));
    out->zipupdateURLs = ParseUrlList(value(zipupdateURLs));
    out->filelistURLs = ParseUrlList(value(filelistURLs));
    return true;
}

}  // namespace velka
