#include "platform/fs.h"

#include <windows.h>

#include <cwctype>
#include <functional>

#include "platform/win32/handles.h"

namespace velka {

namespace {

using win32::FindHandle;
using win32::Handle;

constexpr DWORD kModulePathStep = 260;
// Far beyond the longest path Windows accepts; only a guard against a system that never stops
// reporting truncation.
constexpr DWORD kModulePathLimit = 32768 + kModulePathStep;

bool IsDirectory(const WIN32_FIND_DATAW& data) {
    return (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

std::wstring WithSeparator(const std::wstring& folder) {
    if (!folder.empty() && IsSeparator(folder.back())) return folder;
    return folder + kPathSeparator;
}

// Calls `visit` for every entry of `folder` except "." and "..", enumerating folder\*.*. False
// when the enumeration cannot start or `visit` returns false (GetLastError as left by the
// failure). A folder without any entry at all (only a drive root can be) is simply empty.
bool ForEachEntry(const std::wstring& folder,
                  const std::function<bool(const WIN32_FIND_DATAW&, const std::wstring&)>& visit) {
    const std::wstring base = WithSeparator(folder);
    WIN32_FIND_DATAW data;
    FindHandle find(FindFirstFileW((base + L"*.*").c_str(), &data));
    if (!find.valid()) {
        const DWORD code = GetLastError();
        if (code == ERROR_FILE_NOT_FOUND && DirectoryExists(folder)) return true;
        SetLastError(code);
        return false;
    }
    do {
        const wchar_t* name = data.cFileName;
        if (wcscmp(name, L".") == 0 || wcscmp(name, L"..") == 0) continue;
        if (!visit(data, base + name)) return false;
    } while (FindNextFileW(find.get(), &data));
    return GetLastError() == ERROR_NO_MORE_FILES;
}

size_t SkipComponent(const std::wstring& path, size_t from) {
    while (from < path.size() && !IsSeparator(path[from])) ++from;
    return from;
}

// Length of the part of `path` that names no folder to create: the server and share of
// "\\server\share", the drive of "\\?\C:" and the like. A plain "C:\..." has none; its drive
// prefix is attempted and refused like any existing folder.
size_t RootLength(const std::wstring& path) {
    if (path.size() < 2 || !IsSeparator(path[0]) || !IsSeparator(path[1])) return 0;
    size_t pos = 2;
    int components = 2;  // \\server\share
    if (path.size() > 3 && (path[2] == L'?' || path[2] == L'.') && IsSeparator(path[3])) {
        pos = 4;
        components = 1;  // \\?\C:
        if (path.size() >= 8 && std::towupper(path[4]) == L'U' && std::towupper(path[5]) == L'N' &&
            std::towupper(path[6]) == L'C' && IsSeparator(path[7])) {
            pos = 8;
            components = 2;  // \\?\UNC\server\share
        }
    }
    for (int i = 0; i < components; ++i) {
        pos = SkipComponent(path, pos);
        if (i + 1 < components && pos < path.size()) ++pos;
    }
    return pos;
}

}  // namespace

uint32_t LastSystemError() {
    return static_cast<uint32_t>(GetLastError());
}
void SetLastSystemError(uint32_t code) {
    SetLastError(static_cast<DWORD>(code));
}

std::wstring ModulePath() {
    std::wstring buffer(kModulePathStep, L'\0');
    for (;;) {
        const DWORD size = static_cast<DWORD>(buffer.size());
        const DWORD n = GetModuleFileNameW(nullptr, &buffer[0], size);
        if (n == 0) return std::wstring();
        // A result that fills the buffer has been truncated.
        if (n < size || size >= kModulePathLimit) {
            buffer.resize(n);
            return buffer;
        }
        buffer.resize(size + kModulePathStep);
    }
}

std::wstring ModuleDirectory() {
    const std::wstring path = ModulePath();
    const size_t cut = path.find_last_of(L"\\/");
    return cut == std::wstring::npos ? path : path.substr(0, cut);
}

bool FileExists(const std::wstring& path) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool DirectoryExists(const std::wstring& path) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool CreateDirectories(const std::wstring& path) {
    const size_t last = path.find_last_of(L"\\/");
    const size_t root = RootLength(path);
    size_t pos = 0;
    for (;;) {
        pos = path.find_first_of(L"\\/", pos + 1);
        const std::wstring prefix = pos == std::wstring::npos ? path : path.substr(0, pos);
        const bool deepest = pos >= last;
        if (prefix.size() <= root) {
            if (deepest) return DirectoryExists(prefix);
            continue;
        }
        if (!CreateDirectoryW(prefix.c_str(), nullptr)) {
            const DWORD code = GetLastError();
            if (code != ERROR_ALREADY_EXISTS && code != ERROR_ACCESS_DENIED) return false;
            // A refused prefix is fine on the way down, where the next creation shows whether
            // it really is a folder; the deepest one must be checked here.
            if (deepest && !DirectoryExists(prefix)) {
                SetLastError(code);
                return false;
            }
        }
        if (deepest) return true;
    }
}

bool CopyTree(const std::wstring& source, const std::wstring& destination) {
    if (!CreateDirectories(WithSeparator(destination))) return false;
    const bool ok =
        ForEachEntry(source, [&](const WIN32_FIND_DATAW& data, const std::wstring& from) {
            const std::wstring to = WithSeparator(destination) + data.cFileName;
            if (IsDirectory(data)) return CopyTree(from, to);
            return CopyFileW(from.c_str(), to.c_str(), FALSE) != FALSE;
        });
    if (ok) return true;
    // Nothing to copy from a source that is not there; any other failure is reported, since
    // skipping an unreadable folder would lose its files silently.
    const DWORD code = GetLastError();
    if ((code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND || code == ERROR_DIRECTORY) &&
        !DirectoryExists(source)) {
        return true;
    }
    SetLastError(code);
    return false;
}

uint64_t DirectorySize(const std::wstring& folder) {
    uint64_t total = 0;
    ForEachEntry(folder, [&](const WIN32_FIND_DATAW& data, const std::wstring& path) {
        if (IsDirectory(data)) {
            if (IsFolderToEnter(data.dwFileAttributes)) total += DirectorySize(path);
            return true;
        }
        Handle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
        LARGE_INTEGER size;
        if (file.valid() && GetFileSizeEx(file.get(), &size) && size.QuadPart > 0) {
            total += static_cast<uint64_t>(size.QuadPart);
        }
        return true;
    });
    return total;
}

bool ListDirectory(const std::wstring& folder, std::vector<DirEntry>* entries) {
    entries->clear();
    return ForEachEntry(folder, [&](const WIN32_FIND_DATAW& data, const std::wstring&) {
        DirEntry entry;
        entry.name = data.cFileName;
        entry.isDirectory = IsFolderToEnter(data.dwFileAttributes);
        if (!entry.isDirectory) {
            entry.size = (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
        }
        entries->push_back(std::move(entry));
        return true;
    });
}

int64_t FileSize64(const std::wstring& path) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) return -1;
    if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
        SetLastError(ERROR_DIRECTORY);
        return -1;
    }
    return static_cast<int64_t>((static_cast<uint64_t>(data.nFileSizeHigh) << 32) |
                                data.nFileSizeLow);
}

bool RemoveFile(const std::wstring& path) {
    if (DeleteFileW(path.c_str())) return true;
    const DWORD code = GetLastError();
    // A junction or symbolic link to a folder is a folder entry: removing it leaves the target.
    const DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) &&
        (attributes & FILE_ATTRIBUTE_REPARSE_POINT) && RemoveDirectoryW(path.c_str())) {
        return true;
    }
    SetLastError(code);
    return false;
}

