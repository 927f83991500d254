// Files and folders. Paths are wide strings joined with the native separator (kPathSeparator).
// Functions report by their result; on failure LastSystemError() holds the system error code
// (GetLastError on Windows, errno elsewhere). Reentrant; nothing here throws.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace velka {

#ifdef _WIN32
constexpr wchar_t kPathSeparator = L'\\';
#else
constexpr wchar_t kPathSeparator = L'/';
#endif

// The system error code of the last failed call on this thread.
uint32_t LastSystemError();
void SetLastSystemError(uint32_t code);

// Backslashes and slashes in `path` become kPathSeparator.
std::wstring NativeSeparators(std::wstring path);
// base + separator + relative (relative's separators made native). An empty base gives relative.
std::wstring JoinPath(const std::wstring& base, const std::wstring& relative);
bool IsSeparator(wchar_t c);

// Full path of the running executable, and its folder (no trailing separator).
std::wstring ModulePath();
std::wstring ModuleDirectory();

bool FileExists(const std::wstring& path);
bool DirectoryExists(const std::wstring& path);

// Creates every missing folder of `path` up to its last separator; the last component is a
// folder only when `path` ends in a separator. "Already exists" and "access denied" on a prefix
// are tolerated (a drive root "C:" fails with one of them).
bool CreateDirectories(const std::wstring& path);

// Copies the tree below `source` into `destination`, overwriting files. Entries whose names
// begin with "." are skipped. Stops at the first failure (false, LastSystemError set); files
// copied before it stay. A source that cannot be enumerated copies nothing and returns true.
bool CopyTree(const std::wstring& source, const std::wstring& destination);

// Total bytes of all files below `folder`; 0 when it cannot be enumerated.
uint64_t DirectorySize(const std::wstring& folder);

struct DirEntry {
    std::wstring name;  // file name only; "." and ".." are never listed
    bool isDirectory = false;
    uint64_t size = 0;  // files only
};
// Lists the entries of a folder. False (LastSystemError set) when it cannot be enumerated.
bool ListDirectory(const std::wstring& folder, std::vector<DirEntry>* entries);

// Size of a file in bytes, or -1 when it does not exist or cannot be examined.
int64_t FileSize64(const std::wstring& path);

bool RemoveFile(const std::wstring& path);
bool RemoveEmptyFolder(const std::wstring& path);
// Renames a file or folder (_wrename / rename). Fails when the target exists.
bool RenamePath(const std::wstring& from, const std::wstring& to);
// Copies one file, overwriting the target (CopyFileW with overwrite allowed).
bool CopyOneFile(const std::wstring& from, const std::wstring& to);
// Free bytes available to the caller on the volume holding `folder`.
bool FreeDiskSpace(const std::wstring& folder, uint64_t* freeBytes);

// Opens a file like fopen (mode is a narrow fopen mode, e.g. "rb", "wb", "ab"). Null on failure.
std::FILE* OpenFile(const std::wstring& path, const char* mode);
// Seek/tell with 64-bit offsets.
bool SeekFile(std::FILE* file, int64_t offset, int origin);
int64_t TellFile(std::FILE* file);

// Move-only owner of a FILE*.
class File {
public:
    File() = default;
    explicit File(std::FILE* f) : f_(f) {}
    File(const std::wstring& path, const char* mode) : f_(OpenFile(path, mode)) {}
    ~File() { Close(); }
    File(File&& o) noexcept : f_(o.f_) { o.f_ = nullptr; }
    File& operator=(File&& o) noexcept {
        if (this != &o) {
            Close();
            f_ = o.f_;
            o.f_ = nullptr;
        }
        return *this;
    }
    File(const File&) = delete;
    File& operator=(const File&) = delete;

    std::FILE* get() const { return f_; }
    explicit operator bool() const { return f_ != nullptr; }
    // Closes the file; false when buffered data could not be written.
    bool Close() {
        bool ok = true;
        if (f_) ok = std::fclose(f_) == 0;
        f_ = nullptr;
        return ok;
    }

private:
    std::FILE* f_ = nullptr;
};

// Whole-file helpers (binary). ReadFileBytes fails for a missing file.
bool ReadFileBytes(const std::wstring& path, std::string* contents);
bool WriteFileBytes(const std::wstring& path, const std::string& contents);

}  // namespace velka
