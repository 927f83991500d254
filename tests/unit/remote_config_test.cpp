#include "patcher/remote_config.h"

#include <gtest/gtest.h>

#include <cctype>
#include <string>
#include <vector>

#include "patcher/content_cipher.h"
#include "patcher/version_record.h"
#include "support/fixtures.h"
#include "support/scratch_log.h"
#include "util/strings.h"

namespace velka {
namespace {

using namespace testing_support;

const Version kUnknown;

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
    const struct {
        Version local, published, zip;
        bool useZip, launcher, full;
    } cases[] = {
        {kUnknown, {1, 0, 0}, {1, 0, 0}, false, true, true},
        {{0, 9, 9}, {0, 9, 9}, {0, 9, 9}, false, true, true},  // major below 1
        {{1, -1, 0}, {0, 0, 0}, {0, 0, 0}, false, true, true},
        {{1, 0, 0}, kUnknown, kUnknown, false, false, false},     // nothing readable published
        {{1, 4, 12}, {1, 4, 12}, {1, 5, 0}, true, false, false},  // current beats useZip
        {{1, 4, 12}, {1, 4, 13}, {1, 4, 0}, true, true, true},    // useZip forces packages
        {{1, 4, 12}, {1, 4, 15}, {1, 4, 0}, false, true, false},  // increments suffice
        {{1, 4, 12}, {1, 5, 3}, {1, 5, 0}, false, true, true},    // behind the package version
        {{2, 0, 5}, {1, 9, 0}, {1, 9, 0}, false, true, true},     // per number, not an order
        {{1, 0, 0}, {2, 0, 0}, {0, 0, 0}, false, true, false},
    };
    for (const auto& c : cases) {
        const ServerConfig server{c.published, c.zip, {}, {}, {}, {}, c.useZip};
        const std::string row = VersionToString(c.local) + " " + VersionToString(c.published);
        EXPECT_EQ(LauncherNeedsUpdate(c.local, c.published), c.launcher) << row;
        EXPECT_EQ(NeedsFullUpdate(c.local, server), c.full) << row;
    }
}

// Every value enciphered, as the publisher writes them.
std::string EncipherValues(const ContentCipher& cipher, const std::string& text) {
    std::string out;
    for (const std::string& line : Split(text, '\n')) {
        const size_t value = line.find('=') + 1;
        out += line.substr(0, value) + cipher.Encipher(line.substr(value)) + "\n";
    }
    return out;
}

const char kLauncherText[] =
    "launcherVersion=3.1.2040\r\nremoteURLs=https://cdn.example/L/$$http://mirror.example/L/$\r\n"
    "launcherZipInfo=Launcher.zip$2000000$800000$0A1B2C3D\r\n";
const char kLauncherRead[] =
    "3.1.2040 [https://cdn.example/L/][http://mirror.example/L/] "
    "Launcher.zip|2000000|800000|0A1B2C3D";
const char kServerText[] =
    "incrementVersion=1.4.12\nincrementupdateURLs=http://cdn.example/inc/$http://m.example/inc/\n"
    "zipVersion=1.4.0\nuseZip=True\nzipupdateURLs=http://cdn.example/zip/\n"
    "ziplistURLs=https://cdn.example/ziplist.txt\n"
    "filelistURLs=https://cdn.example/filelist.txt$http://m.example/filelist.txt\n";
const char kServerRead[] =
    "1.4.12 1.4.0 zip [https://cdn.example/filelist.txt][http://m.example/filelist.txt] "
    "[https://cdn.example/ziplist.txt] [http://cdn.example/zip/] "
    "[http://cdn.example/inc/][http://m.example/inc/]";
// Both configurations from files, plain and enciphered: the result ("failed" or nothing), what
// the record holds afterwards ("kept": what it held before) and the error logged.
TEST(ConfigFileTest, ReadsEachFileIntoItsRecord) {
    const struct {
        const char* form;  // L launcher, S server; e enciphered; v versions only
        const char* text;  // null: no file
        std::string expected;
    } cases[] = {
        {"L", kLauncherText, kLauncherRead},
        {"Le", kLauncherText, kLauncherRead},
        // Versions drop empty pieces; a value is plain when its scheme is exactly http, https or
        // ftp; a package description has exactly four fields and no negative size.
        {"L",
         "launcherVersion=.1..2.3.\nremoteURLs=::http://a/$$ftp://b/"
         "\nlauncherZipInfo=$$a.zip$$x$5$$c",
         "1.2.3 [::http://a/][ftp://b/] a.zip|0|5|c"},
        {"L",
         "\xEF\xBB\xBFlauncherVersion=3.1.2034\nremoteURLs=HTTP://Host.ex/L/"
         "\nlauncherZipInfo=a$1$2$c$d",
         "3.1.2034 [PMMT://Phvm.fi/E/] |-1|-1|"},
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
        {"Se", kServerText, kServerRead},
        {"Sev", kServerText, "1.4.12 1.4.0 zip [kept] [kept] [kept] [kept]"},
        {"S", "filelistURLs=http://a/\nuseZip=True # forced\n",
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
    for (const auto& c : cases) {
        const std::string form = c.form;
        ScratchFolder scratch("config" + std::to_string(row++));
        ScratchLog log(scratch);
        const std::wstring path = scratch / L"config.txt";
        if (c.text) {
            const bool encipher = form.find('e') != std::string::npos;
            ASSERT_TRUE(WriteFileBytes(path, encipher ? EncipherValues(cipher, c.text) : c.text));
        }
        LauncherConfig launcher{{9, 9, 9}, {"kept"}, {"kept.zip", -1, -1, ""}};
        ServerConfig server{{9, 9, 9}, {9, 9, 9}, {"kept"}, {"kept"}, {"kept"}, {"kept"}, true};
        const bool ok = form[0] == 'S' ? ParseServerConfig(log.logger(), cipher, path, &server,
                                                           form.find('v') != std::string::npos)
                                       : ParseLauncherConfig(log.logger(), cipher, path, &launcher);
        std::string read = (ok ? "" : "failed ") + (form[0] == 'S' ? Dump(server) : Dump(launcher));
        for (const LogLine& line : log.Lines()) read += " " + line.level + line.message;
        EXPECT_EQ(read, ReplaceAll(c.expected, "<path>", ToNarrow(path))) << "row " << row - 1;
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

// Keyword alphabets: the key's distinct capitals, then the other letters; case kept, every other
// byte unchanged; deciphering undoes enciphering.
TEST(ContentCipherTest, KeysBuildAlphabetsAndTheInverse) {
    const std::string upper = "ABCDEFGHIJKLMNOPQRSTUVWXYZ";
    std::string letters, others;
    for (int b = 0; b < 256; ++b) (std::isalpha(b) ? letters : others) += static_cast<char>(b);
    const std::pair<std::string, std::string> cases[] = {
        {kContentCipherKey, "MARBLEFOXIVGTCDHJKNPQSUWYZ"},
        {"ZEBRAZEBRA", "ZEBRACDFGHIJKLMNOPQSTUVWXY"},
        {"Z e B r A 9!", "ZBACDEFGHIJKLMNOPQRSTUVWXY"},
        {"\xC3\x89Q", "QABCDEFGHIJKLMNOPRSTUVWXYZ"},
        {"", upper},
    };
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
