#include "publish/mirror_writer.h"

#include <algorithm>
#include <cctype>
#include <exception>
#include <filesystem>
#include <map>
#include <system_error>

#include "patcher/content_cipher.h"
#include "patcher/file_lists.h"
#include "patcher/release_record.h"
#include "platform/fs.h"
#include "platform/process.h"
#include "platform/text.h"
#include "publish/game_tree.h"
#include "publish/launcher_package.h"
#include "publish/package_writer.h"
#include "publish/published_texts.h"
#include "transfer/transfer_settings.h"
#include "util/file_crc.h"

namespace velka {

namespace {

namespace fs = std::filesystem;

fs::path FsPath(const std::wstring& path) {
    return fs::u8path(WideToUtf8(path));
}

std::wstring Wide(const char* text) {
    return ToWide(text);
}

std::string Shown(const std::wstring& path) {
    return "\"" + ToNarrow(path) + "\"";
}

// `inner` equals `outer` or lies below it, comparing whole components of absolute paths.
bool IsSameOrInside(const fs::path& inner, const fs::path& outer) {
    auto components = [](const fs::path& path) {
        std::vector<fs::path> parts;
        for (const fs::path& part : path) {
            if (!part.empty()) parts.push_back(part);  // a trailing separator
        }
        return parts;
    };
    const std::vector<fs::path> in = components(inner);
    const std::vector<fs::path> out = components(outer);
    return out.size() <= in.size() && std::equal(out.begin(), out.end(), in.begin());
}

fs::path Resolved(const std::wstring& path) {
    std::error_code ec;
    fs::path resolved = fs::weakly_canonical(FsPath(path), ec);
    if (ec) resolved = fs::absolute(FsPath(path), ec).lexically_normal();
    return resolved;
}

void RemoveTree(const std::wstring& folder) {
    std::error_code ignored;
    fs::remove_all(FsPath(folder), ignored);
}

std::string PackageName(const Version& incrementVersion, size_t index, size_t count) {
    std::string number = std::to_string(index + 1);
    const size_t width = std::max<size_t>(3, std::to_string(count).size());
    number.insert(0, width - number.size(), '0');
    return "velka_win_" + VersionToString(incrementVersion) + "_" + number + ".zip";
}

std::vector<std::string> UrlsBelow(const std::vector<std::string>& bases, const std::string& name) {
    std::vector<std::string> urls;
    for (const std::string& base : bases) urls.push_back(base + name);
    return urls;
}

std::string CheckOptions(const PublishOptions& options) {
    const struct {
        const char* label;
        const Version& version;
    } versions[] = {{"increment version", options.incrementVersion},
                    {"zip version", options.zipVersion},
                    {"launcher version", options.launcherVersion}};
    for (const auto& v : versions) {
        if (IsInvalidVersion(v.version)) {
            return std::string("the ") + v.label + " " + VersionToString(v.version) +
                   " is invalid: the launcher needs major >= 1, minor >= 0, patch >= 0";
        }
    }
    if (options.mirrorBaseUrls.empty()) return "no mirror base URL given";
    for (const std::string& url : options.mirrorBaseUrls) {
        const std::string problem = CheckBaseUrl(url);
        if (!problem.empty()) return "\"" + url + "\": " + problem;
    }
    if (options.packageLimit == 0) return "the package size limit must be at least 1 byte";
    if (options.gameFolder.empty()) return "no game folder given";
    if (!DirectoryExists(options.gameFolder)) {
        return "the game folder " + Shown(options.gameFolder) + " does not exist";
    }
    const std::wstring velkaWin = JoinPath(options.gameFolder, L"velka_win");
    if (!DirectoryExists(velkaWin)) {
        return "the game folder " + Shown(options.gameFolder) + " holds no velka_win folder";
    }
    if (options.outputFolder.empty()) return "no output folder given";
    if (!options.signingSeedHex.empty()) {
        ReleaseKeyPair keys;
        std::string problem;
        if (!ReleaseKeyPairFromSeed(options.signingSeedHex, &keys, &problem)) {
            return "the signing key is unusable: " + problem;
        }
        if (options.expires < options.issued) {
            return "the release record would expire before it is issued";
        }
    }

    const fs::path output = Resolved(options.outputFolder);
    if (IsSameOrInside(Resolved(options.gameFolder), output)) {
        return "the output folder " + Shown(options.outputFolder) + " holds the game folder";
    }
    if (IsSameOrInside(output, Resolved(velkaWin))) {
        return "the output folder " + Shown(options.outputFolder) +
               " lies inside velka_win and would be published with the game";
    }
    if (!options.launcherFolder.empty()) {
        const fs::path launcher = Resolved(options.launcherFolder);
        if (IsSameOrInside(launcher, output)) {
            return "the output folder " + Shown(options.outputFolder) +
                   " holds the launcher folder";
        }
        if (IsSameOrInside(output, launcher)) {
            return "the output folder " + Shown(options.outputFolder) +
                   " lies inside the launcher folder";
        }
    }
    std::error_code ec;
    if (fs::exists(output, ec) && !options.replaceOutput) {
        return "the output folder " + Shown(options.outputFolder) +
               " already exists; remove it or ask for it to be replaced";
    }
    return std::string();
}

// Writes one mirror into `root`, which exists and is empty.
class MirrorBuilder {
  public:
    MirrorBuilder(const PublishOptions& options, const std::wstring& root, PublishSummary* summary,
                  std::string* error)
        : options_(options), root_(root), summary_(summary), error_(error) {}

