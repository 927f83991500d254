// The crash-dump library binding against stand-in libraries that record the calls they receive:
// the calls, their arguments and order, a library that lacks an export, no library at all, and
// that only the given folder's library is ever loaded.
#include "app/portable/crash_reporter.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <system_error>

#include "platform/dynamic_library.h"
#include "platform/fs.h"
#include "platform/text.h"
#include "support/scratch_log.h"

namespace velka {
namespace {

using testing_support::ScratchFolder;

const bool kWindowsHost = kPathSeparator == L'\\';

// A build path as this process sees it: under Wine the Unix path lies on drive Z:.
std::wstring HostPath(std::string path) {
    if (kWindowsHost && !path.empty() && path.front() == '/') {
        std::replace(path.begin(), path.end(), '/', '\\');
        path = "Z:" + path;
    }
    return ToWide(path);
}

using JournalFn = const char* (*)();

class DumperTest : public ::testing::Test {
  protected:
    void SetUp() override { saved_ = std::filesystem::current_path(); }
    void TearDown() override {
        std::error_code ignored;
        std::filesystem::current_path(saved_, ignored);
    }

    // Puts a stand-in under the crash-dump library's file name into `folder`.
    void Install(const char* builtLibrary, const std::wstring& folder) {
        ASSERT_TRUE(CreateDirectories(folder + kPathSeparator));
        ASSERT_TRUE(CopyOneFile(HostPath(builtLibrary), DumperLibraryPath(folder)))
            << ToNarrow(HostPath(builtLibrary)) << " error " << LastSystemError();
    }

    // What the stand-in loaded from `folder` has recorded. Loading the same file again shares
    // the instance the binding holds.
    static std::string Journal(const std::wstring& folder) {
        DynamicLibrary probe = DynamicLibrary::Load(DumperLibraryPath(folder));
        if (!probe.loaded()) return "(not loaded)";
        auto journal = reinterpret_cast<JournalFn>(probe.Find("FakeDumperJournal"));
        return journal ? journal() : "(no journal)";
    }

