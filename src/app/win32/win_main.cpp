// VELKALauncher.exe: process start-up and end. Sets up the process-wide facilities, keeps the
// launcher to one instance, runs the main window and ends the process when its loop returns.
// windows.h first, then what GDI+ needs.
// clang-format off
#include <windows.h>
#include <objidl.h>
#include <gdiplus.h>
// clang-format on

#include <exception>
#include <string>

#include "app/portable/crash_reporter.h"
#include "app/win32/main_window.h"

namespace {

constexpr wchar_t kMutexName[] = L"velkaLauncher";
constexpr DWORD kMutexAllAccess = 0x1F0001;

// An unhandled exception ends the process quietly instead of raising the system's error dialog.
LONG WINAPI LastChanceFilter(EXCEPTION_POINTERS*) {
    return EXCEPTION_EXECUTE_HANDLER;
}

// True when another launcher already holds the instance mutex. Our own mutex, when we make it,
// lives until the process ends.
bool AnotherLauncherRuns() {
    HANDLE existing = OpenMutexW(kMutexAllAccess, FALSE, kMutexName);
    if (existing) {
        CloseHandle(existing);
        return true;
    }
    HANDLE created = CreateMutexW(nullptr, FALSE, kMutexName);
    // Two launchers started together may both miss the open; the later creation then finds the
    // other's mutex, and only one of them may go on to update the same folders.
    return created && GetLastError() == ERROR_ALREADY_EXISTS;
}

void BringRunningLauncherForward() {
    HWND other = FindWindowW(velka::kWindowClassName, nullptr);
    if (other) {
        ShowWindow(other, SW_SHOW);
    } else {
        MessageBoxW(nullptr, L"啓動器進程失去反應，請手動通過任務管理器關閉後台進程後再試！",
                    L"錯誤！", MB_OK);
    }
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR commandLine, int showCommand) {
    SetUnhandledExceptionFilter(&LastChanceFilter);
    velka::StartCrashReporter();
    CoInitialize(nullptr);

    ULONG_PTR gdiplusToken = 0;
    Gdiplus::GdiplusStartupInput gdiplusInput;
    Gdiplus::GdiplusStartup(&gdiplusToken, &gdiplusInput, nullptr);

    if (AnotherLauncherRuns()) {
        BringRunningLauncherForward();
    } else {
        try {
            // Never deleted: the process ends while the update thread may still use it.
            auto* window =
                new velka::MainWindow(instance, commandLine ? commandLine : L"", showCommand);
            window->RunMessageLoop();
            velka::ShutdownCrashReporter();
            Gdiplus::GdiplusShutdown(gdiplusToken);
            velka::TerminateLauncher(*window);
        } catch (const std::exception& error) {
            MessageBoxA(nullptr, error.what(), "Error!", MB_OK);
        }
    }

    velka::ShutdownCrashReporter();
    Gdiplus::GdiplusShutdown(gdiplusToken);
    return 0;
}
