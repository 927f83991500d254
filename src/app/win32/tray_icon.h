// The launcher's notification-area icon: its record, its context menu with the close-behaviour
// submenu, and its life with the shell. The icon is added again whenever the shell announces a
// new taskbar ("TaskbarCreated", sent when Explorer starts or restarts), and removed when the
// object goes away.
//
// Main thread only; one per window.
#pragma once

// windows.h first.
// clang-format off
#include <windows.h>
#include <shellapi.h>
// clang-format on

#include <cstdint>

#include "platform/win32/handles.h"

namespace velka {

// The icon's callback message (lParam carries the mouse message or a request).
inline constexpr UINT kTrayCallback = WM_USER;

class TrayIcon {
  public:
    // Commands of the context menu; kDismissed when it was closed without a choice.
    enum Command : UINT {
        kDismissed = 0,
        kRestore = 12,     // kMenuRestore
        kQuit = 13,        // kMenuQuit
        kCloseQuits = 14,  // kMenuCloseSettings > kMenuQuit
        kCloseHides = 15,  // kMenuCloseSettings > kMenuCloseHides
    };

    TrayIcon() = default;
    // Removes the icon when it is shown.
    ~TrayIcon();
    TrayIcon(const TrayIcon&) = delete;
    TrayIcon& operator=(const TrayIcon&) = delete;

    // Fills the record for `window` (callback kTrayCallback, `icon`, the tip and the
    // kTrayBalloonTitle balloon), builds the menus and adds the icon. Returns whether the icon was
    // added; when it was not, it is added on the next broadcast.
    bool Create(HWND window, HICON icon, const wchar_t* tip);

    // True for the shell's "TaskbarCreated" message.
    bool IsTaskbarCreated(UINT message) const {
        return taskbarCreated_ != 0 && message == taskbarCreated_;
    }
    // A new taskbar has no icons: adds ours again. Returns whether it is shown now.
    bool OnTaskbarCreated();

    // Shows the background-download balloon on the icon. When the icon is gone (the shell lost
    // it without announcing a new taskbar, or it was never added), it is added first. False when
    // the shell holds no icon of ours afterwards: then there is no way back to a hidden window
    // through the notification area.
    bool ShowBalloon();

    // Removes the icon from the shell; harmless when it is not shown.
    void Remove();

    // Sets the close-behaviour check marks: kMenuCloseHides for exitMode 1, kMenuQuit otherwise.
    void CheckCloseItems(int32_t exitMode);

    // Opens the context menu at the cursor, owned by the window, and returns the chosen command
    // (kDismissed when none).
    Command TrackMenu();

    bool shown() const { return shown_; }

  private:
    bool Add();

    NOTIFYICONDATAW record_{};
    UINT taskbarCreated_ = 0;
    bool shown_ = false;
    win32::MenuHandle menu_;
    HMENU closeMenu_ = nullptr;  // owned by menu_ once appended to it
};

}  // namespace velka