    ScratchFolder scratch_{"dumper"};
    std::filesystem::path saved_;
};

TEST_F(DumperTest, LibraryFileNameFollowsThePlatform) {
    EXPECT_EQ(kWindowsHost ? L"Didura64.dll" : L"libDidura64.so",
              SharedLibraryFileName(L"Didura64"));
    EXPECT_EQ(JoinPath(L"base", kWindowsHost ? L"Didura64.dll" : L"libDidura64.so"),
              DumperLibraryPath(L"base"));
}

TEST_F(DumperTest, StartAndShutdownMakeTheThreeCallsWithTheirFixedArguments) {
    Install(VELKA_FAKE_DUMPER, scratch_.Path());
    {
        DumperApi api = LoadDumperApi(scratch_.Path());
        ASSERT_TRUE(api.library.loaded());
        EXPECT_NE(nullptr, api.initDumperTessaray);
        EXPECT_NE(nullptr, api.unInitDumper);
        EXPECT_NE(nullptr, api.setOnMiniDumpCreateCallBack);
        EXPECT_NE(nullptr, api.setConfig);

        StartCrashReporter(api);
        EXPECT_EQ("SetConfig|6|internal_us\nInitDumperTessaray|7c3e90d4|3.1.2034|\n",
                  Journal(scratch_.Path()));
        ShutdownCrashReporter(api);
        EXPECT_EQ("SetConfig|6|internal_us\nInitDumperTessaray|7c3e90d4|3.1.2034|\nUnInitDumper\n",
                  Journal(scratch_.Path()))
            << "the callback setter is looked up, never called";
    }
    // The record unloaded the library; a new load starts with an empty journal.
    EXPECT_EQ("", Journal(scratch_.Path()));
}

TEST_F(DumperTest, MissingExportSkipsOnlyItsOwnCall) {
    Install(VELKA_FAKE_DUMPER_WITHOUT_SETCONFIG, scratch_.Path());
    DumperApi api = LoadDumperApi(scratch_.Path());
    ASSERT_TRUE(api.library.loaded());
    EXPECT_EQ(nullptr, api.setConfig);
    EXPECT_NE(nullptr, api.initDumperTessaray);
    StartCrashReporter(api);
    ShutdownCrashReporter(api);
    EXPECT_EQ("InitDumperTessaray|7c3e90d4|3.1.2034|\nUnInitDumper\n", Journal(scratch_.Path()));
}

TEST_F(DumperTest, NoLibraryMeansEveryCallIsSkipped) {
    DumperApi api = LoadDumperApi(scratch_.Path());
    EXPECT_FALSE(api.library.loaded());
    EXPECT_EQ(nullptr, api.initDumperTessaray);
    EXPECT_EQ(nullptr, api.unInitDumper);
    EXPECT_EQ(nullptr, api.setOnMiniDumpCreateCallBack);
    EXPECT_EQ(nullptr, api.setConfig);
    StartCrashReporter(api);  // must not crash
    ShutdownCrashReporter(api);
}

TEST_F(DumperTest, AFileThatIsNoLibraryIsNotLoaded) {
    ASSERT_TRUE(WriteFileBytes(DumperLibraryPath(scratch_.Path()), "not a library"));
    DumperApi api = LoadDumperApi(scratch_.Path());
    EXPECT_FALSE(api.library.loaded());
    StartCrashReporter(api);
}

// A library planted in the current directory is never the one loaded.
TEST_F(DumperTest, LibraryInTheCurrentDirectoryIsIgnored) {
    const std::wstring planted = scratch_ / L"cwd";
    Install(VELKA_FAKE_DUMPER, planted);
    std::filesystem::current_path(std::filesystem::path(planted));

    for (const std::wstring& folder : {std::wstring(), std::wstring(L"."), std::wstring(L"cwd")}) {
        DumperApi api = LoadDumperApi(folder);
        EXPECT_FALSE(api.library.loaded()) << "folder \"" << ToNarrow(folder) << "\"";
    }
    const std::wstring own = scratch_ / L"own";
    ASSERT_TRUE(CreateDirectories(own + kPathSeparator));
    DumperApi api = LoadDumperApi(own);
    EXPECT_FALSE(api.library.loaded()) << "the own folder has none";
    EXPECT_FALSE(DynamicLibrary::Load(SharedLibraryFileName(L"Didura64")).loaded())
        << "a bare name is never handed to the system's search";
}

TEST(DynamicLibraryTest, OnlyAbsolutePathsCount) {
    const struct {
        const wchar_t* path;
        bool windows;
        bool posix;
    } cases[] = {
        {L"", false, false},
        {L"Didura64.dll", false, false},
        {L".\\Didura64.dll", false, false},
        {L"./libDidura64.so", false, false},
        {L"sub\\x.dll", false, false},
        {L"C:x.dll", false, false},
        {L"C:\\Games\\Didura64.dll", true, false},
        {L"c:/Games/Didura64.dll", true, false},
        {L"\\\\server\\share\\x.dll", true, false},
        {L"\\x.dll", false, false},
        {L"/opt/velka/libDidura64.so", false, true},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(kWindowsHost ? c.windows : c.posix, IsAbsolutePath(c.path)) << ToNarrow(c.path);
    }
}

TEST(DynamicLibraryTest, MovedOwnerKeepsTheLibraryAndTheOldOneIsEmpty) {
    ScratchFolder scratch("dylib");
    ASSERT_TRUE(CopyOneFile(HostPath(VELKA_FAKE_DUMPER), DumperLibraryPath(scratch.Path())));
    DynamicLibrary first = DynamicLibrary::Load(DumperLibraryPath(scratch.Path()));
    ASSERT_TRUE(first.loaded());
    DynamicLibrary second = std::move(first);
    EXPECT_FALSE(first.loaded());  // NOLINT(bugprone-use-after-move): the moved-from state
    EXPECT_EQ(nullptr, first.Find("UnInitDumper"));
    EXPECT_NE(nullptr, second.Find("UnInitDumper"));
    EXPECT_EQ(nullptr, second.Find("NoSuchExport"));
    second.Reset();
    EXPECT_FALSE(second.loaded());
}

}  // namespace
}  // namespace velka
