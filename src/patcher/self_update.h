// The launcher's self-update: fetching, verifying and unpacking the launcher package into
// D\Temp\LauncherUpdate, then handing over to the replacement script (updater_script.h) that
// swaps the files once the running launcher has exited and starts the new launcher.
//
// Update thread only.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "patcher/patcher.h"
#include "patcher/remote_config.h"
#include "patcher/updater_script.h"
#include "platform/detached_script.h"

namespace velka {

// Fetches and unpacks the launcher package into baseDir\Temp\LauncherUpdate. Status: filesDone
// 0, filesTotal 1, bytesDone 0, bytesTotal = packageSize, state DownloadingFiles,
// currentFileName the package name, message kUpdatingLauncherText.
//
// A package already in baseDir\Temp whose CRC text equals `package.crc` exactly is used without
// a transfer. Otherwise the URLs are tried in order, downloading into baseDir\Temp\<fileName>;
// a download whose CRC differs is deleted and the next URL tried. Then the staging folder is
// emptied and the package unpacked into it (entries that would leave it refuse the package).
//
// False, with state left at DownloadingFiles for the pipeline to fail, when no URL gave the right
// package (message kMsgSelfUpdateFailed with the codes of the last failed transfer, -1 when
// none failed; also for a package name that would leave Temp) or when unpacking fails (message
// kMsgSelfUpdateFailed with LastErrorSuffix, and an ERROR line naming both paths and the code).
bool UpdateLauncher(Patcher& patcher, const std::wstring& baseDir,
                    const std::vector<std::string>& urls, const PackageInfo& package);

// How a front end's launcher replaces itself.
struct LauncherReplacement {
    // The executable the script waits for, replaces and starts: the window's
    // "VELKALauncher.exe", or a console launcher's own file name.
    std::string launcherExe = kWindowLauncherExe;
    ScriptLanguage language = kNativeScriptLanguage;
    // The process a POSIX shell script waits for; 0 for this one. Tests name one that has ended.
    uint32_t processId = 0;
    // How long the script waits for the old launcher to end.
    int waitSeconds = 60;
    // Ends the process once the script runs: in a launcher, shut the crash reporter down and
    // exit(0). Tests substitute a function that returns.
    std::function<void()> endProcess;
};

// Fills an UpdaterScript for baseDir (staging folder `stagingFolder`, the script in baseDir,
// the staged version read from baseDir\Temp\launcherconfig.txt) and calls WriteAndRun. A staging
// folder without the launcher executable is refused like an unsafe name, since the script would
// delete the installed launcher and put nothing in its place. Returns only when the replacement
// failed (false, status Failed) or `endProcess` returned (true).
bool ReplaceLauncher(Patcher& patcher, const std::wstring& baseDir,
                     const std::wstring& stagingFolder, const LauncherReplacement& how);

// The pipeline hook running UpdateLauncher and ReplaceLauncher below the Patcher's folder.
Patcher::SelfUpdater MakeSelfUpdater(LauncherReplacement how);

}  // namespace velka
