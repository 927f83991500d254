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
    const std::wstring probe = scratch_ / (kWindowsHost ? L"probe.bat" : L"probe.sh");
    ASSERT_TRUE(WriteFileBytes(probe, kWindowsHost ? "@echo off\r\ncd > \"%~dpnx0.tmp\"\r\necho "
                                                     "[%1][%2][%3]>> \"%~dpnx0.tmp\"\r\nmove /y "
                                                     "\"%~dpnx0.tmp\" \"%~dpnx0.out\" > nul\r\n"
                                                   : "#!/bin/sh\npwd > \"$0.tmp\"\nprintf '[%s]' "
                                                     "\"$@\" >> \"$0.tmp\"\nmv \"$0.tmp\" "
                                                     "\"$0.out\"\n"));
    ASSERT_TRUE(MarkExecutable(probe));
    ASSERT_TRUE(WriteFileBytes(scratch_ / L"plain", "not a program"));
    const std::wstring work = scratch_ / L"work";
    ASSERT_TRUE(CreateDirectories(work + kPathSeparator));
    // The Windows shell shows its own error box for a program that cannot start.
    const std::pair<std::wstring, std::wstring> runs[] = {{probe, scratch_ / L"missing"},
                                                          {scratch_ / L"missing-program", work},
                                                          {scratch_ / L"plain", work},
                                                          {probe, work}};
    for (const auto& [program, folder] : runs) {
        if (kWindowsHost && program != probe) continue;
        SCOPED_TRACE(ToNarrow(program + L" in " + folder));
        const bool starts = program == probe && folder == work;
        SetLastSystemError(0);
        EXPECT_EQ(starts, LaunchProgram(program, L"alpha  beta gamma", folder));
        EXPECT_EQ(starts, LastSystemError() == 0);
        EXPECT_TRUE(std::filesystem::equivalent(std::filesystem::current_path(),
                                                folder == work ? work : saved_.wstring()));
    }
    ASSERT_TRUE(WaitFor([&] { return FileExists(probe + L".out"); }, 30)) << "it did not run";
    const std::string out = Contents(probe + L".out");
    EXPECT_TRUE(std::filesystem::equivalent(ToWide(out.substr(0, out.find_first_of("\r\n"))), work))
        << out;
    EXPECT_NE(std::string::npos, out.find("[alpha][beta][gamma]")) << out;
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
