// velka-publish's engine: from a game build folder holding velka_win/, writes a complete static
// mirror that any HTTP server or CDN can serve at each of the given base URLs.
//
// Layout below the output folder, and how the published configurations point into it (<base> is
// each mirror base URL, in the order given; lists join one URL per base with "$"):
//
//   Launcher/launcherconfig.txt   remoteURLs          = <base>Launcher/
//   Launcher/serverconfig.txt     (the launcher fetches it from remoteURLs too)
//   lists/filelist.txt            filelistURLs        = <base>lists/filelist.txt
//   lists/ziplist.txt             ziplistURLs         = <base>lists/ziplist.txt
//   zip/<package>                 zipupdateURLs       = <base>zip/
//   files/<path>                  incrementupdateURLs = <base>files/
//
// files/ holds every game file at its path below velka_win ("/"-separated on disk, backslashes in
// the file list). Packages are named velka_win_<incrementVersion>_<NNN>.zip, so a new release
// never reuses the name of a package with other content (CDN caches); they hold the game below
// "velka_win/", which the launcher unpacks into Package and renames to Game. The launcher package,
// when a launcher folder is given, is Launcher/<launcherVersion>/launcher_<launcherVersion>.zip,
// where the launcher looks for it; launcherconfig.txt then describes it in "launcherZipInfo"
// (name, unpacked size, package size, CRC) so that older launchers replace themselves with it.
//
// With a signing key, the mirror also carries Launcher/release.txt, the signed release record
// (patcher/release_record.h; docs/release-record.md), and lists/hashlist.txt, the SHA-256 of every
// game file, which the record vouches for.
//
// Everything is derived from the options and the files: publishing the same input twice gives
// the same bytes (with a key: the same key and the same record times).
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "patcher/remote_config.h"

namespace velka {

inline constexpr uint64_t kDefaultPackageLimit = 512ull * 1024 * 1024;

// Folders and files of the layout above.
inline constexpr char kMirrorLauncherFolder[] = "Launcher";
inline constexpr char kMirrorListsFolder[] = "lists";
inline constexpr char kMirrorPackagesFolder[] = "zip";
inline constexpr char kMirrorFilesFolder[] = "files";
inline constexpr char kFileListName[] = "filelist.txt";
inline constexpr char kPackageListName[] = "ziplist.txt";
inline constexpr char kLauncherConfigName[] = "launcherconfig.txt";
inline constexpr char kServerConfigName[] = "serverconfig.txt";

// Where publishing has got to, reported as it goes. Bytes are those of the game files (their
// uncompressed size) in every stage, so a stage's totals are known before it starts.
struct PublishProgress {
    enum class Stage {
        Files,     // game files copied to files/ and hashed
        Packages,  // game files compressed into packages
        Launcher,  // launcher files compressed into the launcher package
    };
    Stage stage = Stage::Files;
    uint64_t filesDone = 0;
    uint64_t filesTotal = 0;
    uint64_t bytesDone = 0;
    uint64_t bytesTotal = 0;
    uint64_t bytesWritten = 0;  // output bytes so far: copies, or packages as compressed
    bool finished = false;      // the stage's last report
};

struct PublishOptions {
    std::wstring gameFolder;                  // holds velka_win/; anything else in it is ignored
    std::wstring outputFolder;                // must not exist yet, unless replaceOutput
    std::vector<std::string> mirrorBaseUrls;  // see CheckBaseUrl
    Version incrementVersion;
    Version zipVersion;
    Version launcherVersion;  // announced in launcherconfig.txt
    // A launcher build folder whose top-level files become the launcher package; empty for a
    // mirror without one (launcherconfig.txt then describes no package).
    std::wstring launcherFolder;
    bool useZip = false;
    // Packages are filled up to this many uncompressed bytes; a larger file gets its own.
    uint64_t packageLimit = kDefaultPackageLimit;
    bool enciphered = false;     // values enciphered with the compiled-in key
    bool replaceOutput = false;  // an existing output folder is replaced as a whole

    // A release signing key (the 64-hex-digit seed of ReleaseKeyPair); empty publishes no
    // release record and no hash list. The record carries the three numbers below as they are.
    std::string signingSeedHex;
    uint64_t release = 0;
    int64_t issued = 0;   // seconds since 1970-01-01 UTC
    int64_t expires = 0;  // likewise; not before `issued`

    // Called on the publishing thread after every file and every 64 KiB compressed; may be empty.
    std::function<void(const PublishProgress&)> progress;
};

struct PublishSummary {
    std::wstring outputFolder;
    size_t fileCount = 0;
    uint64_t gameBytes = 0;
    std::vector<std::string> packages;  // file names below zip/
    std::string launcherPackage;        // "Launcher/<version>/<name>", empty without one
    size_t launcherFileCount = 0;
    std::string releaseRecord;  // "Launcher/release.txt", empty when not signed
    // Things the publisher should know that do not stop publishing.
    std::vector<std::string> warnings;
};

// Checks the options and the game tree, then writes the mirror into a sibling folder
// "<output>.partial-<pid>" and renames it to the output folder only when all of it was written.
// False with a one-line reason in `error` on bad input (see ScanGameTree, ScanLauncherFolder,
// CheckBaseUrl; invalid versions, a zero package limit, a missing game folder or velka_win, an
// existing output folder without replaceOutput, an output folder that holds the game or the
// launcher folder or lies inside velka_win or the launcher folder, a malformed signing key, an
// expiry before the issue time) or on a write failure; the
// output folder is then as it was and the partial folder removed.
bool PublishMirror(const PublishOptions& options, PublishSummary* summary, std::string* error);

}  // namespace velka
