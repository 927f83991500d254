// The texts a mirror publishes: both configurations, the file list and the package list, in the
// exact form the launcher's parsers read (LF line ends, no byte-order mark, keys at the top
// level). The output depends on the arguments only.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "patcher/remote_config.h"

namespace velka {

class ContentCipher;

// Why `url` cannot serve as a mirror base URL, or empty when it can. A base must start with
// "http://" or "https://" (lower case: the launcher takes any other scheme text as a sign of an
// enciphered file), name a host, end in "/" (names are appended directly), and hold nothing the
// configuration format or URL joining would cut or change: no blanks or control characters, no
// "$" (list separator), "#" or ";" (comment), "?" (query), "\" or non-ASCII bytes, and no "https"
// after the scheme (the launcher rewrites every "https" to "http").
std::string CheckBaseUrl(const std::string& url);

struct FileListLine {
    std::string name;  // file name
    std::string path;  // relative to velka_win, backslash-separated
    uint64_t size = 0;
    std::string crc;  // ComputeFileCrc form
};

struct PackageListLine {
    std::string name;  // package file name: both the URL name and the path below Temp\ZipUpdate
    uint64_t unpackedSize = 0;
    uint64_t packageSize = 0;
    std::string crc;
};

// "name=path$size$CRC\n" per line, in the given order.
std::string FileListText(const std::vector<FileListLine>& lines);
// "name=name$unpacked$packed$CRC\n" per line, in the given order.
std::string PackageListText(const std::vector<PackageListLine>& lines);

// "serverconfig.txt" and "launcherconfig.txt". With a `cipher`, every value is enciphered and
// the keys stay plain; without, everything is plain. "launcherZipInfo" is written only when
// `config.launcherZipInfo.fileName` is not empty.
//
// The launcher decides plain or enciphered from the scheme text of "filelistURLs" /
// "remoteURLs". False, with a reason in `error`, when that value is empty or would be judged in
// the wrong form (an enciphered scheme that comes out as "http", "https" or "ftp").
bool ServerConfigText(const ServerConfig& config, const ContentCipher* cipher, std::string* text,
                      std::string* error);
bool LauncherConfigText(const LauncherConfig& config, const ContentCipher* cipher,
                        std::string* text, std::string* error);

}  // namespace velka
