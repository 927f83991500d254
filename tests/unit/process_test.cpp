// Starting programs, with real processes.
#include "platform/process.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "support/fixtures.h"
#include "support/scratch_log.h"

namespace velka {
namespace {

using namespace testing_support;

// LaunchProgram keeps the directory it enters; Windows cannot remove a folder that is one.
class ProcessTest : public ::testing::Test {
  protected:
    void TearDown() override { std::filesystem::current_path(saved_); }
    const std::filesystem::path saved_ = std::filesystem::current_path();
    ScratchFolder scratch_{"proc"};
};

// The program starts in the folder with parameters split at blanks, or nothing starts and why.
TEST_F(ProcessTest, LaunchProgramStartsInTheFolderWithSplitParameters) {
    const std::wstring game = scratch_ / L"game.exe", work = scratch_ / L"work";
    ASSERT_TRUE(CopyOneFile(
        JoinPath(ModuleDirectory(), kWindowsHost ? L"velka_sample_game.exe" : L"velka_sample_game"),
        game));
    ASSERT_TRUE(MarkExecutable(game) && WriteFileBytes(scratch_ / L"plain", "text") &&
                CreateDirectories(work + kPathSeparator));
    const std::pair<std::wstring, std::wstring> runs[] = {{game, scratch_ / L"missing"},
                                                          {scratch_ / L"missing-program", work},
                                                          {scratch_ / L"plain", work},
                                                          {game, work}};
    for (const auto& [program, folder] : runs) {
        if (kWindowsHost && program != game) continue;  // the Windows shell would show a box
        SCOPED_TRACE(ToNarrow(program + L" in " + folder));
        const bool starts = program == game && folder == work;
        SetLastSystemError(0);
        EXPECT_EQ(starts, LaunchProgram(program, L"alpha  beta gamma", folder));
        EXPECT_EQ(starts, LastSystemError() == 0);
        EXPECT_TRUE(std::filesystem::equivalent(std::filesystem::current_path(),
                                                folder == work ? work : saved_.wstring()));
    }
    ASSERT_TRUE(WaitFor([&] { return Count(Contents(scratch_ / L"started.txt"), "\n") == 1; }, 30));
    const std::string out = Contents(scratch_ / L"started.txt");
    const size_t with = out.find(" with arguments: ");
    EXPECT_EQ(" with arguments: [alpha] [beta] [gamma]\n", out.substr(with));
    EXPECT_TRUE(std::filesystem::equivalent(ToWide(out.substr(11, with - 11)), work)) << out;
}

}  // namespace
}  // namespace velka