bool RemoveEmptyFolder(const std::wstring& path) {
    return RemoveDirectoryW(path.c_str()) != FALSE;
}

bool RenamePath(const std::wstring& from, const std::wstring& to) {
    return _wrename(from.c_str(), to.c_str()) == 0;
}

bool MoveIntoPlace(const std::wstring& from, const std::wstring& to) {
    return MoveFileExW(from.c_str(), to.c_str(),
                       MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != FALSE;
}

bool CopyOneFile(const std::wstring& from, const std::wstring& to) {
    return CopyFileW(from.c_str(), to.c_str(), FALSE) != FALSE;
}

bool FreeDiskSpace(const std::wstring& folder, uint64_t* freeBytes) {
    ULARGE_INTEGER available;
    if (!GetDiskFreeSpaceExW(folder.c_str(), &available, nullptr, nullptr)) return false;
    *freeBytes = available.QuadPart;
    return true;
}

bool WriteNewPrivateFile(const std::wstring& path, const std::string& contents) {
    bool written = false;
    {
        Handle file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!file.valid()) return false;
        DWORD done = 0;
        written = WriteFile(file.get(), contents.data(), static_cast<DWORD>(contents.size()), &done,
                            nullptr) &&
                  done == contents.size();
    }
    if (written) return true;
    const DWORD code = GetLastError();
    DeleteFileW(path.c_str());
    SetLastError(code);
    return false;
}

std::FILE* OpenFile(const std::wstring& path, const char* mode) {
    std::wstring wideMode;
    for (const char* c = mode; *c; ++c) wideMode += static_cast<wchar_t>(*c);
    return _wfopen(path.c_str(), wideMode.c_str());
}

bool SeekFile(std::FILE* file, int64_t offset, int origin) {
    return _fseeki64(file, offset, origin) == 0;
}

int64_t TellFile(std::FILE* file) {
    return _ftelli64(file);
}

}  // namespace velka

namespace velka {

bool IsExecutableFile(const std::wstring&) {
    return false;
}
bool MarkExecutable(const std::wstring&) {
    return true;
}

}  // namespace velka
