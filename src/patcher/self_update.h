// The launcher's self-update: fetching, verifying and unpacking the launcher package into
// D\Temp\LauncherUpdate, and the replacement script that swaps the files once the running
// launcher has exited, then starts the new launcher.
//
// A running executable cannot be overwritten, so the launcher writes a script into D
// ("updater.bat", or "updater.sh" on POSIX), starts it detached with D as its current directory
// and ends its own process. The script replaces the other files first, installs the downloaded
// Temp\launcherconfig.txt as Config\launcherconfig.txt (so the new launcher finds its own version
// installed and does not update itself again), waits until the old launcher is gone, moves the
// new executable into place, removes the staging folder when it is empty, starts the new
// launcher and deletes itself.
//
// The script runs with the launcher's rights (administrator on Windows) and the file names in it
// come from the downloaded package, so every name is screened: a name the command language reads
// literally is written as it is; one that holds a blank or a character the interpreter treats
// specially is quoted; one that no quoting makes safe refuses the whole self-update before
// anything is written or started.
//
// Update thread only.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "patcher/patcher.h"
#include "patcher/remote_config.h"
#include "platform/detached_script.h"

namespace velka {

class Logger;
class PatcherStatus;

// The launcher executable of the window front end.
inline constexpr char kWindowLauncherExe[] = "VELKALauncher.exe";

// The script's file name in D for a language: "updater.bat" or "updater.sh".
std::wstring UpdaterScriptName(ScriptLanguage language);

// What the replacement script is written from.
struct UpdaterScript {
    // Non-folder entries found directly in the staging folder, except the launcher, in
    // enumeration order.
    std::vector<std::string> files;
    std::string sourceFolder;   // staging folder relative to D, backslash-separated
    std::string launcherExe;    // the launcher executable's file name
    std::string stagingFolder;  // where the downloaded configuration lies, relative to D
    std::string configFolder;   // where the installed configuration lies, relative to D
    std::string configFile;     // the configuration's file name
    std::wstring scriptPath;    // full path of the script file; its folder is D
    ScriptLanguage language = kNativeScriptLanguage;
    // POSIX shell only: the launcher process the script waits for (it polls with "kill -0"
    // instead of retrying a deletion, which POSIX grants while the program runs).
    uint32_t processId = 0;

    void SetConfigFiles(const std::string& staging, const std::string& folder,
                        const std::string& file);

    // The script text, LF line ends. For a batch file whose names are all plain, exactly:
    //   @echo off
    //   del F / copy .\SRC\F F / del .\SRC\F             (for every F of `files`)
    //   del .\CFGDIR\CFG
    //   copy .\STAGING\CFG .\CFGDIR\CFG
    //   del .\STAGING\CFG
    //   :begin
    //   del EXE
    //   if exist EXE goto begin
    //   copy .\SRC\EXE EXE
    //   del .\SRC\EXE
    //   rd /q .\SRC
    //   start EXE
    //   del %0%
    // A name needing quotes is written as "..." (and started as start "" "EXE"). A POSIX shell
    // script does the same with every name in single quotes, waits for `processId` and marks the
    // new executable executable.
    //
    // False, with the offending name in `*refused` (may be null), when a name is empty, holds a
    // path separator, a control character or a character quoting cannot neutralise ('"', '%',
    // '*', '?', ':' in a batch file; "'" in a shell script), or names the script itself or one of
    // the launcher's working folders (Temp, Config, Log, Game, Package); also when a shell
    // script has no process to wait for.
    bool Compose(std::string* text, std::string* refused) const;

    // Writes the script to `scriptPath` (binary, truncating), starts it detached in its folder
    // (StartDetachedScript) and calls `endProcess`, which in the launcher does not return;
    // without one the process ends with exit(0). True only when `endProcess` returned.
    //
    // On failure nothing runs and the launcher stays usable: state Failed, message
    // "程序更新失敗，請重啓後再試！" (a refused name) or that text with " LastError(<code>)"
    // (the script could not be written or started; a partly written script is removed), an
    // ERROR line in the log, and false.
    bool WriteAndRun(Logger& logger, PatcherStatus& status,
                     const std::function<void()>& endProcess) const;
};

// Fetches and unpacks the launcher package into baseDir\Temp\LauncherUpdate. Status: filesDone
// 0, filesTotal 1, bytesDone 0, bytesTotal = packageSize, state DownloadingFiles,
// currentFileName the package name, message "正在更新啓動器".
//
// A package already in baseDir\Temp whose CRC text equals `package.crc` exactly is used without
// a transfer. Otherwise the URLs are tried in order, downloading into baseDir\Temp\<fileName>;
// a download whose CRC differs is deleted and the next URL tried. Then the staging folder is
// emptied and the package unpacked into it (entries that would leave it refuse the package).
//
// False, with state left at DownloadingFiles for the pipeline to fail, when no URL gave the right
// package (message "程序更新失敗，請重啓後再試！ CURLCODE(c) HTTP STATUES CODE(h)" with the
// codes of the last failed transfer, -1 when none failed; also for a package name that would
// leave Temp) or when unpacking fails (message "程序更新失敗，請重啓後再試！ LastError(<code>)"
// and the ERROR line "Unzip failed! Unzip path : <package> Zip path : <staging> ErrorCode =
// <code>").
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
    // Ends the process once the script runs: in a launcher, shut the crash reporter down and
    // exit(0). Tests substitute a function that returns.
    std::function<void()> endProcess;
};

// Fills an UpdaterScript for baseDir (staging folder `stagingFolder`, the script in baseDir)
// and calls WriteAndRun. A staging folder without the launcher executable is refused like an
// unsafe name, since the script would delete the installed launcher and put nothing in its
// place. Returns only when the replacement failed (false, status Failed) or `endProcess`
// returned (true).
bool ReplaceLauncher(Patcher& patcher, const std::wstring& baseDir,
                     const std::wstring& stagingFolder, const LauncherReplacement& how);

// The pipeline hook running UpdateLauncher and ReplaceLauncher below the Patcher's folder.
Patcher::SelfUpdater MakeSelfUpdater(LauncherReplacement how);

}  // namespace velka
