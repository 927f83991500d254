// Zip archives for tests, written with minizip. Entry names are stored byte for byte, so tests can
// build the hostile archives the extractor must refuse ("../x", "/abs", "C:/x", 600-byte names).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace velka {
namespace testing_support {

struct ZipItem {
    std::string name;
    std::string data;
    bool stored = false;              // true: no compression
    uint32_t externalAttributes = 0;  // e.g. 16, the DOS folder attribute
};

// A folder entry: `name` should end in "/".
inline ZipItem ZipFolder(const std::string& name) {
    return ZipItem{name, "", true, 16};
}

// Creates (or replaces) the archive at `path`. False when minizip refused a step.
bool WriteZip(const std::wstring& path, const std::vector<ZipItem>& items);

}  // namespace testing_support
}  // namespace velka
