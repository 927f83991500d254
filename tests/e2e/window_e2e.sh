#!/usr/bin/env bash
# The window under Wine and Xvfb against nginx serving the sample game; velka_window_probe.exe acts
# as system, shell or player. UPDATE_REFERENCES=1 writes the reference crops.
#   window_e2e.sh SCENARIO LAUNCHER_EXE SAMPLE_GAME_EXE PUBLISH_EXE ARTIFACTS [HOST_PUBLISH]
set -euo pipefail
SCENARIO="$1" LAUNCHER="$2" PUBLISH_EXE="$4" ARTIFACTS="$5" HOST_PUBLISH="${6:-}"
PROBE="$(cd "$(dirname "$3")" && pwd)/velka_window_probe.exe"
LAUNCHER_NAME=VELKALauncher.exe UNDER_WINE=1 TITLE="Velka手遊下載器" XVFB_PID="" DPI=96
[ "$SCENARIO" != dpi ] || DPI=144
source "$(dirname "$0")/e2e_lib.sh"
source "$HERE/../../scripts/env.sh"
window_cleanup() { stop "${PIDS[@]}"; [ -z "$XVFB_PID" ] || { wineserver -k; stop "$XVFB_PID"; }; }
screen_on_fail() { [ -z "$XVFB_PID" ] || import -window root "$ARTIFACTS/failure-$SCENARIO.png"; }
ON_CLEANUP=window_cleanup ON_FAIL=screen_on_fail
for t in Xvfb xdotool import compare convert wine nginx "$PROBE"; do command -v "$t" > /dev/null; done; mkdir -p "$ARTIFACTS"
# Xvfb picks a display number it can really listen on and writes it to descriptor 3.
(velka_close_inherited_fds; exec Xvfb -displayfd 3 -screen 0 2560x1440x24 -nolisten tcp 3> "$WORK/display" < /dev/null) &
XVFB_PID=$!
poll 30 test -s "$WORK/display"
export DISPLAY=":$(head -n 1 "$WORK/display")"
velka_wine_prepare_x11 "$DPI" || fail "could not set up the Wine prefix for $DPI DPI"
velka_detached wineserver -p60 || true

wine_exec() { cd "$1" && shift && velka_close_inherited_fds && exec wine "$@" < /dev/null; } # in a subshell
[ -x "$HOST_PUBLISH" ] || HOST_PUBLISH="$HERE/../../build/linux/src/publish/velka-publish"
publish_under_wine() { (wine_exec "$WORK" "$PUBLISH_EXE" "$@"); }
PUBLISH=("$HOST_PUBLISH") && [ -x "$HOST_PUBLISH" ] || PUBLISH=(publish_under_wine) PATH_PREFIX=Z:
GAME="$WORK/game/velka_win" MIRROR="$WORK/mirror"
make_game "$WORK/game" 1 5000000 "$3"
head -c 4000000 /dev/urandom > "$GAME/data/sounds.pak"
PACKAGE_LIMIT=3000000 publish "$WORK/game" "$MIRROR" 1.0.0 1.0.0

