// A small Windows program for the window test: it finds the launcher's window by its class and
// either asks it to close, the way the caption's close box does, or reports on it. Runs under the
// same Wine prefix and display as the launcher.
//
//   velka_window_probe close    posts WM_CLOSE to the window
//   velka_window_probe visible  prints 1 when the window is visible, 0 when it is hidden
//   velka_window_probe client   prints the screen position of the client area's top-left corner
//                               as "X Y"
//
// Exit codes: 0 done, 2 no launcher window, 3 the request failed, 64 usage.
#include <windows.h>

#include <cstdio>
#include <cstring>

namespace velka {
namespace {

constexpr wchar_t kLauncherWindowClass[] = L"VELKALauncher";

int Run(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: velka_window_probe close|visible|client\n");
        return 64;
    }
    const HWND window = FindWindowW(kLauncherWindowClass, nullptr);
    if (!window) {
        std::fprintf(stderr, "no launcher window\n");
        return 2;
    }
    const char* command = argv[1];
    if (std::strcmp(command, "close") == 0) {
        return PostMessageW(window, WM_CLOSE, 0, 0) ? 0 : 3;
    }
    if (std::strcmp(command, "visible") == 0) {
        std::printf("%d\n", IsWindowVisible(window) ? 1 : 0);
        return 0;
    }
    if (std::strcmp(command, "client") == 0) {
        POINT origin{0, 0};
        if (!ClientToScreen(window, &origin)) return 3;
        std::printf("%ld %ld\n", static_cast<long>(origin.x), static_cast<long>(origin.y));
        return 0;
    }
    std::fprintf(stderr, "unknown request %s\n", command);
    return 64;
}

}  // namespace
}  // namespace velka

int main(int argc, char** argv) {
    const int code = velka::Run(argc, argv);
    std::fflush(stdout);
    return code;
}
