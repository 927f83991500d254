#include "publish/launcher_package.h"

#include <algorithm>
#include <exception>
#include <filesystem>
#include <system_error>

#include "patcher/install_layout.h"
#include "platform/text.h"
#include "publish/folder_scan.h"
#include "publish/game_tree.h"
#include "util/safe_path.h"
#include "util/strings.h"

namespace velka {

namespace {

namespace fs = std::filesystem;

std::string Quoted(const std::string& name) {
    return "\"" + PrintableForLog(name) + "\"";
}

// Executables a launcher replaces itself with.
constexpr const char* kLauncherExecutables[] = {"VELKALauncher.exe", "velka-launcher",
                                                "velka-launcher.exe"};

bool Scan(const std::wstring& folder, std::vector<LauncherFile>* files,
          std::vector<std::string>* warnings, std::string* error) {
    const fs::path root = fs::u8path(WideToUtf8(folder));
    const std::string shownRoot = "the launcher folder \"" + ToNarrow(folder) + "\"";
    std::error_code ec;
    if (!fs::is_directory(root, ec)) {
        *error = shownRoot + " does not exist";
        return false;
    }
    std::vector<fs::directory_entry> entries;
    if (!SortedFolderEntries(root, &entries, &ec)) {
        *error = "cannot read " + shownRoot + ": " + ec.message();
        return false;
    }

    CaseClashCheck names;
    for (const fs::directory_entry& entry : entries) {
        const std::string name = entry.path().filename().u8string();
        const fs::file_status status = entry.status(ec);  // follows links
        if (ec || !fs::exists(status)) {
            *error = Quoted(name) + " in " + shownRoot + " is a dangling symbolic link";
            return false;
        }
        if (fs::is_directory(status)) {
            warnings->push_back("the launcher folder's sub-folder " + Quoted(name) +
                                " is not published: the launcher installs only the files at the "
                                "top of its package");
            continue;
        }
        if (!fs::is_regular_file(status)) {
            *error = Quoted(name) + " in " + shownRoot + " is not a regular file";
            return false;
        }
        const std::string problem = CheckLauncherFileName(name);
        if (!problem.empty()) {
            *error = Quoted(name) + " in " + shownRoot + ": " + problem;
            return false;
        }
        if (const std::string other = names.Add(name); !other.empty()) {
            *error = Quoted(name) + " and " + Quoted(other) + " in " + shownRoot +
                     " differ only in letter case; on Windows they are one file";
            return false;
        }
        const uintmax_t size = fs::file_size(entry.path(), ec);
        if (ec) {
            *error = "cannot read the size of " + Quoted(name) + ": " + ec.message();
            return false;
        }
        LauncherFile file;
        file.name = name;
        file.source = Utf8ToWide(entry.path().u8string());
        file.size = size;
        files->push_back(std::move(file));
    }
    if (files->empty()) {
        *error = shownRoot + " holds no files; there is no launcher to publish";
        return false;
    }
    const bool hasLauncher =
        std::any_of(files->begin(), files->end(), [](const LauncherFile& file) {
            return std::find(std::begin(kLauncherExecutables), std::end(kLauncherExecutables),
                             file.name) != std::end(kLauncherExecutables);
        });
    if (!hasLauncher) {
        warnings->push_back(
            "the launcher folder holds no VELKALauncher.exe, velka-launcher or "
            "velka-launcher.exe; a launcher refuses a package without its own executable");
    }
    return true;
}

}  // namespace

std::string LauncherPackageName(const Version& launcherVersion) {
    return "launcher_" + VersionToString(launcherVersion) + ".zip";
}

std::string CheckLauncherFileName(const std::string& name) {
    std::string problem = CheckPublishableName(name);
    if (!problem.empty()) return problem;
    if (name.find('\'') != std::string::npos) {
        return "the name holds \"'\", which the launcher's replacement script cannot carry";
    }
    if (name.front() == '.') {
        return "the name begins with \".\"; the launcher folder takes no hidden files";
    }
    const std::string lower = AsciiLower(name);
    for (const wchar_t* reserved : kReservedNames) {
        if (lower == AsciiLower(ToNarrow(reserved))) {
            return "the name is taken by the launcher's own script or working folders";
        }
    }
    return std::string();
}

bool ScanLauncherFolder(const std::wstring& folder, std::vector<LauncherFile>* files,
                        std::vector<std::string>* warnings, std::string* error) {
    files->clear();
    try {
        return Scan(folder, files, warnings, error);
    } catch (const std::exception& e) {
        *error = std::string("cannot read the launcher folder: ") + e.what();
        return false;
    }
}

}  // namespace velka