    bool Build(const std::vector<GameFile>& files, const std::vector<LauncherFile>& launcher) {
        return CopyFiles(files) && WritePackages(files) && WriteLists() &&
               WriteLauncherPackage(launcher) && WriteConfigurations() && WriteReleaseRecord();
    }

  private:
    bool Signing() const { return !options_.signingSeedHex.empty(); }

    void Report(PublishProgress::Stage stage, bool finished) {
        progress_.stage = stage;
        progress_.finished = finished;
        if (options_.progress) options_.progress(progress_);
    }

    void StartStage(uint64_t files, uint64_t bytes) {
        progress_ = PublishProgress();
        progress_.filesTotal = files;
        progress_.bytesTotal = bytes;
    }

    // Records what the release record vouches for under `name`.
    bool Vouch(const std::string& name, const std::wstring& path) {
        if (!Signing()) return true;
        ReleaseArtifact artifact;
        if (!ComputeFileSha256(path, &artifact.sha256, &artifact.size)) {
            return Fail("cannot read back " + Shown(path));
        }
        vouched_[name] = artifact;
        return true;
    }

    std::wstring Below(const char* folder, const std::string& relative) const {
        return JoinPath(JoinPath(root_, Wide(folder)), ToWide(relative));
    }

    // files/ is what the launcher downloads file by file, and the sizes and CRCs in the lists
    // are taken from these copies, so the lists describe exactly what is served.
    bool CopyFiles(const std::vector<GameFile>& files) {
        uint64_t bytes = 0;
        for (const GameFile& file : files) bytes += file.size;
        StartStage(files.size(), bytes);
        for (const GameFile& file : files) {
            const std::wstring target = Below(kMirrorFilesFolder, file.path);
            if (!CreateDirectories(target) || !CopyOneFile(file.source, target)) {
                return Fail("cannot copy " + Shown(file.source) + " to " + Shown(target) +
                            " (error " + std::to_string(LastSystemError()) + ")");
            }
            int64_t size = -1;
            const std::string crc = ComputeFileCrc(target, &size);
            if (crc.empty()) return Fail("cannot read back " + Shown(target));
            if (size < 0 || static_cast<uint64_t>(size) != file.size) {
                return Fail(Shown(file.source) + " changed while it was published");
            }
            fileLines_.push_back({file.name, file.path, file.size, crc});
            summary_->gameBytes += file.size;
            if (Signing()) {
                uint64_t hashed = 0;
                if (!ComputeFileSha256(target, &fileHashes_[file.path], &hashed) ||
                    hashed != file.size) {
                    return Fail("cannot read back " + Shown(target));
                }
            }
            ++progress_.filesDone;
            progress_.bytesDone += file.size;
            progress_.bytesWritten += file.size;
            Report(PublishProgress::Stage::Files, false);
        }
        summary_->fileCount = files.size();
        Report(PublishProgress::Stage::Files, true);
        return true;
    }

