// Binding to the optional crash-dump library "Didura64" of the game's maker, loaded at run time.
//
// The library file is "Didura64.dll" on Windows and "libDidura64.so" elsewhere, and it is only
// ever loaded from the launcher's own folder by its full path, never from the current directory:
// the launcher runs with administrator rights, and a library planted in whatever folder it was
// started from must not run inside it. A missing library, or a missing export, silently skips
// the calls that need it; nothing is reported and no result of the library is used.
//
// Calling order: StartCrashReporter at start-up (before anything else is set up), then
// ShutdownCrashReporter when the launcher ends, either after its main loop or just before a
// self-update exits the process.
#pragma once

#include <string>

#include "platform/dynamic_library.h"

namespace velka {

// Fixed values handed to the library.
inline constexpr int kDumperConfigKey = 6;
inline constexpr char kDumperConfigValue[] = "internal_us";
inline constexpr char kDumperAppKey[] = "7c3e90d4";

// The library's exports. Their results, if any, are not used.
using InitDumperTessarayFn = void (*)(const char* appKey, const char* appVersion,
                                      const char* extra);
using UnInitDumperFn = void (*)();
using SetOnMiniDumpCreateCallBackFn = void (*)(void* callback);
using SetConfigFn = void (*)(int key, const char* value);

// The loaded library and its exports; a pointer is null when its export (or the library) is
// missing. Destroying the record unloads the library.
struct DumperApi {
    DynamicLibrary library;
    InitDumperTessarayFn initDumperTessaray = nullptr;
    UnInitDumperFn unInitDumper = nullptr;
    SetOnMiniDumpCreateCallBackFn setOnMiniDumpCreateCallBack = nullptr;  // looked up only
    SetConfigFn setConfig = nullptr;
};

// The library file's full path in `folder`.
std::wstring DumperLibraryPath(const std::wstring& folder);

// Loads the library from `folder` (which must be an absolute path; anything else loads
// nothing) and looks up the four exports "InitDumperTessaray", "SetOnMiniDumpCreateCallBack",
// "SetConfig" and "UnInitDumper".
DumperApi LoadDumperApi(const std::wstring& folder);

// The process-wide record, loaded from ModuleDirectory() on the first call (thread-safe) and
// unloaded when the process exits.
DumperApi& GetDumperApi();

// SetConfig(6, "internal_us"), then InitDumperTessaray("7c3e90d4", launcher version, ""),
// each only when present.
void StartCrashReporter(const DumperApi& api);
// UnInitDumper when present.
void ShutdownCrashReporter(const DumperApi& api);

// The same on the process-wide record.
void StartCrashReporter();
void ShutdownCrashReporter();

}  // namespace velka
