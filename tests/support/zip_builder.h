// Zip archives for tests, written with minizip; names are stored byte for byte, so hostile
// archives ("../x", "/abs", "C:/x", 600-byte names) can be built.
#pragma once

#include <minizip/zip.h>

#include <cstdint>
#include <string>
#include <vector>

#include "platform/text.h"

namespace velka {
namespace testing_support {

struct ZipItem {
    std::string name;
    std::string data;
    bool stored = false;              // true: no compression
    uint32_t externalAttributes = 0;  // e.g. 16, the DOS folder attribute
};

inline ZipItem ZipFolder(const std::string& name) {  // `name` ends in "/"
    return ZipItem{name, "", true, 16};
}

// Creates (or replaces) the archive at `path`. False when minizip refused a step.
inline bool WriteZip(const std::wstring& path, const std::vector<ZipItem>& items) {
    zipFile zip = zipOpen64(ToNarrow(path).c_str(), APPEND_STATUS_CREATE);
    bool ok = zip != nullptr;
    for (size_t i = 0; ok && i < items.size(); ++i) {
        const ZipItem& item = items[i];
        zip_fileinfo info = {};
        info.external_fa = item.externalAttributes;
        ok = zipOpenNewFileInZip64(zip, item.name.c_str(), &info, nullptr, 0, nullptr, 0, nullptr,
                                   item.stored ? 0 : Z_DEFLATED,
                                   item.stored ? 0 : Z_DEFAULT_COMPRESSION, 0) == ZIP_OK &&
             (item.data.empty() ||
              zipWriteInFileInZip(zip, item.data.data(), static_cast<unsigned>(item.data.size())) ==
                  ZIP_OK);
        ok = zipCloseFileInZip(zip) == ZIP_OK && ok;
    }
    return zip != nullptr && zipClose(zip, nullptr) == ZIP_OK && ok;
}

}  // namespace testing_support
}  // namespace velka
