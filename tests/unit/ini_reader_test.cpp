#include "util/ini_reader.h"

#include <gtest/gtest.h>

#include <sstream>
#include <stdexcept>
#include <string>

namespace velka {
namespace {

// "key=value|" pairs, then "[name@depth]{...}" per child; every child's parent is checked.
std::string Dump(const IniSection& section) {
    std::string text;
    for (const auto& [key, value] : section.values) text += key + "=" + value + "|";
    for (const auto& [name, child] : section.sections) {
        EXPECT_EQ(child.parent, &section) << name;
        text += "[" + name + "@" + std::to_string(child.depth) + "]{" + Dump(child) + "}";
    }
    return text;
}

// The tree and the count of lines read, or the error text.
std::string Read(const std::string& text) {
    std::istringstream input(text);
    try {
        IniReader reader(input);
        EXPECT_EQ(reader.Root().parent, nullptr);
        return Dump(reader.Root()) + " #" + std::to_string(reader.LineNumber());
    } catch (const std::runtime_error& e) {
        return e.what();
    }
}

// The grammar: trimming, comments, sections found by depth, and the line each error names.
TEST(IniReaderTest, ReadsEachInputToItsTreeOrError) {
    const struct {
        std::string text, expected;
    } cases[] = {
        {"incrementVersion = 1.4.12\nuseZip=1\r\n  filelistURLs\t=\thttp://a/$http://b/  \n=x\n"
         "a=b=c\nempty=\nCase=upper\ncase=lower\nlast=no line feed",
         "=x|Case=upper|a=b=c|case=lower|empty=|filelistURLs=http://a/$http://b/|"
         "incrementVersion=1.4.12|last=no line feed|useZip=1| #9"},
        {"a=1 ; note\nb = True # note\nc=a;b#c\nd=a#b;c\ne=#all\nf=http://host/#frag\ng=  ;x",
         "a=1 |b=True |c=a;b|d=a|e=|f=http://host/|g=| #7"},
        {"\n   ; note\n\t# note\n#x=1\n;y=2\n \r\n\nk=v\n", "k=v| #8"},
        {"\xEF\xBB\xBFk=v", "\xEF\xBB\xBFk=v| #1"},  // a byte-order mark stays part of the key
        {"a=1\r\n[s]\r\nb=2\r\n", "a=1|[s@1]{b=2|} #3"},
        {"k=root\n[a]\nk=a\n[[c]]\n[[[deep]]]\nd=3\n[b]\nk=b\n[[c]]\nx=1\n[[d]]\n[e]\n",
         "k=root|[a@1]{k=a|[c@2]{[deep@3]{d=3|}}}[b@1]{k=b|[c@2]{x=1|}[d@2]{}}[e@1]{} #12"},
        // Closing characters are dropped by count, unexamined.
        {"[ a ]\n[a)\n[a] ; note\n[[b\n[[]\n[",
         "[@1]{}[ a @1]{}[a@1]{}[a] ; not@1]{[]@2]{}[b@2]{}} #6"},
        {"a=1\nno equals here\n", "no '=' found on line #2"},
        {"\n\n; c\nbroken", "no '=' found on line #4"},
        {"bad\n[[x]]\n", "no '=' found on line #1"},
        {"a=1\n a = 9 \n", "duplicated key found on line #2"},
        {"[a]\nk=1\nk=2\n", "duplicated key found on line #3"},
        {"[[x]]\n", "section with wrong depth on line #1"},
        {"[a]\n[[b]]\n[[[[c]]]]\n", "section with wrong depth on line #3"},
        {"[a]\n[b]\n[a]\n", "duplicate section name on the same level on line #3"},
        {"[a]\n[[c]]\n[[c]]\n", "duplicate section name on the same level on line #3"},
    };
    for (const auto& c : cases) EXPECT_EQ(Read(c.text), c.expected) << "text: " << c.text;
}

}  // namespace
}  // namespace velka
