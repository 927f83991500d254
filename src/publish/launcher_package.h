// The launcher package: the files of a launcher build folder, screened for the launcher's
// self-update, and the name the package is published under.
//
// The launcher unpacks its package into a staging folder and its replacement script copies only
// the files lying directly in it into the install folder, so only those are published; the
// script waits for, replaces and restarts the launcher executable of its own name, so the folder
// should hold that executable ("VELKALauncher.exe" for the window, "velka-launcher" or
// "velka-launcher.exe" for the console launcher).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "patcher/remote_config.h"

namespace velka {

struct LauncherFile {
    std::string name;     // file name, also the zip entry's name
    std::wstring source;  // the file in the launcher build folder
    uint64_t size = 0;
};

// "launcher_<version>.zip"; published at Launcher/<version>/ on the mirror.
std::string LauncherPackageName(const Version& launcherVersion);

// Why `name` cannot be a file of the launcher package, or empty when it can: the rules of game
// file names (CheckPublishableName), no "'" (the POSIX replacement script cannot quote it), and
// not the name of the replacement script or of the launcher's working folders.
std::string CheckLauncherFileName(const std::string& name);

// Reads the files directly in `folder` into `files`, sorted by name bytes. Symbolic links to
// files are followed. Sub-folders (and links to folders) are left out with a warning, and so is
// the lack of any known launcher executable. False with a one-line reason in `error` for a
// missing or unreadable folder, a refused name, two names that differ only in letter case, a
// dangling link or special file, or a folder without any file.
bool ScanLauncherFolder(const std::wstring& folder, std::vector<LauncherFile>* files,
                        std::vector<std::string>* warnings, std::string* error);

}  // namespace velka
