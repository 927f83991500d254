#include "publish/package_writer.h"

#include <minizip/zip.h>

#include <cstdio>
#include <memory>

#include "platform/fs.h"
#include "platform/text.h"

namespace velka {

namespace {

// Fixed so that a package depends on its files only. 6 is zlib's own default trade-off.
constexpr int kCompressionLevel = 6;
// MS-DOS date and time of 1980-01-01 00:00:00, the earliest a zip entry can carry: date in the
// high word (day 1, month 1, year 1980 + 0), time 0.
constexpr uLong kFixedDosDate = (1u << 5 | 1u) << 16;
// Entries whose data may reach 4 GiB once deflated (incompressible data grows slightly) need the
// zip64 local header; below this, the plain header keeps archives readable by every unzipper.
constexpr uint64_t kZip64Threshold = 0xF0000000ull;
constexpr size_t kReadPiece = 64 * 1024;

// --- minizip file functions over wide paths -------------------------------------------------
// minizip's own functions take a narrow path, which on Windows cannot name every folder.

voidpf ZCALLBACK OpenWide(voidpf, const void* filename, int mode) {
    if (filename == nullptr) return nullptr;
    const char* fopenMode = "rb";
    if (mode & ZLIB_FILEFUNC_MODE_CREATE) {
        fopenMode = "w+b";
    } else if (mode & ZLIB_FILEFUNC_MODE_EXISTING) {
        fopenMode = "r+b";
    }
    auto file = std::make_unique<File>(*static_cast<const std::wstring*>(filename), fopenMode);
    if (!*file) return nullptr;
    return file.release();
}

uLong ZCALLBACK ReadWide(voidpf, voidpf handle, void* buffer, uLong size) {
    return static_cast<uLong>(std::fread(buffer, 1, size, static_cast<File*>(handle)->get()));
}

uLong ZCALLBACK WriteWide(voidpf, voidpf handle, const void* buffer, uLong size) {
    return static_cast<uLong>(std::fwrite(buffer, 1, size, static_cast<File*>(handle)->get()));
}

ZPOS64_T ZCALLBACK TellWide(voidpf, voidpf handle) {
    const int64_t position = TellFile(static_cast<File*>(handle)->get());
    return position < 0 ? static_cast<ZPOS64_T>(-1) : static_cast<ZPOS64_T>(position);
}

long ZCALLBACK SeekWide(voidpf, voidpf handle, ZPOS64_T offset, int origin) {
    int whence = SEEK_SET;
    if (origin == ZLIB_FILEFUNC_SEEK_CUR) whence = SEEK_CUR;
    if (origin == ZLIB_FILEFUNC_SEEK_END) whence = SEEK_END;
    return SeekFile(static_cast<File*>(handle)->get(), static_cast<int64_t>(offset), whence) ? 0
                                                                                             : -1;
}

int ZCALLBACK CloseWide(voidpf, voidpf handle) {
    std::unique_ptr<File> file(static_cast<File*>(handle));
    // A failed close is how a full disk shows up after buffered writes.
    return file->Close() ? 0 : -1;
}

int ZCALLBACK ErrorWide(voidpf, voidpf handle) {
    return std::ferror(static_cast<File*>(handle)->get()) ? 1 : 0;
}

// Move-only owner of an archive being written.
class ZipArchiveWriter {
  public:
    explicit ZipArchiveWriter(const std::wstring& path) : path_(path) {
        zlib_filefunc64_def functions = {};
        functions.zopen64_file = OpenWide;
        functions.zread_file = ReadWide;
        functions.zwrite_file = WriteWide;
        functions.ztell64_file = TellWide;
        functions.zseek64_file = SeekWide;
        functions.zclose_file = CloseWide;
        functions.zerror_file = ErrorWide;
        functions.opaque = nullptr;
        // minizip hands the path back to OpenWide only during this call.
        handle_ = zipOpen2_64(&path_, APPEND_STATUS_CREATE, nullptr, &functions);
    }
    ~ZipArchiveWriter() { Close(); }
    ZipArchiveWriter(ZipArchiveWriter&& other) noexcept
        : path_(std::move(other.path_)), handle_(other.handle_) {
        other.handle_ = nullptr;
    }
    ZipArchiveWriter& operator=(ZipArchiveWriter&& other) noexcept {
        if (this != &other) {
            Close();
            path_ = std::move(other.path_);
            handle_ = other.handle_;
            other.handle_ = nullptr;
        }
        return *this;
    }
    ZipArchiveWriter(const ZipArchiveWriter&) = delete;
    ZipArchiveWriter& operator=(const ZipArchiveWriter&) = delete;

