// Zip packages of a full update: how the game is split into packages, and how one is written.
//
// Packages are reproducible: the same files in the same order give the same bytes, whatever the
// host, its clock or its file attributes (fixed 1980-01-01 timestamps, fixed compression level,
// no extra fields, no comments, "made by" MS-DOS).
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace velka {

// Splits items of the given uncompressed sizes, kept in their order, into consecutive groups:
// a group takes items while its total stays within `limit`, then the next group starts. An item
// larger than `limit` on its own gets a group of its own. A group also ends at
// kMaxEntriesPerPackage items: a zip without zip64 end records counts at most 65535 entries, and
// readers would silently see only that many. Every item lands in exactly one group; no group is
// empty.
constexpr size_t kMaxEntriesPerPackage = 65535;
std::vector<std::vector<size_t>> PlanPackages(const std::vector<uint64_t>& sizes, uint64_t limit);

struct PackageItem {
    std::string entryName;  // as stored in the archive, "/"-separated, e.g. "velka_win/a/b.txt"
    std::wstring source;    // the file whose bytes become the entry
    uint64_t size = 0;      // expected length of `source`; a different length is an error
};

// Writes a new archive at `zipPath` (replacing any file there) holding one deflated file entry
// per item, in order. False with a one-line reason in `error` when a source cannot be read, has
// changed its length, or the archive cannot be written; a partly written archive may remain.
// `onRead`, when set, is told the length of every piece of source bytes compressed.
bool WritePackage(const std::wstring& zipPath, const std::vector<PackageItem>& items,
                  std::string* error, const std::function<void(uint64_t)>& onRead = {});

}  // namespace velka
