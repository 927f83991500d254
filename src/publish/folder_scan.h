// The publisher's walk over one folder: its entries in a fixed order, and the check that no two
// names in it are one file on Windows.
#pragma once

#include <filesystem>
#include <map>
#include <string>
#include <system_error>
#include <vector>

namespace velka {

// The entries of `folder` sorted by name, so the first problem reported does not depend on the
// enumeration order. False, with `*ec` set, when the folder cannot be read.
bool SortedFolderEntries(const std::filesystem::path& folder,
                         std::vector<std::filesystem::directory_entry>* entries,
                         std::error_code* ec);

// The names of one folder seen so far, by their ASCII-lowered form.
class CaseClashCheck {
  public:
    // Empty when no earlier name differs from `name` in ASCII letter case only; otherwise that
    // earlier name (on Windows the two are one file).
    std::string Add(const std::string& name);

  private:
    std::map<std::string, std::string> byLowerName_;
};

}  // namespace velka
