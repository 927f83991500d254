#include "app/portable/launcher_startup.h"

#include <curl/curl.h>

#include <cstdlib>

#include "app/portable/crash_reporter.h"
#include "patcher/self_update.h"

namespace velka {

LauncherEngine StartLauncherEngine(const std::wstring& baseDirectory,
                                   const TransferSettings& settings,
                                   const std::string& launcherExe) {
    curl_global_init(CURL_GLOBAL_ALL);
    LauncherEngine engine;
    engine.patcher = new Patcher(baseDirectory, settings);
    LauncherReplacement replacement;
    replacement.launcherExe = launcherExe;
    replacement.endProcess = [] {
        ShutdownCrashReporter();
        std::exit(0);
    };
    engine.patcher->SetSelfUpdater(MakeSelfUpdater(replacement));
    engine.view = std::make_unique<ProgressView>(engine.patcher->Status(), baseDirectory);
    if (settings.downloadLimit)
        engine.view->SetSpeedLimit(settings.downloadLimit->BytesPerSecond());
    return engine;
}

}  // namespace velka
