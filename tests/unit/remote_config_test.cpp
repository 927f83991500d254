#include "patcher/remote_config.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "patcher/content_cipher.h"
#include "patcher/version_record.h"
#include "platform/fs.h"
#include "platform/text.h"
#include "support/scratch_log.h"

namespace velka {
namespace {

using testing_support::LogLine;
using testing_support::ScratchFolder;
using testing_support::ScratchLog;

Version V(int32_t major, int32_t minor, int32_t patch) {
    Version v;
    v.major = major;
    v.minor = minor;
    v.patch = patch;
    return v;
}

const Version kUnknown;

std::string Join(const std::vector<std::string>& items) {
    std::string text;
    for (const std::string& item : items) text += "[" + item + "]";
    return text;
}

TEST(VersionTest, ParsesThreeDotSeparatedNumbersOrGivesUnknown) {
    struct Case {
        std::string text;
        Version expected;
    };
    const Case cases[] = {
        {"1.4.12", V(1, 4, 12)},
        {"3.1.2034", V(3, 1, 2034)},
        {"1..2.3", V(1, 2, 3)},   // empty pieces are dropped
        {".1.2.3.", V(1, 2, 3)},  // also at both ends
        {"1.2", kUnknown},
        {"1.2.3.4", kUnknown},
        {"", kUnknown},
        {"...", kUnknown},
        {"1.2.x", V(1, 2, 0)},            // unreadable piece reads as 0
        {" 1. +2.-3", V(1, 2, -3)},       // leading blanks and signs as strtol takes them
        {"1.2.3abc", V(1, 2, 3)},         // trailing text ignored
        {"1.2.99999999999", V(1, 2, 0)},  // out of range reads as 0
        {"-1.-1.-1", kUnknown},
        {"1.4.12\r", V(1, 4, 12)},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(VersionToString(ParseVersion(c.text)), VersionToString(c.expected))
            << "text: \"" << c.text << "\"";
    }
}

TEST(VersionTest, PrintsDecimalTripleAndReadsItBack) {
    EXPECT_EQ(VersionToString(kUnknown), "-1.-1.-1");
    EXPECT_EQ(VersionToString(V(1, 4, 0)), "1.4.0");
    EXPECT_EQ(VersionToString(V(2147483647, 0, -2147483647 - 1)), "2147483647.0.-2147483648");
    for (const Version& v : {V(1, 4, 12), V(0, 0, 0), V(10, 200, 3000), kUnknown}) {
        EXPECT_TRUE(ParseVersion(VersionToString(v)) == v) << VersionToString(v);
    }
}

TEST(VersionTest, InvalidWhenMajorBelowOneOrAnyOtherNumberNegative) {
    struct Case {
        Version version;
        bool invalid;
    };
    const Case cases[] = {
        {V(0, 0, 1), true},  {V(1, 0, 0), false}, {V(0, 5, 1), true},     {kUnknown, true},
        {V(1, -1, 0), true}, {V(1, 0, -1), true}, {V(3, 1, 2034), false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(IsInvalidVersion(c.version), c.invalid) << VersionToString(c.version);
    }
}

TEST(UpdateDecisionTest, LauncherUpdatesWhenLocalInvalidOrAnyNumberBehind) {
    struct Case {
        Version local, remote;
        bool expected;
    };
    const Case cases[] = {
        {kUnknown, V(1, 0, 0), true},    {kUnknown, kUnknown, true},
        {V(0, 9, 9), V(0, 9, 9), true},  // invalid local, even when equal
        {V(1, 0, 0), kUnknown, false},   // an unknown published version never asks
        {V(1, 0, 0), V(1, 0, 0), false}, {V(1, 0, 0), V(1, 0, 1), true},
        {V(1, 0, 0), V(1, 1, 0), true},  {V(1, 0, 0), V(2, 0, 0), true},
        {V(2, 0, 5), V(1, 9, 0), true},  // component test: 0 < 9
        {V(2, 1, 5), V(1, 0, 0), false}, {V(3, 1, 2034), V(3, 1, 2033), false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(LauncherNeedsUpdate(c.local, c.remote), c.expected)
            << "local " << VersionToString(c.local) << " remote " << VersionToString(c.remote);
    }
}

TEST(UpdateDecisionTest, FullUpdateRules) {
    auto server = [](Version increment, Version zip, bool useZip) {
        ServerConfig config;
        config.incrementVersion = increment;
        config.zipVersion = zip;
        config.useZip = useZip;
        return config;
    };
    struct Case {
        Version local;
        ServerConfig server;
        bool expected;
        const char* why;
    };
    const Case cases[] = {
        {kUnknown, server(V(1, 0, 0), V(1, 0, 0), false), true, "no local record"},
        {V(0, 1, 0), server(V(0, 1, 0), V(0, 1, 0), false), true, "invalid local"},
        {V(1, 4, 12), server(V(1, 4, 12), V(1, 5, 0), true), false, "current beats useZip"},
        {V(1, 4, 12), server(V(1, 4, 13), V(1, 4, 0), true), true, "useZip forces"},
        {V(1, 4, 12), server(V(1, 4, 15), V(1, 4, 0), false), false, "incremental suffices"},
        {V(1, 4, 12), server(V(1, 5, 3), V(1, 5, 0), false), true, "behind the zip version"},
        {V(2, 0, 0), server(V(1, 9, 5), V(1, 9, 0), false), true, "component test: 0 < 9"},
        {V(1, 4, 12), server(kUnknown, kUnknown, false), false, "unreadable server config"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(NeedsFullUpdate(c.local, c.server), c.expected) << c.why;
    }
}

TEST(ForcePlainHttpTest, ReplacesEveryHttpsInEveryUrl) {
    std::vector<std::string> urls = {"https://a.example/x/", "http://b.example/",
                                     "https://c.example/https/", "HTTPS://d.example/", ""};
    ForcePlainHttp(&urls);
    const std::vector<std::string> expected = {"http://a.example/x/", "http://b.example/",
                                               "http://c.example/http/", "HTTPS://d.example/", ""};
    EXPECT_EQ(urls, expected);
}

TEST(ConfigFormTest, PlainOnlyForExactLowerCaseSchemes) {
    struct Case {
        std::string value;
        bool plain;
    };
    const Case cases[] = {
        {"http://a/", true},   {"https://a/$https://b/", true},
        {"ftp://a/", true},    {"HTTP://a/", false},
        {"Https://a/", false}, {"file://a/", false},
        {"opph://a/", false},  {"http", true},
        {"::http://a/", true}, {":::", false},
        {"://a/", false},      {"httpx://a/", false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(IsPlainConfiguration(c.value), c.plain) << "value: \"" << c.value << "\"";
    }
}

TEST(ConfigValueTest, PackageDescriptionNeedsExactlyFourFields) {
    struct Case {
        std::string text;
        std::string fileName;
        int64_t unpackedSize, packageSize;
        std::string crc;
    };
    const Case cases[] = {
        {"Launcher.zip$5000000000$1234$0A1B2C3D", "Launcher.zip", 5000000000LL, 1234, "0A1B2C3D"},
        {"$$a.zip$$10$20$$ab12$", "a.zip", 10, 20, "ab12"},  // empty pieces dropped
        {" a.zip$x$5$crc ", " a.zip", 0, 5, "crc "},         // not trimmed, bad number 0
        {"a.zip$-1000$1500$crc", "", -1, -1, ""},            // a negative size is malformed
        {"a.zip$1500$-1000$crc", "", -1, -1, ""},
        {"a.zip$10$20", "", -1, -1, ""},
        {"a.zip$10$20$CRC$extra", "", -1, -1, ""},
        {"", "", -1, -1, ""},
    };
    for (const Case& c : cases) {
        const PackageInfo info = ParsePackageInfo(c.text);
        EXPECT_EQ(info.fileName, c.fileName) << c.text;
        EXPECT_EQ(info.unpackedSize, c.unpackedSize) << c.text;
        EXPECT_EQ(info.packageSize, c.packageSize) << c.text;
        EXPECT_EQ(info.crc, c.crc) << c.text;
    }
}

// Configuration files on disk, read back through a real log.
class ConfigFileTest : public ::testing::Test {
  protected:
    ConfigFileTest() : scratch_("config"), log_(scratch_), cipher_(kContentCipherKey) {}

    std::wstring WriteConfig(const std::wstring& name, const std::string& text) {
        const std::wstring path = scratch_ / name;
        EXPECT_TRUE(WriteFileBytes(path, text));
        return path;
    }

    // Builds a file from key/value pairs, enciphering every value when asked.
    std::string ConfigText(const std::vector<std::pair<std::string, std::string>>& pairs,
                           bool encipher) const {
        std::string text;
        for (const auto& pair : pairs) {
            text += pair.first + "=" + (encipher ? cipher_.Encipher(pair.second) : pair.second) +
                    "\r\n";
        }
        return text;
    }

    std::vector<LogLine> LogLines() const { return log_.Lines(); }

    ScratchFolder scratch_;
    ScratchLog log_;
    ContentCipher cipher_;
};

const std::vector<std::pair<std::string, std::string>> kLauncherPairs = {
    {"launcherVersion", "3.1.2040"},
    {"remoteURLs", "https://cdn.example/velka_hk_win/Launcher/$$http://mirror.example/L/$"},
    {"launcherZipInfo", "Launcher.zip$2000000$800000$0A1B2C3D"},
};

const std::vector<std::pair<std::string, std::string>> kServerPairs = {
    {"incrementVersion", "1.4.12"},
    {"incrementupdateURLs", "http://cdn.example/inc/$http://mirror.example/inc/"},
    {"zipVersion", "1.4.0"},
    {"useZip", "True"},
    {"zipupdateURLs", "http://cdn.example/zip/"},
    {"ziplistURLs", "https://cdn.example/ziplist.txt"},
    {"filelistURLs", "https://cdn.example/filelist.txt$http://mirror.example/filelist.txt"},
};

TEST_F(ConfigFileTest, LauncherConfigReadsTheSamePlainAndEnciphered) {
    for (bool encipher : {false, true}) {
        SCOPED_TRACE(encipher ? "enciphered" : "plain");
        const std::string text = ConfigText(kLauncherPairs, encipher);
        if (encipher) {
            ASSERT_EQ(text.find("http"), std::string::npos) << "fixture is not enciphered";
        }
        LauncherConfig config;
        ASSERT_TRUE(ParseLauncherConfig(log_.logger(), cipher_,
                                        WriteConfig(L"launcherconfig.txt", text), &config));
        EXPECT_EQ(VersionToString(config.launcherVersion), "3.1.2040");
        EXPECT_EQ(Join(config.remoteURLs),
                  "[https://cdn.example/velka_hk_win/Launcher/][http://mirror.example/L/]");
        EXPECT_EQ(config.launcherZipInfo.fileName, "Launcher.zip");
        EXPECT_EQ(config.launcherZipInfo.unpackedSize, 2000000);
        EXPECT_EQ(config.launcherZipInfo.packageSize, 800000);
        EXPECT_EQ(config.launcherZipInfo.crc, "0A1B2C3D");
    }
    EXPECT_TRUE(LogLines().empty());
}

TEST_F(ConfigFileTest, ServerConfigReadsTheSamePlainAndEnciphered) {
    for (bool encipher : {false, true}) {
        SCOPED_TRACE(encipher ? "enciphered" : "plain");
        ServerConfig config;
        ASSERT_TRUE(ParseServerConfig(
            log_.logger(), cipher_,
            WriteConfig(L"serverconfig.txt", ConfigText(kServerPairs, encipher)), &config, false));
        EXPECT_EQ(VersionToString(config.incrementVersion), "1.4.12");
        EXPECT_EQ(VersionToString(config.zipVersion), "1.4.0");
        EXPECT_TRUE(config.useZip) << "\"True\" must be deciphered before the comparison";
        EXPECT_EQ(Join(config.incrementupdateURLs),
                  "[http://cdn.example/inc/][http://mirror.example/inc/]");
        EXPECT_EQ(Join(config.zipupdateURLs), "[http://cdn.example/zip/]");
        EXPECT_EQ(Join(config.ziplistURLs), "[https://cdn.example/ziplist.txt]");
        EXPECT_EQ(Join(config.filelistURLs),
                  "[https://cdn.example/filelist.txt][http://mirror.example/filelist.txt]");
    }
}

TEST_F(ConfigFileTest, UseZipIsTrueOnlyForExactText) {
    struct Case {
        std::string line;
        bool expected;
    };
    const Case cases[] = {
        {"useZip=True", true},
        {"useZip = True \t", true},       // the reader trims the value
        {"useZip=True # forced", false},  // the inline comment leaves "True "
        {"useZip=true", false},
        {"useZip=TRUE", false},
        {"useZip=1", false},
        {"", false},
    };
    for (const Case& c : cases) {
        ServerConfig config;
        config.useZip = !c.expected;
        const std::wstring path = WriteConfig(
            L"serverconfig.txt", "filelistURLs=https://a/filelist.txt\n" + c.line + "\n");
        ASSERT_TRUE(ParseServerConfig(log_.logger(), cipher_, path, &config, false)) << c.line;
        EXPECT_EQ(config.useZip, c.expected) << c.line;
    }
}

TEST_F(ConfigFileTest, CapitalSchemeMeansEnciphered) {
    const std::wstring path = WriteConfig(
        L"launcherconfig.txt", "launcherVersion=3.1.2034\nremoteURLs=HTTP://Host.example/L/\n");
    LauncherConfig config;
    ASSERT_TRUE(ParseLauncherConfig(log_.logger(), cipher_, path, &config));
    ASSERT_EQ(config.remoteURLs.size(), 1u);
    EXPECT_EQ(config.remoteURLs[0], cipher_.Decipher("HTTP://Host.example/L/"));
    EXPECT_NE(config.remoteURLs[0], "HTTP://Host.example/L/");
    EXPECT_EQ(VersionToString(config.launcherVersion), "3.1.2034");
}

TEST_F(ConfigFileTest, GrammarErrorIsLoggedAndLeavesRecordUntouched) {
    const std::wstring serverPath = WriteConfig(
        L"serverconfig.txt",
        "incrementVersion=1.4.12\nthis line has no equals sign\nfilelistURLs=http://a/\n");
    ServerConfig server;
    server.incrementVersion = V(9, 9, 9);
    server.filelistURLs = {"kept"};
    EXPECT_FALSE(ParseServerConfig(log_.logger(), cipher_, serverPath, &server, false));
    EXPECT_EQ(VersionToString(server.incrementVersion), "9.9.9");
    EXPECT_EQ(Join(server.filelistURLs), "[kept]");

    const std::wstring launcherPath =
        WriteConfig(L"launcherconfig.txt", "remoteURLs=http://a/\nremoteURLs=http://b/\n");
    LauncherConfig launcher;
    launcher.launcherVersion = V(3, 1, 2034);
    EXPECT_FALSE(ParseLauncherConfig(log_.logger(), cipher_, launcherPath, &launcher));
    EXPECT_EQ(VersionToString(launcher.launcherVersion), "3.1.2034");
    EXPECT_TRUE(launcher.remoteURLs.empty());

    const std::vector<LogLine> lines = LogLines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].level, "[ERROR] ");
    EXPECT_EQ(lines[0].message,
              "Process serverConfig error! " + ToNarrow(serverPath) + "no '=' found on line #2");
    EXPECT_EQ(lines[1].level, "[ERROR] ");
    EXPECT_EQ(lines[1].message, "Process launcherconfig error! " + ToNarrow(launcherPath) +
                                    "duplicated key found on line #2");
}

TEST_F(ConfigFileTest, MissingUrlKeyFailsSilently) {
    ServerConfig server;
    server.ziplistURLs = {"kept"};
    server.useZip = true;
    EXPECT_FALSE(ParseServerConfig(
        log_.logger(), cipher_,
        WriteConfig(L"serverconfig.txt",
                    "incrementVersion=2.0.3\nzipVersion=2.0.0\nziplistURLs=http://z/\n"
                    "useZip=False\nfilelistURLs=\n"),
        &server, false));
    EXPECT_EQ(VersionToString(server.incrementVersion), "2.0.3");
    EXPECT_EQ(VersionToString(server.zipVersion), "2.0.0");
    EXPECT_EQ(Join(server.ziplistURLs), "[kept]");
    EXPECT_TRUE(server.useZip);

    LauncherConfig launcher;
    launcher.launcherVersion = V(3, 1, 2034);
    EXPECT_FALSE(ParseLauncherConfig(
        log_.logger(), cipher_,
        WriteConfig(L"launcherconfig.txt",
                    "launcherVersion=3.2.0\nlauncherZipInfo=a.zip$1$2$ABCDEF01\n"),
        &launcher));
    EXPECT_EQ(VersionToString(launcher.launcherVersion), "3.1.2034");
    EXPECT_EQ(launcher.launcherZipInfo.packageSize, -1);

    EXPECT_TRUE(LogLines().empty());
}

TEST_F(ConfigFileTest, MissingFileReadsAsEmpty) {
    ServerConfig server;
    server.incrementVersion = V(1, 2, 3);
    server.zipVersion = V(1, 2, 0);
    EXPECT_FALSE(
        ParseServerConfig(log_.logger(), cipher_, scratch_ / L"absent.txt", &server, true));
    EXPECT_TRUE(server.incrementVersion == kUnknown);
    EXPECT_TRUE(server.zipVersion == kUnknown);

    LauncherConfig launcher;
    launcher.launcherVersion = V(3, 1, 2034);
    EXPECT_FALSE(ParseLauncherConfig(log_.logger(), cipher_, scratch_ / L"absent.txt", &launcher));
    EXPECT_EQ(VersionToString(launcher.launcherVersion), "3.1.2034");
    EXPECT_TRUE(LogLines().empty());
}

TEST_F(ConfigFileTest, MalformedValuesReadAsUnknownOrEmpty) {
    struct Case {
        std::string version, zipInfo, expectedVersion;
    };
    const Case cases[] = {
        {"3.2.1", "a.zip$1$2", "3.2.1"},
        {"3.2", "a.zip$1$2$CRC$x", "-1.-1.-1"},
    };
    for (const Case& c : cases) {
        LauncherConfig config;
        config.launcherZipInfo.fileName = "stale.zip";
        ASSERT_TRUE(ParseLauncherConfig(
            log_.logger(), cipher_,
            WriteConfig(L"launcherconfig.txt",
                        "launcherVersion=" + c.version +
                            "\nremoteURLs=http://a/\nlauncherZipInfo=" + c.zipInfo + "\n"),
            &config))
            << c.zipInfo;
        EXPECT_EQ(VersionToString(config.launcherVersion), c.expectedVersion) << c.version;
        EXPECT_EQ(Join(config.remoteURLs), "[http://a/]") << c.zipInfo;
        EXPECT_EQ(config.launcherZipInfo.fileName, "") << c.zipInfo;
        EXPECT_EQ(config.launcherZipInfo.unpackedSize, -1) << c.zipInfo;
        EXPECT_EQ(config.launcherZipInfo.packageSize, -1) << c.zipInfo;
    }
    EXPECT_TRUE(LogLines().empty());
}

TEST_F(ConfigFileTest, VersionsOnlyReadsNoLists) {
    ServerConfig server;
    server.zipupdateURLs = {"kept"};
    ASSERT_TRUE(ParseServerConfig(log_.logger(), cipher_,
                                  WriteConfig(L"serverconfig.txt", ConfigText(kServerPairs, true)),
                                  &server, true));
    EXPECT_EQ(VersionToString(server.incrementVersion), "1.4.12");
    EXPECT_EQ(VersionToString(server.zipVersion), "1.4.0");
    EXPECT_EQ(Join(server.zipupdateURLs), "[kept]");
    EXPECT_TRUE(server.filelistURLs.empty());
    EXPECT_FALSE(server.useZip);
}

class VersionRecordTest : public ConfigFileTest {};

TEST_F(VersionRecordTest, WritesTwoLinesAndReadsThemBack) {
    ServerConfig downloaded;
    downloaded.incrementVersion = V(2, 0, 3);
    downloaded.zipVersion = V(2, 0, 0);
    downloaded.filelistURLs = {"http://not/written/"};
    downloaded.useZip = true;
    const std::wstring base = scratch_ / L"install";
    ASSERT_FALSE(DirectoryExists(base));

    ASSERT_TRUE(WriteLocalVersionRecord(base, downloaded));
    const std::wstring path =
        base + kPathSeparator + L"Config" + kPathSeparator + L"serverconfig.txt";
    EXPECT_EQ(LocalVersionRecordPath(base), path);
    std::string bytes;
    ASSERT_TRUE(ReadFileBytes(path, &bytes));
    EXPECT_EQ(bytes, "incrementVersion=2.0.3\nzipVersion=2.0.0\n");
    EXPECT_EQ(bytes.size(), 40u);

    ServerConfig record;
    EXPECT_FALSE(ParseServerConfig(log_.logger(), cipher_, path, &record, true))
        << "the record has no filelistURLs";
    EXPECT_EQ(VersionToString(record.incrementVersion), "2.0.3");
    EXPECT_EQ(VersionToString(record.zipVersion), "2.0.0");
    EXPECT_TRUE(LogLines().empty());
}

TEST_F(VersionRecordTest, ReplacesLongerRecordAndWritesUnknownVersions) {
    const std::wstring base = scratch_.Path();
    ASSERT_TRUE(CreateDirectories(base + kPathSeparator + L"Config" + kPathSeparator));
    ASSERT_TRUE(WriteFileBytes(LocalVersionRecordPath(base),
                               "incrementVersion=10.20.30\r\nzipVersion=10.20.0\r\n# old\r\n"));
    ASSERT_TRUE(WriteLocalVersionRecord(base, ServerConfig()));
    std::string bytes;
    ASSERT_TRUE(ReadFileBytes(LocalVersionRecordPath(base), &bytes));
    EXPECT_EQ(bytes, "incrementVersion=-1.-1.-1\nzipVersion=-1.-1.-1\n");
}

TEST_F(VersionRecordTest, FailsWhenTheFileCannotBeCreated) {
    // A file where the Config folder should be.
    const std::wstring base = scratch_ / L"blocked";
    ASSERT_TRUE(CreateDirectories(base + kPathSeparator));
    ASSERT_TRUE(WriteFileBytes(base + kPathSeparator + L"Config", "not a folder"));
    EXPECT_FALSE(WriteLocalVersionRecord(base, ServerConfig()));
    EXPECT_FALSE(FileExists(LocalVersionRecordPath(base)));
}

}  // namespace
}  // namespace velka
