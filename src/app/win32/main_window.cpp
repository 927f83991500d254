#include "app/win32/main_window.h"

#include <curl/curl.h>

#include <cstdlib>
#include <stdexcept>

#include "app/portable/crash_reporter.h"
#include "app/win32/resource.h"
#include "patcher/self_update.h"
#include "platform/fs.h"
#include "platform/text.h"
#include "reporting/events.h"

namespace velka {

namespace {

// The window procedure reaches the one window through this; messages sent while the window is
// being created arrive before it is set and get the default handling.
MainWindow* g_mainWindow = nullptr;

constexpr wchar_t kDefaultTitle[] = L"Velka手遊下載器";
constexpr wchar_t kBalloonTitle[] = L"後台下載";
constexpr wchar_t kBalloonText[] =
    L"啓動器將會在後台爲你繼續下載，可在系統介面中右鍵點擊小圖標關閉";

constexpr int kClientWidth = 1280;
constexpr int kClientHeight = 576;
constexpr int kMargin = 11;
constexpr int kButtonWidth = 221;
constexpr int kButtonHeight = 58;
constexpr int kBarLeft = 20;
constexpr int kBarWidth = 1240;
constexpr int kBarHeight = 6;
constexpr int kLowerPanelTop = 363;
constexpr int kLowerPanelHeight = 213;

constexpr DWORD kWindowStyle = WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX;  // 0x00CA0000
constexpr UINT kTrayFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP;
constexpr UINT kTrayCallback = WM_USER;
constexpr UINT kBalloonTimeoutMs = 5000;

enum MenuId : UINT {
    kMenuRestore = 12,
    kMenuQuit = 13,
    kMenuCloseQuits = 14,
    kMenuCloseHides = 15,
};

// Copies `text` into a fixed field, cutting it to fit and always terminating it.
template <size_t N>
void CopyField(wchar_t (&field)[N], const wchar_t* text) {
    size_t i = 0;
    for (; text[i] != L'\0' && i + 1 < N; ++i) field[i] = text[i];
    field[i] = L'\0';
}

bool IsDownloading(PatcherState state) {
    return state == PatcherState::DownloadingFiles || state == PatcherState::DownloadingPackages;
}

void DrawCached(Gdiplus::Graphics& graphics, Gdiplus::CachedBitmap* image, int x, int y) {
    if (image) graphics.DrawCachedBitmap(image, x, y);
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

    curl_global_init(CURL_GLOBAL_ALL);
    patcher_ = new Patcher();
    LauncherReplacement replacement;
    replacement.launcherExe = kWindowLauncherExe;
    replacement.endProcess = [] {
        ShutdownCrashReporter();
        std::exit(0);
    };
    patcher_->SetSelfUpdater(MakeSelfUpdater(replacement));
    view_ = std::make_unique<ProgressView>(*patcher_, patcher_->BaseDirectory());
    if (const auto& limit = patcher_->Settings().downloadLimit) {
        view_->SetSpeedLimit(limit->BytesPerSecond());
    }

    DEVMODEW mode{};
    mode.dmSize = sizeof mode;
    int32_t rate = 0;
    if (EnumDisplaySettingsW(nullptr, ENUM_CURRENT_SETTINGS, &mode)) {
        rate = static_cast<int32_t>(mode.dmDisplayFrequency);
    }
    refreshRate_ = (rate < 30 || rate > 240) ? 60 : rate;
    frameInterval_ = FrameIntervalFor(refreshRate_);

    screenWidth_ = GetSystemMetrics(SM_CXSCREEN);
    screenHeight_ = GetSystemMetrics(SM_CYSCREEN);
    clientWidth_ = kClientWidth;
    clientHeight_ = kClientHeight;
    windowX_ = static_cast<int32_t>((screenWidth_ - clientWidth_) * 0.5);
    windowY_ = static_cast<int32_t>((screenHeight_ - clientHeight_) * 0.5);

    LoadSkin();
    canvas_ = std::make_unique<Canvas>(clientWidth_, clientHeight_);

    largeIcon_ = IconHandle(static_cast<HICON>(LoadImageW(instance_, MAKEINTRESOURCEW(IDI_LAUNCHER),
                                                          IMAGE_ICON, GetSystemMetrics(SM_CXICON),
                                                          GetSystemMetrics(SM_CYICON), 0)));
    smallIcon_ = IconHandle(static_cast<HICON>(LoadImageW(instance_, MAKEINTRESOURCEW(IDI_LAUNCHER),
                                                          IMAGE_ICON, GetSystemMetrics(SM_CXSMICON),
                                                          GetSystemMetrics(SM_CYSMICON), 0)));

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
                              windowY_, clientWidth_, clientHeight_, nullptr, nullptr, instance_,
                              nullptr);
    if (!window_) throw std::logic_error("Failed to create window!");

