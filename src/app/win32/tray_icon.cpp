#include "app/win32/tray_icon.h"

#include "patcher/player_texts.h"

namespace velka {

namespace {

constexpr UINT kTrayFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP;
constexpr UINT kBalloonTimeoutMs = 5000;

}  // namespace

TrayIcon::~TrayIcon() {
    Remove();
}

bool TrayIcon::Create(HWND window, HICON icon, const wchar_t* tip) {
    taskbarCreated_ = RegisterWindowMessageW(L"TaskbarCreated");
    // The shell runs at medium integrity and this elevated process at high integrity: UIPI
    // drops the shell's broadcast unless the window lets it through, and the icon would never
    // come back after Explorer restarts.
    if (taskbarCreated_ != 0) {
        ChangeWindowMessageFilterEx(window, taskbarCreated_, MSGFLT_ALLOW, nullptr);
    }

    record_.cbSize = sizeof record_;
    record_.hWnd = window;
    record_.uID = 0;
    record_.uFlags = kTrayFlags;
    record_.uCallbackMessage = kTrayCallback;
    record_.hIcon = icon;
    lstrcpynW(record_.szTip, tip, ARRAYSIZE(record_.szTip));
    lstrcpynW(record_.szInfoTitle, kTrayBalloonTitle, ARRAYSIZE(record_.szInfoTitle));
    lstrcpynW(record_.szInfo, kTrayBalloonText, ARRAYSIZE(record_.szInfo));
    record_.uTimeout = kBalloonTimeoutMs;

    menu_ = win32::MenuHandle(CreatePopupMenu());
    closeMenu_ = CreateMenu();
    AppendMenuW(menu_.get(), MF_POPUP | MF_STRING, reinterpret_cast<UINT_PTR>(closeMenu_),
                kMenuCloseSettings);
    AppendMenuW(menu_.get(), MF_STRING, kRestore, kMenuRestore);
    AppendMenuW(menu_.get(), MF_STRING, kQuit, kMenuQuit);
    AppendMenuW(closeMenu_, MF_STRING, kCloseHides, kMenuCloseHides);
    AppendMenuW(closeMenu_, MF_STRING, kCloseQuits, kMenuQuit);

    return Add();
}

bool TrayIcon::Add() {
    record_.uFlags = kTrayFlags;
    shown_ = Shell_NotifyIconW(NIM_ADD, &record_) != FALSE;
    return shown_;
}

bool TrayIcon::OnTaskbarCreated() {
    return Add();
}

bool TrayIcon::ShowBalloon() {
    if (!record_.hWnd) return false;
    record_.uFlags = kTrayFlags | NIF_INFO;
    // The shell's answer is the only reliable word on whether it holds the icon: it may have
    // lost it (a restart whose broadcast never came) or refused the first add (not started yet).
    if (Shell_NotifyIconW(NIM_MODIFY, &record_)) return shown_ = true;
    if (!Add()) return false;
    record_.uFlags = kTrayFlags | NIF_INFO;
    Shell_NotifyIconW(NIM_MODIFY, &record_);
    return true;
}

void TrayIcon::Remove() {
    if (!shown_) return;
    Shell_NotifyIconW(NIM_DELETE, &record_);
    shown_ = false;
}

void TrayIcon::CheckCloseItems(int32_t exitMode) {
    const bool hides = exitMode == 1;
    CheckMenuItem(closeMenu_, kCloseHides, MF_BYCOMMAND | (hides ? MF_CHECKED : MF_UNCHECKED));
    CheckMenuItem(closeMenu_, kCloseQuits, MF_BYCOMMAND | (hides ? MF_UNCHECKED : MF_CHECKED));
}

TrayIcon::Command TrayIcon::TrackMenu() {
    POINT cursor{};
    GetCursorPos(&cursor);
    // Without the foreground the menu would not close when the player clicks elsewhere.
    SetForegroundWindow(record_.hWnd);
    return static_cast<Command>(
        TrackPopupMenu(menu_.get(), TPM_RETURNCMD, cursor.x, cursor.y, 0, record_.hWnd, nullptr));
}

}  // namespace velka
