#include "transfer/extract.h"

#include <cstdio>
#include <memory>

#include "patcher/maintenance.h"
#include "patcher/status.h"
#include "platform/fs.h"
#include "platform/text.h"
#include "util/logger.h"
#include "util/safe_path.h"

namespace velka {

namespace {

// Names this long or longer are refused: 511 bytes and a terminator is what the package format
// has always allowed.
constexpr size_t kNameBufferSize = 512;
// Pieces between the inflater and the file. Large enough that system calls do not matter next to
// inflating.
constexpr unsigned kWritePiece = 256u * 1024u;

// --- minizip file functions over wide paths -------------------------------------------------
//
// minizip's own functions take a narrow path, which on Windows cannot name every folder. These
// open through OpenFile and keep the position themselves: minizip seeks before every 16 KiB read
// of compressed data, and a seek to where the file already is would throw away the stdio buffer
// on some C runtimes.

struct OpenContext {
    bool opened = false;
    uint32_t openError = 0;
};

struct WideStream {
    File file;
    uint64_t position = 0;
    bool positionKnown = true;
};

voidpf ZCALLBACK OpenWide(voidpf opaque, const void* filename, int mode) {
    auto* context = static_cast<OpenContext*>(opaque);
    if (filename == nullptr) return nullptr;
    const char* fopenMode = "rb";
    if ((mode & ZLIB_FILEFUNC_MODE_READWRITEFILTER) != ZLIB_FILEFUNC_MODE_READ) {
        fopenMode = (mode & ZLIB_FILEFUNC_MODE_EXISTING) ? "r+b" : "wb";
    }
    auto stream = std::make_unique<WideStream>();
    stream->file = File(*static_cast<const std::wstring*>(filename), fopenMode);
    if (!stream->file) {
        context->openError = LastSystemError();
        return nullptr;
    }
    context->opened = true;
    return stream.release();
}

uLong ZCALLBACK ReadWide(voidpf, voidpf handle, void* buffer, uLong size) {
    auto* stream = static_cast<WideStream*>(handle);
    const size_t got = std::fread(buffer, 1, size, stream->file.get());
    stream->position += got;
    return static_cast<uLong>(got);
}

uLong ZCALLBACK WriteWide(voidpf, voidpf handle, const void* buffer, uLong size) {
    auto* stream = static_cast<WideStream*>(handle);
    const size_t put = std::fwrite(buffer, 1, size, stream->file.get());
    stream->position += put;
    return static_cast<uLong>(put);
}

ZPOS64_T ZCALLBACK TellWide(voidpf, voidpf handle) {
    auto* stream = static_cast<WideStream*>(handle);
    if (stream->positionKnown) return stream->position;
    const int64_t position = TellFile(stream->file.get());
    if (position < 0) return static_cast<ZPOS64_T>(-1);
    stream->position = static_cast<uint64_t>(position);
    stream->positionKnown = true;
    return stream->position;
}

long ZCALLBACK SeekWide(voidpf, voidpf handle, ZPOS64_T offset, int origin) {
    auto* stream = static_cast<WideStream*>(handle);
    if (origin == ZLIB_FILEFUNC_SEEK_SET && stream->positionKnown && offset == stream->position) {
        return 0;
    }
    int whence = SEEK_SET;
    if (origin == ZLIB_FILEFUNC_SEEK_CUR) whence = SEEK_CUR;
    if (origin == ZLIB_FILEFUNC_SEEK_END) whence = SEEK_END;
    stream->positionKnown = false;
    if (!SeekFile(stream->file.get(), static_cast<int64_t>(offset), whence)) return -1;
    if (whence == SEEK_SET) {
        stream->position = offset;
        stream->positionKnown = true;
    }
    return 0;
}

int ZCALLBACK CloseWide(voidpf, voidpf handle) {
    std::unique_ptr<WideStream> stream(static_cast<WideStream*>(handle));
    return stream->file.Close() ? 0 : -1;
}

int ZCALLBACK ErrorWide(voidpf, voidpf handle) {
    return std::ferror(static_cast<WideStream*>(handle)->file.get()) ? 1 : 0;
}

// Move-only owner of an open archive.
class Archive {
  public:
    Archive() = default;
    explicit Archive(unzFile handle) : handle_(handle) {}
    ~Archive() { Close(); }
    Archive(Archive&& other) noexcept : handle_(other.handle_) { other.handle_ = nullptr; }
    Archive& operator=(Archive&& other) noexcept {
        if (this != &other) {
            Close();
            handle_ = other.handle_;
            other.handle_ = nullptr;
        }
        return *this;
    }
    Archive(const Archive&) = delete;
    Archive& operator=(const Archive&) = delete;

    unzFile get() const { return handle_; }
    explicit operator bool() const { return handle_ != nullptr; }
    void Close() {
        if (handle_) unzClose(handle_);
        handle_ = nullptr;
    }

