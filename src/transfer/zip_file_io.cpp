#include "transfer/zip_file_io.h"

#include <cstdio>
#include <memory>

#include "platform/fs.h"

namespace velka {

namespace {

struct WideStream {
    File file;
    // Read-only streams only: where the file is, when known.
    bool cachesPosition = false;
    uint64_t position = 0;
    bool positionKnown = true;
};

voidpf ZCALLBACK OpenWide(voidpf opaque, const void* filename, int mode) {
    auto* opening = static_cast<ZipFileOpening*>(opaque);
    if (filename == nullptr) return nullptr;
    const char* fopenMode = "rb";
    if (mode & ZLIB_FILEFUNC_MODE_CREATE) {
        fopenMode = "w+b";
    } else if (mode & ZLIB_FILEFUNC_MODE_WRITE) {
        fopenMode = "r+b";
    }
    auto stream = std::make_unique<WideStream>();
    stream->file = File(*static_cast<const std::wstring*>(filename), fopenMode);
    if (!stream->file) {
        if (opening) opening->openError = LastSystemError();
        return nullptr;
    }
    stream->cachesPosition = (mode & ZLIB_FILEFUNC_MODE_WRITE) == 0;
    if (opening) opening->opened = true;
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
    if (stream->cachesPosition && stream->positionKnown) return stream->position;
    const int64_t position = TellFile(stream->file.get());
    if (position < 0) return static_cast<ZPOS64_T>(-1);
    stream->position = static_cast<uint64_t>(position);
    stream->positionKnown = true;
    return stream->position;
}

long ZCALLBACK SeekWide(voidpf, voidpf handle, ZPOS64_T offset, int origin) {
    auto* stream = static_cast<WideStream*>(handle);
    if (stream->cachesPosition && origin == ZLIB_FILEFUNC_SEEK_SET && stream->positionKnown &&
        offset == stream->position) {
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
    // A failed close is how a full disk shows up after buffered writes.
    return stream->file.Close() ? 0 : -1;
}

int ZCALLBACK ErrorWide(voidpf, voidpf handle) {
    return std::ferror(static_cast<WideStream*>(handle)->file.get()) ? 1 : 0;
}

}  // namespace

zlib_filefunc64_def WideZipFileFunctions(ZipFileOpening* opening) {
    zlib_filefunc64_def functions = {};
    functions.zopen64_file = OpenWide;
    functions.zread_file = ReadWide;
    functions.zwrite_file = WriteWide;
    functions.ztell64_file = TellWide;
    functions.zseek64_file = SeekWide;
    functions.zclose_file = CloseWide;
    functions.zerror_file = ErrorWide;
    functions.opaque = opening;
    return functions;
}

}  // namespace velka