    // Compresses `items` into `zipPath`, reporting each piece read as progress of `stage`.
    bool Compress(const std::wstring& zipPath, const std::vector<PackageItem>& items,
                  PublishProgress::Stage stage) {
        const bool ok = WritePackage(zipPath, items, error_, [this, stage](uint64_t bytes) {
            progress_.bytesDone += bytes;
            Report(stage, false);
        });
        if (!ok) return false;
        progress_.filesDone += items.size();
        progress_.bytesWritten += static_cast<uint64_t>(std::max<int64_t>(0, FileSize64(zipPath)));
        Report(stage, false);
        return true;
    }

    bool WritePackages(const std::vector<GameFile>& files) {
        std::vector<uint64_t> sizes;
        for (const GameFile& file : files) sizes.push_back(file.size);
        const std::vector<std::vector<size_t>> groups = PlanPackages(sizes, options_.packageLimit);
        StartStage(files.size(), summary_->gameBytes);
        const std::wstring folder = JoinPath(root_, Wide(kMirrorPackagesFolder));
        if (!CreateDirectories(folder + kPathSeparator)) {
            return Fail("cannot create " + Shown(folder));
        }
        for (size_t g = 0; g < groups.size(); ++g) {
            PackageListLine line;
            line.name = PackageName(options_.incrementVersion, g, groups.size());
            std::vector<PackageItem> items;
            for (size_t index : groups[g]) {
                const GameFile& file = files[index];
                std::string entry = "velka_win/" + file.path;
                std::replace(entry.begin(), entry.end(), '\\', '/');
                // The copy in files/ is the one whose CRC the file list carries.
                items.push_back({entry, Below(kMirrorFilesFolder, file.path), file.size});
                line.unpackedSize += file.size;
            }
            const std::wstring zipPath = JoinPath(folder, ToWide(line.name));
            if (!Compress(zipPath, items, PublishProgress::Stage::Packages)) return false;
            int64_t size = -1;
            line.crc = ComputeFileCrc(zipPath, &size);
            if (line.crc.empty() || size < 0) return Fail("cannot read back " + Shown(zipPath));
            if (!Vouch(line.name, zipPath)) return false;
            line.packageSize = static_cast<uint64_t>(size);
            packageLines_.push_back(line);
            summary_->packages.push_back(line.name);
        }
        Report(PublishProgress::Stage::Packages, true);
        return true;
    }

    bool WriteLists() {
        const std::string files = FileListText(fileLines_);
        const std::string packages = PackageListText(packageLines_);
        // The launcher refuses a list body above this size, so such a mirror could never update.
        const uint64_t limit = static_cast<uint64_t>(DefaultTransferSettings().maxTextBytes);
        for (const std::string* text : {&files, &packages}) {
            if (text->size() > limit) {
                return Fail("a list of " + std::to_string(text->size()) +
                            " bytes is longer than the launcher accepts (" + std::to_string(limit) +
                            " bytes)");
            }
        }
        return WriteText(kMirrorListsFolder, kFileListName, files) &&
               WriteText(kMirrorListsFolder, kPackageListName, packages) &&
               (!Signing() ||
                WriteText(kMirrorListsFolder, kHashListName, HashListText(fileHashes_)));
    }