  private:
    unzFile handle_ = nullptr;
};

// minizip finds no end record at offset 0, so it cannot open an archive without entries: nothing
// but the 22-byte end record and its comment.
bool IsArchiveWithoutEntries(const std::wstring& path) {
    const int64_t size = FileSize64(path);
    if (size < 22 || size > 22 + 0xFFFF) return false;
    std::string bytes;
    if (!ReadFileBytes(path, &bytes) || bytes.size() != static_cast<size_t>(size)) return false;
    const auto u16 = [&](size_t at) {
        return static_cast<unsigned>(static_cast<unsigned char>(bytes[at])) |
               static_cast<unsigned>(static_cast<unsigned char>(bytes[at + 1])) << 8;
    };
    if (bytes.compare(0, 4, "PK\x05\x06") != 0) return false;
    // Entry counts, directory size and offset all zero; the comment fills the rest.
    for (size_t at = 4; at < 20; at += 2) {
        if (u16(at) != 0) return false;
    }
    return u16(20) == bytes.size() - 22;
}

// The code to report for a minizip failure: only UNZ_ERRNO comes from a system call.
uint32_t CodeForUnzipError(int error) {
    return error == UNZ_ERRNO ? LastSystemError() : 0;
}

struct EntryInfo {
    std::string name;
    bool isFolder = false;
    // Made on a Unix host with an execute bit: the unpacked file gets one too, so programs in a
    // package stay runnable where the system keeps such bits.
    bool executable = false;
};

constexpr unsigned kUnixHost = 3;

// Reads the current entry's record. False with *code set when minizip fails; a name that does
// not fit the buffer comes back with `name` cut to the buffer and `nameTooLong` set.
bool ReadEntryInfo(unzFile archive, EntryInfo* entry, bool* nameTooLong, uint32_t* code) {
    unz_file_info64 info;
    char name[kNameBufferSize] = {};
    const int error =
        unzGetCurrentFileInfo64(archive, &info, name, sizeof(name), nullptr, 0, nullptr, 0);
    if (error != UNZ_OK) {
        *code = CodeForUnzipError(error);
        return false;
    }
    *nameTooLong = info.size_filename >= kNameBufferSize;
    // Taken with its length: a NUL inside a name must not hide what follows it.
    entry->name.assign(name, *nameTooLong ? kNameBufferSize - 1 : info.size_filename);
    const char last = entry->name.empty() ? '\0' : entry->name.back();
    entry->isFolder = info.external_fa == 16 || last == '/' || last == '\\';
    entry->executable = (info.version >> 8) == kUnixHost && ((info.external_fa >> 16) & 0111) != 0;
    return true;
}

// Walks the central directory once and refuses the archive when one name could land outside the
// destination. Only the directory is read, so this costs little next to the unpacking.
bool CheckEntryNames(unzFile archive, uint64_t entryCount, Logger* logger, uint32_t* code) {
    for (uint64_t i = 0; i < entryCount; ++i) {
        if (i > 0) {
            const int error = unzGoToNextFile(archive);
            if (error != UNZ_OK) {
                *code = CodeForUnzipError(error);
                return false;
            }
        }
        EntryInfo entry;
        bool nameTooLong = false;
        if (!ReadEntryInfo(archive, &entry, &nameTooLong, code)) return false;
        if (nameTooLong || !IsSafeRelativePath(entry.name)) {
            if (logger) {
                logger->Error(std::string(nameTooLong ? "Zip entry name too long! Entry = "
                                                      : "Unsafe zip entry name! Entry = ") +
                              PrintableForLog(entry.name));
            }
            *code = 0;
            return false;
        }
    }
    const int error = unzGoToFirstFile(archive);
    if (error != UNZ_OK && entryCount > 0) {
        *code = CodeForUnzipError(error);
        return false;
    }
    return true;
}

bool UnpackEntries(unzFile archive, uint64_t entryCount, const std::wstring& destDir,
                   std::atomic<int64_t>* bytesDone, Logger* logger, uint32_t* code) {
    for (uint64_t i = 0; i < entryCount; ++i) {
        if (i > 0) {
            const int error = unzGoToNextFile(archive);
            if (error != UNZ_OK) {
                *code = CodeForUnzipError(error);
                return false;
            }
        }
        EntryInfo entry;
        bool nameTooLong = false;
        if (!ReadEntryInfo(archive, &entry, &nameTooLong, code)) return false;
        // Checked again: the names were screened, but this is the step that writes.
        if (nameTooLong || !IsSafeRelativePath(entry.name)) {
            *code = 0;
            return false;
        }
        const std::wstring target = JoinPath(destDir, ToWide(entry.name));

        if (entry.isFolder) {
            // A trailing separator makes CreateDirectories create the last component too.
            std::wstring folder = target;
            if (!IsSeparator(folder.back())) folder += kPathSeparator;
            if (!CreateDirectories(folder)) {
                *code = LastSystemError();
                return false;
            }
            continue;
        }

        const int openError = unzOpenCurrentFile(archive);
        if (openError != UNZ_OK) {
            *code = CodeForUnzipError(openError);
            return false;
        }
        const int written = WriteCurrentEntry(archive, target, bytesDone);
        if (written < 0) {
            // The write path leaves the system code when it failed on the file; a failed read of
            // the archive has none unless minizip says so.
            *code = written == UNZ_ERRNO ? LastSystemError() : 0;
            unzCloseCurrentFile(archive);
            return false;
        }
        if (entry.executable) MarkExecutable(target);
        if (unzCloseCurrentFile(archive) == UNZ_CRCERROR && logger) {
            logger->Error("Zip entry CRC mismatch! Entry = " + PrintableForLog(entry.name));
        }
    }
    return true;
}

}  // namespace

int WriteCurrentEntry(unzFile archive, const std::wstring& target,
                      std::atomic<int64_t>* bytesDone) {
    if (target.empty()) return -1;
    if (!CreateDirectories(target)) return -1;
    File file(target, "wb");
    if (!file) return -1;

    std::unique_ptr<char[]> buffer(new char[kWritePiece]);
    int got = 0;
    for (;;) {
        got = unzReadCurrentFile(archive, buffer.get(), kWritePiece);
        if (got <= 0) break;
        if (std::fwrite(buffer.get(), 1, static_cast<size_t>(got), file.get()) !=
            static_cast<size_t>(got)) {
            return -1;
        }
        if (bytesDone) *bytesDone += got;
    }
    // A full disk may only show when the last buffered bytes are written.
    if (!file.Close() && got == 0) return -1;
    return got;
}

bool UnzipArchive(const std::wstring& zipPath, const std::wstring& destDir,
                  std::atomic<int64_t>* bytesDone, Logger* logger) {
    OpenContext context;
    zlib_filefunc64_def functions = {};
    functions.zopen64_file = OpenWide;
    functions.zread_file = ReadWide;
    functions.zwrite_file = WriteWide;
    functions.ztell64_file = TellWide;
    functions.zseek64_file = SeekWide;
    functions.zclose_file = CloseWide;
    functions.zerror_file = ErrorWide;
    functions.opaque = &context;

    uint32_t code = 0;
    bool ok = false;
    {
        Archive archive(unzOpen2_64(&zipPath, &functions));
        unz_global_info64 global;
        if (!archive) {
            // Opened but not read as a zip file: no system call failed.
            code = context.opened ? 0 : context.openError;
            ok = context.opened && IsArchiveWithoutEntries(zipPath);
        } else if (const int error = unzGetGlobalInfo64(archive.get(), &global); error != UNZ_OK) {
            code = CodeForUnzipError(error);
        } else {
            ok = CheckEntryNames(archive.get(), global.number_entry, logger, &code) &&
                 UnpackEntries(archive.get(), global.number_entry, destDir, bytesDone, logger,
                               &code);
        }
    }
    // Closing the archive must not replace the code of the step that failed.
    if (!ok) SetLastSystemError(code);
    return ok;
}

bool ExtractPackages(Logger& logger, PatcherStatus& status, const std::wstring& baseDir,
                     const std::vector<PackageEntry>& packages, uint64_t unpackedTotal) {
    const std::wstring packageDir = JoinPath(baseDir, L"Package");
    const std::wstring zipDir = JoinPath(baseDir, L"Temp\\ZipUpdate");

    status.SetMessage(L"正在進行資源整理,如長時間卡頓可重開啓動器");
    DeleteTree(logger, packageDir);

    status.SetMessage(L"");
    status.SetState(PatcherState::Extracting);
    status.bytesDone = 0;
    status.bytesTotal = static_cast<int64_t>(unpackedTotal);

    for (const PackageEntry& package : packages) {
        const std::wstring zipPath = JoinPath(zipDir, ToWide(package.path));
        bool ok;
        if (IsSafeRelativePath(package.path)) {
            ok = UnzipArchive(zipPath, packageDir, &status.bytesDone, &logger);
        } else {
            // Lists from the parser never get here; a hand-made entry is not trusted either.
            SetLastSystemError(0);
            ok = false;
        }
        if (ok) continue;

        const uint32_t code = LastSystemError();
        logger.Error("Unzip failed! Zip path : " + ToNarrow(zipPath) + " Unzip path : " +
                     ToNarrow(packageDir) + " LastError = " + std::to_string(code));
        status.Fail(L"解壓失敗 請檢查本地壓縮包文件讀寫權限並重開啓動器 LastError(" +
                    std::to_wstring(code) + L")");
        return false;
    }
    return true;
}

}  // namespace velka
