#include "publish/folder_scan.h"

#include <algorithm>

#include "util/strings.h"

namespace velka {

namespace fs = std::filesystem;

bool SortedFolderEntries(const fs::path& folder, std::vector<fs::directory_entry>* entries,
                         std::error_code* ec) {
    entries->clear();
    ec->clear();
    for (fs::directory_iterator it(folder, *ec); !*ec && it != fs::directory_iterator();
         it.increment(*ec)) {
        entries->push_back(*it);
    }
    if (*ec) return false;
    std::sort(entries->begin(), entries->end(),
              [](const fs::directory_entry& a, const fs::directory_entry& b) {
                  return a.path().filename().native() < b.path().filename().native();
              });
    return true;
}

std::string CaseClashCheck::Add(const std::string& name) {
    const auto [other, inserted] = byLowerName_.emplace(AsciiLower(name), name);
    return inserted ? std::string() : other->second;
}

}  // namespace velka