    g_mainWindow = this;
    taskbarCreatedMessage_ = RegisterWindowMessageW(L"TaskbarCreated");

    trayIcon_.cbSize = sizeof trayIcon_;
    trayIcon_.hWnd = window_;
    trayIcon_.uID = 0;
    trayIcon_.uFlags = kTrayFlags;
    trayIcon_.uCallbackMessage = kTrayCallback;
    trayIcon_.hIcon = smallIcon_.get() ? smallIcon_.get() : largeIcon_.get();
    CopyField(trayIcon_.szTip, kDefaultTitle);
    CopyField(trayIcon_.szInfoTitle, kBalloonTitle);
    CopyField(trayIcon_.szInfo, kBalloonText);
    trayIcon_.uTimeout = kBalloonTimeoutMs;
    Shell_NotifyIconW(NIM_ADD, &trayIcon_);

    trayMenu_ = MenuHandle(CreatePopupMenu());
    closeMenu_ = CreateMenu();
    AppendMenuW(trayMenu_.get(), MF_POPUP | MF_STRING, reinterpret_cast<UINT_PTR>(closeMenu_),
                L"關閉設定");
    AppendMenuW(trayMenu_.get(), MF_STRING, kMenuRestore, L"恢復主介面");
    AppendMenuW(trayMenu_.get(), MF_STRING, kMenuQuit, L"退出");
    AppendMenuW(closeMenu_, MF_STRING, kMenuCloseHides, L"最小化");
    AppendMenuW(closeMenu_, MF_STRING, kMenuCloseQuits, L"退出");

    LoadCloseSetting();
    CheckCloseItems();

