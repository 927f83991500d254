#include "platform/process.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cwctype>
#include <filesystem>
#include <string>
#include <system_error>
#include <thread>

#include "platform/fs.h"
#include "platform/text.h"
#include "support/scratch_log.h"

namespace velka {
namespace {

using testing_support::ScratchFolder;

const bool kWindows = kPathSeparator == L'\\';

// A copy of this test executable whose file name starts with kSleeperPrefix does nothing but
// sleep: it is a real process with a name of our choosing, on every platform, without a shell.
const wchar_t kSleeperPrefix[] = L"velka_sleeper_";

[[maybe_unused]] const bool kIsSleeper = [] {
    if (FileNameOfPath(ModulePath()).rfind(kSleeperPrefix, 0) != 0) return false;
    std::this_thread::sleep_for(std::chrono::seconds(120));
    std::_Exit(0);
}();

// Restores the current directory that LaunchProgram changes, before the scratch folder goes:
// Windows cannot remove a folder that is some process's current directory.
class ProcessTest : public ::testing::Test {
  protected:
    void SetUp() override { saved_ = std::filesystem::current_path(); }
    void TearDown() override {
        std::error_code ignored;
        std::filesystem::current_path(saved_, ignored);
    }

    // Copies this executable into `folder` under a unique sleeper name (well past the 15
    // characters a Linux task name keeps) and returns the copy's file name.
    std::wstring MakeSleeper(const std::wstring& folder) {
        static std::atomic<int> counter{0};
        const std::wstring module = ModulePath();
        const bool exe = module.size() > 4 && module.substr(module.size() - 4) == L".exe";
        const std::wstring name = kSleeperPrefix + std::to_wstring(CurrentProcessId()) + L"_" +
                                  std::to_wstring(counter++) + (exe ? L".exe" : L"");
        EXPECT_TRUE(CreateDirectories(JoinPath(folder, L"x")));
        EXPECT_TRUE(CopyOneFile(module, JoinPath(folder, name))) << LastSystemError();
        return name;
    }

