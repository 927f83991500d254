// Drawing the window's frame: the skin, the start button once a failure is shown, the progress
// bar with its line, and the version, status and failure texts, composed on the canvas in design
// space and copied to the window's device context.
//
// Main thread only.
#pragma once

// windows.h first.
// clang-format off
#include <windows.h>
// clang-format on

#include "app/portable/progress_view.h"
#include "app/win32/skin.h"

namespace velka {

// Paints one frame into `deviceContext`. `downloading` picks the button's busy look; the bar's
// lastDrawMs is set when the bar is drawn.
void PaintWindow(HDC deviceContext, Canvas& canvas, const ProgressView& view,
                 const ImageButton& startButton, ProgressBar& progressBar, bool downloading);

}  // namespace velka
