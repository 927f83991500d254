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
#include "patcher/player_texts.h"

namespace {

constexpr wchar_t kMutexName[] = L"velkaLauncher";
constexpr DWORD kMutexAllAccess = 0x1F0001;

// An unhandled exception ends the process quietly instead of raising the system's error dialog.
LONG WINAPI LastChanceFilter(EXCEPTION_POINTERS*) {
    return EXCEPTION_EXECUTE_HANDLER;
}

// A launcher that is closing has no window any more but holds the mutex until its process ends,
// which takes up to the stop event's time-out (5 s). A second start waits this long for it to
// go (or for a starting one to show its window) before calling it unresponsive.
constexpr DWORD kPreviousLauncherWaitMs = 8000;
constexpr DWORD kPollMs = 100;

// Takes the instance mutex when no other launcher holds it; ours lives until the process ends.
bool TakeInstanceMutex() {
    HANDLE existing = OpenMutexW(kMutexAllAccess, FALSE, kMutexName);
    if (existing) {
        CloseHandle(existing);
        return false;
    }
    HANDLE created = CreateMutexW(nullptr, FALSE, kMutexName);
    // Two launchers started together may both miss the open; the later creation then finds the
    // other's mutex, and only one of them may go on to update the same folders. Its handle is
    // closed so that the mutex goes with the other launcher.
    if (created && GetLastError() == ERROR_ALREADY_EXISTS) {
        CloseHandle(created);
        return false;
    }
    return true;
}

// True when this process may run the launcher. Otherwise another launcher runs: its window is
// shown, or, when it has none for the whole wait, the player is told that it hangs.
bool BecomeTheOnlyLauncher() {
    const ULONGLONG deadline = GetTickCount64() + kPreviousLauncherWaitMs;
    for (;;) {
        if (TakeInstanceMutex()) return true;
        HWND other = FindWindowW(velka::kWindowClassName, nullptr);
        if (other) {
            ShowWindow(other, SW_SHOW);
            return false;
        }
        if (GetTickCount64() >= deadline) {
            MessageBoxW(nullptr, velka::kLauncherHungText, velka::kLauncherHungTitle, MB_OK);
            return false;
        }
        Sleep(kPollMs);
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

    if (BecomeTheOnlyLauncher()) {
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