    // Waits until no process of that name is left to terminate.
    static bool Gone(const std::wstring& name) {
        for (int i = 0; i < 100; ++i) {
            if (!KillProcessByName(name)) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        return false;
    }

    std::filesystem::path saved_;
    ScratchFolder scratch_{"proc"};
};

TEST_F(ProcessTest, KillProcessByNameWithoutAMatchReturnsFalse) {
    EXPECT_FALSE(KillProcessByName(L""));
    EXPECT_FALSE(
        KillProcessByName(L"velka_no_such_process_" + std::to_wstring(CurrentProcessId())));
}

TEST_F(ProcessTest, KillProcessByNameMatchesTheWholeExactName) {
    const std::wstring name = MakeSleeper(scratch_.Path());
    ASSERT_TRUE(LaunchProgram(JoinPath(scratch_.Path(), name), L"", scratch_.Path()))
        << LastSystemError();

    std::wstring upper = name;
    for (wchar_t& c : upper) c = static_cast<wchar_t>(std::towupper(c));
    const std::wstring nearMisses[] = {name.substr(0, name.size() - 1), name + L"x", upper,
                                       name.substr(0, 15), JoinPath(scratch_.Path(), name)};
    for (const std::wstring& other : nearMisses) {
        EXPECT_FALSE(KillProcessByName(other)) << "must not match " << ToNarrow(other);
    }
    EXPECT_TRUE(KillProcessByName(name)) << "the sleeper is running";
    EXPECT_TRUE(Gone(name)) << "the sleeper was terminated";
}

TEST_F(ProcessTest, CopyTreeOntoARunningExecutableFails) {
    const std::wstring run = JoinPath(scratch_.Path(), L"run");
    const std::wstring name = MakeSleeper(run);
    const std::wstring update = JoinPath(scratch_.Path(), L"update/" + name);
    ASSERT_TRUE(CreateDirectories(update));
    ASSERT_TRUE(WriteFileBytes(update, "new build"));
    ASSERT_TRUE(LaunchProgram(JoinPath(run, name), L"", run)) << LastSystemError();

    SetLastSystemError(0);
    const bool copied = CopyTree(JoinPath(scratch_.Path(), L"update"), run);
    const uint32_t code = LastSystemError();
    EXPECT_TRUE(KillProcessByName(name));
    EXPECT_FALSE(copied) << "a running program's file is locked";
    EXPECT_NE(code, 0u);
    EXPECT_TRUE(Gone(name));
}

// A script that records its current directory and arguments in `<script>.out`.
std::wstring WriteProbe(const std::wstring& folder) {
    const std::wstring script = JoinPath(folder, kWindows ? L"probe.bat" : L"probe.sh");
    const std::string text =
        kWindows ? "@echo off\r\ncd > \"%~dpnx0.tmp\"\r\necho [%1][%2][%3]>> \"%~dpnx0.tmp\"\r\n"
                   "move /y \"%~dpnx0.tmp\" \"%~dpnx0.out\" > nul\r\n"
                 : "#!/bin/sh\npwd > \"$0.tmp\"\nfor a in \"$@\"; do printf '[%s]' \"$a\" >> "
                   "\"$0.tmp\"; done\necho >> \"$0.tmp\"\nmv \"$0.tmp\" \"$0.out\"\n";
    EXPECT_TRUE(CreateDirectories(script));
    EXPECT_TRUE(WriteFileBytes(script, text));
    std::error_code ignored;
    std::filesystem::permissions(std::filesystem::path(script), std::filesystem::perms::owner_all,
                                 ignored);
    return script;
}

// The probe's output once it has finished writing, or empty after a generous wait.
std::string WaitForProbe(const std::wstring& script) {
    std::string out;
    for (int i = 0; i < 300 && !ReadFileBytes(script + L".out", &out); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return out;
}

TEST_F(ProcessTest, LaunchProgramStartsInTheGivenFolderWithSplitParameters) {
    const std::wstring script = WriteProbe(JoinPath(scratch_.Path(), L"bin"));
    const std::wstring work = JoinPath(scratch_.Path(), L"work");
    ASSERT_TRUE(CreateDirectories(JoinPath(work, L"x")));

    ASSERT_TRUE(LaunchProgram(script, L"alpha  beta gamma", work)) << LastSystemError();
    EXPECT_TRUE(
        std::filesystem::equivalent(std::filesystem::current_path(), std::filesystem::path(work)))
        << "the working directory stays the process's current directory";

    const std::string out = WaitForProbe(script);
    ASSERT_FALSE(out.empty()) << "the program did not run";
    const size_t lineEnd = out.find_first_of("\r\n");
    ASSERT_NE(lineEnd, std::string::npos) << out;
    EXPECT_TRUE(std::filesystem::equivalent(std::filesystem::path(ToWide(out.substr(0, lineEnd))),
                                            std::filesystem::path(work)))
        << out;
    EXPECT_NE(out.find("[alpha][beta][gamma]"), std::string::npos) << out;
}

TEST_F(ProcessTest, LaunchProgramWithAMissingFolderStartsNothing) {
    const std::wstring name = MakeSleeper(scratch_.Path());
    const auto before = std::filesystem::current_path();

    SetLastSystemError(0);
    EXPECT_FALSE(
        LaunchProgram(JoinPath(scratch_.Path(), name), L"", JoinPath(scratch_.Path(), L"missing")));
    EXPECT_NE(LastSystemError(), 0u);
    EXPECT_EQ(std::filesystem::current_path(), before);
    EXPECT_FALSE(KillProcessByName(name)) << "nothing was started";
}

TEST_F(ProcessTest, LaunchProgramReportsAProgramThatCannotStart) {
    // The Windows shell shows its own error box for a missing program, which would stall a test.
    if (kWindows) GTEST_SKIP() << "the shell reports this to the user";
    ASSERT_TRUE(WriteFileBytes(scratch_ / L"not-executable", "plain text"));
    const std::wstring programs[] = {scratch_ / L"missing-program", scratch_ / L"not-executable"};
    for (const std::wstring& program : programs) {
        SetLastSystemError(0);
        EXPECT_FALSE(LaunchProgram(program, L"a b", scratch_.Path())) << ToNarrow(program);
        EXPECT_NE(LastSystemError(), 0u) << ToNarrow(program);
    }
}

}  // namespace
}  // namespace velka
