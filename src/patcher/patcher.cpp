#include "patcher/patcher.h"

#include <utility>

#include "patcher/download_sets.h"
#include "patcher/file_lists.h"
#include "patcher/install_layout.h"
#include "patcher/maintenance.h"
#include "patcher/package_extraction.h"
#include "patcher/player_texts.h"
#include "patcher/release_key.h"
#include "patcher/version_record.h"
#include "platform/fs.h"
#include "platform/process.h"
#include "platform/text.h"
#include "transfer/curl_easy.h"
#include "transfer/http.h"
#include "transfer/network_settings.h"
#include "util/dates.h"
#include "util/safe_path.h"
#include "util/strings.h"

#ifndef VELKA_DEFAULT_LAUNCHER_URL
#define VELKA_DEFAULT_LAUNCHER_URL "https://download.example.invalid/velka_hk_win/Launcher/"
#endif

namespace velka {

const char kDefaultLauncherUrl[] = VELKA_DEFAULT_LAUNCHER_URL;

namespace {

const char kLauncherConfigName[] = "launcherconfig.txt";
const char kServerConfigName[] = "serverconfig.txt";
// The names the release record knows the two lists by, whatever their URLs.
const char kFileListName[] = "filelist.txt";
const char kPackageListName[] = "ziplist.txt";
const wchar_t kGameProcessName[] = L"velka.exe";

std::string Num(int64_t value) {
    return std::to_string(value);
}

// A list that yields no entry, or holds a line that is not an entry (a maintenance page, an
// empty file), describes no game: installing from it would leave an empty one.
template <typename Entry>
bool IsUsableList(Logger& logger, const std::string& list, const std::vector<Entry>& entries) {
    if (entries.empty()) {
        logger.Error("The " + list + " is empty");
        return false;
    }
    for (const Entry& entry : entries) {
        if (entry.failed) {
            logger.Error("The " + list + " has a malformed line: " + PrintableForLog(entry.name));
            return false;
        }
    }
    return true;
}

// Files that must be fetched need somewhere to fetch them from.
bool HasMirror(Logger& logger, const std::string& key, const std::vector<std::string>& urls) {
    if (!urls.empty()) return true;
    logger.Error("No download mirror in " + key);
    return false;
}

}  // namespace

Patcher::Patcher() : Patcher(ModuleDirectory(), InstalledTransferSettings(ModuleDirectory())) {}

TransferSettings InstalledTransferSettings(const std::wstring& baseDirectory) {
    TransferSettings settings;
    LoadNetworkSettings(JoinPath(baseDirectory, kNetworkSettingsPath), &settings);
    return settings;
}

Patcher::Patcher(std::wstring baseDirectory, const TransferSettings& settings)
    : baseDir_(std::move(baseDirectory)),
      settings_(settings),
      cipher_(kContentCipherKey),
      release_(ReleasePublicKeyHex(), &UnixTimeNow) {}

std::wstring Patcher::PathIn(const std::wstring& relative) const {
    return JoinPath(baseDir_, relative);
}

void Patcher::ThreadMain() {
    Run(std::string(kDefaultLauncherUrl));
}

std::vector<std::string> Patcher::BuildUrlList(const std::string& fileName,
                                               const std::vector<std::string>& bases,
                                               const std::string& extraBases) {
    std::vector<std::string> urls;
    for (const std::string& base : bases) urls.push_back(base + fileName);
    for (const std::string& base : Split(extraBases, '$')) urls.push_back(base + fileName);
    return urls;
}

std::wstring Patcher::CodesMessage(const std::wstring& text) const {
    // A proxy asking for credentials is the player's to fix, not the mirror's: say so.
    const bool proxyRefused = logger_.LastResponseCode() == kProxyAuthRequired;
    return (proxyRefused ? std::wstring(kMsgProxyAuth) : text) +
           TransferCodesSuffix(logger_.LastCurlCode(), logger_.LastResponseCode());
}

bool Patcher::Fail(const std::wstring& text) {
    status_.Fail(text);
    return false;
}

bool Patcher::OpenDayLog() {
    const std::string today = TodayString();
    const std::wstring logDir = PathIn(kLogFolder);
    CleanOldLogs(logDir, today, 7);
    const std::wstring logPath = JoinPath(logDir, ToWide(today) + L".txt");
    CreateDirectories(logPath);
    logger_.Open(ToNarrow(logPath));
    return true;
}

void Patcher::RepairSwap() {
    RepairInterruptedSwap(logger_, PathIn(kGameFolder), PathIn(kOldGameFolder));
}

bool Patcher::Run(const std::string& defaultLauncherUrl) {
    // A. Set-up.
    LauncherConfig local;
    LauncherConfig latest;
    ServerConfig server;
    ServerConfig record;
    OpenDayLog();
    RepairSwap();
    if (waitForGame) {
        status_.SetMessage(kWaitingForGameText);
        KillProcessByName(kGameProcessName);
    }

    // B. Launcher configuration: the installed mirrors first, the compiled-in one last.
    bool selfUpdate = false;
    const std::wstring localLauncherConfig = PathIn(kInstalledLauncherConfigPath);
    if (FileExists(localLauncherConfig)) {
        selfUpdate = !ParseLauncherConfig(logger_, cipher_, localLauncherConfig, &local);
        logger_.Info("Local launcher version : " + VersionToString(local.launcherVersion));
    } else {
        logger_.Info("Missing local launcherconfig, force launcher self-update");
        selfUpdate = true;
    }
    std::vector<std::string> urls =
        BuildUrlList(kLauncherConfigName, local.remoteURLs, defaultLauncherUrl);
    ForcePlainHttp(&urls);
    status_.SetMessage(kCheckingLauncherText);
    if (!AcceptRelease(BuildUrlList(kReleaseRecordName, local.remoteURLs, defaultLauncherUrl))) {
        return false;
    }
    const std::wstring latestLauncherConfig = PathIn(kStagedLauncherConfigPath);
    int32_t refusals = release_.Refusals();
    if (!DownloadVouched(latestLauncherConfig, urls, kLauncherConfigName)) {
        return Fail(StageFailure(kMsgCannotVerify, refusals));
    }
    if (FileExists(latestLauncherConfig)) {
        ParseLauncherConfig(logger_, cipher_, latestLauncherConfig, &latest);
        logger_.Info("Latest launcer version : " + VersionToString(latest.launcherVersion));
    }
    if (LauncherNeedsUpdate(local.launcherVersion, latest.launcherVersion)) selfUpdate = true;

    // C. The launcher replaces itself; the game is not checked in this run.
    if (selfUpdate) return RunSelfUpdate(latest, defaultLauncherUrl);

    // D. Server configuration and versions.
    bool localConfigExisted = false;
    const std::wstring recordPath = LocalVersionRecordPath(baseDir_);
    if (FileExists(recordPath)) {
        localConfigExisted = true;
        ParseServerConfig(logger_, cipher_, recordPath, &record, true);
    }
    urls = BuildUrlList(kServerConfigName, latest.remoteURLs, "");
    ForcePlainHttp(&urls);
    status_.SetMessage(kCheckingVersionText);
    const std::wstring latestServerConfig = PathIn(kStagedServerConfigPath);
    refusals = release_.Refusals();
    if (!DownloadVouched(latestServerConfig, urls, kServerConfigName)) {
        return Fail(StageFailure(kMsgCannotVerify, refusals));
    }
    if (FileExists(latestServerConfig)) {
        ParseServerConfig(logger_, cipher_, latestServerConfig, &server, false);
        std::wstring label = kVersionLabelPattern;
        if (!IsInvalidVersion(server.incrementVersion)) {
            label = ReplaceAll(label, L"y.y.y", ToWide(VersionToString(server.incrementVersion)));
        }
        if (!IsInvalidVersion(server.zipVersion)) {
            label = ReplaceAll(label, L"x.x.x", ToWide(VersionToString(server.zipVersion)));
        }
        status_.SetVersionLabel(label);
    }
    ForcePlainHttp(&server.filelistURLs);
    ForcePlainHttp(&server.zipupdateURLs);
    ForcePlainHttp(&server.incrementupdateURLs);
    ForcePlainHttp(&server.ziplistURLs);
    const bool zipNeeded = NeedsFullUpdate(record.incrementVersion, server);
    logger_.Info("Local game version : " + VersionToString(record.incrementVersion));
    logger_.Info("Latest game version : " + VersionToString(server.incrementVersion) + "/" +
                 VersionToString(server.zipVersion));

    return UpdateGame(server, localConfigExisted, zipNeeded);
}

bool Patcher::RunSelfUpdate(const LauncherConfig& latest, const std::string& defaultLauncherUrl) {
    logger_.Info("=========Launcher self-update process");
    CreateDirectories(PathIn(kLauncherStagingFolder) + kPathSeparator);
    // Sizes of -1 (a missing description) add up, as unsigned, to more than any disk holds.
    const uint64_t required = static_cast<uint64_t>(latest.launcherZipInfo.unpackedSize) +
                              static_cast<uint64_t>(latest.launcherZipInfo.packageSize);
    if (!CheckDiskSpace(logger_, baseDir_, required)) return Fail(kMsgDiskFull);

    const std::string packageName =
        VersionToString(latest.launcherVersion) + "/" + latest.launcherZipInfo.fileName;
    std::vector<std::string> urls =
        BuildUrlList(packageName, latest.remoteURLs, defaultLauncherUrl);
    ForcePlainHttp(&urls);

    if (!selfUpdater_.update || !selfUpdater_.replace) {
        logger_.Error("Launcher self-update is not available in this front end");
        return Fail(kMsgSelfUpdateFailed);
    }
    if (!selfUpdater_.update(*this, urls, latest.launcherZipInfo)) {
        status_.SetState(PatcherState::Failed);  // the updater has set the message
        return false;
    }
    CreateDirectories(PathIn(kInstalledLauncherConfigPath));
    KeepAcceptedRelease();
    selfUpdater_.replace(*this, PathIn(kLauncherStagingFolder));
    // Only reached when the replacement could not be started; its message is set.
    if (status_.State() != PatcherState::Failed) Fail(kMsgSelfUpdateFailed);
    return false;
}

bool Patcher::UpdateGame(ServerConfig& server, bool localConfigExisted, bool zipNeeded) {
    // E. File list and the local check.
    const std::wstring gameFolder = PathIn(kInstalledGameFolder) + kPathSeparator;
    int32_t refusals = release_.Refusals();
    std::string body = FetchVouchedText(server.filelistURLs, kFileListName);
    if (body.empty()) return Fail(StageFailure(kMsgCannotVerify, refusals));
    std::vector<FileEntry> files;
    if (!ParseFileList(logger_, status_, body, &files) ||
        !IsUsableList(logger_, "file list", files)) {
        return Fail(kMsgCannotVerify);
    }
    std::string().swap(body);  // a long list is held once, as entries, from here on
    LocalCheckResult check = CheckLocalFiles(status_, gameFolder, files);
    logger_.Info("Check local files filesToDownload = " + Num(check.filesToDownload) +
                 "    bytesToDownload = " + Num(check.bytesToDownload));
    if (!localConfigExisted && zipNeeded && check.filesToDownload == 0 &&
        check.bytesToDownload == 0) {
        // A complete game without a version record is taken as current.
        zipNeeded = false;
    }
    if (!DirectoryExists(gameFolder)) {
        logger_.Info("Can not locate local game directory, force zip update");
        zipNeeded = true;
    }

    int32_t failedFiles = 0;
    int32_t localFaults = 0;

    // F. Full package update.
    if (zipNeeded) {
        refusals = release_.Refusals();
        body = FetchVouchedText(server.ziplistURLs, kPackageListName);
        if (body.empty()) return Fail(StageFailure(kMsgCannotVerify, refusals));
        std::vector<PackageEntry> packages;
        uint64_t unpackedTotal = 0;
        if (!ParsePackageList(logger_, status_, body, &packages, &unpackedTotal) ||
            !IsUsableList(logger_, "package list", packages)) {
            return Fail(kMsgCannotVerify);
        }
        LocalCheckResult zips = CheckLocalPackages(status_, baseDir_, packages);
        RecheckStagedPackages(packages, &zips);
        logger_.Info("=========Zip update process");
        if (!CheckDiskSpace(logger_, baseDir_, zips.bytesToDownload + unpackedTotal)) {
            return Fail(kMsgDiskFull);
        }
        if (zips.filesToDownload >= 1) {
            logger_.Info("Zip download total files: " + Num(zips.filesToDownload));
            if (!HasMirror(logger_, "zipupdateURLs", server.zipupdateURLs)) {
                return Fail(kMsgDownloadFailed);
            }
            ExpectedDigests digests;
            if (release_.Active()) digests.digests = release_.PackageDigests(packages);
            DownloadPackages(logger_, status_, baseDir_, server.zipupdateURLs, packages,
                             static_cast<int32_t>(zips.filesToDownload),
                             static_cast<int64_t>(zips.bytesToDownload), &failedFiles, &localFaults,
                             settings_, release_.Active() ? &digests : nullptr);
            refusals = release_.Refusals();
            release_.AddRefusals(digests.refusals);
            logger_.Info("Finsh zip download filesToDownload = " + Num(zips.filesToDownload) +
                         "  failedFiles = " + Num(failedFiles) +
                         "  localFaults = " + Num(localFaults));
            if (localFaults != 0) return Fail(kMsgLocalFault);
            if (failedFiles != 0) return Fail(StageFailure(kMsgDownloadFailed, refusals));
        }
        if (!ExtractPackages(logger_, status_, baseDir_, packages, unpackedTotal)) {
            status_.SetState(PatcherState::Failed);  // extraction has set the message
            return false;
        }
        logger_.Info("=========Zip update finish");
    }

    // G. Incremental update.
    std::wstring checkPath = gameFolder;
    if (zipNeeded) {
        checkPath = PathIn(kUnpackedGameFolder);
        check = CheckLocalFiles(status_, checkPath, files);
    }
    logger_.Info("Check local game files checkGamePath:  " + ToNarrow(checkPath) +
                 "    filesToDownload = " + Num(check.filesToDownload));
    const std::wstring incrementFolder = PathIn(kIncrementFolder);
    if (check.filesToDownload != 0) {
        logger_.Info(
            "=========Increment update process  filesToDownload = " + Num(check.filesToDownload) +
            "    bytesToDownload = " + Num(check.bytesToDownload) +
            "    incGameDirectory = " + ToNarrow(incrementFolder));
        if (!HasMirror(logger_, "incrementupdateURLs", server.incrementupdateURLs)) {
            return Fail(kMsgDownloadFailed);
        }
        ExpectedDigests digests;
        refusals = release_.Refusals();
        if (release_.Active() && !FetchFileDigests(server, files, &digests.digests)) {
            return Fail(StageFailure(kMsgCannotVerify, refusals));
        }
        CreateDirectories(incrementFolder);
        DownloadFileSet(logger_, status_, incrementFolder, server.incrementupdateURLs, files,
                        static_cast<int32_t>(check.filesToDownload),
                        static_cast<int64_t>(check.bytesToDownload), &failedFiles, &localFaults,
                        settings_, release_.Active() ? &digests : nullptr);
        refusals = release_.Refusals();
        release_.AddRefusals(digests.refusals);
        status_.SetState(PatcherState::FilesDownloaded);
        logger_.Info(
            "=========Increment update finish  filesToDownload = " + Num(check.filesToDownload) +
            "    failedFiles = " + Num(failedFiles) + "    localFaults = " + Num(localFaults));
        if (localFaults != 0) return Fail(kMsgLocalFault);
        if (failedFiles != 0) return Fail(StageFailure(kMsgDownloadFailed, refusals));
        logger_.Info("Copy increment update files to " + ToNarrow(checkPath));
        // Only what this run verified goes in, never whatever an earlier run left in the folder.
        uint32_t code = 0;
        if (!CopyVerifiedFiles(logger_, incrementFolder, checkPath, files, &code)) {
            logger_.Info("Copy Failed! ErrorCode = " + Num(code));
            return Fail(code != 0 ? kMsgCopyFailed + LastErrorSuffix(code)
                                  : std::wstring(kMsgCopyFailed));
        }
    }

    // H. The unpacked package folder takes the old game's place.
    if (zipNeeded) {
        logger_.Info("Rename process after zip update process");
        status_.SetMessage(kRenamingText);
        uint32_t code = 0;
        if (!SwapInFolder(logger_, status_, PathIn(kGameFolder), PathIn(kPackageFolder),
                          PathIn(kOldGameFolder), kTidyingText, &code)) {
            logger_.Info("Rename failed error = " + Num(code));
            return Fail(kMsgRenameFailed + LastErrorSuffix(code));
        }
    }

    // I. Record the versions and clean up.
    logger_.Info("Finish update process, update config files");
    status_.SetMessage(kFinishedText);
    CreateDirectories(LocalVersionRecordPath(baseDir_));
    if (!WriteLocalVersionRecord(baseDir_, server)) {
        logger_.Error("Serverconfig update error! ErrorCode = " + Num(LastSystemError()));
    }
    // Replaced in one step: a truncated copy would force a self-update on the next start.
    std::string launcherConfigText;
    if (ReadFileBytes(PathIn(kStagedLauncherConfigPath), &launcherConfigText)) {
        WriteFileAtomically(PathIn(kInstalledLauncherConfigPath), launcherConfigText);
    }
    KeepAcceptedRelease();
    RepairSwap();  // Temp may hold an old game that is still needed
    DeleteTree(logger_, PathIn(kTempFolder));
    status_.SetState(PatcherState::Finished);
    logger_.Info("Launcher process finish, can start game process at any time");
    return true;
}

bool Patcher::AcceptRelease(const std::vector<std::string>& recordUrls) {
    if (!release_.Active()) return true;
    std::vector<std::string> urls = recordUrls;
    ForcePlainHttp(&urls);
    const uint64_t highest = ReadAcceptedRelease(baseDir_);
    switch (release_.FetchRecord(urls, highest, logger_, settings_)) {
        case ReleaseGuard::Fetch::Accepted:
            return true;
        case ReleaseGuard::Fetch::Refused:
            return Fail(kMsgReleaseUnverified);
        case ReleaseGuard::Fetch::Unreachable:
            break;
    }
    return Fail(CodesMessage(kMsgCannotVerify));
}

bool Patcher::DownloadVouched(const std::wstring& path, const std::vector<std::string>& urls,
                              const std::string& name) {
    if (!release_.Active()) return DownloadFromFirstUrl(path, urls, &logger_, settings_);
    for (const std::string& url : urls) {
        Sha256Digest digest{};
        if (!DownloadToFile(url, path, nullptr, nullptr, &logger_, settings_, false, &digest)) {
            continue;
        }
        const int64_t size = FileSize64(path);
        if (size >= 0 &&
            release_.Vouches(name, static_cast<uint64_t>(size), digest, url, logger_)) {
            return true;
        }
        RemoveFile(path);
    }
    return false;
}

std::string Patcher::FetchVouchedText(const std::vector<std::string>& urls,
                                      const std::string& name) {
    if (!release_.Active()) return FetchFirstRemoteText(urls, &logger_, settings_);
    for (const std::string& url : urls) {
        std::string body;
        if (!FetchRemoteText(url, &body, &logger_, settings_)) continue;
        if (release_.VouchesForText(name, body, url, logger_)) return body;
    }
    return std::string();
}

std::wstring Patcher::StageFailure(const std::wstring& text, int32_t refusalsBefore) const {
    if (release_.Refusals() > refusalsBefore) return kMsgReleaseUnverified;
    return CodesMessage(text);
}

void Patcher::RecheckStagedPackages(std::vector<PackageEntry>& packages, LocalCheckResult* zips) {
    if (!release_.Active()) return;
    const std::wstring folder = PathIn(kPackageDownloadFolder);
    for (PackageEntry& entry : packages) {
        if (entry.needsDownload || entry.failed || !IsSafeRelativePath(entry.path)) continue;
        const std::wstring path = JoinPath(folder, ToWide(entry.path));
        if (release_.VouchesForFile(entry.name, path, logger_)) continue;
        RemoveFile(path);
        entry.needsDownload = true;
        ++zips->filesToDownload;
        zips->bytesToDownload += static_cast<uint64_t>(entry.packageSize);
        if (status_.filesDone.load() > 0) --status_.filesDone;
    }
}

bool Patcher::FetchFileDigests(const ServerConfig& server, const std::vector<FileEntry>& files,
                               std::vector<Sha256Digest>* digests) {
    std::vector<std::string> urls;
    for (const std::string& url : server.filelistURLs) {
        const std::string beside = HashListUrlBeside(url);
        if (!beside.empty()) urls.push_back(beside);
    }
    const std::string text = FetchVouchedText(urls, kHashListName);
    std::string reason;
    // The record vouches for these bytes, so a fault in them is the publisher's: no mirror has
    // better ones.
    if (text.empty() || !HashListDigests(text, files, digests, &reason)) {
        if (!reason.empty()) {
            logger_.Error("Release check failed! " + reason);
            release_.AddRefusals(1);
        }
        return false;
    }
    return true;
}

void Patcher::KeepAcceptedRelease() {
    if (!release_.Active()) return;
    if (release_.Record().release > ReadAcceptedRelease(baseDir_) &&
        !WriteAcceptedRelease(baseDir_, release_.Record().release)) {
        logger_.Error("Accepted release could not be recorded! ErrorCode = " +
                      Num(LastSystemError()));
    }
}

}  // namespace velka
