#include "publish/package_writer.h"

#include <minizip/zip.h>

#include <cstdio>
#include <memory>

#include "platform/fs.h"
#include "platform/text.h"
#include "transfer/zip_file_io.h"

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

// Creates the archive `path` through the wide-path file functions.
ZipFileOwner CreateArchive(const std::wstring& path) {
    zlib_filefunc64_def functions = WideZipFileFunctions(nullptr);
    return ZipFileOwner(zipOpen2_64(&path, APPEND_STATUS_CREATE, nullptr, &functions));
}

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
    if (zipOpenNewFileInZip4_64(zip, item.entryName.c_str(), &info, nullptr, 0, nullptr, 0, nullptr,
                                Z_DEFLATED, kCompressionLevel, 0, -MAX_WBITS, DEF_MEM_LEVEL,
                                Z_DEFAULT_STRATEGY, nullptr, 0, kMadeByUnix, 0, zip64) != ZIP_OK) {
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
        const bool fits = !groups.empty() && sizes[i] <= limit && groupBytes <= limit - sizes[i] &&
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
    ZipFileOwner archive = CreateArchive(zipPath);
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