    LayoutWindow();
    ShowWindow(window_, showCommand);
    UpdateWindow(window_);
    running_ = true;
}

void MainWindow::LoadSkin() {
    if (LoadStringW(instance_, IDS_TITLE, title_, 128) <= 0) CopyField(title_, kDefaultTitle);

    struct Look {
        int image;
        int id;
        int width;
        int height;
    };
    const Look looks[] = {
        {ImageButton::kNormal, IDP_BUTTON_START, 221, 58},
        {ImageButton::kHover, IDP_BUTTON_START, 221, 58},
        {ImageButton::kPressed, IDP_BUTTON_PRESSED, 216, 57},
        {ImageButton::kDisabled, IDP_BUTTON_DISABLED, 221, 58},
        {ImageButton::kDisabledPressed, IDP_BUTTON_DISABLED_PRESSED, 216, 57},
    };
    for (const Look& look : looks) {
        startButton_.images[look.image] = LoadCachedPng(look.id, look.width, look.height);
        startButton_.imageSizes[look.image] = ImageSize{look.width, look.height};
    }
    startButton_.busyImages[0] = LoadCachedPng(IDP_BUTTON_BUSY, 221, 58);
    startButton_.busyImages[1] = LoadCachedPng(IDP_BUTTON_BUSY_PRESSED, 216, 57);
    startButton_.disabled = true;

    progressBar_.track = ScaleImage(LoadPngResource(IDP_BAR_TRACK).get(), kBarWidth, kBarHeight);
    progressBar_.fill = ScaleImage(LoadPngResource(IDP_BAR_FILL).get(), kBarWidth, 4);
}

void MainWindow::LayoutWindow() {
    RECT windowRect{};
    RECT clientRect{};
    POINT origin{0, 0};
    GetWindowRect(window_, &windowRect);
    GetClientRect(window_, &clientRect);
    ClientToScreen(window_, &origin);
    borderX_ = origin.x - windowRect.left;
    borderY_ = origin.y - windowRect.top;
    frameHeight_ = (windowRect.bottom - windowRect.top) - (clientRect.bottom - clientRect.top);
    MoveWindow(window_, windowX_, windowY_, clientWidth_ + 2 * borderX_,
               clientHeight_ + frameHeight_, FALSE);

    startButton_.w = kButtonWidth;
    startButton_.h = kButtonHeight;
    startButton_.x = clientWidth_ - kButtonWidth - kMargin;
    startButton_.y = clientHeight_ - kButtonHeight - kMargin;
    progressBar_.bottom = startButton_.y + startButton_.h;
    progressBar_.top = progressBar_.bottom - kBarHeight;
    progressBar_.left = kBarLeft;
    progressBar_.right = kBarLeft + kBarWidth;
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
    Shell_NotifyIconW(NIM_DELETE, &trayIcon_);
    return 0;
}

void MainWindow::InvalidateLowerPanel() {
    const RECT panel{0, kLowerPanelTop, kClientWidth, kLowerPanelTop + kLowerPanelHeight};
    InvalidateRect(window_, &panel, TRUE);
}

void MainWindow::InvalidateBar() {
    const int widen = progressBar_.Height() / 4;
    const RECT bar{progressBar_.left - widen, progressBar_.top, progressBar_.right + widen,
                   progressBar_.bottom};
    InvalidateRect(window_, &bar, TRUE);
}

void MainWindow::FlashAndBringToFront() {
    FLASHWINFO flash{};
    flash.cbSize = sizeof flash;
    flash.hwnd = window_;
    flash.dwFlags = FLASHW_ALL | FLASHW_TIMERNOFG;
    flash.uCount = 0;
    flash.dwTimeout = 0;
    FlashWindowEx(&flash);
    const int width = clientWidth_ + 2 * borderX_;
    const int height = clientHeight_ + frameHeight_;
    SetWindowPos(window_, HWND_TOPMOST, windowX_, windowY_, width, height, SWP_NOSIZE);
    ShowWindow(window_, SW_SHOW);
    SetWindowPos(window_, HWND_NOTOPMOST, windowX_, windowY_, width, height, 0);
}

void MainWindow::UpdateView() {
    POINT cursor;
    if (GetCursorPos(&cursor) && ScreenToClient(window_, &cursor)) {
        if (cursor.x < 0 || cursor.x >= clientWidth_ || cursor.y < 0 || cursor.y >= clientHeight_) {
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
    Gdiplus::Graphics& graphics = canvas_->graphics();
    if (canvas_->background()) {
        DrawCached(graphics, canvas_->background(), 0, 0);
    } else {
        graphics.Clear(Gdiplus::Color(0xFF101018));
    }
    DrawCached(graphics, canvas_->logo(), 28, 18);
    DrawCached(graphics, canvas_->lowerPanel(), 0, kLowerPanelTop);

    if (view_->failureShown()) {
        const ImageButton::Current current = startButton_.CurrentImage(
            startButton_.x + startButton_.imageSizes[ImageButton::kNormal].width / 2.0,
            startButton_.y + startButton_.imageSizes[ImageButton::kNormal].height / 2.0,
            IsDownloading(patcher_->State()));
        DrawCached(graphics, current.image, current.left, current.top);
    }

    Gdiplus::Font& font = canvas_->boldFont();
    const Gdiplus::StringFormat* typographic = Gdiplus::StringFormat::GenericTypographic();
    const ProgressBarModel& bar = view_->bar();
    if (bar.shown) {
        const float ratio = bar.FillRatio();
        const int width = static_cast<int>(progressBar_.Width() - progressBar_.Height() * 0.1);
        const int top = progressBar_.top;
        graphics.FillRectangle(&canvas_->white(), progressBar_.left, top, width,
                               progressBar_.Height());
        if (progressBar_.track) {
            graphics.DrawImage(progressBar_.track.get(), progressBar_.left, top, width,
                               progressBar_.Height());
        }
        const int filled = static_cast<int>(width * ratio);
        if (progressBar_.fill && filled > 0) {
            graphics.DrawImage(progressBar_.fill.get(), progressBar_.left, top + 1, filled, 4);
        }
        progressBar_.lastDrawMs = ProgressView::WallClockMs();

        const Gdiplus::RectF layout(20.0f, 539.0f, 1240.0f, 20.0f);
        const std::wstring* pieces[] = {&bar.pieces.first, &bar.pieces.second, &bar.pieces.third};
        Gdiplus::RectF boxes[3];
        for (int i = 0; i < 3; ++i) {
            graphics.MeasureString(pieces[i]->c_str(), static_cast<INT>(pieces[i]->size()), &font,
                                   layout, typographic, &boxes[i]);
        }
        // The typographic format measures without padding, so the pieces are simply set one
        // after the other; pulling them closer would draw the percentage over the bracket.
        const float secondX = boxes[0].X + boxes[0].Width;
        const float thirdX = secondX + boxes[1].Width;
        const Gdiplus::PointF origins[] = {
            Gdiplus::PointF(boxes[0].X, boxes[0].Y),
            Gdiplus::PointF(secondX, boxes[1].Y),
            Gdiplus::PointF(thirdX, boxes[2].Y),
        };
        Gdiplus::SolidBrush* brushes[] = {&canvas_->white(), &canvas_->lightBlue(),
                                          &canvas_->white()};
        for (int i = 0; i < 3; ++i) {
            if (pieces[i]->empty()) continue;
            graphics.DrawString(pieces[i]->c_str(), static_cast<INT>(pieces[i]->size()), &font,
                                origins[i], typographic, brushes[i]);
        }
    }

    const std::wstring& version = view_->versionText();
    if (!version.empty()) {
        graphics.DrawString(version.c_str(), static_cast<INT>(version.size()), &font,
                            Gdiplus::RectF(20.0f, 519.0f, 1240.0f, 20.0f), typographic,
                            &canvas_->lightGrey());
    }
    const std::wstring& status = view_->statusText();
    if (!status.empty()) {
        graphics.DrawString(status.c_str(), static_cast<INT>(status.size()), &font,
                            Gdiplus::RectF(20.0f, 541.0f, 1240.0f, 20.0f), typographic,
                            &canvas_->white());
    }
    const std::wstring& error = view_->errorText();
    if (!error.empty()) {
        graphics.DrawString(error.c_str(), static_cast<INT>(error.size()), &font,
                            Gdiplus::RectF(20.0f, 497.0f, 1240.0f, 20.0f),
                            &canvas_->nearCentreFormat(), &canvas_->lightGrey());
    }

    Gdiplus::Graphics target(deviceContext);
    target.SetCompositingMode(Gdiplus::CompositingModeSourceCopy);
    target.SetInterpolationMode(Gdiplus::InterpolationModeNearestNeighbor);
    target.DrawImage(&canvas_->surface(), 0, 0, clientWidth_, clientHeight_);
}

void MainWindow::LoadCloseSetting() {
    closeSettings_.LoadCloseSetting();
    exitMode_ = closeSettings_.exitMode();
}

void MainWindow::CheckCloseItems() {
    const bool hides = exitMode_ == 1;
    CheckMenuItem(closeMenu_, kMenuCloseHides, MF_BYCOMMAND | (hides ? MF_CHECKED : MF_UNCHECKED));
    CheckMenuItem(closeMenu_, kMenuCloseQuits, MF_BYCOMMAND | (hides ? MF_UNCHECKED : MF_CHECKED));
}

void MainWindow::ShowContextMenu() {
    LoadCloseSetting();
    CheckCloseItems();
    POINT cursor{};
    GetCursorPos(&cursor);
    SetForegroundWindow(window_);
    const UINT chosen = static_cast<UINT>(
        TrackPopupMenu(trayMenu_.get(), TPM_RETURNCMD, cursor.x, cursor.y, 0, window_, nullptr));
    switch (chosen) {
        case kMenuRestore:
            ShowWindow(window_, SW_SHOW);
            break;
        case kMenuQuit:
            DestroyWindow(window_);
            break;
        case kMenuCloseQuits:
            closeSettings_.WriteSetting("exitMode", "2");
            CheckMenuItem(closeMenu_, kMenuCloseQuits, MF_BYCOMMAND | MF_CHECKED);
            CheckMenuItem(closeMenu_, kMenuCloseHides, MF_BYCOMMAND | MF_UNCHECKED);
            break;
        case kMenuCloseHides:
            closeSettings_.WriteSetting("exitMode", "1");
            CheckMenuItem(closeMenu_, kMenuCloseHides, MF_BYCOMMAND | MF_CHECKED);
            CheckMenuItem(closeMenu_, kMenuCloseQuits, MF_BYCOMMAND | MF_UNCHECKED);
            break;
        case 0:
            // Dismissed without a choice: the window gets a left-button press, as it always has.
            PostMessageW(window_, WM_LBUTTONDOWN, 0, 0);
            break;
        default:
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
                    Shell_NotifyIconW(NIM_DELETE, &trayIcon_);
                    running_ = false;
                    PostQuitMessage(0);
                    break;
                default:
                    break;
            }
            return 0;
        case WM_DESTROY:
            running_ = false;
            Shell_NotifyIconW(NIM_DELETE, &trayIcon_);
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
                ShowWindow(window_, SW_HIDE);
                trayIcon_.uFlags = kTrayFlags | NIF_INFO;
                Shell_NotifyIconW(NIM_MODIFY, &trayIcon_);
            } else {
                DestroyWindow(window_);
            }
            return 0;
        case WM_ERASEBKGND:
            return 1;
        case WM_SETCURSOR:
            SetCursor(canvas_->arrowCursor());
            return 0;
        default:
            if (taskbarCreatedMessage_ != 0 && message == taskbarCreatedMessage_) {
                Shell_NotifyIconW(NIM_ADD, &trayIcon_);
            }
            return DefWindowProcW(window, message, wParam, lParam);
    }
}

void TerminateLauncher(MainWindow& window) {
    window.patcher().GetLogger().Info("Launcher terminate");
    std::exit(0);
}

}  // namespace velka
