// The archive reader on arbitrary bytes as a package file, unpacked into BASE/out: whatever the
// entries are called, nothing may appear in BASE beside "out".
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "platform/text.h"
#include "transfer/extract.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    namespace fs = std::filesystem;
    static const std::string base = "/tmp/velka_fuzz_archive_" + std::to_string(getpid());
    const std::string zip = base + ".zip";
    std::FILE* file = std::fopen(zip.c_str(), "wb");
    if (file == nullptr) __builtin_trap();
    std::fwrite(data, 1, size, file);
    std::fclose(file);
    velka::UnzipArchive(velka::ToWide(zip), velka::ToWide(base + "/out"));
    std::error_code ignored;
    for (const fs::directory_entry& e : fs::directory_iterator(base, ignored)) {
        if (e.path().filename() != "out") __builtin_trap();
    }
    fs::remove_all(base, ignored);
    return 0;
}