    // The launcher finds its package at <remoteURLs base><version>/<fileName>.
    bool WriteLauncherPackage(const std::vector<LauncherFile>& files) {
        if (files.empty()) return true;
        const std::string version = VersionToString(options_.launcherVersion);
        const std::string name = LauncherPackageName(options_.launcherVersion);
        const std::string relative =
            std::string(kMirrorLauncherFolder) + "/" + version + "/" + name;
        const std::wstring zipPath = JoinPath(root_, ToWide(relative));
        if (!CreateDirectories(zipPath)) {
            return Fail("cannot create the folder of " + Shown(zipPath) + " (error " +
                        std::to_string(LastSystemError()) + ")");
        }
        std::vector<PackageItem> items;
        int64_t unpacked = 0;
        for (const LauncherFile& file : files) {
            items.push_back({file.name, file.source, file.size});
            unpacked += static_cast<int64_t>(file.size);
        }
        StartStage(files.size(), static_cast<uint64_t>(unpacked));
        if (!Compress(zipPath, items, PublishProgress::Stage::Launcher)) return false;
        Report(PublishProgress::Stage::Launcher, true);
        int64_t size = -1;
        const std::string crc = ComputeFileCrc(zipPath, &size);
        if (crc.empty() || size < 0) return Fail("cannot read back " + Shown(zipPath));
        if (!Vouch(name, zipPath)) return false;
        launcherPackage_.fileName = name;
        launcherPackage_.unpackedSize = unpacked;
        launcherPackage_.packageSize = size;
        launcherPackage_.crc = crc;
        summary_->launcherPackage = relative;
        summary_->launcherFileCount = files.size();
        return true;
    }

    bool WriteConfigurations() {
        const std::vector<std::string>& bases = options_.mirrorBaseUrls;
        const std::string listsFolder = std::string(kMirrorListsFolder) + "/";

        ServerConfig server;
        server.incrementVersion = options_.incrementVersion;
        server.zipVersion = options_.zipVersion;
        server.useZip = options_.useZip;
        server.filelistURLs = UrlsBelow(bases, listsFolder + kFileListName);
        server.ziplistURLs = UrlsBelow(bases, listsFolder + kPackageListName);
        server.zipupdateURLs = UrlsBelow(bases, std::string(kMirrorPackagesFolder) + "/");
        server.incrementupdateURLs = UrlsBelow(bases, std::string(kMirrorFilesFolder) + "/");

        LauncherConfig launcher;
        launcher.launcherVersion = options_.launcherVersion;
        launcher.remoteURLs = UrlsBelow(bases, std::string(kMirrorLauncherFolder) + "/");
        // Empty without a launcher package: the launcher configuration then describes none.
        launcher.launcherZipInfo = launcherPackage_;

        const ContentCipher cipher(kContentCipherKey);
        const ContentCipher* used = options_.enciphered ? &cipher : nullptr;
        std::string serverText;
        std::string launcherText;
        if (!ServerConfigText(server, used, &serverText, error_) ||
            !LauncherConfigText(launcher, used, &launcherText, error_)) {
            return false;
        }
        return WriteText(kMirrorLauncherFolder, kServerConfigName, serverText) &&
               WriteText(kMirrorLauncherFolder, kLauncherConfigName, launcherText);
    }

    // The record vouches for every text but itself.
    bool WriteReleaseRecord() {
        if (!Signing()) return true;
        ReleaseRecord record;
        record.release = options_.release;
        record.issued = options_.issued;
        record.expires = options_.expires;
        record.files = vouched_;
        std::string text;
        std::string problem;
        if (!SignReleaseRecord(record, options_.signingSeedHex, &text, &problem)) {
            return Fail("cannot sign the release record: " + problem);
        }
        summary_->releaseRecord = std::string(kMirrorLauncherFolder) + "/" + kReleaseRecordName;
        return WriteText(kMirrorLauncherFolder, kReleaseRecordName, text);
    }

    bool WriteText(const char* folder, const char* name, const std::string& text) {
        const std::wstring path = Below(folder, name);
        if (!CreateDirectories(path) || !WriteFileBytes(path, text)) {
            return Fail("cannot write " + Shown(path) + " (error " +
                        std::to_string(LastSystemError()) + ")");
        }
        if (Signing()) vouched_[name] = {text.size(), Sha256OfBytes(text.data(), text.size())};
        return true;
    }

    bool Fail(const std::string& message) {
        *error_ = message;
        return false;
    }

