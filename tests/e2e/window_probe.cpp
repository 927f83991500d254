// A small Windows program for the window test: it finds the launcher's window by its class and
// acts on it the way the system, the shell or the player would, or reports on it. Runs under the
// same Wine prefix and display as the launcher.
//
//   velka_window_probe close            posts WM_CLOSE, as the caption's close box does
//   velka_window_probe state            prints "shown", "hidden" or "minimised"
//   velka_window_probe client           prints the client area's screen position and size as
//                                       "X Y WIDTH HEIGHT"
//   velka_window_probe tray             prints 1 when the shell holds the window's icon, else 0
//   velka_window_probe tray-drop        removes the window's icon, as a restarting shell loses it
//   velka_window_probe tray-event N     posts the icon's callback message with lParam N (516 the
//                                       right button, 515 a double click, 1134 the quit request)
//   velka_window_probe taskbar-created  broadcasts "TaskbarCreated", as a starting shell does
//   velka_window_probe menu N           waits up to 10 s for the Nth open popup menu (0 the
//                                       first) and prints its screen rectangle "X Y WIDTH HEIGHT"
//   velka_window_probe dpi N            sends WM_DPICHANGED for N DPI with the suggested
//                                       rectangle the system would give: the same top-left, the
//                                       client area scaled, the frame kept
//   velka_window_probe hold-mutex MS    holds the launcher's instance mutex for MS milliseconds
//                                       without a window, as a launcher that is closing does
//   velka_window_probe refusing-shell MS  stands in for a shell that accepts no icons (Explorer
//                                       down or hung) for MS milliseconds
//   velka_window_probe message-box TITLE  waits up to 20 s for a message box titled TITLE (UTF-8),
//                                       prints its text and presses its OK button
//   velka_window_probe sleep MS         just lives for MS milliseconds (a stand-in game process)
//
// Exit codes: 0 done, 2 no launcher window (or nothing found), 3 the request failed, 64 usage.
// windows.h first.
// clang-format off
#include <windows.h>
#include <shellapi.h>
// clang-format on

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace velka {
namespace {

constexpr wchar_t kLauncherWindowClass[] = L"VELKALauncher";
constexpr wchar_t kMutexName[] = L"velkaLauncher";
constexpr UINT kTrayCallback = WM_USER;

std::string Utf8(const std::wstring& wide) {
    const int length =
        WideCharToMultiByte(CP_UTF8, 0, wide.c_str(), -1, nullptr, 0, nullptr, nullptr);
    std::string narrow(length > 0 ? length - 1 : 0, '\0');
    if (length > 1) {
        WideCharToMultiByte(CP_UTF8, 0, wide.c_str(), -1, &narrow[0], length, nullptr, nullptr);
    }
    return narrow;
}

NOTIFYICONDATAW IconOf(HWND window) {
    NOTIFYICONDATAW icon{};
    icon.cbSize = sizeof icon;
    icon.hWnd = window;
    icon.uID = 0;
    return icon;
}

LRESULT CALLBACK RefusingShellProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_COPYDATA) return FALSE;  // every icon request fails
    return DefWindowProcW(window, message, wParam, lParam);
}

int RefusingShell(DWORD milliseconds) {
    WNDCLASSW windowClass{};
    windowClass.lpfnWndProc = &RefusingShellProc;
    windowClass.hInstance = GetModuleHandleW(nullptr);
    windowClass.lpszClassName = L"Shell_TrayWnd";
    if (!RegisterClassW(&windowClass)) return 3;
    // Newest top-level window: the one the shell's clients find first.
    HWND tray = CreateWindowExW(0, L"Shell_TrayWnd", nullptr, WS_POPUP, 0, 0, 0, 0, nullptr,
                                nullptr, windowClass.hInstance, nullptr);
    if (!tray) return 3;
    std::printf("ready\n");
    std::fflush(stdout);
    const ULONGLONG end = GetTickCount64() + milliseconds;
    while (GetTickCount64() < end) {
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 50, QS_ALLINPUT);
        MSG message;
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&message);
    }
    DestroyWindow(tray);
    return 0;
}

struct PopupSearch {
    std::vector<HWND> found;
};

BOOL CALLBACK CollectPopupMenus(HWND window, LPARAM context) {
    wchar_t name[16] = {};
    GetClassNameW(window, name, 16);
    if (std::wcscmp(name, L"#32768") == 0 && IsWindowVisible(window)) {
        reinterpret_cast<PopupSearch*>(context)->found.push_back(window);
    }
    return TRUE;
}

int PrintMenu(size_t index) {
    for (int i = 0; i < 200; ++i) {
        PopupSearch search;
        EnumWindows(&CollectPopupMenus, reinterpret_cast<LPARAM>(&search));
        if (search.found.size() > index) {
            // Enumeration runs from the top of the z-order: the newest (a submenu) comes first.
            HWND menu = search.found[search.found.size() - 1 - index];
            RECT r{};
            GetWindowRect(menu, &r);
            std::printf("%ld %ld %ld %ld\n", static_cast<long>(r.left), static_cast<long>(r.top),
                        static_cast<long>(r.right - r.left), static_cast<long>(r.bottom - r.top));
            return 0;
        }
        Sleep(50);
    }
    return 2;
}

