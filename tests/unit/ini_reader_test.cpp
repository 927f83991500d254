#include "util/ini_reader.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>

namespace velka {
namespace {

// The error text of parsing `text`, or "" when it parses.
std::string ParseError(const std::string& text) {
    std::istringstream input(text);
    try {
        IniReader reader(input);
    } catch (const std::runtime_error& e) {
        return e.what();
    }
    return "";
}

TEST(IniReaderTest, ReadsTopLevelKeysAndValues) {
    std::istringstream input(
        "incrementVersion = 1.4.12\n"
        "useZip=1\r\n"
        "  filelistURLs\t=\thttp://a/$http://b/  \n"
        "=x\n"
        "a=b=c\n"
        "empty=\n"
        "inner key = inner value\n"
        "Case=upper\n"
        "case=lower\n"
        "last=no line feed");
    IniReader reader(input);
    IniSection& root = reader.Root();
    struct Case {
        const char* key;
        const char* value;
    };
    const Case cases[] = {
        {"incrementVersion", "1.4.12"},
        {"useZip", "1"},
        {"filelistURLs", "http://a/$http://b/"},
        {"", "x"},
        {"a", "b=c"},
        {"empty", ""},
        {"inner key", "inner value"},
        {"Case", "upper"},
        {"case", "lower"},
        {"last", "no line feed"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(root.Value(c.key), c.value) << "key \"" << c.key << "\"";
    }
    EXPECT_EQ(root.values.size(), 10u);
    EXPECT_EQ(reader.LineNumber(), 10u);
    EXPECT_TRUE(root.sections.empty());
}

TEST(IniReaderTest, InlineCommentsCutValuesAndKeepBlanksBeforeThem) {
    struct Case {
        const char* line;
        const char* value;
    };
    const Case cases[] = {
        {"key=1 ; note", "1 "},
        {"key = True # note", "True "},
        {"key=a;b#c", "a;b"},  // "#" wins even after a ";"
        {"key=a#b;c", "a"},
        {"key=#all comment", ""},
        {"key=http://host/#frag", "http://host/"},
        {"key=value   ", "value"},
        {"key=  ;x", ""},
    };
    for (const Case& c : cases) {
        std::istringstream input(c.line);
        IniReader reader(input);
        EXPECT_EQ(reader.Root().Value("key"), c.value) << "line \"" << c.line << "\"";
    }
}

TEST(IniReaderTest, BlankAndCommentLinesAreSkippedButCounted) {
    std::istringstream input("\n   ; note\n\t# note\n#x=1\n;y=2\n \r\n\n");
    IniReader reader(input);
    EXPECT_TRUE(reader.Root().values.empty());
    EXPECT_TRUE(reader.Root().sections.empty());
    EXPECT_EQ(reader.LineNumber(), 7u);
}

TEST(IniReaderTest, EmptyOrUnopenedStreamGivesEmptyRoot) {
    std::istringstream empty("");
    IniReader fromEmpty(empty);
    EXPECT_TRUE(fromEmpty.Root().values.empty());
    EXPECT_EQ(fromEmpty.LineNumber(), 0u);

    std::ifstream missing("this-file-does-not-exist-velka.ini");
    IniReader fromMissing(missing);
    EXPECT_TRUE(fromMissing.Root().values.empty());
    EXPECT_EQ(fromMissing.Root().Value("exitMode"), "");
}

TEST(IniReaderTest, CrLfLinesReadLikeLfLines) {
    std::istringstream lf("a=1\n[s]\nb=2\n");
    std::istringstream crlf("a=1\r\n[s]\r\nb=2\r\n");
    IniReader fromLf(lf);
    IniReader fromCrlf(crlf);
    EXPECT_EQ(fromCrlf.Root().values, fromLf.Root().values);
    ASSERT_EQ(fromCrlf.Root().sections.count("s"), 1u);
    EXPECT_EQ(fromCrlf.Root().sections.at("s").values, fromLf.Root().sections.at("s").values);
    EXPECT_EQ(fromCrlf.LineNumber(), fromLf.LineNumber());
}

TEST(IniReaderTest, MissingKeyReadsEmptyAndIsInserted) {
    std::istringstream input("a=1\n");
    IniReader reader(input);
    EXPECT_EQ(reader.Root().values.count("exitMode"), 0u);
    EXPECT_EQ(reader.Root().Value("exitMode"), "");
    EXPECT_EQ(reader.Root().values.count("exitMode"), 1u);
}

TEST(IniReaderTest, ByteOrderMarkStaysInFrontOfTheFirstKey) {
    std::istringstream input("\xEF\xBB\xBFlauncherVersion=3.1.2034\n");
    IniReader reader(input);
    EXPECT_EQ(reader.Root().Value("\xEF\xBB\xBFlauncherVersion"), "3.1.2034");
    EXPECT_EQ(reader.Root().Value("launcherVersion"), "");
}

TEST(IniReaderTest, GrammarErrorsNameTheirLine) {
    struct Case {
        const char* text;
        const char* error;
    };
    const Case cases[] = {
        {"a=1\nno equals here\n", "no '=' found on line #2"},
        {"\n\n; c\nbroken", "no '=' found on line #4"},
        {"a=1\nb=2\n\na=3\n", "duplicated key found on line #4"},
        {"a=1\n a = 9 \n", "duplicated key found on line #2"},
        {"[[x]]\n", "section with wrong depth on line #1"},
        {"[a]\n[[b]]\n[[[[c]]]]\n", "section with wrong depth on line #3"},
        {"[a]\n[b]\n[a]\n", "duplicate section name on the same level on line #3"},
        {"[a]\n[[c]]\n[[c]]\n", "duplicate section name on the same level on line #3"},
        {"[a]\nk=1\nk=2\n", "duplicated key found on line #3"},
        {"[]\n[]\n", "duplicate section name on the same level on line #2"},
        {"[a]\r\n\r\nx\r\n", "no '=' found on line #3"},
        // A key line is checked before its section could be: nothing after a failure is read.
        {"bad\n[[x]]\n", "no '=' found on line #1"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(ParseError(c.text), c.error) << "text \"" << c.text << "\"";
    }
}

TEST(IniReaderTest, SameKeyInDifferentSectionsIsAllowed) {
    std::istringstream input("k=root\n[a]\nk=a\n[b]\nk=b\n[[c]]\nk=c\n");
    IniReader reader(input);
    IniSection& root = reader.Root();
    EXPECT_EQ(root.Value("k"), "root");
    EXPECT_EQ(root.sections["a"].Value("k"), "a");
    EXPECT_EQ(root.sections["b"].Value("k"), "b");
    EXPECT_EQ(root.sections["b"].sections["c"].Value("k"), "c");
}

TEST(IniReaderTest, NestedSectionsFindTheirParentsByDepth) {
    std::istringstream input(
        "top=0\n"
        "[a]\n"
        "[[c]]\n"
        "[[[deep]]]\n"
        "d=3\n"
        "[b]\n"    // back from depth 3 to 1: a sibling of a
        "[[c]]\n"  // a second "c", under b
        "x=1\n"
        "[[d]]\n"  // a sibling of b's c
        "[e]\n");
    IniReader reader(input);
    IniSection& root = reader.Root();
    EXPECT_EQ(root.depth, 0u);
    EXPECT_EQ(root.parent, nullptr);
    ASSERT_EQ(root.sections.size(), 3u);

    IniSection& a = root.sections.at("a");
    IniSection& ac = a.sections.at("c");
    IniSection& deep = ac.sections.at("deep");
    IniSection& b = root.sections.at("b");
    IniSection& bc = b.sections.at("c");
    IniSection& bd = b.sections.at("d");
    struct Case {
        const char* name;
        IniSection* section;
        IniSection* parent;
        uint64_t depth;
    };
    const Case cases[] = {
        {"a", &a, &root, 1},
        {"a/c", &ac, &a, 2},
        {"a/c/deep", &deep, &ac, 3},
        {"b", &b, &root, 1},
        {"b/c", &bc, &b, 2},
        {"b/d", &bd, &b, 2},
        {"e", &root.sections.at("e"), &root, 1},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.section->parent, c.parent) << c.name;
        EXPECT_EQ(c.section->depth, c.depth) << c.name;
    }
    EXPECT_EQ(deep.Value("d"), "3");
    EXPECT_EQ(bc.Value("x"), "1");
    EXPECT_TRUE(ac.values.empty());
    EXPECT_EQ(root.Value("top"), "0");
}

TEST(IniReaderTest, HeaderNamesDropAsManyTrailingCharactersAsBrackets) {
    struct Case {
        const char* text;
        const char* parent;  // a section of the root, or null for the root itself
        const char* name;
        uint64_t depth;
    };
    const Case cases[] = {
        {"[a]", nullptr, "a", 1},
        {"[ a ]", nullptr, " a ", 1},
        {"[]", nullptr, "", 1},
        {"[", nullptr, "", 1},
        {"[a] ; note", nullptr, "a] ; not", 1},
        {"[a)", nullptr, "a", 1},  // closing characters are not examined
        {"[p]\n[[b]]", "p", "b", 2},
        {"[p]\n[[b", "p", "b", 2},  // too short to drop anything
        {"[p]\n[[]", "p", "]", 2},
    };
    for (const Case& c : cases) {
        std::istringstream input(c.text);
        IniReader reader(input);
        IniSection* parent = &reader.Root();
        if (c.parent) {
            ASSERT_EQ(parent->sections.count(c.parent), 1u) << "text \"" << c.text << "\"";
            parent = &parent->sections.at(c.parent);
        }
        ASSERT_EQ(parent->sections.size(), 1u) << "text \"" << c.text << "\"";
        EXPECT_EQ(parent->sections.begin()->first, c.name) << "text \"" << c.text << "\"";
        EXPECT_EQ(parent->sections.begin()->second.depth, c.depth) << "text \"" << c.text << "\"";
    }
}

}  // namespace
}  // namespace velka