    const PublishOptions& options_;
    std::wstring root_;
    PublishSummary* summary_;
    std::string* error_;
    std::vector<FileListLine> fileLines_;
    std::vector<PackageListLine> packageLines_;
    PackageInfo launcherPackage_;
    PublishProgress progress_;
    std::map<std::string, std::string> fileHashes_;   // file-list path -> SHA-256, when signing
    std::map<std::string, ReleaseArtifact> vouched_;  // what the release record lists
};

std::vector<std::string> Warnings(const PublishOptions& options,
                                  const std::vector<GameFile>& files) {
    std::vector<std::string> warnings;
    for (const std::string& url : options.mirrorBaseUrls) {
        if (url.compare(0, 8, "https://") == 0) {
            warnings.push_back("\"" + url +
                               "\": the launcher fetches every mirror over plain http; the "
                               "server must answer http:// as well");
        }
    }
    const bool hasGame = std::any_of(files.begin(), files.end(), [](const GameFile& file) {
        std::string path = file.path;
        for (char& c : path) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        return path == "velka.exe";  // Windows finds it in any letter case
    });
    if (!hasGame) {
        warnings.push_back("velka_win holds no velka.exe, the program the launcher starts");
    }
    if (options.launcherFolder.empty()) {
        warnings.push_back(
            "launcherconfig.txt describes no launcher package: launchers older than " +
            VersionToString(options.launcherVersion) +
            ", and installs without Config\\launcherconfig.txt, will fail to update themselves");
    }
    return warnings;
}

// Moves the finished mirror into place; an existing output folder is moved aside first and
// removed only once the new one stands.
bool InstallOutput(const std::wstring& partial, const std::wstring& output, std::string* error) {
    std::error_code ec;
    if (!fs::exists(FsPath(output), ec)) {
        if (RenamePath(partial, output)) return true;
        *error = "cannot rename " + Shown(partial) + " to " + Shown(output) + " (error " +
                 std::to_string(LastSystemError()) + ")";
        return false;
    }
    const std::wstring previous = output + L".old-" + std::to_wstring(CurrentProcessId());
    RemoveTree(previous);
    if (!RenamePath(output, previous)) {
        *error = "cannot move the old output folder " + Shown(output) + " aside (error " +
                 std::to_string(LastSystemError()) + ")";
        return false;
    }
    if (!RenamePath(partial, output)) {
        const uint32_t code = LastSystemError();
        RenamePath(previous, output);
        *error = "cannot rename " + Shown(partial) + " to " + Shown(output) + " (error " +
                 std::to_string(code) + ")";
        return false;
    }
    RemoveTree(previous);
    return true;
}

bool Publish(const PublishOptions& options, PublishSummary* summary, std::string* error) {
    std::string problem = CheckOptions(options);
    if (!problem.empty()) {
        *error = problem;
        return false;
    }
    std::vector<GameFile> files;
    if (!ScanGameTree(JoinPath(options.gameFolder, L"velka_win"), &files, error)) return false;
    summary->warnings = Warnings(options, files);
    std::vector<LauncherFile> launcherFiles;
    if (!options.launcherFolder.empty() &&
        !ScanLauncherFolder(options.launcherFolder, &launcherFiles, &summary->warnings, error)) {
        return false;
    }

    std::wstring output = options.outputFolder;
    while (output.size() > 1 && IsSeparator(output.back())) output.pop_back();
    summary->outputFolder = output;
    const std::wstring partial = output + L".partial-" + std::to_wstring(CurrentProcessId());
    RemoveTree(partial);  // left by an earlier run that had this process id and died
    if (!CreateDirectories(partial + kPathSeparator)) {
        *error = "cannot create " + Shown(partial) + " (error " +
                 std::to_string(LastSystemError()) + ")";
        return false;
    }
    try {
        MirrorBuilder builder(options, partial, summary, error);
        if (builder.Build(files, launcherFiles) && InstallOutput(partial, output, error)) {
            return true;
        }
    } catch (...) {
        RemoveTree(partial);
        throw;
    }
    RemoveTree(partial);
    return false;
}

}  // namespace

bool PublishMirror(const PublishOptions& options, PublishSummary* summary, std::string* error) {
    *summary = PublishSummary();
    try {
        return Publish(options, summary, error);
    } catch (const std::exception& e) {
        // Out of memory, or a path the platform cannot convert.
        *error = std::string("publishing failed: ") + e.what();
        return false;
    }
}

}  // namespace velka