int AnswerMessageBox(const std::wstring& title) {
    for (int i = 0; i < 400; ++i) {
        HWND box = FindWindowW(L"#32770", title.c_str());
        if (box) {
            // The text of a message box is its static control with id 0xFFFF.
            wchar_t text[512] = {};
            GetDlgItemTextW(box, 0xFFFF, text, 512);
            std::printf("%s\n", Utf8(text).c_str());
            std::fflush(stdout);
            PostMessageW(box, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
            return 0;
        }
        Sleep(50);
    }
    return 2;
}

// WM_DPICHANGED carries a pointer to the suggested rectangle, which the system places in the
// receiving process; so does this.
int SendDpiChanged(HWND window, UINT dpi) {
    RECT windowRect{};
    RECT client{};
    GetWindowRect(window, &windowRect);
    GetClientRect(window, &client);
    const int frameWidth = (windowRect.right - windowRect.left) - client.right;
    const int frameHeight = (windowRect.bottom - windowRect.top) - client.bottom;
    // The client area holds 1280 logical pixels: its width says the DPI it was made for.
    const int currentDpi = MulDiv(client.right, 96, 1280);
    if (currentDpi <= 0) return 3;
    RECT suggested;
    suggested.left = windowRect.left;
    suggested.top = windowRect.top;
    suggested.right = suggested.left + MulDiv(client.right, dpi, currentDpi) + frameWidth;
    suggested.bottom = suggested.top + MulDiv(client.bottom, dpi, currentDpi) + frameHeight;

    DWORD processId = 0;
    GetWindowThreadProcessId(window, &processId);
    HANDLE process = OpenProcess(PROCESS_VM_OPERATION | PROCESS_VM_WRITE, FALSE, processId);
    if (!process) return 3;
    void* remote = VirtualAllocEx(process, nullptr, sizeof suggested, MEM_COMMIT | MEM_RESERVE,
                                  PAGE_READWRITE);
    int code = 3;
    if (remote && WriteProcessMemory(process, remote, &suggested, sizeof suggested, nullptr)) {
        DWORD_PTR result = 0;
        if (SendMessageTimeoutW(window, WM_DPICHANGED, MAKEWPARAM(dpi, dpi),
                                reinterpret_cast<LPARAM>(remote), SMTO_NORMAL, 10000, &result)) {
            code = 0;
        }
    }
    if (remote) VirtualFreeEx(process, remote, 0, MEM_RELEASE);
    CloseHandle(process);
    return code;
}

int Run(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: velka_window_probe REQUEST [ARGUMENT]\n");
        return 64;
    }
    const std::string command = argv[1];
    const char* argument = argc > 2 ? argv[2] : "";
    const DWORD number = static_cast<DWORD>(std::strtoul(argument, nullptr, 10));

    // Requests that need no launcher window.
    if (command == "hold-mutex") {
        HANDLE mutex = CreateMutexW(nullptr, FALSE, kMutexName);
        if (!mutex) return 3;
        std::printf("holding\n");
        std::fflush(stdout);
        Sleep(number);
        CloseHandle(mutex);
        return 0;
    }
    if (command == "refusing-shell") return RefusingShell(number);
    if (command == "message-box") {
        // The narrow arguments went through the ANSI code page; the title needs the wide ones.
        int count = 0;
        LPWSTR* wide = CommandLineToArgvW(GetCommandLineW(), &count);
        const std::wstring title = wide && count > 2 ? wide[2] : L"";
        if (wide) LocalFree(wide);
        return AnswerMessageBox(title);
    }
    if (command == "menu") return PrintMenu(number);
    if (command == "taskbar-created") {
        const UINT message = RegisterWindowMessageW(L"TaskbarCreated");
        return PostMessageW(HWND_BROADCAST, message, 0, 0) ? 0 : 3;
    }
    if (command == "sleep") {
        Sleep(number);
        return 0;
    }

    const HWND window = FindWindowW(kLauncherWindowClass, nullptr);
    if (!window) {
        std::fprintf(stderr, "no launcher window\n");
        return 2;
    }
    if (command == "close") return PostMessageW(window, WM_CLOSE, 0, 0) ? 0 : 3;
    if (command == "state") {
        std::printf("%s\n", !IsWindowVisible(window) ? "hidden"
                            : IsIconic(window)       ? "minimised"
                                                     : "shown");
        return 0;
    }
    if (command == "client") {
        POINT origin{0, 0};
        RECT client{};
        if (!ClientToScreen(window, &origin) || !GetClientRect(window, &client)) return 3;
        std::printf("%ld %ld %ld %ld\n", static_cast<long>(origin.x), static_cast<long>(origin.y),
                    static_cast<long>(client.right), static_cast<long>(client.bottom));
        return 0;
    }
    if (command == "tray") {
        // Changing nothing succeeds exactly when the shell holds the icon.
        NOTIFYICONDATAW icon = IconOf(window);
        std::printf("%d\n", Shell_NotifyIconW(NIM_MODIFY, &icon) ? 1 : 0);
        return 0;
    }
    if (command == "tray-drop") {
        NOTIFYICONDATAW icon = IconOf(window);
        return Shell_NotifyIconW(NIM_DELETE, &icon) ? 0 : 3;
    }
    if (command == "tray-event") {
        return PostMessageW(window, kTrayCallback, 0, static_cast<LPARAM>(number)) ? 0 : 3;
    }
    if (command == "dpi") return SendDpiChanged(window, number);
    std::fprintf(stderr, "unknown request %s\n", command.c_str());
    return 64;
}

}  // namespace
}  // namespace velka

int main(int argc, char** argv) {
    const int code = velka::Run(argc, argv);
    std::fflush(stdout);
    return code;
}
