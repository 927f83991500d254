// The replacement script of the launcher's self-update, which swaps the launcher's files once
// the running launcher has exited, then starts the new launcher.
//
// A running executable cannot be overwritten, so the launcher writes a script into D
// ("updater.bat", or "updater.sh" on POSIX), starts it detached with D as its current directory
// and ends its own process. The script copies the old launcher aside into
// D\Temp\LauncherBackup, waits (at most `waitSeconds`) until the old launcher is gone, backs up
// and replaces the other files, puts the new executable in place and only then installs the
// downloaded Temp\launcherconfig.txt as Config\launcherconfig.txt (so the recorded launcher
// version changes once the new launcher is there, and the new launcher does not update itself
// again). It then removes the staged files, the backups and the staging folder when it is
// empty, starts the new launcher and deletes itself.
//
// When a step fails (the old launcher does not end in time, a copy fails, the configuration
// cannot be installed) the backups are put back, so D always holds a runnable launcher; the
// staged files and the downloaded configuration stay; and the old launcher is started again so
// that it retries, but only once per staged version: the marker Temp\LauncherRelaunch-<version>
// keeps a replacement that fails every time from restarting the launcher in a loop.
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

    // The launcher version in the staging folder; names the relaunch marker.
    std::string stagedVersion;
    // How long the script waits for the old launcher to end before it gives up (about one
    // check a second).
    int waitSeconds = 60;

    // The script text, LF line ends. For a batch file whose names are all plain (B is
    // STAGING\LauncherBackup, M is STAGING\LauncherRelaunch-<stagedVersion>, W waitSeconds):
    //   @echo off
    //   rd /s /q .\B / md .\B / copy /y EXE .\B\EXE / if errorlevel 1 goto failed
    //   set tries=0 / :begin / del EXE / if not exist EXE goto replace / set /a tries+=1
    //   if %tries% geq W goto failed / ping -n 2 127.0.0.1 >nul / goto begin
    //   :replace
    //   if exist F copy /y F .\B\F / if exist F if not exist .\B\F goto restore
    //   copy /y .\SRC\F F / if errorlevel 1 goto restore          (for every F of `files`)
    //   copy /y .\SRC\EXE EXE / if errorlevel 1 goto restore
    //   copy /y .\STAGING\CFG .\CFGDIR\CFG.new / if errorlevel 1 goto restore
    //   move /y .\CFGDIR\CFG.new .\CFGDIR\CFG / if exist .\CFGDIR\CFG.new goto restore
    //   del .\STAGING\CFG / del .\SRC\F (every F) / del .\SRC\EXE / rd /q .\SRC / rd /s /q .\B
    //   start EXE / goto end
    //   :restore
    //   if exist .\B\F move /y .\B\F F (every F) / move /y .\B\EXE EXE / del .\CFGDIR\CFG.new
    //   :failed / if exist .\M goto end / type nul > .\M / start EXE
    //   :end / del %0%
    // A name needing quotes is written as "..." (and started as start "" "EXE"). A POSIX shell
    // script does the same with every name in single quotes, waits for `processId` and marks the
    // new executable executable.
    //
    // False, with the offending name in `*refused` (may be null), when a name is empty, holds a
    // path separator, a control character or a character quoting cannot neutralise ('"', '%',
    // '*', '?', ':' in a batch file; "'" in a shell script), or names the script itself or one of
    // the launcher's working folders (Temp, Config, Log, Game, Package); also when a shell
    // script has no process to wait for, `stagedVersion` is empty or `waitSeconds` below 1.
    bool Compose(std::string* text, std::string* refused) const;

    // Writes the script to `scriptPath` (binary, truncating), starts it detached in its folder
    // (StartDetachedScript) and calls `endProcess`, which in the launcher does not return;
    // without one the process ends with exit(0). True only when `endProcess` returned.
    //
    // On failure nothing runs and the launcher stays usable: state Failed, message
    // kMsgSelfUpdateFailed (a refused name) or that text with LastErrorSuffix (the script could
    // not be written or started; a partly written script is removed), an
    // ERROR line in the log, and false.
    bool WriteAndRun(Logger& logger, PatcherStatus& status,
                     const std::function<void()>& endProcess) const;
};

}  // namespace velka
