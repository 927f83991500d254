#!/usr/bin/env bash
# Draws the launcher's skin with ImageMagick into res/: six backgrounds, the logo, the lower
# panel, the start button's six looks, the progress bar's track and fill, and the icon.
# The results are committed, so the build needs no ImageMagick; run this to redraw them.
#   res/make_artwork.sh [OUTPUT_FOLDER]
set -euo pipefail
OUT="${1:-$(cd "$(dirname "$0")" && pwd)}"
mkdir -p "$OUT"
CONVERT="${CONVERT:-$(command -v /usr/bin/convert || command -v convert)}"
# -strip and a fixed date keep the files byte-identical between runs.
IM=("$CONVERT" -define png:exclude-chunks=date,time)
TMP="$(mktemp -d)"
trap 'rm -rf "$TMP"' EXIT

font_available() { "$CONVERT" -list font | grep -q "Font: $1\$"; }
TITLE_FONT=DejaVu-Serif-Bold
TEXT_FONT=DejaVu-Sans-Bold
BUTTON_TEXT="START"
BUSY_TEXT="UPDATING"
if font_available WenQuanYi-Micro-Hei; then
  TEXT_FONT=WenQuanYi-Micro-Hei
  BUTTON_TEXT="開始遊戲"
  BUSY_TEXT="更新中"
fi

# background INDEX SKY_TOP SKY_BOTTOM GLOW RIDGE_NEAR RIDGE_FAR
background() {
  local n="$1" top="$2" bottom="$3" glow="$4" near="$5" far="$6"
  local seed=$((n * 7919))
  # Sky, a glowing moon or sun behind haze, stars.
  "${IM[@]}" -size 1280x576 "gradient:$top-$bottom" \
    \( -size 1280x576 xc:none -fill "$glow" -draw "circle $((760 + n * 60)),$((150 + n * 8)) $((760 + n * 60)),$((205 + n * 8))" -blur 0x3 \) -composite \
    \( -size 1280x576 xc:none -fill "$glow" -draw "circle $((760 + n * 60)),$((150 + n * 8)) $((760 + n * 60)),$((330 + n * 8))" -channel A -evaluate multiply 0.35 +channel -blur 0x60 \) -composite \
    \( -size 1280x576 xc:black -seed "$seed" +noise Random -colorspace Gray -threshold 99.7% -blur 0x0.6 -transparent black \) -composite \
    "$TMP/sky.png"
  # Two mountain ridges and a castle on the near one.
  local far_pts="0,576 0,330" near_pts="0,576 0,440" x
  RANDOM=$seed
  for x in $(seq 0 80 1280); do far_pts+=" $x,$((250 + RANDOM % 110))"; done
  far_pts+=" 1280,330 1280,576"
  for x in $(seq 0 64 1280); do near_pts+=" $x,$((360 + RANDOM % 90))"; done
  near_pts+=" 1280,430 1280,576"
  local cx=$((180 + (n * 173) % 820))
  "${IM[@]}" "$TMP/sky.png" \
    \( -size 1280x576 xc:none -fill "$far" -draw "polygon $far_pts" -blur 0x2 \) -composite \
    \( -size 1280x576 xc:none -fill "$near" -draw "polygon $near_pts" \
       -draw "rectangle $cx,300 $((cx + 26)),420" -draw "polygon $((cx - 4)),300 $((cx + 13)),262 $((cx + 30)),300" \
       -draw "rectangle $((cx + 40)),330 $((cx + 62)),420" -draw "polygon $((cx + 36)),330 $((cx + 51)),298 $((cx + 66)),330" \
       -draw "rectangle $((cx - 30)),350 $((cx + 90)),430" \) -composite \
    \( -size 1280x576 radial-gradient:none-black -channel A -evaluate multiply 0.85 +channel \) -composite \
    \( -size 1280x576 gradient:none-"#05050a" -channel A -evaluate multiply 0.6 +channel \) -composite \
    -strip "PNG24:$OUT/background_$n.png"
}

background 1 "#1b2a4a" "#6a3b5c" "#ffd9a0" "#0d0c16" "#2a2540"
background 2 "#0c1d2b" "#2f6a7a" "#d8f4ff" "#061015" "#173844"
background 3 "#2a0f12" "#8a3a1c" "#ffb060" "#120607" "#3b1a18"
background 4 "#10122e" "#3a2a78" "#c8b8ff" "#08081a" "#22204a"
background 5 "#0f2418" "#4e6b3a" "#f0f0c0" "#07110b" "#1c3324"
background 6 "#1a1a1f" "#54505e" "#e0e6ff" "#0a0a0d" "#2b2a33"

