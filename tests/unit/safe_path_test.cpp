#include "util/safe_path.h"

#include <gtest/gtest.h>

#include <string>

namespace velka {
namespace {

struct PathCase {
    std::string path;
    bool safe;
};

TEST(SafePathTest, RelativePathsInsideTheFolderAreAccepted) {
    const PathCase cases[] = {
        {"a.dll", true},
        {"bin\\a.dll", true},
        {"velka_win/data/b.pak", true},
        {"dir with blanks\\my file.txt", true},
        {"velka_win/", true},  // a folder entry of an archive
        {"a//b", true},
        {"a..b\\c", true},
        {".hidden\\x", true},
        {"x.\\y", true},
        {"..a", true},
        {"\xE9\x81\x8A\xE6\x88\xB2/\xE6\xAA\x94.txt", true},  // non-ASCII names
    };
    for (const PathCase& c : cases) {
        EXPECT_EQ(IsSafeRelativePath(c.path), c.safe) << "path: " << c.path;
    }
}

TEST(SafePathTest, PathsThatCouldLeaveTheFolderAreRefused) {
    const PathCase cases[] = {
        {"", false},
        {"/abs.txt", false},
        {"\\abs.txt", false},
        {"\\\\server\\share\\x", false},
        {"//server/share/x", false},
        {"C:/x.txt", false},
        {"C:x.txt", false},
        {"c:\\windows\\x", false},
        {"a.txt:stream", false},
        {"..", false},
        {"../evil.txt", false},
        {"..\\evil.txt", false},
        {"a/../../evil.txt", false},
        {"a\\b\\..", false},
        {"a/..\\..\\b", false},
        {".../x", false},  // Windows strips trailing dots
        {".. /x", false},  // and trailing blanks
        {". ./x", false},
        {"./x", false},
        {" /x", false},
        {"a\tb", false},
        {std::string("a\0/../../x", 10), false},  // a NUL must not hide the rest
        {"a\x7f", false},
    };
    for (const PathCase& c : cases) {
        EXPECT_EQ(IsSafeRelativePath(c.path), c.safe) << "path: " << PrintableForLog(c.path);
    }
}

TEST(SafePathTest, LogTextHasNoControlBytes) {
    EXPECT_EQ(PrintableForLog(std::string("a\0b\r\n\tc", 7)), "a?b???c");
    EXPECT_EQ(PrintableForLog("plain \xE6\xAA\x94"), "plain \xE6\xAA\x94");
}

}  // namespace
}  // namespace velka
