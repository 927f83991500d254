// The start-up both front ends share: libcurl made ready, the Patcher for the install folder with
// the self-update that replaces the front end's own executable, and the progress view over it.
//
// Main thread, before the update thread starts.
#pragma once

#include <memory>
#include <string>

#include "app/portable/progress_view.h"
#include "patcher/patcher.h"
#include "transfer/transfer_settings.h"

namespace velka {

struct LauncherEngine {
    // Never deleted: the process ends while the update thread may still use it.
    Patcher* patcher = nullptr;
    std::unique_ptr<ProgressView> view;
};

// Initialises libcurl and makes the Patcher for `baseDirectory` with `settings`; its self-update
// replaces `launcherExe` (a file name in `baseDirectory`) and ends the process through the crash
// reporter's shutdown and exit(0). The view gets the settings' download limit.
LauncherEngine StartLauncherEngine(const std::wstring& baseDirectory,
                                   const TransferSettings& settings,
                                   const std::string& launcherExe);

}  // namespace velka
