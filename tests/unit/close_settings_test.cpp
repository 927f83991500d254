// The close-behaviour settings file, on real files in a scratch install folder.
#include "app/portable/close_settings.h"

#include <gtest/gtest.h>

#include <string>

#include "platform/fs.h"
#include "support/scratch_log.h"

namespace velka {
namespace {

using testing_support::ScratchFolder;

const std::string kEol = kPathSeparator == L'\\' ? "\r\n" : "\n";

class CloseSettingsTest : public ::testing::Test {
  protected:
    std::string FileText() const {
        std::string text;
        EXPECT_TRUE(ReadFileBytes(settings_.Path(), &text)) << "the file exists";
        return text;
    }
    void Store(const std::string& text) {
        ASSERT_TRUE(CreateDirectories(settings_.Path()));
        ASSERT_TRUE(WriteFileBytes(settings_.Path(), text));
    }

    ScratchFolder scratch_{"close"};
    CloseSettings settings_{scratch_.Path()};
};

TEST_F(CloseSettingsTest, FirstStartCreatesConfigWithTheDefault) {
    ASSERT_FALSE(DirectoryExists(scratch_ / L"Config"));
    settings_.LoadCloseSetting();
    EXPECT_EQ(settings_.exitMode(), 1);
    EXPECT_EQ(settings_.Mode(), CloseMode::HideToTray);
    EXPECT_EQ(settings_.Path(), scratch_ / L"Config/config.ini");
    EXPECT_EQ(FileText(), "exitMode=1\n") << "a bare line feed on every system";
}

TEST_F(CloseSettingsTest, LoadAcceptsOneAndTwoAndRepairsEverythingElse) {
    const struct {
        const char* stored;
        int32_t exitMode;
        bool rewritten;
    } cases[] = {
        {"exitMode=2\n", 2, false},
        {"exitMode=1\n", 1, false},
        {"exitMode=2", 2, false},
        {"exitMode=2\r\n", 2, false},
        {"exitMode = 2\n", 2, false},  // the reader trims blanks around key and value
        {"# chosen in the tray\nlang=zh\nexitMode=2\n", 2, false},
        {"exitMode=7\n", 1, true},
        {"exitMode=abc\n", 1, true},
        {"exitMode=0\n", 1, true},
        {"exitMode=-2\n", 1, true},
        {"exitMode=\n", 1, true},
        {"lang=zh\n", 1, true},
        {"", 1, true},
        {"exitMode=2\nexitMode=2\n", 1, true},  // the reader rejects a duplicated key
        {"exitMode\n", 1, true},                // and a line without "="
    };
    for (const auto& c : cases) {
        Store(c.stored);
        settings_.LoadCloseSetting();
        EXPECT_EQ(settings_.exitMode(), c.exitMode) << "stored: " << c.stored;
        EXPECT_EQ(FileText(), c.rewritten ? std::string("exitMode=1\n") : std::string(c.stored))
            << "stored: " << c.stored;
    }
}

TEST_F(CloseSettingsTest, WriteSettingReplacesTheLineAndKeepsTheOthersInOrder) {
    Store("# close behaviour\nlang=zh\nexitMode=1\n\nlast=x");
    settings_.LoadCloseSetting();
    ASSERT_EQ(settings_.exitMode(), 1);

    ASSERT_TRUE(settings_.WriteSetting("exitMode", "2"));
    EXPECT_EQ(FileText(), "# close behaviour" + kEol + "lang=zh" + kEol + "exitMode=2" + kEol +
                              kEol + "last=x" + kEol);
    EXPECT_EQ(settings_.exitMode(), 1) << "picked up by the next load";
    settings_.LoadCloseSetting();
    EXPECT_EQ(settings_.exitMode(), 2);

    ASSERT_TRUE(settings_.WriteSetting("exitMode", "1"));
    settings_.LoadCloseSetting();
    EXPECT_EQ(settings_.exitMode(), 1);
}

TEST_F(CloseSettingsTest, WriteSettingMatchesTheKeyAsTheReaderDoes) {
    const struct {
        const char* stored;
        const char* expected;  // with "\n" standing for the platform's line end
    } cases[] = {
        {"exitMode = 2\n", "exitMode=1\n"},
        {"exitMode=2\r\n", "exitMode=1\n"},
        {"exitModeX=2\nexitMode=2\n", "exitModeX=2\nexitMode=1\n"},
        {"xexitMode=2\n", "xexitMode=2\n"},
        {"lang=exitMode\n", "lang=exitMode\n"},
    };
    for (const auto& c : cases) {
        Store(c.stored);
        ASSERT_TRUE(settings_.WriteSetting("exitMode", "1")) << c.stored;
        std::string expected;
        for (const char* p = c.expected; *p; ++p) {
            expected += *p == '\n' ? kEol : std::string(1, *p);
        }
        EXPECT_EQ(FileText(), expected) << "stored: " << c.stored;
    }
}

TEST_F(CloseSettingsTest, WriteSettingNeverAddsAKey) {
    Store("exitMode=2\n");
    ASSERT_TRUE(settings_.WriteSetting("lang", "en"));
    EXPECT_EQ(FileText(), "exitMode=2" + kEol);
}

TEST_F(CloseSettingsTest, WriteSettingOnAMissingFileStartsFromTheDefault) {
    ASSERT_TRUE(settings_.WriteSetting("exitMode", "2"));
    EXPECT_EQ(FileText(), "exitMode=2" + kEol);
}

TEST_F(CloseSettingsTest, AnUnwritableLocationLeavesTheDefaultInMemory) {
    // A file where the Config folder should be: nothing below it can be created.
    ASSERT_TRUE(WriteFileBytes(scratch_ / L"Config", "in the way"));
    EXPECT_FALSE(settings_.ResetCloseSetting());
    settings_.LoadCloseSetting();
    EXPECT_EQ(settings_.exitMode(), 1);
    EXPECT_FALSE(settings_.WriteSetting("exitMode", "2"));
    EXPECT_FALSE(FileExists(settings_.Path()));
    std::string blocker;
    ASSERT_TRUE(ReadFileBytes(scratch_ / L"Config", &blocker));
    EXPECT_EQ(blocker, "in the way");
}

}  // namespace
}  // namespace velka
