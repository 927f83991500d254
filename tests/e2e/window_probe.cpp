// The window test's hand on the launcher's window, as system, shell or player: close | state |
// client | tray | tray-drop | tray-event N | taskbar-created | menu N | dpi N | hold-mutex MS |
// refusing-shell MS | message-box TITLE | sleep MS. Exit 2: none found, 3: failed, 64: usage.
// clang-format off
#include <windows.h>
#include <shellapi.h>
// clang-format on

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

int PrintRect(long left, long top, long width, long height) {
    return std::printf("%ld %ld %ld %ld\n", left, top, width, height) > 0 ? 0 : 3;
}

// A shell that accepts no icons (Explorer down or hung), as the newest Shell_TrayWnd.
int RefusingShell(DWORD milliseconds) {
    WNDCLASSW windowClass{};
    windowClass.lpfnWndProc = [](HWND window, UINT message, WPARAM w, LPARAM l) -> LRESULT {
        return message == WM_COPYDATA ? FALSE : DefWindowProcW(window, message, w, l);
    };
    windowClass.hInstance = GetModuleHandleW(nullptr);
    windowClass.lpszClassName = L"Shell_TrayWnd";
    RegisterClassW(&windowClass);
    HWND tray = CreateWindowExW(0, L"Shell_TrayWnd", nullptr, WS_POPUP, 0, 0, 0, 0, nullptr,
                                nullptr, windowClass.hInstance, nullptr);
    if (!tray) return 3;
    std::puts("ready");
    for (const ULONGLONG end = GetTickCount64() + milliseconds; GetTickCount64() < end;) {
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 50, QS_ALLINPUT);
        MSG message;
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&message);
    }
    return DestroyWindow(tray) ? 0 : 3;
}

// Prints the screen rectangle of the Nth open popup menu (0 the first), waiting up to 10 s.
int PrintMenu(size_t index) {
    for (int i = 0; i < 200; ++i, Sleep(50)) {
        std::vector<HWND> found;  // from the top of the z-order: a submenu comes first
        for (HWND menu = nullptr; (menu = FindWindowExW(nullptr, menu, L"#32768", nullptr));) {
            if (IsWindowVisible(menu)) found.push_back(menu);
        }
        if (found.size() <= index) continue;
        RECT r{};
        GetWindowRect(found[found.size() - 1 - index], &r);
        return PrintRect(r.left, r.top, r.right - r.left, r.bottom - r.top);
    }
    return 2;
}

// Waits up to 20 s for a message box titled TITLE, prints its text (UTF-8) and presses OK.
int AnswerMessageBox(const wchar_t* title) {
    for (int i = 0; i < 400; ++i, Sleep(50)) {
        HWND box = FindWindowW(L"#32770", title);
        if (!box) continue;
        wchar_t text[512] = {};
        char narrow[1536] = {};
        GetDlgItemTextW(box, 0xFFFF, text, 512);  // a message box's text control
        WideCharToMultiByte(CP_UTF8, 0, text, -1, narrow, sizeof narrow, nullptr, nullptr);
        std::puts(narrow);
        return PostMessageW(box, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0) ? 0 : 3;
    }
    return 2;
}

// WM_DPICHANGED for DPI with the rectangle the system would suggest (same top-left, client area
// scaled, frame kept), placed in the launcher's process as the system places it.
int SendDpiChanged(HWND window, UINT dpi) {
    RECT suggested{}, client{};
    GetWindowRect(window, &suggested);
    GetClientRect(window, &client);
    const int currentDpi = MulDiv(client.right, 96, 1280);  // the client holds 1280 logical pixels
    if (currentDpi <= 0) return 3;
    suggested.right += MulDiv(client.right, dpi, currentDpi) - client.right;
    suggested.bottom += MulDiv(client.bottom, dpi, currentDpi) - client.bottom;
    DWORD processId = 0;
    GetWindowThreadProcessId(window, &processId);
    HANDLE process = OpenProcess(PROCESS_VM_OPERATION | PROCESS_VM_WRITE, FALSE, processId);
    if (!process) return 3;
    void* remote = VirtualAllocEx(process, nullptr, sizeof suggested, MEM_COMMIT | MEM_RESERVE,
                                  PAGE_READWRITE);
    DWORD_PTR result = 0;
    const bool sent =
        remote && WriteProcessMemory(process, remote, &suggested, sizeof suggested, nullptr) &&
        SendMessageTimeoutW(window, WM_DPICHANGED, MAKEWPARAM(dpi, dpi),
                            reinterpret_cast<LPARAM>(remote), SMTO_NORMAL, 10000, &result);
    if (remote) VirtualFreeEx(process, remote, 0, MEM_RELEASE);
    CloseHandle(process);
    return sent ? 0 : 3;
}

}  // namespace

int main(int argc, char** argv) {
    std::setvbuf(stdout, nullptr, _IONBF, 0);  // a background probe's first line tells it is ready
    if (argc < 2) return 64;
    const std::string command = argv[1];
    const DWORD number = static_cast<DWORD>(std::strtoul(argc > 2 ? argv[2] : "", nullptr, 10));
    if (command == "hold-mutex") {  // as a launcher that is closing holds it, without a window
        HANDLE mutex = CreateMutexW(nullptr, FALSE, L"velkaLauncher");
        if (!mutex) return 3;
        std::puts("holding");
        Sleep(number);
        return CloseHandle(mutex) ? 0 : 3;
    }
    if (command == "refusing-shell") return RefusingShell(number);
    if (command == "message-box") {  // the title as a wide argument, not through the ANSI page
        int count = 0;
        LPWSTR* wide = CommandLineToArgvW(GetCommandLineW(), &count);
        const int code = wide && count > 2 ? AnswerMessageBox(wide[2]) : 64;
        LocalFree(wide);
        return code;
    }
    if (command == "menu") return PrintMenu(number);
    const UINT taskbarCreated = RegisterWindowMessageW(L"TaskbarCreated");
    if (command == "taskbar-created")
        return PostMessageW(HWND_BROADCAST, taskbarCreated, 0, 0) ? 0 : 3;
    if (command == "sleep") return Sleep(number), 0;
    const HWND window = FindWindowW(L"VELKALauncher", nullptr);
    if (!window) return 2;
    NOTIFYICONDATAW icon{};
    icon.cbSize = sizeof icon;
    icon.hWnd = window;
    POINT origin{0, 0};
    RECT client{};
    if (command == "close") return PostMessageW(window, WM_CLOSE, 0, 0) ? 0 : 3;
    if (command == "state") {
        return std::puts(!IsWindowVisible(window) ? "hidden"
                         : IsIconic(window)       ? "minimised"
                                                  : "shown") < 0;
    }
    if (command == "client") {  // the client area's screen position and size
        if (!ClientToScreen(window, &origin) || !GetClientRect(window, &client)) return 3;
        return PrintRect(origin.x, origin.y, client.right, client.bottom);
    }
    // Changing nothing succeeds exactly when the shell holds the icon.
    if (command == "tray") return std::puts(Shell_NotifyIconW(NIM_MODIFY, &icon) ? "1" : "0") < 0;
    if (command == "tray-drop") return Shell_NotifyIconW(NIM_DELETE, &icon) ? 0 : 3;
    // The icon's callback message: 516 the right button, 515 a double click, 1134 quit.
    if (command == "tray-event") return PostMessageW(window, WM_USER, 0, number) ? 0 : 3;
    return command == "dpi" ? SendDpiChanged(window, number) : 64;
}
