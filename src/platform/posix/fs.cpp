#include "platform/fs.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <functional>

#include "platform/posix/handles.h"
#include "platform/text.h"

namespace velka {

namespace {

using posix::UniqueDir;
using posix::UniqueFd;

std::string Narrow(const std::wstring& path) {
    return ToNarrow(path);
}

bool IsNotFound(int code) {
    return code == ENOENT || code == ENOTDIR;
}

// Calls `visit` for every entry of `folder` except "." and "..". False when the folder cannot be
// opened or read, or when `visit` returns false (errno as left by the failure).
bool ForEachEntry(const std::wstring& folder,
                  const std::function<bool(const char* name, const std::wstring& path)>& visit) {
    UniqueDir dir(opendir(Narrow(folder).c_str()));
    if (!dir.valid()) return false;
    for (;;) {
        errno = 0;
        const dirent* entry = readdir(dir.get());
        if (entry == nullptr) return errno == 0;
        const char* name = entry->d_name;
        if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) continue;
        if (!visit(name, JoinPath(folder, ToWide(name)))) return false;
    }
}

// The entry itself, not what a symbolic link points to.
bool IsRealDirectory(const std::wstring& path) {
    struct stat st;
    return lstat(Narrow(path).c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool WriteAll(int fd, const char* data, size_t size) {
    while (size > 0) {
        const ssize_t n = write(fd, data, size);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

bool SameFile(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

}  // namespace

uint32_t LastSystemError() {
    return static_cast<uint32_t>(errno);
}
void SetLastSystemError(uint32_t code) {
    errno = static_cast<int>(code);
}

std::wstring ModulePath() {
    std::string buffer(260, '\0');
    for (;;) {
        const ssize_t n = readlink("/proc/self/exe", &buffer[0], buffer.size());
        if (n < 0) return std::wstring();
        // readlink truncates silently: a result that fills the buffer may be cut short.
        if (static_cast<size_t>(n) < buffer.size()) {
            buffer.resize(static_cast<size_t>(n));
            return ToWide(buffer);
        }
        buffer.resize(buffer.size() + 260);
    }
}

std::wstring ModuleDirectory() {
    const std::wstring path = ModulePath();
    const size_t cut = path.find_last_of(L"\\/");
    return cut == std::wstring::npos ? path : path.substr(0, cut);
}

bool FileExists(const std::wstring& path) {
    struct stat st;
    return stat(Narrow(path).c_str(), &st) == 0 && !S_ISDIR(st.st_mode);
}

bool DirectoryExists(const std::wstring& path) {
    struct stat st;
    return stat(Narrow(path).c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool CreateDirectories(const std::wstring& path) {
    const size_t last = path.find_last_of(L"\\/");
    size_t pos = 0;
    for (;;) {
        // Searching from pos + 1 never makes an empty prefix out of a leading "/".
        pos = path.find_first_of(L"\\/", pos + 1);
        const std::wstring prefix = pos == std::wstring::npos ? path : path.substr(0, pos);
        const bool deepest = pos >= last;
        if (mkdir(Narrow(prefix).c_str(), 0777) != 0) {
            const int code = errno;
            if (code != EEXIST && code != EACCES) return false;
            // A refused prefix is fine on the way down, where the next mkdir shows whether it
            // really is a folder; the deepest one must be checked here.
            if (deepest && !DirectoryExists(prefix)) {
                errno = code;
                return false;
            }
        }
        if (deepest) return true;
    }
}

bool CopyTree(const std::wstring& source, const std::wstring& destination) {
    std::wstring destinationFolder = destination;
    if (destinationFolder.empty() || !IsSeparator(destinationFolder.back())) {
        destinationFolder += kPathSeparator;
    }
    if (!CreateDirectories(destinationFolder)) return false;

    const bool ok = ForEachEntry(source, [&](const char* name, const std::wstring& from) {
        const std::wstring to = JoinPath(destination, ToWide(name));
        if (IsRealDirectory(from)) return CopyTree(from, to);
        return CopyOneFile(from, to);
    });
    if (ok) return true;
    // Nothing to copy from a source that is not there; any other failure is reported, since
    // skipping an unreadable folder would lose its files silently.
    const int code = errno;
    if (IsNotFound(code) && !DirectoryExists(source)) return true;
    errno = code;
    return false;
}

uint64_t DirectorySize(const std::wstring& folder) {
    uint64_t total = 0;
    ForEachEntry(folder, [&](const char*, const std::wstring& path) {
        const std::string narrow = Narrow(path);
        struct stat st;
        if (lstat(narrow.c_str(), &st) != 0) return true;
        if (S_ISDIR(st.st_mode)) {
            total += DirectorySize(path);
            return true;
        }
        if (S_ISLNK(st.st_mode)) return true;  // a link's target is not part of the tree
        UniqueFd fd(open(narrow.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
        if (fd.valid() && fstat(fd.get(), &st) == 0 && S_ISREG(st.st_mode)) {
            total += static_cast<uint64_t>(st.st_size);
        }
        return true;
    });
    return total;
}

bool ListDirectory(const std::wstring& folder, std::vector<DirEntry>* entries) {
    entries->clear();
    return ForEachEntry(folder, [&](const char* name, const std::wstring& path) {
        DirEntry entry;
        entry.name = ToWide(name);
        struct stat st;
        const std::string narrow = Narrow(path);
        if (lstat(narrow.c_str(), &st) == 0) {
            entry.isDirectory = S_ISDIR(st.st_mode);
            if (S_ISLNK(st.st_mode) && stat(narrow.c_str(), &st) != 0) st.st_size = 0;
            if (!entry.isDirectory && S_ISREG(st.st_mode)) {
                entry.size = static_cast<uint64_t>(st.st_size);
            }
        }
        entries->push_back(std::move(entry));
        return true;
    });
}

int64_t FileSize64(const std::wstring& path) {
    struct stat st;
    if (stat(Narrow(path).c_str(), &st) != 0) return -1;
    if (S_ISDIR(st.st_mode)) {
        errno = EISDIR;
        return -1;
    }
    return static_cast<int64_t>(st.st_size);
}

bool RemoveFile(const std::wstring& path) {
    return unlink(Narrow(path).c_str()) == 0;
}

bool RemoveEmptyFolder(const std::wstring& path) {
    return rmdir(Narrow(path).c_str()) == 0;
}

bool RenamePath(const std::wstring& from, const std::wstring& to) {
    const std::string source = Narrow(from);
    const std::string target = Narrow(to);
#ifdef SYS_renameat2
    constexpr unsigned kRenameNoReplace = 1;  // RENAME_NOREPLACE
    if (syscall(SYS_renameat2, AT_FDCWD, source.c_str(), AT_FDCWD, target.c_str(),
                kRenameNoReplace) == 0) {
        return true;
    }
    // Old kernels and some file systems do not know the flag; anything else is the real answer.
    if (errno != ENOSYS && errno != EINVAL) return false;
#endif
    // Not atomic, but rename() alone would replace a file or an empty folder silently.
    struct stat st;
    if (lstat(target.c_str(), &st) == 0) {
        errno = EEXIST;
        return false;
    }
    return rename(source.c_str(), target.c_str()) == 0;
}

bool MoveIntoPlace(const std::wstring& from, const std::wstring& to) {
    const std::string source = Narrow(from);
    const std::string target = Narrow(to);
    {
        UniqueFd data(open(source.c_str(), O_RDONLY | O_CLOEXEC));
        if (!data.valid() || fsync(data.get()) != 0) return false;
    }
    if (rename(source.c_str(), target.c_str()) != 0) return false;
    // The new name reaches the disk with its folder. The move has happened either way.
    const size_t cut = target.find_last_of('/');
    const std::string folder =
        cut == std::string::npos ? std::string(".") : target.substr(0, cut == 0 ? 1 : cut);
    UniqueFd directory(open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (directory.valid()) fsync(directory.get());
    return true;
}

bool CopyOneFile(const std::wstring& from, const std::wstring& to) {
    UniqueFd in(open(Narrow(from).c_str(), O_RDONLY | O_CLOEXEC));
    if (!in.valid()) return false;
    struct stat source;
    if (fstat(in.get(), &source) != 0) return false;
    if (S_ISDIR(source.st_mode)) {
        errno = EISDIR;
        return false;
    }
    // A file that is replaced keeps its permissions (a game's execute bit survives an update);
    // a new one gets the source's.
    struct stat existing;
    const bool replacing = stat(Narrow(to).c_str(), &existing) == 0;
    // No O_TRUNC yet: the target may be the source itself under another name, which truncation
    // would destroy.
    UniqueFd out(open(Narrow(to).c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, source.st_mode & 07777));
    if (!out.valid()) return false;
    struct stat target;
    if (fstat(out.get(), &target) != 0) return false;
    if (SameFile(source, target)) {
        errno = EINVAL;
        return false;
    }
    if (ftruncate(out.get(), 0) != 0) return false;
    if (!replacing && fchmod(out.get(), source.st_mode & 07777) != 0) return false;
    char buffer[64 * 1024];
    for (;;) {
        const ssize_t n = read(in.get(), buffer, sizeof buffer);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (n == 0) break;
        if (!WriteAll(out.get(), buffer, static_cast<size_t>(n))) return false;
    }
    return out.Close();
}

bool FreeDiskSpace(const std::wstring& folder, uint64_t* freeBytes) {
    struct statvfs st;
    if (statvfs(Narrow(folder).c_str(), &st) != 0) return false;
    *freeBytes = static_cast<uint64_t>(st.f_bavail) * static_cast<uint64_t>(st.f_frsize);
    return true;
}

bool WriteNewPrivateFile(const std::wstring& path, const std::string& contents) {
    const int fd = open(Narrow(path).c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) return false;
    const bool written = WriteAll(fd, contents.data(), contents.size());
    const int code = errno;
    if (close(fd) == 0 && written) return true;
    unlink(Narrow(path).c_str());
    errno = written ? EIO : code;
    return false;
}

std::FILE* OpenFile(const std::wstring& path, const char* mode) {
    // "e" (O_CLOEXEC) keeps the descriptor out of programs started by LaunchProgram.
    std::string flags = mode;
    if (flags.find('e') == std::string::npos) flags += 'e';
    return std::fopen(Narrow(path).c_str(), flags.c_str());
}

bool SeekFile(std::FILE* file, int64_t offset, int origin) {
    return fseeko(file, static_cast<off_t>(offset), origin) == 0;
}

int64_t TellFile(std::FILE* file) {
    return static_cast<int64_t>(ftello(file));
}

}  // namespace velka

namespace velka {

bool IsExecutableFile(const std::wstring& path) {
    struct stat info;
    return stat(ToNarrow(path).c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
           (info.st_mode & S_IXUSR) != 0;
}

bool MarkExecutable(const std::wstring& path) {
    const std::string narrow = ToNarrow(path);
    struct stat info;
    if (stat(narrow.c_str(), &info) != 0) return false;
    // Execute for everyone who may read it, like a freshly built program.
    const mode_t read = info.st_mode & (S_IRUSR | S_IRGRP | S_IROTH);
    return chmod(narrow.c_str(), (info.st_mode & 07777) | (read >> 2)) == 0;
}

}  // namespace velka
