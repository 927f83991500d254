#include "support/zip_builder.h"

#include <minizip/zip.h>

#include "platform/text.h"

namespace velka {
namespace testing_support {

bool WriteZip(const std::wstring& path, const std::vector<ZipItem>& items) {
    zipFile zip = zipOpen64(ToNarrow(path).c_str(), APPEND_STATUS_CREATE);
    if (zip == nullptr) return false;
    bool ok = true;
    for (const ZipItem& item : items) {
        zip_fileinfo info = {};
        info.external_fa = item.externalAttributes;
        const int method = item.stored ? 0 : Z_DEFLATED;
        const int level = item.stored ? 0 : Z_DEFAULT_COMPRESSION;
        if (zipOpenNewFileInZip64(zip, item.name.c_str(), &info, nullptr, 0, nullptr, 0, nullptr,
                                  method, level, 0) != ZIP_OK) {
            ok = false;
            break;
        }
        if (!item.data.empty() &&
            zipWriteInFileInZip(zip, item.data.data(), static_cast<unsigned>(item.data.size())) !=
                ZIP_OK) {
            ok = false;
        }
        if (zipCloseFileInZip(zip) != ZIP_OK) ok = false;
        if (!ok) break;
    }
    if (zipClose(zip, nullptr) != ZIP_OK) ok = false;
    return ok;
}

}  // namespace testing_support
}  // namespace velka
