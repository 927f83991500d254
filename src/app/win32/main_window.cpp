#include "app/win32/main_window.h"

#include <cmath>
#include <cstdlib>
#include <stdexcept>
#include <utility>

#include "app/portable/launcher_startup.h"
#include "app/win32/resource.h"
#include "app/win32/window_layout.h"
#include "app/win32/window_painter.h"
#include "patcher/player_texts.h"
#include "patcher/self_update.h"
#include "platform/fs.h"
#include "platform/text.h"
#include "reporting/events.h"

namespace velka {

namespace {

// The window procedure reaches the one window through this; messages sent while the window is
// being created arrive before it is set and get the default handling.
MainWindow* g_mainWindow = nullptr;

constexpr DWORD kWindowStyle = WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX;  // 0x00CA0000

bool IsDownloading(PatcherState state) {
    return state == PatcherState::DownloadingFiles || state == PatcherState::DownloadingPackages;
}

}  // namespace

int32_t FrameIntervalFor(int32_t refreshRate) {
    if (refreshRate < 30 || refreshRate > 240) refreshRate = 60;
    return static_cast<int32_t>(1000.0 / refreshRate);
}

MainWindow::MainWindow(HINSTANCE instance, const std::wstring& commandLine, int showCommand)
    : instance_(instance), closeSettings_(ModuleDirectory()) {
    exitMode_ = 1;
    gameUpdateStart_ = commandLine == L"gameupdate";

    const std::wstring baseDirectory = ModuleDirectory();
    LauncherEngine engine = StartLauncherEngine(
        baseDirectory, InstalledTransferSettings(baseDirectory), kWindowLauncherExe);
    patcher_ = engine.patcher;
    view_ = std::move(engine.view);

    DEVMODEW mode{};
    mode.dmSize = sizeof mode;
    int32_t rate = 0;
    if (EnumDisplaySettingsW(nullptr, ENUM_CURRENT_SETTINGS, &mode)) {
        rate = static_cast<int32_t>(mode.dmDisplayFrequency);
    }
    refreshRate_ = (rate < 30 || rate > 240) ? 60 : rate;
    frameInterval_ = FrameIntervalFor(refreshRate_);

    // The window opens on the primary screen, whose scale is the system's until it says more.
    dpi_ = GetDpiForSystem();
    if (dpi_ == 0) dpi_ = USER_DEFAULT_SCREEN_DPI;
    screenWidth_ = GetSystemMetrics(SM_CXSCREEN);
    screenHeight_ = GetSystemMetrics(SM_CYSCREEN);
    clientWidth_ = layout::kClientWidth;
    clientHeight_ = layout::kClientHeight;
    CentreOnPrimaryScreen();

    LoadSkin();
    canvas_ = std::make_unique<Canvas>(clientWidth_, clientHeight_);

    const auto loadIcon = [this](int width, int height) {
        return win32::IconHandle(static_cast<HICON>(
            LoadImageW(instance_, MAKEINTRESOURCEW(IDI_LAUNCHER), IMAGE_ICON, width, height, 0)));
    };
    largeIcon_ = loadIcon(GetSystemMetrics(SM_CXICON), GetSystemMetrics(SM_CYICON));
    smallIcon_ = loadIcon(GetSystemMetrics(SM_CXSMICON), GetSystemMetrics(SM_CYSMICON));

    WNDCLASSEXW windowClass{};
    windowClass.cbSize = sizeof windowClass;
    windowClass.style = CS_HREDRAW | CS_VREDRAW;
    windowClass.lpfnWndProc = &MainWindow::WindowProc;
    windowClass.hInstance = instance_;
    windowClass.hIcon = largeIcon_.get();
    windowClass.hIconSm = smallIcon_.get();
    windowClass.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    windowClass.hbrBackground = static_cast<HBRUSH>(GetStockObject(BLACK_BRUSH));
    // The executable has no class menu or accelerators, so none is named.
    windowClass.lpszMenuName = nullptr;
    windowClass.lpszClassName = kWindowClassName;
    RegisterClassExW(&windowClass);

    window_ = CreateWindowExW(WS_EX_ACCEPTFILES, kWindowClassName, title_, kWindowStyle, windowX_,
                              windowY_, Device(clientWidth_), Device(clientHeight_), nullptr,
                              nullptr, instance_, nullptr);
    if (!window_) throw std::logic_error("Failed to create window!");
    const UINT windowDpi = GetDpiForWindow(window_);
    if (windowDpi != 0 && windowDpi != dpi_) {
        dpi_ = windowDpi;
        CentreOnPrimaryScreen();
    }
    PrepareSkinForDpi();

    g_mainWindow = this;
    tray_.Create(window_, smallIcon_.get() ? smallIcon_.get() : largeIcon_.get(),
                 kDefaultWindowTitle);
    LoadCloseSetting();
    tray_.CheckCloseItems(exitMode_);

    LayoutWindow();
    ShowWindow(window_, showCommand);
    UpdateWindow(window_);
    running_ = true;
}

void MainWindow::LoadSkin() {
    if (LoadStringW(instance_, IDS_TITLE, title_, 128) <= 0)
        lstrcpynW(title_, kDefaultWindowTitle, 128);

    startButton_.disabled = true;

    progressBar_.track =
        ScaleImage(LoadPngResource(IDP_BAR_TRACK).get(), layout::kBarWidth, layout::kBarHeight);
    progressBar_.fill =
        ScaleImage(LoadPngResource(IDP_BAR_FILL).get(), layout::kBarWidth, layout::kBarFillHeight);
}

void MainWindow::PrepareSkinForDpi() {
    const double scale = static_cast<double>(dpi_) / USER_DEFAULT_SCREEN_DPI;
    canvas_->SetScale(scale);
    startButton_.scale = scale;
    struct Look {
        int image;
        int id;
        int width;
        int height;
    };
    using namespace layout;
    const Look looks[] = {
        {ImageButton::kNormal, IDP_BUTTON_START, kButtonWidth, kButtonHeight},
        {ImageButton::kHover, IDP_BUTTON_START, kButtonWidth, kButtonHeight},
        {ImageButton::kPressed, IDP_BUTTON_PRESSED, kButtonPressedWidth, kButtonPressedHeight},
        {ImageButton::kDisabled, IDP_BUTTON_DISABLED, kButtonWidth, kButtonHeight},
        {ImageButton::kDisabledPressed, IDP_BUTTON_DISABLED_PRESSED, kButtonPressedWidth,
         kButtonPressedHeight},
    };
    for (const Look& look : looks) {
        startButton_.images[look.image] =
            LoadCachedPng(look.id, Device(look.width), Device(look.height));
        startButton_.imageSizes[look.image] = ImageSize{look.width, look.height};
    }
    startButton_.busyImages[0] =
        LoadCachedPng(IDP_BUTTON_BUSY, Device(kButtonWidth), Device(kButtonHeight));
    startButton_.busyImages[1] = LoadCachedPng(IDP_BUTTON_BUSY_PRESSED, Device(kButtonPressedWidth),
                                               Device(kButtonPressedHeight));
}

int MainWindow::Device(int length) const {
    return MulDiv(length, static_cast<int>(dpi_), USER_DEFAULT_SCREEN_DPI);
}

void MainWindow::CentreOnPrimaryScreen() {
    windowX_ = static_cast<int32_t>((screenWidth_ - Device(clientWidth_)) * 0.5);
    windowY_ = static_cast<int32_t>((screenHeight_ - Device(clientHeight_)) * 0.5);
}

void MainWindow::FitClientArea(int x, int y) {
    RECT windowRect{};
    RECT clientRect{};
    POINT origin{0, 0};
    GetWindowRect(window_, &windowRect);
    GetClientRect(window_, &clientRect);
    ClientToScreen(window_, &origin);
    borderX_ = origin.x - windowRect.left;
    borderY_ = origin.y - windowRect.top;
    frameWidth_ = (windowRect.right - windowRect.left) - (clientRect.right - clientRect.left);
    frameHeight_ = (windowRect.bottom - windowRect.top) - (clientRect.bottom - clientRect.top);
    MoveWindow(window_, x, y, Device(clientWidth_) + frameWidth_,
               Device(clientHeight_) + frameHeight_, FALSE);
}

void MainWindow::OnDpiChanged(UINT dpi, const RECT& suggested) {
    if (dpi == 0) return;
    dpi_ = dpi;
    CentreOnPrimaryScreen();
    PrepareSkinForDpi();
    // The suggestion keeps the window where the player put it, scaled for the new monitor; the
    // frame is measured again there so that the client area is exact whatever its rounding.
    SetWindowPos(window_, nullptr, suggested.left, suggested.top, suggested.right - suggested.left,
                 suggested.bottom - suggested.top, SWP_NOZORDER | SWP_NOACTIVATE);
    FitClientArea(suggested.left, suggested.top);
    InvalidateRect(window_, nullptr, FALSE);
}

void MainWindow::LayoutWindow() {
    FitClientArea(windowX_, windowY_);

    startButton_.w = layout::kButtonWidth;
    startButton_.h = layout::kButtonHeight;
    startButton_.x = clientWidth_ - layout::kButtonWidth - layout::kMargin;
    startButton_.y = clientHeight_ - layout::kButtonHeight - layout::kMargin;
    progressBar_.bottom = startButton_.y + startButton_.h;
    progressBar_.top = progressBar_.bottom - layout::kBarHeight;
    progressBar_.left = layout::kBarLeft;
    progressBar_.right = layout::kBarLeft + layout::kBarWidth;
}

void MainWindow::StartPatcherThread(bool waitForGame) {
    startButton_.disabled = true;
    startButton_.Invalidate(window_);
    patcher_->waitForGame = waitForGame;
    if (patcherThread_.joinable()) patcherThread_.join();
    Patcher* patcher = patcher_;
    patcherThread_ = std::thread([patcher] { patcher->ThreadMain(); });
}

int MainWindow::RunMessageLoop() {
    StartPatcherThread(gameUpdateStart_);
    // Takes the MAC address and the start time; without an address neither event is sent.
    EventReporter::Options eventOptions;
    eventOptions.endpoint.proxy = patcher_->Settings().proxy;
    EventReporter events(eventOptions);
    events.Start();

    while (running_) {
        UpdateView();
        MSG message;
        for (;;) {
            const UINT_PTR timer = SetTimer(nullptr, 0, static_cast<UINT>(frameInterval_), nullptr);
            const BOOL got = GetMessageW(&message, nullptr, 0, 0);
            KillTimer(nullptr, timer);
            if (got == 0 || got == -1) break;
            if (message.message == WM_TIMER && message.hwnd == nullptr && message.wParam == timer) {
                break;
            }
            TranslateMessage(&message);
            DispatchMessageW(&message);
        }
    }

    events.Stop();
    tray_.Remove();
    return 0;
}

void MainWindow::InvalidateDesignArea(int left, int top, int right, int bottom) {
    // Outward, so that the device pixels an edge only touches are drawn again too.
    const int dpi = static_cast<int>(dpi_);
    const RECT area{left * dpi / USER_DEFAULT_SCREEN_DPI, top * dpi / USER_DEFAULT_SCREEN_DPI,
                    (right * dpi + USER_DEFAULT_SCREEN_DPI - 1) / USER_DEFAULT_SCREEN_DPI,
                    (bottom * dpi + USER_DEFAULT_SCREEN_DPI - 1) / USER_DEFAULT_SCREEN_DPI};
    InvalidateRect(window_, &area, TRUE);
}

void MainWindow::InvalidateLowerPanel() {
    InvalidateDesignArea(0, layout::kLowerPanelTop, layout::kClientWidth,
                         layout::kLowerPanelTop + layout::kLowerPanelHeight);
}

void MainWindow::InvalidateBar() {
    const int widen = progressBar_.Height() / 4;
    InvalidateDesignArea(progressBar_.left - widen, progressBar_.top, progressBar_.right + widen,
                         progressBar_.bottom);
}

void MainWindow::FlashAndBringToFront() {
    FLASHWINFO flash{};
    flash.cbSize = sizeof flash;
    flash.hwnd = window_;
    flash.dwFlags = FLASHW_ALL | FLASHW_TIMERNOFG;
    flash.uCount = 0;
    flash.dwTimeout = 0;
    FlashWindowEx(&flash);
    const int width = Device(clientWidth_) + frameWidth_;
    const int height = Device(clientHeight_) + frameHeight_;
    SetWindowPos(window_, HWND_TOPMOST, windowX_, windowY_, width, height, SWP_NOSIZE);
    ShowWindow(window_, SW_SHOW);
    SetWindowPos(window_, HWND_NOTOPMOST, windowX_, windowY_, width, height, 0);
}

void MainWindow::UpdateView() {
    POINT cursor;
    if (GetCursorPos(&cursor) && ScreenToClient(window_, &cursor)) {
        if (cursor.x < 0 || cursor.x >= Device(clientWidth_) || cursor.y < 0 ||
            cursor.y >= Device(clientHeight_)) {
            startButton_.MouseMove(window_, -1, -1);
        }
    }

    bool clicked = false;
    if (startButton_.clicked) {
        startButton_.clicked = false;
        startButton_.hover = false;
        clicked = true;
    }

    const ViewRequests requests = view_->Tick(clicked);
    if (requests.enableStartButton) {
        startButton_.disabled = false;
        startButton_.Invalidate(window_);
    }
    if (requests.flashWindow || requests.bringToFront) FlashAndBringToFront();
    // The game runs: the loop ends at its next wake-up and the launcher closes.
    if (requests.gameStarted) running_ = false;
    if (requests.redrawLowerPanel) InvalidateLowerPanel();
    if (requests.redrawBar) InvalidateBar();
}

void MainWindow::Paint(HDC deviceContext) {
    PaintWindow(deviceContext, *canvas_, *view_, startButton_, progressBar_,
                IsDownloading(patcher_->Status().State()));
}

void MainWindow::LoadCloseSetting() {
    closeSettings_.LoadCloseSetting();
    exitMode_ = closeSettings_.exitMode();
}

void MainWindow::ShowContextMenu() {
    LoadCloseSetting();
    tray_.CheckCloseItems(exitMode_);
    switch (tray_.TrackMenu()) {
        case TrayIcon::kRestore:
            ShowWindow(window_, SW_SHOW);
            break;
        case TrayIcon::kQuit:
            DestroyWindow(window_);
            break;
        case TrayIcon::kCloseQuits:
            closeSettings_.WriteSetting("exitMode", "2");
            tray_.CheckCloseItems(2);
            break;
        case TrayIcon::kCloseHides:
            closeSettings_.WriteSetting("exitMode", "1");
            tray_.CheckCloseItems(1);
            break;
        case TrayIcon::kDismissed:
            // Dismissed without a choice: the window gets a left-button press, as it always has.
            PostMessageW(window_, WM_LBUTTONDOWN, 0, 0);
            break;
    }
}

POINT MainWindow::MessagePointInClient() const {
    const DWORD position = GetMessagePos();
    POINT point{static_cast<short>(LOWORD(position)), static_cast<short>(HIWORD(position))};
    RECT windowRect{};
    if (window_ && GetWindowRect(window_, &windowRect)) {
        point.x -= windowRect.left + borderX_;
        point.y -= windowRect.top + borderY_;
    }
    // Device pixels to design pixels, rounding down so that the half-open hit boxes hold.
    const double scale = static_cast<double>(dpi_) / USER_DEFAULT_SCREEN_DPI;
    point.x = static_cast<LONG>(std::floor(point.x / scale));
    point.y = static_cast<LONG>(std::floor(point.y / scale));
    return point;
}

LRESULT CALLBACK MainWindow::WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (!g_mainWindow) return DefWindowProcW(window, message, wParam, lParam);
    return g_mainWindow->HandleMessage(window, message, wParam, lParam);
}

