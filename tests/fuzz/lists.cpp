// The file list and the package list; the first byte picks which. Whatever the text, every entry
// the parser keeps as well-formed has a path that stays inside its folder.
#include <string>
#include <vector>

#include "patcher/file_lists.h"
#include "patcher/status.h"
#include "util/logger.h"
#include "util/safe_path.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    static velka::Logger logger;
    static bool opened = (logger.Open("/dev/null"), true);
    (void)opened;
    velka::PatcherStatus status;
    const std::string text(reinterpret_cast<const char*>(data) + 1, size - 1);
    if (data[0] & 1) {
        std::vector<velka::FileEntry> entries;
        if (!velka::ParseFileList(logger, status, text, &entries)) return 0;
        for (const velka::FileEntry& e : entries) {
            if (!e.failed && !velka::IsSafeRelativePath(std::string(e.path))) __builtin_trap();
        }
    } else {
        std::vector<velka::PackageEntry> entries;
        uint64_t total = 0;
        if (!velka::ParsePackageList(logger, status, text, &entries, &total)) return 0;
        for (const velka::PackageEntry& e : entries) {
            if (!e.failed && (!velka::IsSafeRelativePath(e.path) || e.unpackedSize < 0))
                __builtin_trap();
        }
    }
    return 0;
}
