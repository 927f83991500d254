#include "publish/game_tree.h"

#include <algorithm>
#include <cctype>
#include <exception>
#include <filesystem>
#include <string>
#include <system_error>

#include "platform/text.h"
#include "publish/folder_scan.h"
#include "util/safe_path.h"

namespace velka {

namespace {

namespace fs = std::filesystem;

// The zip entry of a file is this prefix followed by its path with "/".
constexpr char kEntryPrefix[] = "velka_win/";

// Characters Windows does not allow in a name, plus the ones that break the lists ("=", "$") or
// the launcher's download URLs, which escape nothing but blanks ("%", "#"; "?" is already here).
constexpr char kRefusedCharacters[] = "<>:\"/\\|?*=$%#";

bool IsReservedDeviceName(const std::string& component) {
    std::string base = component.substr(0, component.find('.'));
    while (!base.empty() && base.back() == ' ') base.pop_back();
    for (char& c : base) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    if (base == "CON" || base == "PRN" || base == "AUX" || base == "NUL") return true;
    if (base.size() == 4 && (base.compare(0, 3, "COM") == 0 || base.compare(0, 3, "LPT") == 0)) {
        return base[3] >= '1' && base[3] <= '9';
    }
    return false;
}

std::string Quoted(const std::string& relative) {
    return "\"" + PrintableForLog(relative) + "\"";
}

class TreeScanner {
  public:
    TreeScanner(std::vector<GameFile>* files, std::string* error) : files_(files), error_(error) {}

    // `relative` is the folder's path below velka_win with "/" (empty for velka_win itself).
    bool ScanFolder(const fs::path& folder, const std::string& relative) {
        const std::string shown = kEntryPrefix + relative;
        std::error_code ec;
        std::vector<fs::directory_entry> entries;
        if (!SortedFolderEntries(folder, &entries, &ec)) {
            return Fail("cannot read the folder " + Quoted(shown) + ": " + ec.message());
        }

        CaseClashCheck names;
        for (const fs::directory_entry& entry : entries) {
            const std::string name = entry.path().filename().u8string();
            const std::string path = relative + name;
            const std::string problem = CheckPublishableName(name);
            if (!problem.empty()) return Fail(Quoted(kEntryPrefix + path) + ": " + problem);

            if (const std::string other = names.Add(name); !other.empty()) {
                return Fail(Quoted(kEntryPrefix + path) + " and " +
                            Quoted(kEntryPrefix + relative + other) +
                            " differ only in letter case; on Windows they are one file");
            }

            const fs::file_status own = entry.symlink_status(ec);
            if (ec)
                return Fail("cannot examine " + Quoted(kEntryPrefix + path) + ": " + ec.message());
            fs::file_status target = own;
            if (fs::is_symlink(own)) {
                target = entry.status(ec);
                if (fs::is_directory(target)) {
                    return Fail(Quoted(kEntryPrefix + path) +
                                " is a symbolic link to a folder; copy the folder instead");
                }
                if (ec || !fs::exists(target)) {
                    return Fail(Quoted(kEntryPrefix + path) + " is a dangling symbolic link");
                }
            }
            if (fs::is_directory(target)) {
                if (!ScanFolder(entry.path(), path + "/")) return false;
                continue;
            }
            if (!fs::is_regular_file(target)) {
                return Fail(Quoted(kEntryPrefix + path) + " is not a regular file");
            }
            if (!AddFile(entry.path(), path)) return false;
        }
        return true;
    }

  private:
    bool AddFile(const fs::path& source, const std::string& relative) {
        const std::string shown = kEntryPrefix + relative;
        if (shown.size() > kMaxEntryNameBytes) {
            return Fail(Quoted(shown) + ": the path is " + std::to_string(shown.size()) +
                        " bytes long; the launcher's extractor takes at most " +
                        std::to_string(kMaxEntryNameBytes));
        }
        std::error_code ec;
        const uintmax_t size = fs::file_size(source, ec);
        if (ec) return Fail("cannot read the size of " + Quoted(shown) + ": " + ec.message());
        if (size > kMaxListedFileSize) {
            return Fail(Quoted(shown) + " is " + std::to_string(size) +
                        " bytes; the launcher's file list holds sizes below 4 GiB (4294967296 "
                        "bytes)");
        }
        GameFile file;
        file.path = relative;
        std::replace(file.path.begin(), file.path.end(), '/', '\\');
        file.name = relative.substr(relative.rfind('/') + 1);
        file.source = Utf8ToWide(source.u8string());
        file.size = size;
        // Every component passed CheckPublishableName; this is the launcher's own screen.
        if (!IsSafeRelativePath(file.path)) return Fail(Quoted(shown) + " is not a safe path");
        files_->push_back(std::move(file));
        return true;
    }

    bool Fail(const std::string& message) {
        *error_ = message;
        return false;
    }

    std::vector<GameFile>* files_;
    std::string* error_;
};

}  // namespace

std::string CheckPublishableName(const std::string& component) {
    if (component.empty()) return "the name is empty";
    for (char c : component) {
        const unsigned char u = static_cast<unsigned char>(c);
        if (u < 0x20 || u == 0x7F) return "the name holds a control character or line break";
        if (u >= 0x80) {
            return "the name is not plain ASCII; the launcher reads names in the player's ANSI "
                   "code page, which the publisher cannot know";
        }
        if (std::char_traits<char>::find(kRefusedCharacters, sizeof kRefusedCharacters - 1, c)) {
            return std::string("the name holds \"") + c +
                   "\", which the lists, the download URLs or Windows cannot carry";
        }
    }
    if (component.back() == '.' || component.back() == ' ') {
        return "the name ends in \".\" or a blank, which Windows drops";
    }
    if (IsReservedDeviceName(component)) return "the name is a Windows device name";
    return std::string();
}

bool ScanGameTree(const std::wstring& velkaWinFolder, std::vector<GameFile>* files,
                  std::string* error) {
    files->clear();
    try {
        TreeScanner scanner(files, error);
        if (!scanner.ScanFolder(fs::u8path(WideToUtf8(velkaWinFolder)), std::string())) {
            return false;
        }
    } catch (const std::exception& e) {
        // Names the platform cannot convert, or memory running out.
        *error = std::string("cannot read the game tree: ") + e.what();
        return false;
    }
    if (files->empty()) {
        *error = "velka_win holds no files; there is no game to publish";
        return false;
    }
    std::sort(files->begin(), files->end(),
              [](const GameFile& a, const GameFile& b) { return a.path < b.path; });
    return true;
}

}  // namespace velka
