// The crash-dump library binding against stand-ins that record the calls they receive.
#include "app/portable/crash_reporter.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <tuple>

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

// Only the library in the given folder is loaded, never one in the current directory; only the
// exports it has are called, with their fixed arguments; releasing the record unloads it.
TEST(DumperTest, CallsWhatTheLibraryInTheGivenFolderExports) {
    ScratchFolder scratch("dumper");
    const std::string all =
        "SetConfig|6|internal_us\nInitDumperTessaray|7c3e90d4|3.1.2034|\nUnInitDumper\n";
    for (const auto& [name, library, journal] :
         {std::make_tuple("complete", VELKA_FAKE_DUMPER, all),
          std::make_tuple("no SetConfig", VELKA_FAKE_DUMPER_WITHOUT_SETCONFIG,
                          all.substr(all.find('\n') + 1)),
          std::make_tuple("none", "", std::string("(not loaded)"))}) {
        SCOPED_TRACE(name);
        const std::wstring folder = scratch / ToWide(name), file = DumperLibraryPath(folder);
        EXPECT_EQ(JoinPath(folder, kWindowsHost ? L"Didura64.dll" : L"libDidura64.so"), file);
        ASSERT_TRUE(CreateDirectories(file));
        ASSERT_TRUE(!*library || CopyOneFile(HostPath(library), file));
        {
            DumperApi api = LoadDumperApi(folder);
            EXPECT_EQ(*library != 0, api.setOnMiniDumpCreateCallBack != nullptr) << "looked up";
            StartCrashReporter(api);
            ShutdownCrashReporter(api);
            EXPECT_EQ(journal, Journal(folder));
        }
        EXPECT_EQ(*library ? "" : journal, Journal(folder)) << "unloaded with its record";
    }
    const auto saved = std::filesystem::current_path();
    std::filesystem::current_path(std::filesystem::path(scratch / L"complete"));
    for (const std::wstring folder : {L"", L".", L"../complete"}) {
        EXPECT_FALSE(LoadDumperApi(folder).library.loaded()) << ToNarrow(folder);
    }
    EXPECT_FALSE(DynamicLibrary::Load(SharedLibraryFileName(L"Didura64")).loaded());
    std::filesystem::current_path(saved);
}

// Only a path that names its file without the current directory counts as absolute.
TEST(DynamicLibraryTest, OnlyAbsolutePathsCount) {
    for (const wchar_t* path : {L"", L"x.dll", L".\\x.dll", L"./x.so", L"C:x.dll", L"\\x.dll"}) {
        EXPECT_FALSE(IsAbsolutePath(path)) << ToNarrow(path);
    }
    for (const wchar_t* path : {L"C:\\Games\\x.dll", L"c:/x.dll", L"\\\\server\\share\\x.dll"}) {
        EXPECT_EQ(kWindowsHost, IsAbsolutePath(path)) << ToNarrow(path);
    }
    EXPECT_EQ(!kWindowsHost, IsAbsolutePath(L"/opt/velka/libDidura64.so"));
}

}  // namespace
}  // namespace velka
