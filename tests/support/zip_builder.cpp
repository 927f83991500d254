#include "support/zip_builder.h"

#include <minizip/zip.h>

#include "platform/text.h"

namespace velka {
namespace testing_support {

bool WriteZip(const std::wstring& path, const std::vector<ZipItem>& items) {
    zipFile zip = zipOpen64(ToNarrow(path).c_str(), APPEND_STATUS_CREATE);
    if (zip == nullptr) return false;
    bool ok = true;
    for (size_t i = 0; ok && i < items.size(); ++i) {
        const ZipItem& item = items[i];
        zip_fileinfo info = {};
        info.external_fa = item.externalAttributes;
        ok = zipOpenNewFileInZip64(zip, item.name.c_str(), &info, nullptr, 0, nullptr, 0, nullptr,
                                   item.stored ? 0 : Z_DEFLATED,
                                   item.stored ? 0 : Z_DEFAULT_COMPRESSION, 0) == ZIP_OK;
        if (ok && !item.data.empty()) {
            ok = zipWriteInFileInZip(zip, item.data.data(),
                                     static_cast<unsigned>(item.data.size())) == ZIP_OK;
        }
        if (zipCloseFileInZip(zip) != ZIP_OK) ok = false;
    }
    return zipClose(zip, nullptr) == ZIP_OK && ok;
}

}  // namespace testing_support
}  // namespace velka