    zipFile get() const { return handle_; }
    explicit operator bool() const { return handle_ != nullptr; }

    // Writes the central directory and closes the file; false when either failed.
    bool Close() {
        if (handle_ == nullptr) return true;
        const int result = zipClose(handle_, nullptr);
        handle_ = nullptr;
        return result == ZIP_OK;
    }

  private:
    std::wstring path_;
    zipFile handle_ = nullptr;
};

constexpr unsigned long kMadeByUnix = (3 << 8) | 45;

bool AddEntry(zipFile zip, const PackageItem& item, std::string* error,
              const std::function<void(uint64_t)>& onRead) {
    const std::string shownSource = ToNarrow(item.source);
    File source(item.source, "rb");
    if (!source) {
        *error =
            "cannot open " + shownSource + " (error " + std::to_string(LastSystemError()) + ")";
        return false;
    }

    zip_fileinfo info = {};
    info.dosDate = kFixedDosDate;
    // Unix permissions in the upper half, made-by host Unix: the launcher keeps execute bits, so
    // a program published from a Unix build stays runnable there. Windows ignores them.
    const unsigned long mode = IsExecutableFile(item.source) ? 0100755 : 0100644;
    info.external_fa = mode << 16;
    const int zip64 = item.size >= kZip64Threshold ? 1 : 0;
    if (zipOpenNewFileInZip4_64(zip, item.entryName.c_str(), &info, nullptr, 0, nullptr, 0,
                                nullptr, Z_DEFLATED, kCompressionLevel, 0, -MAX_WBITS,
                                DEF_MEM_LEVEL, Z_DEFAULT_STRATEGY, nullptr, 0, kMadeByUnix, 0,
                                zip64) != ZIP_OK) {
        *error = "cannot add the entry " + item.entryName;
        return false;
    }
    std::unique_ptr<char[]> buffer(new char[kReadPiece]);
    uint64_t total = 0;
    bool ok = true;
    for (;;) {
        const size_t got = std::fread(buffer.get(), 1, kReadPiece, source.get());
        if (got == 0) break;
        total += got;
        if (zipWriteInFileInZip(zip, buffer.get(), static_cast<unsigned>(got)) != ZIP_OK) {
            *error = "cannot write the entry " + item.entryName;
            ok = false;
            break;
        }
        if (onRead) onRead(got);
    }
    if (ok && std::ferror(source.get())) {
        *error = "cannot read " + shownSource;
        ok = false;
    }
    if (ok && total != item.size) {
        *error = shownSource + " changed while it was published: " + std::to_string(total) +
                 " bytes instead of " + std::to_string(item.size);
        ok = false;
    }
    if (zipCloseFileInZip(zip) != ZIP_OK && ok) {
        *error = "cannot finish the entry " + item.entryName;
        ok = false;
    }
    return ok;
}

}  // namespace

std::vector<std::vector<size_t>> PlanPackages(const std::vector<uint64_t>& sizes, uint64_t limit) {
    std::vector<std::vector<size_t>> groups;
    uint64_t groupBytes = 0;
    for (size_t i = 0; i < sizes.size(); ++i) {
        const bool fits = !groups.empty() && sizes[i] <= limit &&
                          groupBytes <= limit - sizes[i] &&
                          groups.back().size() < kMaxEntriesPerPackage;
        if (!fits) {
            groups.emplace_back();
            groupBytes = 0;
        }
        groups.back().push_back(i);
        groupBytes += sizes[i];
    }
    return groups;
}

bool WritePackage(const std::wstring& zipPath, const std::vector<PackageItem>& items,
                  std::string* error, const std::function<void(uint64_t)>& onRead) {
    ZipArchiveWriter archive(zipPath);
    if (!archive) {
        *error = "cannot create the package " + ToNarrow(zipPath) + " (error " +
                 std::to_string(LastSystemError()) + ")";
        return false;
    }
    for (const PackageItem& item : items) {
        if (!AddEntry(archive.get(), item, error, onRead)) {
            *error = ToNarrow(zipPath) + ": " + *error;
            return false;
        }
    }
    if (!archive.Close()) {
        *error = "cannot finish the package " + ToNarrow(zipPath);
        return false;
    }
    return true;
}

}  // namespace velka
