// The close-behaviour file Config/config.ini, on real files in a scratch install folder.
#include "app/portable/close_settings.h"

#include <gtest/gtest.h>

#include <regex>
#include <string>

#include "platform/fs.h"
#include "support/fixtures.h"
#include "support/scratch_log.h"

namespace velka {
namespace {

using testing_support::Contents;
using testing_support::ScratchFolder;

const std::string kEol = testing_support::kWindowsHost ? "\r\n" : "\n";

// A load keeps 1 or 2 and repairs anything else; a write replaces only the line the reader takes
// for the key, adds none, ends lines as the platform does, and is read by the next load.
TEST(CloseSettingsTest, LoadsRepairsAndRewrites) {
    const struct {
        const char* stored;  // null: no file
        int32_t exitMode;
        const char* written;  // after writing 3 - exitMode ("\n": line end); null: repaired
    } cases[] = {{nullptr, 1, nullptr},
                 {"exitMode=7\n", 1, nullptr},
                 {"exitMode=2\nexitMode=2\n", 1, nullptr},  // refused by the reader
                 {"\xEF\xBB\xBF# tray\nlang=zh\nexitMode=1\n\nlast=x", 1,
                  "\xEF\xBB\xBF# tray\nlang=zh\nexitMode=2\n\nlast=x\n"},
                 {"exitModeX=1\nxexitMode=1\nlang=exitMode\nexitMode = 2\r\n", 2,
                  "exitModeX=1\nxexitMode=1\nlang=exitMode\nexitMode=1\n"}};
    ScratchFolder scratch("close");
    const std::wstring file = scratch / L"Config/config.ini";
    for (const auto& c : cases) {
        SCOPED_TRACE(c.stored ? c.stored : "no file");
        RemoveFile(file);
        ASSERT_TRUE(!c.stored || (CreateDirectories(file) && WriteFileBytes(file, c.stored)));
        CloseSettings settings(scratch.Path());
        settings.LoadCloseSetting();
        EXPECT_EQ(settings.exitMode(), c.exitMode);
        EXPECT_EQ(Contents(file), c.written ? c.stored : "exitMode=1\n");

        // An empty key would match blank lines; a missing key is not added.
        EXPECT_TRUE(!settings.WriteSetting("", "x") && settings.WriteSetting("absent", "x") &&
                    settings.WriteSetting("exitMode", std::to_string(3 - c.exitMode)));
        EXPECT_EQ(Contents(file), std::regex_replace(c.written ? c.written : "exitMode=2\n",
                                                     std::regex("\n"), kEol));
        EXPECT_EQ(settings.exitMode(), c.exitMode) << "until the next load";
        settings.LoadCloseSetting();
        EXPECT_EQ(settings.exitMode(), 3 - c.exitMode);
    }
}

// A write without a file starts from the default; where Config cannot be made nothing is written.
TEST(CloseSettingsTest, WritingWithoutAFile) {
    ScratchFolder scratch("close");
    CloseSettings settings(scratch.Path());
    EXPECT_TRUE(settings.WriteSetting("exitMode", "2"));
    EXPECT_EQ(Contents(settings.Path()), "exitMode=2" + kEol);
    ASSERT_TRUE(RemoveFile(settings.Path()) && RemoveEmptyFolder(scratch / L"Config") &&
                WriteFileBytes(scratch / L"Config", "in the way"));
    EXPECT_FALSE(settings.WriteSetting("exitMode", "2") || settings.ResetCloseSetting());
    EXPECT_EQ(Contents(scratch / L"Config"), "in the way");
}

}  // namespace
}  // namespace velka
