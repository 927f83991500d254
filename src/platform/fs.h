// Files and folders. Paths are wide strings joined with the native separator (kPathSeparator).
// Functions report by their result; on failure LastSystemError() holds the system error code
// (GetLastError on Windows, errno elsewhere). Reentrant; nothing here throws.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "platform/unique_handle.h"

namespace velka {

#ifdef _WIN32
constexpr wchar_t kPathSeparator = L'\\';
#else
constexpr wchar_t kPathSeparator = L'/';
#endif

// The system error code of the last failed call on this thread.
uint32_t LastSystemError();
void SetLastSystemError(uint32_t code);

// Both separators are recognised on every platform: relative paths from file and package lists
// are written with backslashes whatever system reads them.
inline bool IsSeparator(wchar_t c) {
    return c == L'\\' || c == L'/';
}

// Backslashes and slashes in `path` become kPathSeparator.
inline std::wstring NativeSeparators(std::wstring path) {
    for (wchar_t& c : path) {
        if (IsSeparator(c)) c = kPathSeparator;
    }
    return path;
}

// base + separator + relative (relative's separators made native). An empty base gives relative;
// a base that already ends in a separator gets no second one.
inline std::wstring JoinPath(const std::wstring& base, const std::wstring& relative) {
    if (base.empty()) return NativeSeparators(relative);
    std::wstring joined = base;
    if (!IsSeparator(joined.back())) joined += kPathSeparator;
    return joined + NativeSeparators(relative);
}

// The last part of `path`, after its last backslash or slash (the whole path when it has none),
// and the folder before that separator (empty when it has none).
inline std::wstring FileNameOfPath(const std::wstring& path) {
    const size_t cut = path.find_last_of(L"\\/");
    return cut == std::wstring::npos ? path : path.substr(cut + 1);
}
inline std::wstring FolderOfPath(const std::wstring& path) {
    const size_t cut = path.find_last_of(L"\\/");
    return cut == std::wstring::npos ? std::wstring() : path.substr(0, cut);
}

// Full path of the running executable, and its folder (no trailing separator; cut at the last
// backslash or slash, the whole path when there is none). Empty when it cannot be determined.
std::wstring ModulePath();
std::wstring ModuleDirectory();

bool FileExists(const std::wstring& path);
bool DirectoryExists(const std::wstring& path);

// Creates every missing folder of `path` up to its last separator; the last component is a
// folder only when `path` ends in a separator (a path without any separator is one folder).
// "Already exists" and "access denied" on a prefix are tolerated (a drive root "C:" fails with
// one of them; the root of a "\\server\share" or "\\?\" path is not created at all), but
// the result is true only when the deepest folder asked for exists as a folder afterwards: a
// path through an existing file fails with the code of the refused creation.
bool CreateDirectories(const std::wstring& path);

// Copies the tree below `source` into `destination` (created when missing), overwriting files.
// Names that begin with "." are ordinary names. Stops at the first failure
// (false, LastSystemError set); files copied before it stay. A source that does not exist copies
// nothing and returns true; a folder that exists but cannot be enumerated is a failure.
bool CopyTree(const std::wstring& source, const std::wstring& destination);

// Total bytes of all files below `folder`, recursively. 0 when it cannot be enumerated; a file
// that cannot be opened for reading counts 0.
uint64_t DirectorySize(const std::wstring& folder);

// Whether a tree walk enters an entry with these Windows file attributes (as FindFirstFileW
// reports them): a folder, but never a directory junction or symbolic link
// (FILE_ATTRIBUTE_REPARSE_POINT), whose target is not part of the tree.
inline bool IsFolderToEnter(uint32_t windowsAttributes) {
    constexpr uint32_t kDirectory = 0x10;      // FILE_ATTRIBUTE_DIRECTORY
    constexpr uint32_t kReparsePoint = 0x400;  // FILE_ATTRIBUTE_REPARSE_POINT
    return (windowsAttributes & kDirectory) != 0 && (windowsAttributes & kReparsePoint) == 0;
}

struct DirEntry {
    std::wstring name;  // file name only; "." and ".." are never listed
    // A symbolic link or directory junction is never a directory here, so a tree removal built
    // on this listing removes the link (RemoveFile) instead of emptying its target.
    bool isDirectory = false;
    uint64_t size = 0;  // files only
};
// Lists the entries of a folder, in no particular order. False (LastSystemError set) when it
// cannot be enumerated; an empty folder gives true and no entries.
bool ListDirectory(const std::wstring& folder, std::vector<DirEntry>* entries);

// Size of a file in bytes, or -1 when it does not exist, is a folder or cannot be examined.
int64_t FileSize64(const std::wstring& path);

// Removes a file, or a symbolic link or junction as such (on Windows a link to a folder goes
// with RemoveDirectoryW; its target stays).
bool RemoveFile(const std::wstring& path);
bool RemoveEmptyFolder(const std::wstring& path);
// Renames a file or folder (_wrename / rename). Fails when the target exists, even an empty
// folder.
bool RenamePath(const std::wstring& from, const std::wstring& to);
// Copies one file, overwriting the target (CopyFileW with overwrite allowed). Copying a file
// onto itself fails and leaves it untouched. On POSIX a replaced file keeps its permission bits
// (an execute bit survives) and a new one gets the source's.
bool CopyOneFile(const std::wstring& from, const std::wstring& to);
// Free bytes available to the caller on the volume holding `folder`.
bool FreeDiskSpace(const std::wstring& folder, uint64_t* freeBytes);

// Program files: whether a file carries the execute permission, and granting it (to whoever may
// read the file). Windows has no such bit: a file counts as not marked and marking succeeds.
bool IsExecutableFile(const std::wstring& path);
bool MarkExecutable(const std::wstring& path);

// Opens a file like fopen (mode is a narrow fopen mode, e.g. "rb", "wb", "ab"). Null on failure.
// Files opened here are not inherited by programs started with LaunchProgram.
std::FILE* OpenFile(const std::wstring& path, const char* mode);
// Seek/tell with 64-bit offsets.
bool SeekFile(std::FILE* file, int64_t offset, int origin);
int64_t TellFile(std::FILE* file);

struct FileTraits {
    using Handle = std::FILE*;
    static std::FILE* Empty() { return nullptr; }
    static bool IsValid(std::FILE* f) { return f != nullptr; }
    // False when buffered data could not be written.
    static bool Close(std::FILE* f) { return std::fclose(f) == 0; }
};

// Owner of a FILE* (see platform/unique_handle.h).
class File : public UniqueHandle<FileTraits> {
  public:
    using UniqueHandle::UniqueHandle;
    File() = default;
    File(const std::wstring& path, const char* mode) : UniqueHandle(OpenFile(path, mode)) {}
};

// Whole-file helpers (binary). ReadFileBytes fails for a missing file.
bool ReadFileBytes(const std::wstring& path, std::string* contents);
bool WriteFileBytes(const std::wstring& path, const std::string& contents);
// Creates `path`, which must not exist yet, readable and writable by its owner only (POSIX mode
// 0600; on Windows the folder's inherited permissions), and writes `contents` to it. False, with
// LastSystemError set, when the file exists or cannot be written; a partly written file is
// removed.
bool WriteNewPrivateFile(const std::wstring& path, const std::string& contents);

// Moves the file `from` to `to` in one step, replacing a file there, once its data is on the
// disk: MoveFileExW with MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH on Windows; fsync,
// rename and an fsync of the folder elsewhere. Both must be on one volume.
bool MoveIntoPlace(const std::wstring& from, const std::wstring& to);
// Writes `contents` to `path` + ".tmp" and moves that into place, so an interruption leaves the
// old file or the new one, never a truncated one. On failure the temporary file is removed and
// LastSystemError() holds the code of the failed step; the folder must exist.
bool WriteFileAtomically(const std::wstring& path, const std::string& contents);

}  // namespace velka
