// Where things sit in the window, in the 1280 x 576 design space (device pixels are these scaled
// by the window's DPI).
#pragma once

namespace velka {
namespace layout {

inline constexpr int kClientWidth = 1280;
inline constexpr int kClientHeight = 576;

// The background art, with the logo at its top left and the lower panel across its bottom.
inline constexpr unsigned kEmptyBackgroundArgb = 0xFF101018;  // when the art is missing
inline constexpr int kLogoLeft = 28;
inline constexpr int kLogoTop = 18;
inline constexpr int kLowerPanelTop = 363;
inline constexpr int kLowerPanelHeight = 213;

// The start button, at the bottom right corner less the margin; pressed, its images are smaller.
inline constexpr int kMargin = 11;
inline constexpr int kButtonWidth = 221;
inline constexpr int kButtonHeight = 58;
inline constexpr int kButtonPressedWidth = 216;
inline constexpr int kButtonPressedHeight = 57;

// The progress bar, its bottom level with the button's; the fill is drawn one pixel below the
// track's top.
inline constexpr int kBarLeft = 20;
inline constexpr int kBarWidth = 1240;
inline constexpr int kBarHeight = 6;
inline constexpr int kBarFillHeight = 4;

// The text lines, each kTextWidth x kTextHeight from kTextLeft: the failure reason, the version,
// the bar's line (file, percentage, speed) and the status.
inline constexpr float kTextLeft = 20.0f;
inline constexpr float kTextWidth = 1240.0f;
inline constexpr float kTextHeight = 20.0f;
inline constexpr float kErrorTop = 497.0f;
inline constexpr float kVersionTop = 519.0f;
inline constexpr float kBarTextTop = 539.0f;
inline constexpr float kStatusTop = 541.0f;

}  // namespace layout
}  // namespace velka
