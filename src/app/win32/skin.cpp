#include "app/win32/skin.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <vector>

#include "app/win32/resource.h"

namespace velka {

namespace {

// Releases an IStream when it goes out of scope.
struct StreamOwner {
    IStream* stream = nullptr;
    StreamOwner() = default;
    StreamOwner(const StreamOwner&) = delete;
    StreamOwner& operator=(const StreamOwner&) = delete;
    ~StreamOwner() {
        if (stream) stream->Release();
    }
};

bool IsUsable(Gdiplus::Image* image) {
    return image && image->GetLastStatus() == Gdiplus::Ok;
}

}  // namespace

BitmapPtr LoadPngResource(int id) {
    HMODULE module = GetModuleHandleW(nullptr);
    HRSRC info = FindResourceW(module, MAKEINTRESOURCEW(id), L"PNG");
    if (!info) return nullptr;
    const DWORD size = SizeofResource(module, info);
    HGLOBAL loaded = LoadResource(module, info);
    if (!loaded || size == 0) return nullptr;
    const void* bytes = LockResource(loaded);
    if (!bytes) return nullptr;

    // GDI+ may read the stream lazily, so the bytes get a block of their own that lives as long
    // as the stream.
    HGLOBAL block = GlobalAlloc(GMEM_MOVEABLE, size);
    if (!block) return nullptr;
    void* target = GlobalLock(block);
    if (!target) {
        GlobalFree(block);
        return nullptr;
    }
    std::memcpy(target, bytes, size);
    GlobalUnlock(block);

    StreamOwner owner;
    if (FAILED(CreateStreamOnHGlobal(block, TRUE, &owner.stream))) {
        GlobalFree(block);
        return nullptr;
    }
    BitmapPtr bitmap(Gdiplus::Bitmap::FromStream(owner.stream));
    if (!IsUsable(bitmap.get())) return nullptr;
    // Decode now, while the stream is certainly alive, into a bitmap that owns its pixels.
    const int width = static_cast<int>(bitmap->GetWidth());
    const int height = static_cast<int>(bitmap->GetHeight());
    BitmapPtr copy(new Gdiplus::Bitmap(width, height, PixelFormat32bppARGB));
    if (!IsUsable(copy.get())) return nullptr;
    {
        Gdiplus::Graphics graphics(copy.get());
        graphics.SetCompositingMode(Gdiplus::CompositingModeSourceCopy);
        if (graphics.DrawImage(bitmap.get(), 0, 0, width, height) != Gdiplus::Ok) return nullptr;
    }
    return copy;
}

BitmapPtr ScaleImage(Gdiplus::Bitmap* source, int width, int height) {
    if (!IsUsable(source)) return nullptr;
    const double sourceWidth = source->GetWidth();
    const double sourceHeight = source->GetHeight();
    if (sourceWidth <= 0 || sourceHeight <= 0) return nullptr;
    const double ratio = sourceWidth / sourceHeight;
    if (sourceWidth <= sourceHeight) {
        width = static_cast<int>(height * ratio);
    } else {
        height = static_cast<int>(width / ratio);
    }
    if (width <= 0 || height <= 0) return nullptr;
    BitmapPtr scaled(new Gdiplus::Bitmap(width, height, source->GetPixelFormat()));
    if (!IsUsable(scaled.get())) return nullptr;
    Gdiplus::Graphics graphics(scaled.get());
    graphics.SetInterpolationMode(Gdiplus::InterpolationModeHighQualityBicubic);
    graphics.SetPixelOffsetMode(Gdiplus::PixelOffsetModeHalf);
    if (graphics.DrawImage(source, 0, 0, width, height) != Gdiplus::Ok) return nullptr;
    return scaled;
}

CachedBitmapPtr MakeCachedBitmap(Gdiplus::Bitmap* bitmap) {
    if (!IsUsable(bitmap)) return nullptr;
    Gdiplus::Bitmap reference(200, 200, PixelFormat32bppARGB);
    Gdiplus::Graphics graphics(&reference);
    auto* cached = new Gdiplus::CachedBitmap(bitmap, &graphics);
    if (cached->GetLastStatus() != Gdiplus::Ok) {
        delete cached;
        return nullptr;
    }
    return CachedBitmapPtr(cached);
}

CachedBitmapPtr LoadCachedPng(int id, int width, int height) {
    BitmapPtr image = LoadPngResource(id);
    BitmapPtr scaled = ScaleImage(image.get(), width, height);
    return MakeCachedBitmap(scaled.get());
}

// --- ImageButton ------------------------------------------------------------------------------

void ImageButton::MouseMove(HWND window, int px, int py) {
    if (disabled) return;
    if (Contains(px, py)) {
        if (!hover && !pressed) {
            hover = true;
            Invalidate(window);
        }
    } else if (hover || pressed) {
        hover = false;
        pressed = false;
        Invalidate(window);
    }
}

void ImageButton::MouseDown(HWND window, int px, int py) {
    if (!Contains(px, py)) return;
    if (!disabled) {
        if (!pressed) {
            pressed = true;
            Invalidate(window);
        }
    } else {
        disabledPressed = !disabledPressed;
        Invalidate(window);
    }
}

void ImageButton::MouseUp(HWND window, int px, int py) {
    if (!disabled) {
        if (Contains(px, py)) {
            hover = true;
            pressed = false;
            Invalidate(window);
            clicked = true;
        }
    } else if (disabledPressed) {
        disabledPressed = false;
        Invalidate(window);
    }
}

void ImageButton::Invalidate(HWND window) const {
    const ImageSize& normal = imageSizes[kNormal];
    const ImageSize& over = imageSizes[kHover];
    const int left = static_cast<int>(x + normal.width / 2.0 - over.width / 2.0);
    const int top = static_cast<int>(y + normal.height / 2.0 - over.height / 2.0);
    RECT area;
    area.left = static_cast<LONG>(std::floor(left * scale));
    area.top = static_cast<LONG>(std::floor(top * scale));
    area.right = static_cast<LONG>(std::ceil((left + over.width) * scale));
    area.bottom = static_cast<LONG>(std::ceil((top + over.height) * scale));
    if (window) InvalidateRect(window, &area, FALSE);
}

ImageButton::Current ImageButton::CurrentImage(double centreX, double centreY,
                                               bool downloading) const {
    int chosen;
    Gdiplus::CachedBitmap* image;
    if (!disabled) {
        chosen = pressed ? kPressed : (!hover ? kNormal : kHover);
        image = images[chosen].get();
    } else {
        chosen = disabledPressed ? kDisabledPressed : kDisabled;
        const size_t busy = disabledPressed ? 1 : 0;
        image = downloading ? busyImages[busy].get() : images[chosen].get();
    }
    Current current;
    current.image = image;
    current.left = static_cast<int>(centreX - imageSizes[chosen].width / 2.0);
    current.top = static_cast<int>(centreY - imageSizes[chosen].height / 2.0);
    return current;
}

// --- Canvas -----------------------------------------------------------------------------------

namespace {

std::unique_ptr<Gdiplus::FontFamily> GenericSansSerifFamily() {
    const Gdiplus::FontFamily* generic = Gdiplus::FontFamily::GenericSansSerif();
    return std::unique_ptr<Gdiplus::FontFamily>(generic ? generic->Clone() : nullptr);
}

bool IsUsable(const Gdiplus::FontFamily* family) {
    return family && family->GetLastStatus() == Gdiplus::Ok && family->IsAvailable();
}

}  // namespace

bool FaceHasGlyphs(const std::wstring& face, const std::wstring& text) {
    if (text.empty()) return true;
    LOGFONTW description{};
    description.lfHeight = -12;
    description.lfCharSet = DEFAULT_CHARSET;
    lstrcpynW(description.lfFaceName, face.c_str(), LF_FACESIZE);
    HFONT font = CreateFontIndirectW(&description);
    HDC context = CreateCompatibleDC(nullptr);
    bool covered = false;
    if (font && context) {
        HGDIOBJ previous = SelectObject(context, font);
        std::vector<WORD> glyphs(text.size());
        if (GetGlyphIndicesW(context, text.c_str(), static_cast<int>(text.size()), glyphs.data(),
                             GGI_MARK_NONEXISTING_GLYPHS) != GDI_ERROR) {
            covered = std::none_of(glyphs.begin(), glyphs.end(),
                                   [](WORD glyph) { return glyph == 0xFFFF; });
        }
        SelectObject(context, previous);
    }
    if (context) DeleteDC(context);
    if (font) DeleteObject(font);
    return covered;
}

std::unique_ptr<Gdiplus::FontFamily> WindowFontFamily() {
    auto family = std::make_unique<Gdiplus::FontFamily>(L"微软雅黑");
    if (IsUsable(family.get())) return family;
    return GenericSansSerifFamily();
}

bool Canvas::MakeFonts(const Gdiplus::FontFamily* family) {
    if (!IsUsable(family)) return false;
    auto regular = std::make_unique<Gdiplus::Font>(family, 12.0f, Gdiplus::FontStyleRegular,
                                                   Gdiplus::UnitPixel);
    auto bold =
        std::make_unique<Gdiplus::Font>(family, 12.0f, Gdiplus::FontStyleBold, Gdiplus::UnitPixel);
    if (regular->GetLastStatus() != Gdiplus::Ok || bold->GetLastStatus() != Gdiplus::Ok) {
        return false;
    }
    regularFont_ = std::move(regular);
    boldFont_ = std::move(bold);
    return true;
}

bool Canvas::MakeFontsFromAnyInstalledFamily() {
    // A system without the generic families (a bare Wine prefix has neither "Microsoft Sans
    // Serif" nor "Tahoma") still shows its texts in whatever face it has.
    Gdiplus::InstalledFontCollection installed;
    const INT count = installed.GetFamilyCount();
    if (count <= 0) return false;
    std::unique_ptr<Gdiplus::FontFamily[]> families(new Gdiplus::FontFamily[count]);
    INT found = 0;
    if (installed.GetFamilies(count, families.get(), &found) != Gdiplus::Ok) return false;
    for (INT i = 0; i < found; ++i) {
        std::unique_ptr<Gdiplus::FontFamily> family(families[i].Clone());
        if (MakeFonts(family.get())) {
            family_ = std::move(family);
            return true;
        }
    }
    return false;
}

bool Canvas::BoldFaceCovers(const std::wstring& text) {
    for (wchar_t c : text) {
        auto known = boldFaceHas_.find(c);
        if (known == boldFaceHas_.end()) {
            known = boldFaceHas_.emplace(c, FaceHasGlyphs(boldFace_, std::wstring(1, c))).first;
        }
        if (!known->second) return false;
    }
    return true;
}

Gdiplus::Font& Canvas::BoldFontFor(const std::wstring& text) {
    if (BoldFaceCovers(text)) return *boldFont_;
    if (fallbackFont_ && FaceHasGlyphs(fallbackFace_, text)) return *fallbackFont_;
    if (text == uncovered_) return *boldFont_;

    // Faces with the traditional characters of the texts first, then whatever is installed.
    std::vector<std::wstring> faces = {
        L"Microsoft JhengHei", L"Microsoft YaHei", L"PMingLiU", L"MingLiU", L"SimSun", L"SimHei"};
    Gdiplus::InstalledFontCollection installed;
    const INT count = installed.GetFamilyCount();
    if (count > 0) {
        std::unique_ptr<Gdiplus::FontFamily[]> families(new Gdiplus::FontFamily[count]);
        INT found = 0;
        if (installed.GetFamilies(count, families.get(), &found) == Gdiplus::Ok) {
            for (INT i = 0; i < found; ++i) {
                wchar_t name[LF_FACESIZE] = {};
                if (families[i].GetFamilyName(name) == Gdiplus::Ok) faces.emplace_back(name);
            }
        }
    }
    for (const std::wstring& face : faces) {
        if (!FaceHasGlyphs(face, text)) continue;
        auto family = std::make_unique<Gdiplus::FontFamily>(face.c_str());
        if (!IsUsable(family.get())) continue;
        auto font = std::make_unique<Gdiplus::Font>(family.get(), 12.0f, Gdiplus::FontStyleBold,
                                                    Gdiplus::UnitPixel);
        if (font->GetLastStatus() != Gdiplus::Ok) continue;
        fallbackFamily_ = std::move(family);
        fallbackFont_ = std::move(font);
        fallbackFace_ = face;
        return *fallbackFont_;
    }
    // Nothing has them all: not searched again for the same text.
    uncovered_ = text;
    return *boldFont_;
}

Canvas::Canvas(int width, int height) : width_(width), height_(height) {
    white_ = std::make_unique<Gdiplus::SolidBrush>(Gdiplus::Color(0xFFFFFFFF));
    lightGrey_ = std::make_unique<Gdiplus::SolidBrush>(Gdiplus::Color(0xFFD3D3D3));
    lightBlue_ = std::make_unique<Gdiplus::SolidBrush>(Gdiplus::Color(0xFF78AEFF));

    nearCentreFormat_ = std::make_unique<Gdiplus::StringFormat>();
    nearCentreFormat_->SetAlignment(Gdiplus::StringAlignmentNear);
    nearCentreFormat_->SetLineAlignment(Gdiplus::StringAlignmentCenter);

    // A family can be known by name and still refuse to make a font (Wine maps unknown names
    // to a substitute that has no usable face), so the fallback is judged by the font.
    family_ = WindowFontFamily();
    if (!MakeFonts(family_.get())) {
        family_ = GenericSansSerifFamily();
        if (!MakeFonts(family_.get())) MakeFontsFromAnyInstalledFamily();
    }
    if (!regularFont_ || !boldFont_) {
        // Nothing drawable: keep invalid fonts so that drawing fails quietly instead of crashing.
        regularFont_ = std::make_unique<Gdiplus::Font>(L"", 12.0f, Gdiplus::FontStyleRegular,
                                                       Gdiplus::UnitPixel);
        boldFont_ =
            std::make_unique<Gdiplus::Font>(L"", 12.0f, Gdiplus::FontStyleBold, Gdiplus::UnitPixel);
    }
    if (family_) {
        wchar_t name[LF_FACESIZE] = {};
        if (family_->GetFamilyName(name) == Gdiplus::Ok) boldFace_ = name;
    }
    arrowCursor_ = LoadCursorW(nullptr, IDC_ARROW);

    std::srand(static_cast<unsigned>(std::time(nullptr)));
    backgroundId_ = IDP_BACKGROUND_FIRST + std::rand() % IDP_BACKGROUND_COUNT;
    SetScale(1.0);
}

int Canvas::Device(double length) const {
    return static_cast<int>(std::lround(length * scale_));
}

void Canvas::SetScale(double scale) {
    if (scale <= 0 || scale == scale_) return;
    scale_ = scale;
    graphics_.reset();
    surface_ =
        std::make_unique<Gdiplus::Bitmap>(Device(width_), Device(height_), PixelFormat32bppARGB);
    graphics_ = std::make_unique<Gdiplus::Graphics>(surface_.get());
    graphics_->SetTextRenderingHint(Gdiplus::TextRenderingHintAntiAlias);
    graphics_->ScaleTransform(static_cast<Gdiplus::REAL>(scale_),
                              static_cast<Gdiplus::REAL>(scale_));

    // From the artwork at its stored size straight to the device size: one resampling only.
    background_ = LoadCachedPng(backgroundId_, Device(width_), Device(height_));
    lowerPanel_ = LoadCachedPng(IDP_LOWER_PANEL, Device(1280), Device(213));
    logo_ = LoadCachedPng(IDP_LOGO, Device(300), Device(123));
}

void Canvas::DrawCached(Gdiplus::CachedBitmap* image, int x, int y) {
    if (!image) return;
    // Not every GDI+ applies a scaling transform to cached bitmaps, so they are prepared at the
    // device size and placed in device pixels.
    graphics_->ResetTransform();
    graphics_->DrawCachedBitmap(image, Device(x), Device(y));
    graphics_->ScaleTransform(static_cast<Gdiplus::REAL>(scale_),
                              static_cast<Gdiplus::REAL>(scale_));
}

}  // namespace velka