# Checks are bare commands: "! command" and all but the last of "a && b" do not count as checks.
running() { kill -0 "$1" 2> /dev/null; }
gone() { ! running "$1"; }
alive() { running "$LAUNCHER_PID"; }
probe() { (wine_exec "$WORK" "$PROBE" "$@" 2>> "$WORK/probe.err") | tr -d '\r'; }
act() { probe "$@" > /dev/null; }
in_background() {  # OUT REQUEST ARGUMENT: the probe, once it has written its first line
  (wine_exec "$WORK" "$PROBE" "$2" "$3" > "$1" 2>> "$WORK/probe.err") & PIDS+=($!) BACKGROUND_PID=$!
  poll 30 test -s "$1"
}
launch() { (wine_exec "$INSTALL" "$INSTALL/VELKALauncher.exe" "$@" >> "$WORK/launcher.out" 2>&1) & LAUNCHER_PID=$! PIDS+=($!); }
window_ids() { xdotool search --name "^${TITLE}\$" 2> /dev/null || true; }
start() {  # NAME RATE [EXITMODE [ARGUMENT]]: a fresh install, the mirror served at RATE, the window open
  serve "$MIRROR" "$2"
  make_install "$MIRROR" "$WORK/install-${1// /_}"
  [ -z "${3:-}" ] || printf 'exitMode=%s\n' "$3" > "$INSTALL/Config/config.ini"
  launch "${@:4}"
  poll 60 eval 'alive && [ -n "$(window_ids)" ]'
  WID="$(window_ids | head -n 1)"
}
downloading() { poll 60 eval 'alive && find "$INSTALL/Temp" -name "*.zip" -size +0 | grep -q .' 2> /dev/null; }
# The process's end is the one state that cannot come and go; windows are looked at only after it.
exits() {  # [SECONDS]: the launcher ends with 0, its window with it, its log with "Launcher terminate"
  poll "${1:-60}" gone "$LAUNCHER_PID"
  wait "$LAUNCHER_PID" || fail "the launcher exited $?"
  [ -z "$(window_ids)" ]
  [ ! -d "$INSTALL/Log" ] || tail -n 1 "$INSTALL"/Log/*.txt | tr -d '\r' | grep -q '\[INFO\] .* : Launcher terminate$'
}
answers() { [ "$(probe "$1")" = "$2" ]; }
state() { poll 20 answers state "$1"; }
tray() { poll 10 answers tray "$1"; }
game_started() {  # once, with the argument Launcher, in its folder
  poll 10 test -s "$INSTALL/Game/velka_win/started.txt"
  grep -qix 'started in .*\\Game\\velka_win with arguments: \[Launcher\]' "$INSTALL/Game/velka_win/started.txt"
  [ "$(wc -l < "$INSTALL/Game/velka_win/started.txt")" = 1 ]; rm "$INSTALL/Game/velka_win/started.txt"
}
read_client() {  # sets CLIENT_X CLIENT_Y CLIENT_W CLIENT_H, WID the X window holding it (Wine may show
  read -r CLIENT_X CLIENT_Y CLIENT_W CLIENT_H <<< "$(probe client)" # a small one of that title too)
  for WID in $(window_ids); do
    eval "$(xdotool getwindowgeometry --shell "$WID")"
    [ "$X" -gt "$CLIENT_X" ] || [ "$Y" -gt "$CLIENT_Y" ] || [ $((X + WIDTH)) -lt $((CLIENT_X + CLIENT_W)) ] || break
  done
  CLIENT_DX=$((CLIENT_X - X)) CLIENT_DY=$((CLIENT_Y - Y))
}
client() { local want="$1 $2"; poll 5 eval 'read_client && [ "$CLIENT_W $CLIENT_H" = "$want" ]'; }

# Design-space boxes "X Y W H" of the 1280 x 576 client and the threshold telling each from the
# dark panel: the bar line's first characters, version line, bar's unfilled end, failure text, button.
declare -A ELEMENT=([stage]="20 539 100 20 62" [version]="20 519 200 20 62" [track]="1000 555 259 12 15"
  [status]="20 541 400 20 62" [button]="1048 507 221 58 40")
# Masks of bright pixels, so the random background does not count; antialiasing moves at most 2 %.
crops_match() {  # SCALE_PERCENT ELEMENT...: a screenshot against reference crops (polled: paints may lag)
  local s="$1" e x y w h t mask differing && read_client && import -window "$WID" "$WORK/shot.png"
  for e in "${@:2}"; do
    read -r x y w h t <<< "${ELEMENT[$e]}"
    x=$((x * s / 100 + CLIENT_DX)) y=$((y * s / 100 + CLIENT_DY)) w=$((w * s / 100)) h=$((h * s / 100))
    mask="$ARTIFACTS/$SCENARIO-$e-$s.png"
    convert "$WORK/shot.png" -crop "${w}x$h+$x+$y" +repage -colorspace Gray -threshold "$t%" "$mask"
    [ -z "${UPDATE_REFERENCES:-}" ] || { cp "$mask" "$HERE/window_reference/$e-$s.png" && continue; }
    differing="$(compare -metric AE "$HERE/window_reference/$e-$s.png" "$mask" null: 2>&1 || true)"
    echo "$e at $s %: $differing of $((w * h)) pixels differ" && [[ "${differing%% *}" =~ ^[0-9]+$ ]]
    [ "${differing%% *}" -le $((w * h / 50)) ] || return 1
  done
}

# Window, icon and crops; a second start exits 0; game installed and started; close setting written.
scenario_update() {
  start update 600000 # two packages at a time at 600 kB/s each: about 8 s
  client 1280 576; tray 1
  (wine_exec "$INSTALL" "$INSTALL/VELKALauncher.exe" >> "$WORK/launcher.out" 2>&1) &
  poll 30 gone $!; wait $!
  [ "$(window_ids | wc -l)" = 1 ]
  downloading; poll 2 crops_match 100 stage version track || crops_match 100 stage version track
  exits 180; game_started
  RC=0 expect_run 0 "$WORK/game" 1.0.0 1.0.0
  printf 'exitMode=1\n' | cmp - "$INSTALL/Config/config.ini"
}

# Close: exitMode 2 ends the download, exitMode 1 hides and goes on, without an icon it minimises.
scenario_close() {
  start "exitMode 2" 200000 2; downloading # the slow mirror cannot deliver the packages by the close
  act close; exits
  [ ! -e "$INSTALL/Game/velka_win/velka.exe" ]
  start "exitMode 1" 400000 1; downloading
  act close; state hidden
  [ ! -e "$INSTALL/Game/velka_win/started.txt" ]; alive
  poll 10 eval '[ -z "$(xdotool search --onlyvisible --name "^${TITLE}\$" 2> /dev/null)" ]'
  exits 180; game_started
  RC=0 expect_run 0 "$WORK/game" 1.0.0 1.0.0
  in_background "$WORK/shell.out" refusing-shell 600000 # first in line while the launcher starts
  start "no shell" 100000 1; tray 0
  act close; state minimised; alive
  stop "$BACKGROUND_PID"; act taskbar-created; tray 1
  xdotool windowactivate --sync "$WID" 2> /dev/null || xdotool windowmap "$WID" 2> /dev/null || true
  act close; state hidden
  act tray-event 1134; exits
}

click_row() {  # RECT ROW ROWS: clicks the ROWth of ROWS equal rows of a popup menu at "X Y W H"
  local x y w h && read -r x y w h <<< "$1"
  xdotool mousemove --sync $((x + w / 2)) $((y + h * (2 * $2 + 1) / (2 * $3))) sleep 0.3 click 1
}
menu() {  # [SUB]: opens the tray's context menu (and its "關閉設定" submenu); sets MAIN_MENU SUB_MENU
  xdotool mousemove --sync 600 300
  act tray-event 516
  MAIN_MENU="$(probe menu 0)"
  [ -z "${1:-}" ] || { click_row "$MAIN_MENU" 0 3; SUB_MENU="$(probe menu 1)"; sleep 0.3; }
}
checked() {  # ROW: of the submenu's items (0 最小化, 1 退出) only ROW has a check mark
  local shot="$ARTIFACTS/tray-menu-$1.png" row x y w h marks=() && read -r x y w h <<< "$SUB_MENU"
  import -window root "$shot"
  for row in 0 1; do # dark pixels in the row's gutter
    marks+=("$(convert "$shot" -crop "20x$((h / 2))+$((x + 1))+$((y + h * row / 2))" +repage -colorspace Gray \
      -threshold 30% -negate -format '%[fx:int(mean*w*h+0.5)]' info:)")
  done
  echo "check marks: ${marks[*]}" && [ "${marks[$((1 - $1))]}" -le 2 ]; [ "${marks[$1]}" -ge 8 ]
}

# The icon back after "TaskbarCreated"; the menu's check marks and commands; quit request and 退出.
scenario_tray() {
  start tray 50000 1; tray 1
  act tray-drop; tray 0 # Explorer restarts: its new taskbar knows no icons until the launcher adds its own
  act taskbar-created; tray 1
  act close; state hidden
  menu sub; checked 0
  click_row "$SUB_MENU" 1 2 # "退出": closing ends the launcher from now on
  poll 5 eval 'printf "exitMode=2\r\n" | cmp -s - "$INSTALL/Config/config.ini"'
  menu sub; checked 1
  click_row "$MAIN_MENU" 1 3; state shown # "恢復主介面"
  act close; exits
  start "tray quit request" 50000 1; act tray-event 1134; exits
  start "tray menu quit" 50000 1; menu; click_row "$MAIN_MENU" 2 3; exits # "退出"
}

# A start during another launcher's close runs; with the mutex held for good: the error box only.
scenario_instance() {
  in_background "$WORK/holder.out" hold-mutex 2500
  start "after a closing launcher" 100000 2
  [ -z "$(xdotool search --name '^錯誤！$' 2> /dev/null)" ]
  act close; exits
  in_background "$WORK/hung.out" hold-mutex 120000
  make_install "$MIRROR" "$WORK/install-hung" && launch
  [ "$(probe message-box '錯誤！')" = "啓動器進程失去反應，請手動通過任務管理器關閉後台進程後再試！" ]
  exits 30; [ ! -d "$INSTALL/Log" ]
}

# No server configuration: failure text and button match their crops, a click on it starts the game.
failed_view() {  # NAME SCALE_PERCENT
  [ ! -f "$MIRROR/Launcher/serverconfig.txt" ] || mv "$MIRROR/Launcher/serverconfig.txt" "$WORK/"
  mkdir -p "$WORK/install-$1/Game" && cp -r "$GAME" "$WORK/install-$1/Game/velka_win"
  start "$1" 0 1; client $((1280 * $2 / 100)) $((576 * $2 / 100))
  poll 30 grep -qs '^/Launcher/serverconfig.txt' "$WORK/requests"
  sleep 2; alive # the failure is drawn within a few frames of the last request
  poll 2 crops_match "$2" button status || crops_match "$2" button status
  [ ! -e "$INSTALL/Game/velka_win/started.txt" ]
  xdotool mousemove --sync $((CLIENT_X + (1048 + 110) * $2 / 100)) $((CLIENT_Y + (507 + 29) * $2 / 100)) click 1
  exits; game_started
}
scenario_failed() { failed_view failed 100; }

# 144 DPI scales client and skin, WM_DPICHANGED rescales them, the button is hit at device pixels.
scenario_dpi() {
  start dpi 100000 2; client 1920 864
  downloading; poll 2 crops_match 150 stage version track || crops_match 150 stage version track
  act dpi 96; client 1280 576 # the window moves to a 100 % monitor and back
  poll 2 crops_match 100 stage version || crops_match 100 stage version
  act dpi 144; client 1920 864
  act close; exits
  failed_view dpi_failed 150
}

# With the argument gameupdate a running velka.exe is ended before any transfer; without, it is not.
scenario_gameupdate() {
  mkdir -p "$WORK/running" && cp "$PROBE" "$WORK/running/velka.exe"
  for argument in gameupdate ""; do
    (wine_exec "$WORK/running" "$WORK/running/velka.exe" sleep 300000 > /dev/null 2>&1) &
    game=$! PIDS+=($!)
    sleep 2; running "$game"
    start "${argument:-none}" 200000 2 $argument
    poll 30 test -s "$WORK/requests"
    if [ -n "$argument" ]; then gone "$game"; else running "$game"; stop "$game"; fi
    act close; exits
  done
}

"scenario_$SCENARIO"
echo "PASS [$SCENARIO] (screenshots in $ARTIFACTS)"
