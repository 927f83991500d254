// The window's skin: PNG resources decoded with GDI+, the off-screen canvas with its fonts,
// brushes and formats, and the two image widgets (start button, progress bar).
//
// Everything here is built once on the main thread after GDI+ has been started and lives until
// the process ends. Main thread only.
#pragma once

// windows.h first; GDI+ needs COM's stream interfaces (objidl.h), which WIN32_LEAN_AND_MEAN
// leaves out.
// clang-format off
#include <windows.h>
#include <objidl.h>
#include <gdiplus.h>
// clang-format on

#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <string>

namespace velka {

using BitmapPtr = std::unique_ptr<Gdiplus::Bitmap>;
using CachedBitmapPtr = std::shared_ptr<Gdiplus::CachedBitmap>;

// The PNG resource `id` of the executable, decoded; null when it is missing or undecodable.
BitmapPtr LoadPngResource(int id);

// A copy of `source` drawn at `width` x `height`, except that the source's aspect ratio wins: a
// source that is not wider than tall keeps `height` and gets its width from it, any other keeps
// `width`. Null when `source` is null or the copy cannot be made.
BitmapPtr ScaleImage(Gdiplus::Bitmap* source, int width, int height);

// A device-optimised copy of `bitmap`, shared by everything that draws it; null for a null or
// unusable bitmap.
CachedBitmapPtr MakeCachedBitmap(Gdiplus::Bitmap* bitmap);

// Loads a PNG resource at its stored size and caches it; null when it is missing.
CachedBitmapPtr LoadCachedPng(int id, int width, int height);

struct ImageSize {
    int32_t width = 0;
    int32_t height = 0;
};

// An image button with five looks. Hit tests are half-open: x <= px < x + w, y <= py < y + h.
class ImageButton {
  public:
    enum Image { kNormal = 0, kHover, kPressed, kDisabled, kDisabledPressed, kImageCount };

    int32_t x = 0, y = 0, w = 0, h = 0;
    bool hover = false;
    bool pressed = false;
    bool clicked = false;  // cleared by whoever acts on the click
    bool disabled = false;
    bool disabledPressed = false;
    std::array<ImageSize, kImageCount> imageSizes{};
    std::array<CachedBitmapPtr, kImageCount> images;
    // Disabled and disabled-pressed looks while a download runs.
    std::array<CachedBitmapPtr, 2> busyImages;
    // Device pixels per design pixel: hit boxes and sizes are in design pixels, the window's
    // client area in device pixels.
    double scale = 1.0;

    bool Contains(int px, int py) const { return px >= x && px < x + w && py >= y && py < y + h; }

    // Pointer events in client coordinates; `window` is invalidated when the look changes.
    void MouseMove(HWND window, int px, int py);
    void MouseDown(HWND window, int px, int py);
    void MouseUp(HWND window, int px, int py);
    // Invalidates (without erasing) the hover image's rectangle, centred on the normal image, in
    // device pixels.
    void Invalidate(HWND window) const;

    struct Current {
        Gdiplus::CachedBitmap* image = nullptr;  // null when that look has no image
        int left = 0;
        int top = 0;
    };
    // The look for the current state, placed so that it is centred on (centreX, centreY).
    Current CurrentImage(double centreX, double centreY, bool downloading) const;
};

// The progress bar's geometry and images; its texts and counters are the view model's.
struct ProgressBar {
    int32_t left = 0, top = 0, right = 0, bottom = 0;
    BitmapPtr fill;   // drawn stretched
    BitmapPtr track;  // drawn stretched
    int64_t lastDrawMs = 0;

    int32_t Width() const { return right - left; }
    int32_t Height() const { return bottom - top; }
};

// The off-screen drawing surface of the window and the drawing tools shared by every frame.
class Canvas {
  public:
    // Creates the brushes, formats, fonts and cursor, picks one of the backgrounds at random
    // (seeded with the current time) and prepares the surface and images at scale 1.
    // `width` x `height` is the design size: the coordinate space everything is drawn in.
    Canvas(int width, int height);
    Canvas(const Canvas&) = delete;
    Canvas& operator=(const Canvas&) = delete;

