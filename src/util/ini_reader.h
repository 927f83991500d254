// Reader of key=value text with optional nested [section] headers.
//
// The constructor reads the whole stream; a grammar error throws std::runtime_error whose
// message is one of "no '=' found", "duplicated key found", "section with wrong depth",
// "duplicate section name on the same level", followed by " on line #N" (N counts every line
// read, blank and comment lines included).
//
// Grammar, on bytes (no encoding handling, a byte-order mark stays part of the first key): lines
// end at LF; each is trimmed of " \t\r\n"; empty lines and lines starting with "#" or ";" are
// skipped. "key = value": key and value trimmed, the value cut before its first "#", or when it
// has none before its first ";" (blanks before the comment stay). "[name]", "[[name]]", ...: the
// number of leading "[" is the depth, as many trailing characters are dropped unexamined; a
// header may go at most one level deeper than the current section and its name must be new
// under its parent.
#pragma once

#include <cstdint>
#include <istream>
#include <map>
#include <string>

namespace velka {

struct IniSection {
    std::map<std::string, std::string> values;
    std::map<std::string, IniSection> sections;
    IniSection* parent = nullptr;  // not owning; null for the root
    uint64_t depth = 0;

    // The value under `key`; a missing key is inserted with an empty value.
    std::string& Value(const std::string& key) { return values[key]; }
};

class IniReader {
  public:
    explicit IniReader(std::istream& input);
    IniReader(const IniReader&) = delete;
    IniReader& operator=(const IniReader&) = delete;

    IniSection& Root() { return root_; }
    uint64_t LineNumber() const { return lineNumber_; }

  private:
    void ParseLine(IniSection*& current);

    IniSection root_;
    std::istream& input_;
    std::string line_;
    uint64_t lineNumber_ = 0;
};

}  // namespace velka
