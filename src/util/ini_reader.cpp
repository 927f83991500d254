#include "util/ini_reader.h"

#include <stdexcept>

#include "util/strings.h"

namespace velka {

IniReader::IniReader(std::istream& input) : input_(input) {
    IniSection* current = &root_;
    // getline splits at 0x0A only and still yields a last line that has no line feed.
    while (std::getline(input_, line_)) {
        ++lineNumber_;
        ParseLine(current);
    }
}

void IniReader::ParseLine(IniSection*& current) {
    auto fail = [this](const char* text) {
        throw std::runtime_error(std::string(text) + " on line #" + std::to_string(lineNumber_));
    };

    const std::string line = Trim(line_);
    if (line.empty() || line[0] == '#' || line[0] == ';') return;

    if (line[0] == '[') {
        const size_t depth = line.find_first_not_of('[') == std::string::npos
                                 ? line.size()
                                 : line.find_first_not_of('[');
        std::string name = line.substr(depth);
        // The closing brackets are dropped by count, not checked.
        if (name.size() >= depth) name.resize(name.size() - depth);
        if (depth > current->depth + 1) fail("section with wrong depth");

        IniSection* parent = current;
        if (depth != current->depth + 1) {
            for (uint64_t steps = current->depth - depth + 1; steps > 0; --steps) {
                parent = parent->parent;
            }
        }
        IniSection& section = parent->sections[name];
        if (section.depth != 0) fail("duplicate section name on the same level");
        section.depth = depth;
        section.parent = parent;
        current = &section;
        return;
    }

    const size_t equals = line.find('=');
    if (equals == std::string::npos) fail("no '=' found");
    const std::string key = Trim(line.substr(0, equals));
    std::string value = Trim(line.substr(equals + 1));
    // "#" ends the value even when a ";" comes first; blanks before the comment stay.
    size_t comment = value.find('#');
    if (comment == std::string::npos) comment = value.find(';');
    if (comment != std::string::npos) value.resize(comment);
    if (!current->values.emplace(key, value).second) fail("duplicated key found");
}

}  // namespace velka
