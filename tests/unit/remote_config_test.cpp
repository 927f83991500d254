#include "patcher/remote_config.h"

#include <gtest/gtest.h>

#include <cctype>
#include <sstream>

#include "patcher/content_cipher.h"
#include "patcher/version_record.h"
#include "support/fixtures.h"
#include "support/scratch_log.h"
#include "util/ini_reader.h"
#include "util/strings.h"

namespace velka {
namespace {

using namespace testing_support;

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
    const std::pair<std::string, std::string> cases[] = {
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
        {"a=1\n a = 9 \n", "duplicated key found on line #2"},
        {"[[x]]\n", "section with wrong depth on line #1"},
        {"[a]\n[[b]]\n[[[[c]]]]\n", "section with wrong depth on line #3"},
        {"[a]\n[b]\n[a]\n", "duplicate section name on the same level on line #3"},
        {"[a]\n[[c]]\n[[c]]\n", "duplicate section name on the same level on line #3"},
    };
    for (const auto& [text, expected] : cases) EXPECT_EQ(Read(text), expected) << "text: " << text;
}

std::string Urls(const std::vector<std::string>& urls) {
    std::string text;
    for (const std::string& url : urls) text += "[" + url + "]";
    return text;
}

std::string Dump(const LauncherConfig& c) {
    const PackageInfo& p = c.launcherZipInfo;
    return VersionToString(c.launcherVersion) + " " + Urls(c.remoteURLs) + " " + p.fileName + "|" +
           std::to_string(p.unpackedSize) + "|" + std::to_string(p.packageSize) + "|" + p.crc;
}

std::string Dump(const ServerConfig& c) {
    return VersionToString(c.incrementVersion) + " " + VersionToString(c.zipVersion) +
           (c.useZip ? " zip " : " inc ") + Urls(c.filelistURLs) + " " + Urls(c.ziplistURLs) + " " +
           Urls(c.zipupdateURLs) + " " + Urls(c.incrementupdateURLs);
}

// An invalid local version always updates; otherwise each number is compared on its own.
TEST(VersionTest, UpdateDecisions) {
    const std::tuple<Version, Version, Version, bool, bool, bool> cases[] = {
        {{0, 9, 9}, {0, 9, 9}, {0, 9, 9}, false, true, true},  // major below 1
        {{1, -1, 0}, {0, 0, 0}, {0, 0, 0}, false, true, true},
        {{1, 0, 0}, {}, {}, false, false, false},                 // nothing readable published
        {{1, 4, 12}, {1, 4, 12}, {1, 5, 0}, true, false, false},  // current beats useZip
        {{1, 4, 12}, {1, 4, 13}, {1, 4, 0}, true, true, true},    // useZip forces packages
        {{1, 4, 12}, {1, 4, 15}, {1, 4, 0}, false, true, false},  // increments suffice
        {{1, 4, 12}, {1, 5, 3}, {1, 5, 0}, false, true, true},    // behind the package version
        {{2, 0, 5}, {1, 9, 0}, {1, 9, 0}, false, true, true},     // per number, not an order
        {{1, 0, 0}, {2, 0, 0}, {0, 0, 0}, false, true, false},
    };
    for (const auto& [local, published, zip, useZip, launcher, full] : cases) {
        SCOPED_TRACE(VersionToString(local));
        EXPECT_EQ(LauncherNeedsUpdate(local, published), launcher);
        EXPECT_EQ(NeedsFullUpdate(local, {published, zip, {}, {}, {}, {}, useZip}), full);
    }
}

const char kLauncherText[] =
    "launcherVersion=3.1.2040\r\nremoteURLs=https://c/L/$$http://m/L/$\r\n"
    "launcherZipInfo=L.zip$20$8$0A";
const char kLauncherRead[] = "3.1.2040 [https://c/L/][http://m/L/] L.zip|20|8|0A";
const char kServerText[] =
    "incrementVersion=1.4.12\nincrementupdateURLs=http://c/i/$http://m/i/\nzipVersion=1.4.0\n"
    "useZip=True\nzipupdateURLs=http://c/z/\nziplistURLs=https://c/zl\n"
    "filelistURLs=https://c/f$ftp://m/f\n";
// The same with every value enciphered, as the publisher writes them.
const char kLauncherEnciphered[] =
    "launcherVersion=3.1.2040\r\nremoteURLs=opphn://r/G/$$opph://t/G/$\r\n"
    "launcherZipInfo=G.zxh$20$8$0M";
const char kServerEnciphered[] =
    "incrementVersion=1.4.12\nincrementupdateURLs=opph://r/x/$opph://t/x/\nzipVersion=1.4.0\n"
    "useZip=Pkql\nzipupdateURLs=opph://r/z/\nziplistURLs=opphn://r/zg\n"
    "filelistURLs=opphn://r/e$eph://t/e";
const char kServerRead[] =
    "1.4.12 1.4.0 zip [https://c/f][ftp://m/f] [https://c/zl] [http://c/z/] "
    "[http://c/i/][http://m/i/]";

// Both configurations from files, plain and enciphered (form L launcher, S server, Sv versions
// only; no text: no file): outcome, record ("kept") and log.
TEST(ConfigFileTest, ReadsEachFileIntoItsRecord) {
    const std::tuple<const char*, const char*, std::string> cases[] = {
        {"L", kLauncherText, kLauncherRead},
        {"L", kLauncherEnciphered, kLauncherRead},
        // Versions drop empty pieces; only exact http/https/ftp is plain; zip info: 4 fields, >= 0.
        {"L",
         "launcherVersion=.1..2.3.\nremoteURLs=::http://a$$ftp://b\nlauncherZipInfo=$$a$$x$5$$c",
         "1.2.3 [::http://a][ftp://b] a|0|5|c"},
        {"L", "\xEF\xBB\xBFlauncherVersion=3.1.2\nremoteURLs=HTTP://Ho.x/L/",
         "3.1.2 [PMMT://Ph.i/E/] |-1|-1|"},
        {"L", "launcherVersion=1.2.3.4\nremoteURLs=httpx://a/\nlauncherZipInfo=a$1$-1$c",
         "-1.-1.-1 [pmmti://b/] |-1|-1|"},
        {"L", "launcherVersion= 1. +2.x\nremoteURLs=:::\nlauncherZipInfo=a$-1$1$c",
         "1.2.0 [:::] |-1|-1|"},
        {"L", "launcherVersion=3.2\nremoteURLs=http://a/\nlauncherZipInfo=a$1$2",
         "-1.-1.-1 [http://a/] |-1|-1|"},
        {"L", "launcherVersion=3.2.0\nlauncherZipInfo=a.zip$1$2$ABCDEF01\n",
         "failed 9.9.9 [kept] kept.zip|-1|-1|"},
        {"L", nullptr, "failed 9.9.9 [kept] kept.zip|-1|-1|"},
        {"L", "remoteURLs=http://a/\nremoteURLs=http://b/\n",
         "failed 9.9.9 [kept] kept.zip|-1|-1| [ERROR] Process launcherconfig error! <path>"
         "duplicated key found on line #2"},
        {"S", kServerText, kServerRead},
        {"S", kServerEnciphered, kServerRead},
        {"Sv", kServerEnciphered, "1.4.12 1.4.0 zip [kept] [kept] [kept] [kept]"},
        {"S", "filelistURLs=http://a/\nuseZip=True # forced",
         "-1.-1.-1 -1.-1.-1 inc [http://a/]   "},
        {"S", "incrementVersion=2.0.3\nzipVersion=2.0.0\nuseZip=False\nfilelistURLs=",
         "failed 2.0.3 2.0.0 zip [kept] [kept] [kept] [kept]"},
        {"Sv", nullptr, "failed -1.-1.-1 -1.-1.-1 zip [kept] [kept] [kept] [kept]"},
        {"S", "incrementVersion=1.4.12\nno equals sign\nfilelistURLs=http://a/\n",
         "failed 9.9.9 9.9.9 zip [kept] [kept] [kept] [kept] [ERROR] Process serverConfig error! "
         "<path>no '=' found on line #2"},
    };
    const ContentCipher cipher(kContentCipherKey);
    int row = 0;
    for (const auto& [form, text, expected] : cases) {
        ScratchFolder scratch("config" + std::to_string(row++));
        ScratchLog log(scratch);
        const std::wstring path = scratch / L"config.txt";
        ASSERT_TRUE(!text || WriteFileBytes(path, text));
        LauncherConfig launcher{{9, 9, 9}, {"kept"}, {"kept.zip", -1, -1, ""}};
        ServerConfig s{{9, 9, 9}, {9, 9, 9}, {"kept"}, {"kept"}, {"kept"}, {"kept"}, true};
        const bool server = form[0] == 'S';
        const bool ok = server ? ParseServerConfig(log.logger(), cipher, path, &s, form[1] == 'v')
                               : ParseLauncherConfig(log.logger(), cipher, path, &launcher);
        std::string read = (ok ? "" : "failed ") + (server ? Dump(s) : Dump(launcher));
        for (const LogLine& line : log.Lines()) read += " " + line.level + line.message;
        EXPECT_EQ(read, ReplaceAll(expected, "<path>", ToNarrow(path))) << "row " << row - 1;
    }
}

// The version record holds exactly two lines and replaces a longer one whole.
TEST(VersionRecordTest, WritesTwoLinesThatReadBack) {
    ScratchFolder scratch("record");
    const ServerConfig config{{2, 0, 3}, {2, 0, 0}, {}, {}, {}, {}, false};
    const std::wstring path = LocalVersionRecordPath(scratch / L"install");
    EXPECT_EQ(path, scratch / L"install/Config/serverconfig.txt");
    ASSERT_TRUE(WriteLocalVersionRecord(scratch / L"install", ServerConfig()));  // a longer one
    ASSERT_TRUE(WriteLocalVersionRecord(scratch / L"install", config));
    EXPECT_EQ(Contents(path), "incrementVersion=2.0.3\nzipVersion=2.0.0\n");
    ASSERT_TRUE(WriteTree(scratch.Path(), {{"blocked/Config", "a file where the folder goes"}}));
    EXPECT_FALSE(WriteLocalVersionRecord(scratch / L"blocked", config));
}

// Alphabet: the key's distinct capitals, then the rest; case kept, other bytes unchanged; inverse.
TEST(ContentCipherTest, KeysBuildAlphabetsAndTheInverse) {
    const std::string upper = "ABCDEFGHIJKLMNOPQRSTUVWXYZ";
    std::string letters, others;
    for (int b = 0; b < 256; ++b) (std::isalpha(b) ? letters : others) += static_cast<char>(b);
    const std::pair<std::string, std::string> cases[] = {
        {kContentCipherKey, "MARBLEFOXIVGTCDHJKNPQSUWYZ"},
        {"ZEBRAZEBRA", "ZEBRACDFGHIJKLMNOPQSTUVWXY"},
        {"Z e B r A 9!", "ZBACDEFGHIJKLMNOPQRSTUVWXY"},
        {"", upper}};
    for (const auto& [key, alphabet] : cases) {
        const ContentCipher cipher(key);
        EXPECT_EQ(cipher.Encipher(upper) + cipher.Encipher(AsciiLower(upper)),
                  alphabet + AsciiLower(alphabet))
            << key;
        EXPECT_EQ(cipher.Decipher(alphabet), upper) << key;
        EXPECT_EQ(cipher.Decipher(cipher.Encipher(letters + others)), letters + others) << key;
        EXPECT_EQ(cipher.Encipher(others) + cipher.Decipher(others), others + others) << key;
    }
}

}  // namespace
}  // namespace velka
