// minizip's file functions over wide paths, for reading packages and for writing them, and owners
// of the archives minizip opens through them.
//
// minizip's own functions take a narrow path, which on Windows cannot name every folder. These
// open through OpenFile; the path handed to unzOpen2_64 / zipOpen2_64 is a `const std::wstring*`
// that must live for that call only. An archive opened for reading keeps its position itself:
// minizip seeks before every 16 KiB read of compressed data, and a seek to where the file already
// is would throw away the stdio buffer on some C runtimes. One written to seeks and tells through
// the C runtime every time.
#pragma once

#include <minizip/ioapi.h>
#include <minizip/unzip.h>
#include <minizip/zip.h>

#include <cstdint>
#include <string>

#include "platform/unique_handle.h"

namespace velka {

// How the last open through the functions went: whether a file was opened, and otherwise the
// system error code of the failed open.
struct ZipFileOpening {
    bool opened = false;
    uint32_t openError = 0;
};

// The file functions; `opening` (may be null) records the opens and must outlive every use.
zlib_filefunc64_def WideZipFileFunctions(ZipFileOpening* opening);

struct UnzipTraits {
    using Handle = unzFile;
    static unzFile Empty() { return nullptr; }
    static bool IsValid(unzFile archive) { return archive != nullptr; }
    static bool Close(unzFile archive) { return unzClose(archive) == UNZ_OK; }
};

// Closing writes the central directory: a false Close means an unusable archive.
struct ZipTraits {
    using Handle = zipFile;
    static zipFile Empty() { return nullptr; }
    static bool IsValid(zipFile archive) { return archive != nullptr; }
    static bool Close(zipFile archive) { return zipClose(archive, nullptr) == ZIP_OK; }
};

using UnzFileOwner = UniqueHandle<UnzipTraits>;
using ZipFileOwner = UniqueHandle<ZipTraits>;

}  // namespace velka
