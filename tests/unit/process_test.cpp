// Starting programs and ending them by name, with real processes.
#include "platform/process.h"

#include <gtest/gtest.h>

#include <cwctype>
#include <filesystem>
#include <thread>

#include "support/fixtures.h"
#include "support/scratch_log.h"

namespace velka {
namespace {

using namespace testing_support;

// A copy of this executable named velka_sleeper_* only sleeps: a real process of a chosen name.
[[maybe_unused]] const bool kIsSleeper = [] {
    if (FileNameOfPath(ModulePath()).rfind(L"velka_sleeper_", 0) != 0) return false;
    std::this_thread::sleep_for(std::chrono::seconds(120));
    std::_Exit(0);
}();

// LaunchProgram keeps the directory it enters; Windows cannot remove a folder that is one.
class ProcessTest : public ::testing::Test {
  protected:
    void TearDown() override { std::filesystem::current_path(saved_); }
    const std::filesystem::path saved_ = std::filesystem::current_path();
    ScratchFolder scratch_{"proc"};
};

// The program starts in the given folder with its parameters split at blanks; a missing folder
// or program starts nothing and leaves the reason (and, for the folder, the current directory).
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

// Only a process whose executable has exactly the name is ended, never by a prefix, a longer
// name, other case, the kernel's 15-byte task name or a path; a running executable is locked.
TEST_F(ProcessTest, KillProcessByNameMatchesTheWholeExactName) {
    const std::wstring module = ModulePath();
    const std::wstring name = L"velka_sleeper_" + std::to_wstring(CurrentProcessId()) +
                              (module.rfind(L".exe") == module.size() - 4 ? L".exe" : L"");
    ASSERT_TRUE(CreateDirectories(scratch_ / L"run/x"));
    ASSERT_TRUE(CopyOneFile(module, scratch_ / (L"run/" + name)));
    ASSERT_TRUE(WriteTree(scratch_.Path(), {{"update/" + ToNarrow(name), "new build"}}));
    EXPECT_FALSE(KillProcessByName(name)) << "not running yet";
    ASSERT_TRUE(LaunchProgram(scratch_ / (L"run/" + name), L"", scratch_ / L"run"));
    SetLastSystemError(0);
    EXPECT_FALSE(CopyTree(scratch_ / L"update", scratch_ / L"run")) << "a running program's file";
    EXPECT_NE(0u, LastSystemError());
    std::wstring upper = name;
    for (wchar_t& c : upper) c = static_cast<wchar_t>(std::towupper(c));
    for (const std::wstring& other :
         {name.substr(0, name.size() - 1), name + L"x", upper, name.substr(0, 15),
          scratch_ / (L"run/" + name), std::wstring()}) {
        EXPECT_FALSE(KillProcessByName(other)) << ToNarrow(other);
    }
    EXPECT_TRUE(KillProcessByName(name));
    EXPECT_TRUE(WaitFor([&] { return !KillProcessByName(name); }, 10)) << "it was ended";
}

}  // namespace
}  // namespace velka