LRESULT MainWindow::HandleMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    const POINT point = MessagePointInClient();
    switch (message) {
        case WM_MOUSEMOVE:
            startButton_.MouseMove(window_, point.x, point.y);
            return 0;
        case WM_LBUTTONDOWN:
            startButton_.MouseDown(window_, point.x, point.y);
            return 0;
        case WM_LBUTTONUP:
            startButton_.MouseUp(window_, point.x, point.y);
            return 0;
        case WM_MOUSEWHEEL:
            return 0;
        case kTrayCallback:
            switch (lParam) {
                case WM_LBUTTONDBLCLK:
                    ShowWindow(window_, SW_SHOW);
                    break;
                case WM_RBUTTONDOWN:
                    ShowContextMenu();
                    break;
                case kQuitRequest:
                    tray_.Remove();
                    running_ = false;
                    PostQuitMessage(0);
                    break;
                default:
                    break;
            }
            return 0;
        case WM_DESTROY:
            running_ = false;
            tray_.Remove();
            PostQuitMessage(0);
            return 0;
        case WM_PAINT: {
            PAINTSTRUCT paint;
            HDC deviceContext = BeginPaint(window, &paint);
            if (deviceContext) Paint(deviceContext);
            EndPaint(window, &paint);
            return 0;
        }
        case WM_CLOSE:
            LoadCloseSetting();
            if (exitMode_ == 1) {
                // Hidden without an icon, the window could only be reached by starting the
                // launcher again: without one it goes to the taskbar instead.
                ShowWindow(window_, tray_.ShowBalloon() ? SW_HIDE : SW_MINIMIZE);
            } else {
                DestroyWindow(window_);
            }
            return 0;
        case WM_ERASEBKGND:
            return 1;
        case WM_DPICHANGED:
            OnDpiChanged(HIWORD(wParam), *reinterpret_cast<const RECT*>(lParam));
            return 0;
        case WM_SETCURSOR:
            SetCursor(canvas_->arrowCursor());
            return 0;
        default:
            if (tray_.IsTaskbarCreated(message)) tray_.OnTaskbarCreated();
            return DefWindowProcW(window, message, wParam, lParam);
    }
}

void TerminateLauncher(MainWindow& window) {
    window.patcher().GetLogger().Info("Launcher terminate");
    std::exit(0);
}

}  // namespace velka
