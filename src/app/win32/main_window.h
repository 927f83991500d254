// The launcher's only window: a fixed 1280 x 576 skinned client area centred on the primary
// screen (1280 x 576 logical pixels: device pixels scaled by the monitor's DPI; drawing and hit
// tests work in the 1280 x 576 design space), its notification-area icon with the context menu, the
// message loop with the frame tick, and the update thread it starts.
//
// One MainWindow per process, created and run on the main thread and never destroyed: the
// process ends (TerminateLauncher) with the window and the update thread alive.
#pragma once

// windows.h first.
// clang-format off
#include <windows.h>
#include <shellapi.h>
// clang-format on

#include <cstdint>
#include <memory>
#include <string>
#include <thread>

#include "app/portable/close_settings.h"
#include "app/portable/progress_view.h"
#include "app/win32/skin.h"
#include "app/win32/tray_icon.h"
#include "patcher/patcher.h"
#include "platform/win32/handles.h"

namespace velka {

// The tray callback's lParam that asks the launcher to quit (WM_USER with this value).
inline constexpr LPARAM kQuitRequest = 1134;
inline constexpr wchar_t kWindowClassName[] = L"VELKALauncher";

// The frame period for a display refresh rate: rates outside 30..240 Hz count as 60.
int32_t FrameIntervalFor(int32_t refreshRate);

class MainWindow {
  public:
    // Registers the class, creates and shows the window with its tray icon and creates the
    // Patcher. Throws std::logic_error("Failed to create window!") when the window cannot be
    // created.
    MainWindow(HINSTANCE instance, const std::wstring& commandLine, int showCommand);
    MainWindow(const MainWindow&) = delete;
    MainWindow& operator=(const MainWindow&) = delete;

    // Starts the update thread, reports the start, runs the loop with the frame tick until the
    // window is gone, the quit request came or the game was started, reports the stop and
    // removes the tray icon.
    int RunMessageLoop();
    void StartPatcherThread(bool waitForGame);

    Patcher& patcher() { return *patcher_; }
    HWND window() const { return window_; }

  private:
    static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    LRESULT HandleMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

    void LoadSkin();
    // The skin's images and surface at the window's DPI.
    void PrepareSkinForDpi();
    void LayoutWindow();
    // Moves the window to (x, y) and sizes it so that its client area is the design size at the
    // window's DPI, measuring the frame as it is now.
    void FitClientArea(int x, int y);
    void CentreOnPrimaryScreen();
    // WM_DPICHANGED: the new DPI and the window rectangle the system suggests for it.
    void OnDpiChanged(UINT dpi, const RECT& suggested);
    // A design length in device pixels at the window's DPI.
    int Device(int length) const;
    void InvalidateDesignArea(int left, int top, int right, int bottom);
    void UpdateView();
    void Paint(HDC deviceContext);
    void ShowContextMenu();
    void LoadCloseSetting();
    void FlashAndBringToFront();
    void InvalidateLowerPanel();
    void InvalidateBar();
    POINT MessagePointInClient() const;

    bool running_ = false;
    HINSTANCE instance_ = nullptr;
    HWND window_ = nullptr;
    win32::IconHandle largeIcon_;
    win32::IconHandle smallIcon_;
    TrayIcon tray_;
    wchar_t title_[128] = {};
    int32_t refreshRate_ = 60;
    int32_t frameInterval_ = 16;
    int32_t screenWidth_ = 0, screenHeight_ = 0;
    int32_t clientWidth_ = 1280, clientHeight_ = 576;
    int32_t windowX_ = 0, windowY_ = 0;
    int32_t frameWidth_ = 0, frameHeight_ = 0;
    UINT dpi_ = USER_DEFAULT_SCREEN_DPI;
    int32_t borderX_ = 0, borderY_ = 0;
    Patcher* patcher_ = nullptr;  // never deleted: the process ends under the update thread
    std::thread patcherThread_;
    CloseSettings closeSettings_;
    int32_t exitMode_ = 1;
    bool gameUpdateStart_ = false;

    std::unique_ptr<ProgressView> view_;
    std::unique_ptr<Canvas> canvas_;
    ImageButton startButton_;
    ProgressBar progressBar_;
};

// Writes "Launcher terminate" to the window's log and ends the process with exit code 0.
[[noreturn]] void TerminateLauncher(MainWindow& window);

}  // namespace velka
