// The crash-dump library binding against stand-ins that record the calls they receive.
#include "app/portable/crash_reporter.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "support/fixtures.h"
#include "support/scratch_log.h"

namespace velka {
namespace {

using namespace testing_support;

// What the stand-in in `folder` has recorded: loading it again shares the binding's instance.
std::string Journal(const std::wstring& folder) {
    DynamicLibrary probe = DynamicLibrary::Load(DumperLibraryPath(folder));
    auto journal = reinterpret_cast<const char* (*)()>(probe.Find("FakeDumperJournal"));
    return journal ? journal() : "(not loaded)";
}

// Only the library in the given folder is loaded, and only the exports it has are called, with
// their fixed arguments; releasing the record unloads it.
TEST(DumperTest, CallsWhatTheLibraryInTheGivenFolderExports) {
    ScratchFolder scratch("dumper");
    const std::string calls =
        "SetConfig|6|internal_us\nInitDumperTessaray|7c3e90d4|3.1.2034|\nUnInitDumper\n";
    const struct {
        const char* name;
        std::string library;  // a built stand-in, or the bytes of a file that is none
        std::string journal;
    } cases[] = {
        {"complete", VELKA_FAKE_DUMPER, calls},
        {"no SetConfig", VELKA_FAKE_DUMPER_WITHOUT_SETCONFIG, calls.substr(calls.find('\n') + 1)},
        {"no library", "", "(not loaded)"},
        {"not a library", "text", "(not loaded)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::wstring folder = scratch / ToWide(c.name);
        const std::wstring file = DumperLibraryPath(folder);
        ASSERT_TRUE(CreateDirectories(file));
        EXPECT_EQ(JoinPath(folder, kWindowsHost ? L"Didura64.dll" : L"libDidura64.so"), file);
        if (c.library.rfind("/", 0) == 0) {
            ASSERT_TRUE(CopyOneFile(HostPath(c.library), file));
        } else if (!c.library.empty()) {
            ASSERT_TRUE(WriteFileBytes(file, c.library));
        }
        const bool loaded = c.journal != "(not loaded)";
        {
            DumperApi api = LoadDumperApi(folder);
            EXPECT_EQ(loaded, api.library.loaded());
            EXPECT_EQ(loaded, api.setOnMiniDumpCreateCallBack != nullptr)
                << "looked up, not called";
            StartCrashReporter(api);
            ShutdownCrashReporter(api);
            EXPECT_EQ(c.journal, Journal(folder));
        }
        EXPECT_EQ(loaded ? "" : "(not loaded)", Journal(folder)) << "unloaded with its record";
    }
}

// A library planted in the current directory is never loaded, whatever folder is named.
TEST(DumperTest, LibraryInTheCurrentDirectoryIsIgnored) {
    ScratchFolder scratch("dumper");
    const auto saved = std::filesystem::current_path();
    ASSERT_TRUE(CreateDirectories(DumperLibraryPath(scratch / L"cwd")));
    ASSERT_TRUE(CopyOneFile(HostPath(VELKA_FAKE_DUMPER), DumperLibraryPath(scratch / L"cwd")));
    std::filesystem::current_path(std::filesystem::path(scratch / L"cwd"));
    for (const std::wstring folder : {L"", L".", L"cwd"}) {
        EXPECT_FALSE(LoadDumperApi(folder).library.loaded()) << ToNarrow(folder);
    }
    EXPECT_FALSE(DynamicLibrary::Load(SharedLibraryFileName(L"Didura64")).loaded());
    std::filesystem::current_path(saved);
}

// Only a path that names its file without the current directory counts as absolute.
TEST(DynamicLibraryTest, OnlyAbsolutePathsCount) {
    const struct {
        const wchar_t* path;
        bool windows, posix;
    } cases[] = {
        {L"", false, false},
        {L"Didura64.dll", false, false},
        {L".\\Didura64.dll", false, false},
        {L"C:x.dll", false, false},
        {L"\\x.dll", false, false},
        {L"C:\\Games\\Didura64.dll", true, false},
        {L"c:/Games/Didura64.dll", true, false},
        {L"\\\\server\\share\\x.dll", true, false},
        {L"/opt/velka/libDidura64.so", false, true},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(kWindowsHost ? c.windows : c.posix, IsAbsolutePath(c.path)) << ToNarrow(c.path);
    }
}

}  // namespace
}  // namespace velka
