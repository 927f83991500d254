// The hash list, read alone (what it reads, written again, reads the same) and against a small
// file list.
#include <map>
#include <string>
#include <vector>

#include "patcher/file_lists.h"
#include "patcher/release_guard.h"
#include "patcher/release_record.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    std::map<std::string, std::string> hashes;
    std::string reason;
    if (velka::ParseHashList(text, &hashes, &reason)) {
        std::map<std::string, std::string> again;
        if (!velka::ParseHashList(velka::HashListText(hashes), &again, &reason) || again != hashes)
            __builtin_trap();
    }
    static std::vector<velka::FileEntry> entries(2);
    entries[0].path = "a.txt";
    entries[1].path = "b\\x.pak";
    std::vector<velka::Sha256Digest> digests;
    velka::HashListDigests(text, entries, &digests, &reason);
    return 0;
}
