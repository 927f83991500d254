// The update engine: one Patcher per process runs the update pipeline once on its own thread and
// publishes its progress in the status record it holds.
//
// Threads: the front end constructs the Patcher, sets waitForGame, starts ThreadMain on a new
// thread and afterwards only reads the status (Status()). Everything else runs on that
// update thread. The Patcher is never destroyed while the process runs.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "patcher/content_cipher.h"
#include "patcher/player_texts.h"
#include "patcher/release_guard.h"
#include "patcher/remote_config.h"
#include "patcher/status.h"
#include "transfer/transfer_settings.h"
#include "util/logger.h"

namespace velka {

// The compiled-in default launcher base URL (a deployment value, set at configure time).
extern const char kDefaultLauncherUrl[];

// The production transfer limits with the player's network settings (Config\network.ini below
// `baseDirectory`) applied.
TransferSettings InstalledTransferSettings(const std::wstring& baseDirectory);

class Patcher {
  public:
    // Runs below the folder of the running executable, with its network settings.
    Patcher();
    // Runs below `baseDirectory` (no trailing separator) with the given transfer limits; for
    // front ends that live elsewhere and for tests.
    explicit Patcher(std::wstring baseDirectory,
                     const TransferSettings& settings = DefaultTransferSettings());
    Patcher(const Patcher&) = delete;
    Patcher& operator=(const Patcher&) = delete;
    virtual ~Patcher() = default;

    // Set by the front end before the thread starts: the launcher was started with "gameupdate",
    // so running game processes are ended first.
    bool waitForGame = false;

    // Thread entry: runs Run once with the compiled-in default launcher URL.
    void ThreadMain();

    // The whole pipeline. True when it reached Finished; false after any failure (state Failed
    // and the reason in the message).
    bool Run(const std::string& defaultLauncherUrl);

    // Each base followed directly by `fileName`, then each "$"-separated piece of `extraBases`
    // followed by it. Bases end in "/"; nothing is inserted.
    static std::vector<std::string> BuildUrlList(const std::string& fileName,
                                                 const std::vector<std::string>& bases,
                                                 const std::string& extraBases);

    // `text` with the codes of the last transfer (TransferCodesSuffix), with kMsgProxyAuth in
    // place of `text` when the last failed transfer was refused by a proxy asking for credentials
    // (407).
    std::wstring CodesMessage(const std::wstring& text) const;

    // The status record: written by the update thread only, read by the front ends on their tick.
    PatcherStatus& Status() { return status_; }
    const PatcherStatus& Status() const { return status_; }

    Logger& GetLogger() { return logger_; }
    const ContentCipher& Cipher() const { return cipher_; }
    const TransferSettings& Settings() const { return settings_; }
    const std::wstring& BaseDirectory() const { return baseDir_; }
    // D joined with a relative path.
    std::wstring PathIn(const std::wstring& relative) const;

    // The release verification of this run: active when the launcher was built with a release
    // key (ReleasePublicKeyHex), with the computer's clock.
    ReleaseGuard& Release() { return release_; }
    // Replaces the key and the clock before Run, so tests verify against a key of their own
    // without a build of their own; an empty key turns verification off.
    void SetReleaseTrust(std::string publicKeyHex, std::function<int64_t()> clock) {
        release_ = ReleaseGuard(std::move(publicKeyHex), std::move(clock));
    }

    // Replaces the launcher itself when a newer one is published. Set by the front end; without
    // one a needed self-update ends the run as failed.
    //   update:  fetch, verify and unpack the launcher package (true when ready to swap);
    //   replace: write and start the replacement script and end the process (normally does not
    //            return; if it does, the run fails).
    struct SelfUpdater {
        std::function<bool(Patcher&, const std::vector<std::string>& urls,
                           const PackageInfo& package)>
            update;
        std::function<void(Patcher&, const std::wstring& stagingFolder)> replace;
    };
    void SetSelfUpdater(SelfUpdater updater) { selfUpdater_ = std::move(updater); }

  private:
    // Ends the run: state Failed, the message, false.
    bool Fail(const std::wstring& text);

    bool OpenDayLog();
    // Puts back or removes an old game that a kill left beside the new one.
    void RepairSwap();
    bool RunSelfUpdate(const LauncherConfig& latest, const std::string& defaultLauncherUrl);
    // The game stages after the version checks.
    bool UpdateGame(ServerConfig& server, bool localConfigExisted, bool zipNeeded);

    // Fetches, with a release key, the release record from the launcher mirrors; true when one
    // verified (and always without a key). Fails the run otherwise.
    bool AcceptRelease(const std::vector<std::string>& urls);
    // DownloadFromFirstUrl; with a release key each download must also be the record's `name`,
    // or it is removed and the next URL tried.
    bool DownloadVouched(const std::wstring& path, const std::vector<std::string>& urls,
                         const std::string& name);
    // FetchFirstRemoteText, likewise.
    std::string FetchVouchedText(const std::vector<std::string>& urls, const std::string& name);
    // `text` with the codes of the last transfer, or kMsgReleaseUnverified when the release
    // check refused something since `refusalsBefore`.
    std::wstring StageFailure(const std::wstring& text, int32_t refusalsBefore) const;
    // With a release key: packages found intact in Temp by their CRC are checked against the
    // record too; one that fails is removed and marked for download, and `zips` counts it.
    void RecheckStagedPackages(std::vector<PackageEntry>& packages, LocalCheckResult* zips);
    // With a release key: the digests of the file list's entries from the hash list beside it.
    bool FetchFileDigests(const ServerConfig& server, const std::vector<FileEntry>& files,
                          std::vector<Sha256Digest>* digests);
    // Records the accepted release once the run has done its work.
    void KeepAcceptedRelease();

    PatcherStatus status_;
    std::wstring baseDir_;
    TransferSettings settings_;
    Logger logger_;
    ContentCipher cipher_;
    SelfUpdater selfUpdater_;
    ReleaseGuard release_;
};

}  // namespace velka
