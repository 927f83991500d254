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

// Only the given folder's library is loaded, and only the exports it has are called, fixed args.
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
        ASSERT_TRUE(CreateDirectories(file) && (!*library || CopyOneFile(HostPath(library), file)));
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
    for (const std::wstring folder : {L"", L".", L"../complete", L"C:complete", L"\\complete"}) {
        EXPECT_FALSE(LoadDumperApi(folder).library.loaded()) << ToNarrow(folder);
    }
    std::filesystem::current_path(saved);
}

}  // namespace
}  // namespace velka
