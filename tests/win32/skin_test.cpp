// The skin under GDI+: image scaling, missing images, and the start button's hit box and looks.
#include "app/win32/skin.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "app/win32/resource.h"

namespace velka {
namespace {

const struct GdiplusSession {  // GDI+ for the whole run

    GdiplusSession() { Gdiplus::GdiplusStartup(&token, &input, nullptr); }
    Gdiplus::GdiplusStartupInput input;
    ULONG_PTR token = 0;
} kGdiplus;

// The source's aspect ratio wins: the height unless it is wider than tall; no image gives null.
TEST(SkinTest, ScalesImagesAndReportsMissingOnes) {
    for (const std::string c : {"800x336 to 300x123 is 300x126", "216x57 to 324x86 is 324x85",
                                "50x100 to 10x40 is 20x40", "100x100 to 30x50 is 50x50"}) {
        int sourceWidth = 0, sourceHeight = 0, width = 0, height = 0;
        std::sscanf(c.c_str(), "%dx%d to %dx%d", &sourceWidth, &sourceHeight, &width, &height);
        Gdiplus::Bitmap source(sourceWidth, sourceHeight, PixelFormat32bppARGB);
        const BitmapPtr scaled = ScaleImage(&source, width, height);
        ASSERT_NE(scaled, nullptr) << c;
        EXPECT_EQ(c.substr(c.find(" is ") + 4),
                  std::to_string(scaled->GetWidth()) + "x" + std::to_string(scaled->GetHeight()));
    }
    EXPECT_EQ(LoadCachedPng(IDP_LOGO, 300, 123), nullptr) << "the tests carry no skin resources";
}

// Hit boxes are half-open; a click is a release inside; a disabled button only toggles its pressed
// look, the busy ones while downloading; each look is centred on the button's centre.
TEST(SkinTest, ButtonClicksAndLooks) {
    const struct {
        bool disabled, downloading;
        const char* events;  // Move/Down/Up at i(n), o(ut), r(ight edge), b(ottom edge), t(op left)
        const char* state;   // c(licked) h(over) p(ressed) d(isabled pressed), look 0-4 or busy 5-6
    } cases[] = {
        {false, false, "Mi", "h1"},      {false, false, "MiDi", "hp2"},
        {false, false, "MiDiUi", "ch1"}, {false, false, "MiDiMoUo", "0"},
        {false, false, "Ui", "ch1"},     {false, false, "DoUi", "ch1"},
        {false, false, "DrUrUb", "0"},   {false, false, "Dt", "p2"},
        {true, false, "MiDi", "d4"},     {true, false, "DiUi", "3"},
        {true, true, "", "5"},           {true, true, "Di", "d6"},
    };
    Gdiplus::Bitmap pixel(1, 1, PixelFormat32bppARGB);
    for (const auto& c : cases) {
        ImageButton b;
        b.x = 1048, b.y = 507, b.w = 221, b.h = 58, b.disabled = c.disabled;
        b.imageSizes = {{{200, 50}, {202, 50}, {204, 50}, {206, 50}, {208, 50}}};
        std::vector<Gdiplus::CachedBitmap*> looks;
        for (int i = 0; i < 7; ++i) {
            CachedBitmapPtr& look = i < 5 ? b.images[i] : b.busyImages[i - 5];
            looks.push_back((look = MakeCachedBitmap(&pixel)).get());
        }
        for (const char* e = c.events; *e; e += 2) {
            const int x = e[1] == 'o' ? 900 : e[1] == 'r' ? 1269 : e[1] == 't' ? 1048 : 1100;
            const int y = e[1] == 'b' ? 565 : e[1] == 't' ? 507 : 530;
            if (*e == 'M') b.MouseMove(nullptr, x, y);
            if (*e == 'D') b.MouseDown(nullptr, x, y);
            if (*e == 'U') b.MouseUp(nullptr, x, y);
        }
        const ImageButton::Current current = b.CurrentImage(1000.5, 536, c.downloading);
        const int look = std::find(looks.begin(), looks.end(), current.image) - looks.begin();
        const std::string state = std::string(b.clicked ? "c" : "") + (b.hover ? "h" : "") +
                                  (b.pressed ? "p" : "") + (b.disabledPressed ? "d" : "");
        EXPECT_EQ(state + std::to_string(look), c.state) << c.events;
        EXPECT_TRUE(current.left == 900 - (look < 5 ? look : look - 2) && current.top == 511);
    }
}

}  // namespace
}  // namespace velka
