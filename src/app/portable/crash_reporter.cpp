#include "app/portable/crash_reporter.h"

#include "launcher_version.h"
#include "platform/fs.h"

namespace velka {

namespace {

template <typename Fn>
Fn Export(const DynamicLibrary& library, const char* name) {
    return reinterpret_cast<Fn>(library.Find(name));
}

}  // namespace

std::wstring DumperLibraryPath(const std::wstring& folder) {
    return JoinPath(folder, SharedLibraryFileName(L"Didura64"));
}

DumperApi LoadDumperApi(const std::wstring& folder) {
    DumperApi api;
    // An empty folder (the executable's path unknown) must not turn into a relative name.
    if (folder.empty()) return api;
    api.library = DynamicLibrary::Load(DumperLibraryPath(folder));
    if (!api.library.loaded()) return api;
    api.initDumperTessaray = Export<InitDumperTessarayFn>(api.library, "InitDumperTessaray");
    api.setOnMiniDumpCreateCallBack =
        Export<SetOnMiniDumpCreateCallBackFn>(api.library, "SetOnMiniDumpCreateCallBack");
    api.setConfig = Export<SetConfigFn>(api.library, "SetConfig");
    api.unInitDumper = Export<UnInitDumperFn>(api.library, "UnInitDumper");
    return api;
}

DumperApi& GetDumperApi() {
    static DumperApi api = LoadDumperApi(ModuleDirectory());
    return api;
}

void StartCrashReporter(const DumperApi& api) {
    if (api.setConfig) api.setConfig(kDumperConfigKey, kDumperConfigValue);
    if (api.initDumperTessaray) api.initDumperTessaray(kDumperAppKey, kLauncherVersion, "");
}

void ShutdownCrashReporter(const DumperApi& api) {
    if (api.unInitDumper) api.unInitDumper();
}

void StartCrashReporter() {
    StartCrashReporter(GetDumperApi());
}

void ShutdownCrashReporter() {
    ShutdownCrashReporter(GetDumperApi());
}

}  // namespace velka
