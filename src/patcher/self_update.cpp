#include "patcher/self_update.h"

#include <utility>

#include "patcher/file_lists.h"
#include "patcher/install_layout.h"
#include "patcher/maintenance.h"
#include "patcher/player_texts.h"
#include "patcher/status.h"
#include "platform/fs.h"
#include "platform/process.h"
#include "platform/text.h"
#include "transfer/extract.h"
#include "transfer/http.h"
#include "util/file_crc.h"
#include "util/logger.h"
#include "util/safe_path.h"

namespace velka {

bool UpdateLauncher(Patcher& patcher, const std::wstring& baseDir,
                    const std::vector<std::string>& urls, const PackageInfo& package) {
    Logger& logger = patcher.GetLogger();
    PatcherStatus& status = patcher.Status();
    status.filesDone = 0;
    status.filesTotal = 1;
    status.bytesDone = 0;
    status.bytesTotal = package.packageSize;
    status.SetState(PatcherState::DownloadingFiles);
    status.SetCurrentFileName(ToWide(package.fileName));
    status.SetMessage(kUpdatingLauncherText);

    // The name comes from the published configuration and becomes a path below Temp.
    if (!IsSafeRelativePath(package.fileName)) {
        logger.Error("Launcher package name refused : " + PrintableForLog(package.fileName));
        status.SetMessage(patcher.CodesMessage(kMsgSelfUpdateFailed));
        return false;
    }
    const std::wstring packagePath =
        JoinPath(JoinPath(baseDir, kTempFolder), ToWide(package.fileName));
    const std::wstring stagingFolder = JoinPath(baseDir, kLauncherStagingFolder);

    ReleaseGuard& release = patcher.Release();
    const int32_t refusals = release.Refusals();
    // A package left in Temp was network data once; with a release key its CRC is not enough.
    bool ready =
        FileExists(packagePath) && CrcMatches(ComputeFileCrc(packagePath), package.crc) &&
        (!release.Active() || release.VouchesForFile(package.fileName, packagePath, logger));
    if (!ready) {
        status.currentFileBytes = 0;
        status.bytesDone = 0;
        for (const std::string& url : urls) {
            Sha256Digest digest{};
            if (!DownloadToFile(url, packagePath, &status.currentFileBytes, &status.bytesDone,
                                &logger, patcher.Settings(), false,
                                release.Active() ? &digest : nullptr)) {
                continue;
            }
            int64_t size = -1;
            const std::string crc = ComputeFileCrc(packagePath, &size);
            logger.Info("Download launcher self-update files finish crc = " + crc);
            if (CrcMatches(crc, package.crc) &&
                (!release.Active() || release.Vouches(package.fileName, static_cast<uint64_t>(size),
                                                      digest, url, logger))) {
                ready = true;
                break;
            }
            RemoveFile(packagePath);
        }
    }
    if (!ready) {
        status.SetMessage(release.Refusals() > refusals
                              ? std::wstring(kMsgReleaseUnverified)
                              : patcher.CodesMessage(kMsgSelfUpdateFailed));
        return false;
    }

    DeleteTree(logger, stagingFolder);
    if (!UnzipArchive(packagePath, stagingFolder, nullptr, &logger)) {
        const uint32_t code = LastSystemError();
        status.SetMessage(kMsgSelfUpdateFailed + LastErrorSuffix(code));
        logger.Error("Unzip failed! Unzip path : " + ToNarrow(packagePath) + " Zip path : " +
                     ToNarrow(stagingFolder) + " ErrorCode = " + std::to_string(code));
        return false;
    }
    return true;
}

bool ReplaceLauncher(Patcher& patcher, const std::wstring& baseDir,
                     const std::wstring& stagingFolder, const LauncherReplacement& how) {
    UpdaterScript script;
    script.sourceFolder = ToNarrow(kLauncherStagingFolder);
    script.launcherExe = how.launcherExe;
    script.scriptPath = JoinPath(baseDir, UpdaterScriptName(how.language));
    script.language = how.language;
    script.processId = how.processId != 0 ? how.processId : CurrentProcessId();
    script.waitSeconds = how.waitSeconds;
    script.SetConfigFiles(ToNarrow(kTempFolder), ToNarrow(kConfigFolder),
                          ToNarrow(FileNameOfPath(kInstalledLauncherConfigPath)));
    // The configuration the pipeline downloaded names the version being installed. One that
    // cannot be read still gets a marker of its own, so a failing replacement relaunches once.
    LauncherConfig staged;
    ParseLauncherConfig(patcher.GetLogger(), patcher.Cipher(),
                        JoinPath(baseDir, kStagedLauncherConfigPath), &staged);
    script.stagedVersion = VersionToString(staged.launcherVersion);

    bool hasLauncher = false;
    std::vector<DirEntry> entries;
    if (ListDirectory(stagingFolder, &entries)) {
        for (const DirEntry& entry : entries) {
            if (entry.isDirectory) continue;
            const std::string name = ToNarrow(entry.name);
            if (name == script.launcherExe) {
                hasLauncher = true;
            } else {
                script.files.push_back(name);
            }
        }
    }
    if (!hasLauncher) {
        patcher.GetLogger().Error("Launcher self-update package holds no " +
                                  PrintableForLog(script.launcherExe));
        patcher.Status().Fail(kMsgSelfUpdateFailed);
        return false;
    }
    return script.WriteAndRun(patcher.GetLogger(), patcher.Status(), how.endProcess);
}

Patcher::SelfUpdater MakeSelfUpdater(LauncherReplacement how) {
    Patcher::SelfUpdater updater;
    updater.update = [](Patcher& patcher, const std::vector<std::string>& urls,
                        const PackageInfo& package) {
        return UpdateLauncher(patcher, patcher.BaseDirectory(), urls, package);
    };
    updater.replace = [how = std::move(how)](Patcher& patcher, const std::wstring& staging) {
        ReplaceLauncher(patcher, patcher.BaseDirectory(), staging, how);
    };
    return updater;
}

}  // namespace velka