# Logo: the game's name in gold with a dark outline and a soft shadow, on transparency.
logo() {
  "${IM[@]}" -size 800x336 xc:none -font "$TITLE_FONT" -pointsize 190 -gravity center \
    -fill white -annotate +0-20 "VELKA" "$TMP/logo_mask.png"
  "${IM[@]}" "$TMP/logo_mask.png" -alpha extract "$TMP/logo_alpha.png"
  "${IM[@]}" -size 800x336 gradient:"#fff3c4"-"#b8731e" "$TMP/logo_alpha.png" -alpha off \
    -compose CopyOpacity -composite "$TMP/logo_gold.png"
  "${IM[@]}" "$TMP/logo_mask.png" -fill black -colorize 100 -background none \
    -channel A -blur 0x8 +channel "$TMP/logo_shadow.png"
  "${IM[@]}" -size 800x336 xc:none -font "$TITLE_FONT" -pointsize 190 -gravity center \
    -stroke "#2a1606" -strokewidth 10 -fill "#2a1606" -annotate +0-20 "VELKA" "$TMP/logo_outline.png"
  "${IM[@]}" "$TMP/logo_shadow.png" -roll +6+6 "$TMP/logo_outline.png" -compose Over -composite \
    "$TMP/logo_gold.png" -compose Over -composite \
    -font DejaVu-Sans-Bold -pointsize 26 -gravity center -fill "#e8d9b0" \
    -annotate +0+105 "— CHRONICLES OF THE ASHEN CROWN —" -strip "PNG32:$OUT/logo.png"
}
logo

# Lower panel: transparent at the top, darkening downwards, with a thin gold rule.
"${IM[@]}" -size 1280x213 gradient:"#00000000"-"#000000e0" \
  \( -size 1280x2 gradient:"#00000000"-"#00000000" -fill "#c9a25a90" -draw "rectangle 40,0 1240,1" \) \
  -geometry +0+96 -composite -strip "PNG32:$OUT/lower_panel.png"

# button FILE WIDTH HEIGHT TOP BOTTOM TEXT TEXT_COLOUR BORDER
button() {
  local file="$1" w="$2" h="$3" top="$4" bottom="$5" text="$6" ink="$7" border="$8"
  "${IM[@]}" -size "${w}x${h}" xc:none \
    \( -size "${w}x${h}" gradient:"$top"-"$bottom" \
       \( -size "${w}x${h}" xc:none -fill white -draw "roundrectangle 1,1 $((w - 2)),$((h - 2)) 12,12" \) \
       -compose DstIn -composite \) -compose Over -composite \
    \( -size "${w}x$((h / 2))" gradient:"#ffffff70"-"#ffffff08" \
       \( -size "${w}x$((h / 2))" xc:none -fill white -draw "roundrectangle 4,3 $((w - 5)),$((h / 2 + 10)) 10,10" \) \
       -compose DstIn -composite \) -compose Over -geometry +0+0 -composite \
    -fill none -stroke "$border" -strokewidth 2 -draw "roundrectangle 1,1 $((w - 2)),$((h - 2)) 12,12" \
    -stroke none -font "$TEXT_FONT" -pointsize 26 -gravity center \
    -fill "#00000080" -annotate +1+2 "$text" -fill "$ink" -annotate +0+0 "$text" \
    -strip "PNG32:$OUT/$file"
}
button button_start.png 221 58 "#ffd77a" "#c8621a" "$BUTTON_TEXT" "#3a1a02" "#fff0c0"
button button_pressed.png 216 57 "#d89a3a" "#8f400c" "$BUTTON_TEXT" "#2a1000" "#e0b070"
button button_disabled.png 221 58 "#8a8a8a" "#4a4a4a" "$BUTTON_TEXT" "#d0d0d0" "#a0a0a0"
button button_disabled_pressed.png 216 57 "#6a6a6a" "#383838" "$BUTTON_TEXT" "#b0b0b0" "#808080"
button button_busy.png 221 58 "#5a6f8a" "#2c3748" "$BUSY_TEXT" "#dfe8f5" "#8aa0c0"
button button_busy_pressed.png 216 57 "#475870" "#222a38" "$BUSY_TEXT" "#c0cce0" "#7088a8"

# Progress bar: a dark translucent track and a bright cyan fill.
"${IM[@]}" -size 1240x6 xc:"#0a0d14c0" -fill "#ffffff30" -draw "line 0,0 1239,0" \
  -fill "#00000080" -draw "line 0,5 1239,5" -strip "PNG32:$OUT/bar_track.png"
"${IM[@]}" -size 4x1240 gradient:"#2f7bff"-"#7ff0ff" -rotate -90 \
  \( -size 1240x4 gradient:"#ffffff60"-"#ffffff00" \) -compose Over -composite \
  -strip "PNG32:$OUT/bar_fill.png"

# Icon: a gold "V" on a dark shield, at the usual sizes.
"${IM[@]}" -size 256x256 xc:none -fill "#1c1830" -stroke "#d9a748" -strokewidth 10 \
  -draw "path 'M 128,12 L 236,52 L 224,150 Q 200,220 128,248 Q 56,220 32,150 L 20,52 Z'" \
  -stroke none -font "$TITLE_FONT" -pointsize 170 -gravity center -fill "#f3c865" \
  -annotate +0+4 "V" "$TMP/icon256.png"
"${IM[@]}" "$TMP/icon256.png" -define icon:auto-resize=256,48,32,16 "$OUT/velka.ico"

echo "artwork written to $OUT"