    // Makes the surface `scale` times the design size (for example 1.5 at 144 DPI) and prepares
    // the background, lower panel and logo at that size, so that drawing in design coordinates
    // fills the device pixels crisply.
    void SetScale(double scale);
    double scale() const { return scale_; }
    // A design length in device pixels, rounded.
    int Device(double length) const;

    int width() const { return width_; }
    int height() const { return height_; }
    // The surface, in device pixels; its graphics draw in design coordinates.
    Gdiplus::Bitmap& surface() { return *surface_; }
    Gdiplus::Graphics& graphics() { return *graphics_; }
    // Draws a cached bitmap prepared at device size with its top-left corner at the design
    // point (x, y). Null draws nothing.
    void DrawCached(Gdiplus::CachedBitmap* image, int x, int y);

    Gdiplus::SolidBrush& white() { return *white_; }
    Gdiplus::SolidBrush& lightGrey() { return *lightGrey_; }
    Gdiplus::SolidBrush& lightBlue() { return *lightBlue_; }
    Gdiplus::Font& regularFont() { return *regularFont_; }
    Gdiplus::Font& boldFont() { return *boldFont_; }
    // The bold font when its face has a glyph for every character of `text`; otherwise the bold
    // font of the first installed face that has them all (Chinese faces first), so that no text
    // is drawn as empty boxes. The bold font when no face covers the text.
    Gdiplus::Font& BoldFontFor(const std::wstring& text);
    // Near horizontally, centred vertically.
    const Gdiplus::StringFormat& nearCentreFormat() const { return *nearCentreFormat_; }
    HCURSOR arrowCursor() const { return arrowCursor_; }

    int backgroundId() const { return backgroundId_; }
    Gdiplus::CachedBitmap* background() const { return background_.get(); }
    Gdiplus::CachedBitmap* lowerPanel() const { return lowerPanel_.get(); }
    Gdiplus::CachedBitmap* logo() const { return logo_.get(); }

  private:
    // Makes both fonts from `family`; false (and nothing changed) when either is unusable.
    bool MakeFonts(const Gdiplus::FontFamily* family);
    // The first installed family that makes both fonts.
    bool MakeFontsFromAnyInstalledFamily();
    // Whether the bold face has all of `text`'s characters; remembers the answer per character.
    bool BoldFaceCovers(const std::wstring& text);

    int width_;
    int height_;
    double scale_ = 0;
    BitmapPtr surface_;
    std::unique_ptr<Gdiplus::Graphics> graphics_;
    std::unique_ptr<Gdiplus::SolidBrush> white_, lightGrey_, lightBlue_;
    std::unique_ptr<Gdiplus::StringFormat> nearCentreFormat_;
    std::unique_ptr<Gdiplus::FontFamily> family_;
    std::unique_ptr<Gdiplus::Font> regularFont_, boldFont_;
    std::wstring boldFace_;
    std::map<wchar_t, bool> boldFaceHas_;
    // The fallback for texts the bold face cannot show, and its face name.
    std::unique_ptr<Gdiplus::FontFamily> fallbackFamily_;
    std::unique_ptr<Gdiplus::Font> fallbackFont_;
    std::wstring fallbackFace_;
    std::wstring uncovered_;         // the last text no installed face could show
    HCURSOR arrowCursor_ = nullptr;  // a shared system cursor: never destroyed
    int backgroundId_ = 0;
    CachedBitmapPtr background_, lowerPanel_, logo_;
};

// Whether the installed face `face` itself (font linking and substitution aside) has a glyph for
// every character of `text`.
bool FaceHasGlyphs(const std::wstring& face, const std::wstring& text);

// The font family of the window's texts: "微软雅黑" where installed, else the generic sans-serif
// family.
std::unique_ptr<Gdiplus::FontFamily> WindowFontFamily();

}  // namespace velka
