// The skin's pieces under GDI+: image scaling, the start button's states and looks, and the
// window's fonts showing every player-visible text with real glyphs.
#include "app/win32/skin.h"

#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "app/portable/progress_view.h"
#include "patcher/patcher.h"
#include "platform/text.h"

namespace velka {
namespace {

class GdiplusEnvironment : public ::testing::Environment {
  public:
    void SetUp() override {
        Gdiplus::GdiplusStartupInput input;
        ASSERT_EQ(Gdiplus::GdiplusStartup(&token_, &input, nullptr), Gdiplus::Ok);
    }
    void TearDown() override { Gdiplus::GdiplusShutdown(token_); }

  private:
    ULONG_PTR token_ = 0;
};
::testing::Environment* const kGdiplus =
    ::testing::AddGlobalTestEnvironment(new GdiplusEnvironment);

BitmapPtr SolidBitmap(int width, int height, Gdiplus::ARGB colour) {
    BitmapPtr bitmap(new Gdiplus::Bitmap(width, height, PixelFormat32bppARGB));
    Gdiplus::Graphics graphics(bitmap.get());
    graphics.Clear(Gdiplus::Color(colour));
    return bitmap;
}

TEST(ScaleImage, KeepsTheSourceAspectRatio) {
    struct Case {
        int sourceWidth, sourceHeight, width, height, expectedWidth, expectedHeight;
    };
    const Case cases[] = {
        {800, 336, 300, 123, 300, 126},     // the logo: wider than tall, the width wins
        {221, 58, 221, 58, 221, 58},        // its own size stays
        {1280, 576, 1920, 864, 1920, 864},  // a background at 144 DPI
        {216, 57, 324, 86, 324, 85},        // 324 / (216 / 57) = 85.5, truncated
        {50, 100, 10, 40, 20, 40},          // taller than wide: the height wins
        {100, 100, 30, 50, 50, 50},         // square counts as not wider: the height wins
    };
    for (const Case& c : cases) {
        BitmapPtr source = SolidBitmap(c.sourceWidth, c.sourceHeight, 0xFF336699);
        BitmapPtr scaled = ScaleImage(source.get(), c.width, c.height);
        ASSERT_NE(scaled, nullptr) << c.sourceWidth << "x" << c.sourceHeight;
        EXPECT_EQ(static_cast<int>(scaled->GetWidth()), c.expectedWidth)
            << c.sourceWidth << "x" << c.sourceHeight << " to " << c.width << "x" << c.height;
        EXPECT_EQ(static_cast<int>(scaled->GetHeight()), c.expectedHeight)
            << c.sourceWidth << "x" << c.sourceHeight << " to " << c.width << "x" << c.height;
    }
    EXPECT_EQ(ScaleImage(nullptr, 10, 10), nullptr);
}

// The button with five distinct looks and two busy looks, at the window's layout.
struct Button {
    ImageButton button;
    Button() {
        const Gdiplus::ARGB colours[] = {0xFF000001, 0xFF000002, 0xFF000003, 0xFF000004,
                                         0xFF000005};
        const ImageSize sizes[] = {{221, 58}, {221, 58}, {216, 57}, {221, 58}, {216, 57}};
        for (int i = 0; i < ImageButton::kImageCount; ++i) {
            BitmapPtr image = SolidBitmap(sizes[i].width, sizes[i].height, colours[i]);
            button.images[i] = MakeCachedBitmap(image.get());
            button.imageSizes[i] = sizes[i];
        }
        for (int i = 0; i < 2; ++i) {
            BitmapPtr image = SolidBitmap(sizes[3 + i].width, sizes[3 + i].height, 0xFF0000F0);
            button.busyImages[i] = MakeCachedBitmap(image.get());
        }
        button.x = 1048;
        button.y = 507;
        button.w = 221;
        button.h = 58;
    }
};

enum Event { kMove, kDown, kUp };
struct Step {
    Event event;
    int x, y;
};
constexpr int kInX = 1100, kInY = 530, kOutX = 900, kOutY = 530;

TEST(ImageButton, ClicksAndLooks) {
    struct Case {
        const char* name;
        bool disabled;
        std::vector<Step> steps;
        bool clicked, hover, pressed, disabledPressed;
        int look;  // image index the button shows afterwards
    };
    const Case cases[] = {
        {"hover", false, {{kMove, kInX, kInY}}, false, true, false, false, ImageButton::kHover},
        {"press inside",
         false,
         {{kMove, kInX, kInY}, {kDown, kInX, kInY}},
         false,
         true,
         true,
         false,
         ImageButton::kPressed},
        {"press, release inside",
         false,
         {{kMove, kInX, kInY}, {kDown, kInX, kInY}, {kUp, kInX, kInY}},
         true,
         true,
         false,
         false,
         ImageButton::kHover},
        {"press inside, move out, release outside",
         false,
         {{kMove, kInX, kInY}, {kDown, kInX, kInY}, {kMove, kOutX, kOutY}, {kUp, kOutX, kOutY}},
         false,
         false,
         false,
         false,
         ImageButton::kNormal},
        {"release inside without a press",
         false,
         {{kUp, kInX, kInY}},
         true,
         true,
         false,
         false,
         ImageButton::kHover},
        {"press outside, release inside",
         false,
         {{kDown, kOutX, kOutY}, {kUp, kInX, kInY}},
         true,
         true,
         false,
         false,
         ImageButton::kHover},
        // Hit boxes are half-open: x + w and y + h are outside.
        {"right and bottom edges are outside",
         false,
         {{kDown, 1048 + 221, 530}, {kUp, 1048 + 221, 530}, {kUp, 1100, 507 + 58}},
         false,
         false,
         false,
         false,
         ImageButton::kNormal},
        {"left and top edges are inside",
         false,
         {{kDown, 1048, 507}},
         false,
         false,
         true,
         false,
         ImageButton::kPressed},
        {"disabled: press shows its pressed look, no click",
         true,
         {{kMove, kInX, kInY}, {kDown, kInX, kInY}},
         false,
         false,
         false,
         true,
         ImageButton::kDisabledPressed},
        {"disabled: press and release",
         true,
         {{kDown, kInX, kInY}, {kUp, kInX, kInY}},
         false,
         false,
         false,
         false,
         ImageButton::kDisabled},
    };
    for (const Case& c : cases) {
        Button b;
        b.button.disabled = c.disabled;
        for (const Step& step : c.steps) {
            if (step.event == kMove) b.button.MouseMove(nullptr, step.x, step.y);
            if (step.event == kDown) b.button.MouseDown(nullptr, step.x, step.y);
            if (step.event == kUp) b.button.MouseUp(nullptr, step.x, step.y);
        }
        EXPECT_EQ(b.button.clicked, c.clicked) << c.name;
        EXPECT_EQ(b.button.hover, c.hover) << c.name;
        EXPECT_EQ(b.button.pressed, c.pressed) << c.name;
        EXPECT_EQ(b.button.disabledPressed, c.disabledPressed) << c.name;
        const ImageButton::Current current = b.button.CurrentImage(1158.5, 536, false);
        EXPECT_EQ(current.image, b.button.images[c.look].get()) << c.name;
        // Centred on the normal image's centre: the smaller looks sit inside its frame.
        EXPECT_EQ(current.left, static_cast<int>(1158.5 - b.button.imageSizes[c.look].width / 2.0))
            << c.name;
    }
}

TEST(ImageButton, DisabledLooksDuringADownloadAreTheBusyOnes) {
    Button b;
    b.button.disabled = true;
    EXPECT_EQ(b.button.CurrentImage(1158.5, 536, true).image, b.button.busyImages[0].get());
    b.button.MouseDown(nullptr, kInX, kInY);
    const ImageButton::Current pressed = b.button.CurrentImage(1158.5, 536, true);
    EXPECT_EQ(pressed.image, b.button.busyImages[1].get());
    EXPECT_EQ(pressed.left, 1050);  // the disabled-pressed size (216) places the busy variant
    EXPECT_EQ(pressed.top, 507);
}

// The glyph images of each character of `text` in `font`, white on black.
std::vector<std::vector<uint32_t>> RenderEach(Gdiplus::Font& font, const std::wstring& text) {
    std::vector<std::vector<uint32_t>> renders;
    Gdiplus::SolidBrush white(Gdiplus::Color(0xFFFFFFFF));
    for (wchar_t c : text) {
        Gdiplus::Bitmap bitmap(32, 32, PixelFormat32bppARGB);
        {
            Gdiplus::Graphics graphics(&bitmap);
            graphics.Clear(Gdiplus::Color(0xFF000000));
            graphics.SetTextRenderingHint(Gdiplus::TextRenderingHintAntiAlias);
            graphics.DrawString(&c, 1, &font, Gdiplus::PointF(4, 4), &white);
        }
        Gdiplus::BitmapData data;
        Gdiplus::Rect all(0, 0, 32, 32);
        std::vector<uint32_t> pixels(32 * 32);
        if (bitmap.LockBits(&all, Gdiplus::ImageLockModeRead, PixelFormat32bppARGB, &data) ==
            Gdiplus::Ok) {
            for (int y = 0; y < 32; ++y) {
                std::memcpy(&pixels[y * 32], static_cast<char*>(data.Scan0) + y * data.Stride,
                            32 * 4);
            }
            bitmap.UnlockBits(&data);
        }
        renders.push_back(std::move(pixels));
    }
    return renders;
}

// A face without the characters draws each as the same empty box (or nothing): distinct
// characters must give distinct images.
TEST(CanvasFonts, EveryChineseTextIsDrawnWithRealGlyphs) {
    Canvas canvas(1280, 576);
    const std::wstring texts[] = {
        kInitialStatusText,
        kNetworkLostText,
        kGameNotFoundText,
        kGameStartFailedText,
        ComposeBarPieces(PatcherState::DownloadingPackages, 1 << 20, 3 << 20, 1.5, false).first,
        std::wstring(kMsgCannotVerify) + L" CURLCODE(7) HTTP STATUES CODE(0)",
    };
    for (const std::wstring& text : texts) {
        std::wstring distinct;
        std::set<wchar_t> seen;
        for (wchar_t c : text) {
            if (c >= 0x4E00 && c <= 0x9FFF && seen.insert(c).second) distinct += c;
        }
        ASSERT_GE(distinct.size(), 2u);
        const auto renders = RenderEach(canvas.BoldFontFor(text), distinct);
        const std::set<std::vector<uint32_t>> different(renders.begin(), renders.end());
        EXPECT_EQ(different.size(), renders.size())
            << "characters of this text look alike (boxes): " << WideToUtf8(text);
    }
}

}  // namespace
}  // namespace velka
