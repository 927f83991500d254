#include "app/win32/window_painter.h"

#include <string>

#include "app/win32/window_layout.h"

namespace velka {

namespace {

// The box of a text line whose top is `top`.
Gdiplus::RectF TextLine(float top) {
    return Gdiplus::RectF(layout::kTextLeft, top, layout::kTextWidth, layout::kTextHeight);
}

}  // namespace

void PaintWindow(HDC deviceContext, Canvas& canvas, const ProgressView& view,
                 const ImageButton& startButton, ProgressBar& progressBar, bool downloading) {
    Gdiplus::Graphics& graphics = canvas.graphics();
    if (canvas.background()) {
        canvas.DrawCached(canvas.background(), 0, 0);
    } else {
        graphics.Clear(Gdiplus::Color(layout::kEmptyBackgroundArgb));
    }
    canvas.DrawCached(canvas.logo(), layout::kLogoLeft, layout::kLogoTop);
    canvas.DrawCached(canvas.lowerPanel(), 0, layout::kLowerPanelTop);

    if (view.failureShown()) {
        const ImageButton::Current current = startButton.CurrentImage(
            startButton.x + startButton.imageSizes[ImageButton::kNormal].width / 2.0,
            startButton.y + startButton.imageSizes[ImageButton::kNormal].height / 2.0, downloading);
        canvas.DrawCached(current.image, current.left, current.top);
    }

    const Gdiplus::StringFormat* typographic = Gdiplus::StringFormat::GenericTypographic();
    const ProgressBarModel& bar = view.bar();
    if (bar.shown) {
        const float ratio = bar.FillRatio();
        const int width = static_cast<int>(progressBar.Width() - progressBar.Height() * 0.1);
        const int top = progressBar.top;
        graphics.FillRectangle(&canvas.white(), progressBar.left, top, width, progressBar.Height());
        if (progressBar.track) {
            graphics.DrawImage(progressBar.track.get(), progressBar.left, top, width,
                               progressBar.Height());
        }
        const int filled = static_cast<int>(width * ratio);
        if (progressBar.fill && filled > 0) {
            graphics.DrawImage(progressBar.fill.get(), progressBar.left, top + 1, filled,
                               layout::kBarFillHeight);
        }
        progressBar.lastDrawMs = ProgressView::WallClockMs();

        const Gdiplus::RectF lineBox(layout::kTextLeft, layout::kBarTextTop, layout::kTextWidth,
                                     layout::kTextHeight);
        const std::wstring* pieces[] = {&bar.pieces.first, &bar.pieces.second, &bar.pieces.third};
        Gdiplus::RectF boxes[3];
        for (int i = 0; i < 3; ++i) {
            graphics.MeasureString(pieces[i]->c_str(), static_cast<INT>(pieces[i]->size()),
                                   &canvas.BoldFontFor(*pieces[i]), lineBox, typographic,
                                   &boxes[i]);
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
        Gdiplus::SolidBrush* brushes[] = {&canvas.white(), &canvas.lightBlue(), &canvas.white()};
        for (int i = 0; i < 3; ++i) {
            if (pieces[i]->empty()) continue;
            graphics.DrawString(pieces[i]->c_str(), static_cast<INT>(pieces[i]->size()),
                                &canvas.BoldFontFor(*pieces[i]), origins[i], typographic,
                                brushes[i]);
        }
    }

    const std::wstring& version = view.versionText();
    if (!version.empty()) {
        graphics.DrawString(version.c_str(), static_cast<INT>(version.size()),
                            &canvas.BoldFontFor(version), TextLine(layout::kVersionTop),
                            typographic, &canvas.lightGrey());
    }
    const std::wstring& status = view.statusText();
    if (!status.empty()) {
        graphics.DrawString(status.c_str(), static_cast<INT>(status.size()),
                            &canvas.BoldFontFor(status), TextLine(layout::kStatusTop), typographic,
                            &canvas.white());
    }
    const std::wstring& error = view.errorText();
    if (!error.empty()) {
        graphics.DrawString(error.c_str(), static_cast<INT>(error.size()),
                            &canvas.BoldFontFor(error), TextLine(layout::kErrorTop),
                            &canvas.nearCentreFormat(), &canvas.lightGrey());
    }

    Gdiplus::Graphics target(deviceContext);
    target.SetCompositingMode(Gdiplus::CompositingModeSourceCopy);
    target.SetInterpolationMode(Gdiplus::InterpolationModeNearestNeighbor);
    Gdiplus::Bitmap& surface = canvas.surface();
    target.DrawImage(&surface, 0, 0, static_cast<INT>(surface.GetWidth()),
                     static_cast<INT>(surface.GetHeight()));
}

}  // namespace velka
