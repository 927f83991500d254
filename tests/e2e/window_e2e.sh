#!/usr/bin/env bash
# The Windows launcher's window under Wine on a virtual X display, in fresh install folders,
# against nginx serving a mirror (throttled, so a download can be watched) whose game is the
# sample game. velka_window_probe.exe acts on the window as the system, the shell or the player.
#   update      the window (client 1280 x 576, tray icon, bar and version line against reference
#               crops); a second start shows the first one's window and exits 0; the game
#               installed exactly and started with Launcher; exit 0 with "Launcher terminate"
#   close       exitMode 2 ends the launcher during the download; exitMode 1 hides it and the
#               update goes on; with a shell refusing icons closing minimises, and the icon
#               comes with the shell's "TaskbarCreated"
#   tray        the icon comes back after "TaskbarCreated"; the menu's check marks and commands;
#               the quit request (1134) and the menu's 退出 end the launcher
#   instance    a start while another launcher closes (instance mutex, no window) runs without
#               the error box; one that holds the mutex for good gets the error box
#   dpi         at 144 DPI the client is 1920 x 864 and the skin drawn at that scale,
#               WM_DPICHANGED rescales it, and the failure view's button is hit at device pixels
#   failed      a mirror without its server configuration: failure text and start button
#               against reference crops; a click on the button starts the game
#   gameupdate  with the argument gameupdate a running velka.exe is ended before any transfer;
#               without it, it is not
#
#   window_e2e.sh SCENARIO LAUNCHER_EXE SAMPLE_GAME_EXE PUBLISH_EXE ARTIFACTS [HOST_PUBLISH]
# Screenshots go to ARTIFACTS; KEEP=1 keeps the scratch folder, UPDATE_REFERENCES=1 writes the
# reference crops from this run. HOST_PUBLISH (or build/linux's) is used instead of PUBLISH_EXE.
set -euo pipefail
SCENARIO="$1" LAUNCHER="$2" SAMPLE_GAME="$3" PUBLISH_EXE="$4" ARTIFACTS="$5" HOST_PUBLISH="${6:-}"
PROBE="$(cd "$(dirname "$SAMPLE_GAME")" && pwd)/velka_window_probe.exe"
LAUNCHER_NAME=VELKALauncher.exe UNDER_WINE=1 TITLE="Velka手遊下載器" XVFB_PID="" DPI=96
[ "$SCENARIO" = dpi ] && DPI=144
source "$(dirname "$0")/e2e_lib.sh"
source "$HERE/../../scripts/env.sh"
mkdir -p "$ARTIFACTS"
window_cleanup() {
  stop "${PIDS[@]}"
  [ -z "$XVFB_PID" ] || { wineserver -k; stop "$XVFB_PID"; }
}
screen_on_fail() { [ -z "$XVFB_PID" ] || import -window root "$ARTIFACTS/failure-$SCENARIO.png"; }
ON_CLEANUP=window_cleanup ON_FAIL=screen_on_fail
for tool in Xvfb xdotool import compare convert wine nginx; do
  command -v "$tool" > /dev/null || fail "$tool is not installed (scripts/setup)"
done
[ -f "$PROBE" ] || fail "velka_window_probe.exe is missing beside the sample game ($PROBE)"

# Xvfb picks a display number it can really listen on and writes it to descriptor 3.
(velka_close_inherited_fds; exec Xvfb -displayfd 3 -screen 0 2560x1440x24 -nolisten tcp \
  3> "$WORK/display" < /dev/null > "$WORK/xvfb.err" 2>&1) &
XVFB_PID=$!
poll() { local n="$1" _; shift; for _ in $(seq $((n * 10))); do "$@" && return 0; sleep 0.1; done; return 1; }
poll 30 test -s "$WORK/display" || fail "Xvfb did not start"
export DISPLAY=":$(head -n 1 "$WORK/display")"
xdotool getdisplaygeometry > /dev/null 2>&1 || fail "Xvfb on $DISPLAY does not answer"
velka_wine_prepare_x11 "$DPI" || fail "could not set up the Wine prefix for $DPI DPI"
velka_detached wineserver -p60 || true

wine_exec() { cd "$1" && shift && velka_close_inherited_fds && exec wine "$@" < /dev/null; } # in a subshell
[ -x "$HOST_PUBLISH" ] || HOST_PUBLISH="$HERE/../../build/linux/src/publish/velka-publish"
if [ -x "$HOST_PUBLISH" ]; then PUBLISH=("$HOST_PUBLISH"); else
  publish_under_wine() { (wine_exec "$WORK" "$PUBLISH_EXE" "$@"); }
  PUBLISH=(publish_under_wine) PATH_PREFIX=Z:
fi
GAME="$WORK/game/velka_win" MIRROR="$WORK/mirror"
make_game "$WORK/game" 1 5000000 "$SAMPLE_GAME"
head -c 4000000 /dev/urandom > "$GAME/data/sounds.pak"
PACKAGE_LIMIT=3000000 publish "$WORK/game" "$MIRROR" 1.0.0 1.0.0

gone() { ! kill -0 "$1" 2> /dev/null; }
probe() { (wine_exec "$WORK" "$PROBE" "$@" 2>> "$WORK/probe.err") | tr -d '\r'; }
act() { probe "$@" > /dev/null || fail "probe $* failed"; }
probe_in_background() {  # OUT REQUEST ARGUMENT: waits for its first line
  (wine_exec "$WORK" "$PROBE" "$2" "$3" > "$1" 2>> "$WORK/probe.err") &
  PIDS+=($!) BACKGROUND_PID=$!
  poll 30 test -s "$1" || fail "probe $2 did not start"
}
new_install() {  # NAME [EXITMODE]
  make_install "$MIRROR" "$WORK/$1"
  [ -z "${2:-}" ] || printf 'exitMode=%s\n' "$2" > "$INSTALL/Config/config.ini"
}
launch() { (wine_exec "$INSTALL" "$INSTALL/VELKALauncher.exe" "$@" >> "$WORK/launcher.out" 2>&1) & LAUNCHER_PID=$! && PIDS+=($!); }
window_ids() { xdotool search --name "^${TITLE}\$" 2> /dev/null || true; }
window_shown() { gone "$LAUNCHER_PID" && fail "the launcher ended before showing its window"; [ -n "$(window_ids)" ]; }
open_window() {  # NAME [ARGUMENT]: starts the launcher and waits for its window; sets WID
  : > "$WORK/requests"
  launch "${@:2}"
  poll 60 window_shown || fail "$1: no window titled $TITLE appeared"
  WID="$(window_ids | head -n 1)"
}
downloading() { gone "$LAUNCHER_PID" && fail "the launcher ended before the download"; find "$INSTALL/Temp" -name '*.zip' -size +0 2> /dev/null | grep -q .; }
wait_for_download() { poll 60 downloading || fail "$1: the package download never started"; }
# The process's end is the one state that cannot come and go; windows are looked at only after it.
wait_for_exit() {  # NAME SECONDS
  poll "$2" gone "$LAUNCHER_PID" || fail "$1: the launcher process did not end"
  RC=0
  wait "$LAUNCHER_PID" || RC=$?
  [ "$RC" = 0 ] || fail "$1: the launcher exited $RC"
  [ -z "$(window_ids)" ] || fail "$1: a window outlived the launcher"
  [ ! -d "$INSTALL/Log" ] || tail -n 1 "$INSTALL"/Log/*.txt | tr -d '\r' | grep -q '\[INFO\] .* : Launcher terminate$' ||
    fail "$1: the log does not end with Launcher terminate"
}
state_is() { [ "$(probe state)" = "$1" ]; }
expect_state() { poll 20 state_is "$2" || fail "$1: the window is $(probe state), not $2"; }
tray_is() { [ "$(probe tray)" = "$1" ]; }
expect_tray() { poll 10 tray_is "$2" || fail "$1: the shell holds the icon: $(probe tray), expected $2"; }
game_started() {  # NAME: the game was started once, as the launcher starts it
  local started="$INSTALL/Game/velka_win/started.txt"
  poll 10 test -s "$started" || fail "$1: the game was not started"
  grep -q 'with arguments: \[Launcher\]$' "$started" && grep -qi 'Game\\velka_win' "$started" &&
    [ "$(wc -l < "$started")" = 1 ] || fail "$1: the game was started as: $(cat "$started")"
  rm "$started"
}
read_client() {  # sets CLIENT_X CLIENT_Y CLIENT_W CLIENT_H and the client's offset CLIENT_DX/DY in WID
  read -r CLIENT_X CLIENT_Y CLIENT_W CLIENT_H <<< "$(probe client)"
  eval "$(xdotool getwindowgeometry --shell "$WID")"
  CLIENT_DX=$((CLIENT_X - X)) CLIENT_DY=$((CLIENT_Y - Y))
}
client_is() { read_client && [ "$CLIENT_W $CLIENT_H" = "$1 $2" ]; }
expect_client() { poll 5 client_is "$2" "$3" || fail "$1: the client area is ${CLIENT_W}x$CLIENT_H, not $2x$3"; }

# Elements as design-space boxes "X Y WIDTH HEIGHT" of the 1280 x 576 logical client area, and the
# brightness that tells each from the dark panel: the bar line's first characters, the version
# line, the bar's unfilled right end, the failure text, the start button.
declare -A ELEMENT=([stage]="20 539 100 20 62" [version]="20 519 200 20 62" [track]="1000 555 259 12 15"
  [status]="20 541 400 20 62" [button]="1048 507 221 58 40")
# The panel lets the random background show through, so crops are compared as masks of their
# bright pixels: a moved, missing or boxed element changes the mask, a background does not.
compare_shot() {  # NAME SCALE_PERCENT ELEMENT...: a screenshot of the window against reference crops
  local image="$ARTIFACTS/$SCENARIO-${1// /_}.png" s="$2" e x y w h t differing
  import -window "$WID" "$image" || fail "$1: no screenshot"
  read_client
  for e in "${@:3}"; do
    read -r x y w h t <<< "${ELEMENT[$e]}"
    x=$((x * s / 100 + CLIENT_DX)) y=$((y * s / 100 + CLIENT_DY)) w=$((w * s / 100)) h=$((h * s / 100))
    convert "$image" -crop "${w}x$h+$x+$y" +repage -colorspace Gray -threshold "$t%" "$WORK/$e.png"
    cp "$WORK/$e.png" "$ARTIFACTS/$SCENARIO-$e-$s.png"
    [ -z "${UPDATE_REFERENCES:-}" ] || { cp "$WORK/$e.png" "$HERE/window_reference/$e-$s.png" && continue; }
    differing="$(compare -metric AE "$HERE/window_reference/$e-$s.png" "$WORK/$e.png" null: 2>&1 || true)"
    # Antialiasing moves a few edge pixels across the threshold; a moved element far more.
    [[ "${differing%% *}" =~ ^[0-9]+$ ]] && [ "${differing%% *}" -le $((w * h / 50)) ] ||
      fail "$1: the $e differs from its reference ($differing of $((w * h)) pixels)"
  done
}

scenario_update() {
  serve "$MIRROR" 600000 # two packages at a time at 600 kB/s each: about 8 s
  new_install install
  open_window update
  expect_client update 1280 576
  expect_tray "update: the icon is added" 1
  (wine_exec "$INSTALL" "$INSTALL/VELKALauncher.exe" >> "$WORK/launcher.out" 2>&1) &
  local second=$!
  poll 30 gone "$second" || fail "a second launcher kept running"
  wait "$second" || fail "the second launcher exited $?"
  [ "$(window_ids | wc -l)" = 1 ] || fail "expected one launcher window, found $(window_ids | wc -l)"
  wait_for_download update
  sleep 1.5
  compare_shot "update" 100 stage version track
  wait_for_exit update 180
  game_started update
  expect_run 0 "$WORK/game" 1.0.0 1.0.0
  printf 'exitMode=1\n' | cmp -s - "$INSTALL/Config/config.ini" || fail "close setting: $(od -c "$INSTALL/Config/config.ini")"
}

scenario_close() {
  serve "$MIRROR" 200000 # exitMode 2: the slow mirror cannot deliver the packages by the close
  new_install install-exitmode2 2
  open_window "exitMode 2"
  wait_for_download "exitMode 2"
  act close
  wait_for_exit "exitMode 2" 60
  [ ! -e "$INSTALL/Game/velka_win/velka.exe" ] || fail "exitMode 2: the update went on after the close"

  serve "$MIRROR" 400000 # exitMode 1: hidden, unmapped, and the update goes on to the end
  new_install install-exitmode1 1
  open_window "exitMode 1"
  wait_for_download "exitMode 1"
  act close
  expect_state "exitMode 1" hidden
  [ ! -e "$INSTALL/Game/velka_win/started.txt" ] && ! gone "$LAUNCHER_PID" || fail "exitMode 1: ended or finished before the close"
  poll 10 eval '[ -z "$(xdotool search --onlyvisible --name "^${TITLE}\$" 2> /dev/null)" ]' ||
    fail "exitMode 1: the hidden window is still mapped on the display"
  wait_for_exit "exitMode 1" 180
  game_started "exitMode 1"
  expect_run 0 "$WORK/game" 1.0.0 1.0.0

  serve "$MIRROR" 100000 # a shell that refuses icons stands first in line while the launcher starts
  new_install install-noshell 1
  probe_in_background "$WORK/shell.out" refusing-shell 600000
  open_window "no shell"
  expect_tray "no shell" 0
  act close
  expect_state "no shell: closing without an icon minimises" minimised
  ! gone "$LAUNCHER_PID" || fail "no shell: the launcher ended on the close"
  stop "$BACKGROUND_PID"
  act taskbar-created
  expect_tray "no shell: the icon comes with the new taskbar" 1
  xdotool windowactivate --sync "$WID" 2> /dev/null || xdotool windowmap "$WID" 2> /dev/null || true
  act close
  expect_state "no shell: closing with an icon hides" hidden
  act tray-event 1134
  wait_for_exit "no shell" 60
}

click_row() {  # RECT ROW ROWS: clicks the ROWth of ROWS equal rows of a popup menu at "X Y W H"
  local x y w h
  read -r x y w h <<< "$1"
  xdotool mousemove --sync $((x + w / 2)) $((y + h * (2 * $2 + 1) / (2 * $3)))
  sleep 0.3
  xdotool click 1
}
open_menu() {  # NAME [SUB]: the tray's context menu (and its "關閉設定" submenu); sets MAIN_MENU SUB_MENU
  xdotool mousemove --sync 600 300
  act tray-event 516
  MAIN_MENU="$(probe menu 0)" || fail "$1: the context menu did not open"
  [ -z "${2:-}" ] || { click_row "$MAIN_MENU" 0 3 && SUB_MENU="$(probe menu 1)" && sleep 0.3; } ||
    fail "$1: the close-behaviour submenu did not open"
}
expect_checked() {  # NAME ROW: the submenu's ROWth item (0 最小化, 1 退出) has the check mark
  local shot="$ARTIFACTS/tray-menu-$2.png" row x y w h marks=()
  import -window root "$shot"
  read -r x y w h <<< "$SUB_MENU"
  for row in 0 1; do # dark pixels in the row's gutter
    marks+=("$(convert "$shot" -crop "20x$((h / 2))+$((x + 1))+$((y + h * row / 2))" +repage -colorspace Gray \
      -threshold 30% -negate -format '%[fx:int(mean*w*h+0.5)]' info:)")
  done
  [ "${marks[$2]}" -ge 8 ] && [ "${marks[$((1 - $2))]}" -le 2 ] || fail "$1: check marks ${marks[*]}"
}
config_is() { printf "$1" | cmp -s - "$INSTALL/Config/config.ini"; }

scenario_tray() {
  serve "$MIRROR" 50000
  new_install install-tray 1
  open_window tray
  expect_tray "tray: the icon is added" 1
  act tray-drop # Explorer restarts: its new taskbar knows no icons until the launcher adds its own
  expect_tray "tray: the icon is gone with the old taskbar" 0
  act taskbar-created
  expect_tray "tray: TaskbarCreated brings the icon back" 1
  act close
  expect_state "tray: closing hides the window" hidden
  open_menu "tray menu" sub
  expect_checked "tray menu, exitMode 1" 0
  click_row "$SUB_MENU" 1 2 # "退出": closing ends the launcher from now on
  poll 5 config_is 'exitMode=2\r\n' || fail "tray: the menu did not write exitMode=2: $(od -c "$INSTALL/Config/config.ini")"
  open_menu "tray menu again" sub
  expect_checked "tray menu, exitMode 2" 1
  click_row "$MAIN_MENU" 1 3 # "恢復主介面"
  expect_state "tray: the menu restores the window" shown
  act close
  wait_for_exit "tray: the next close follows the menu's exitMode 2" 60
  for way in request menu; do
    new_install "install-tray-$way" 1
    open_window "tray quit by $way"
    if [ "$way" = request ]; then act tray-event 1134; else
      open_menu "tray menu quit"
      click_row "$MAIN_MENU" 2 3 # "退出"
    fi
    wait_for_exit "tray quit by $way" 60
  done
}

scenario_instance() {
  serve "$MIRROR" 100000
  new_install install-closing 2 # the mutex held for 2.5 s without a window: the start waits and runs
  probe_in_background "$WORK/holder.out" hold-mutex 2500
  open_window "instance: after a closing launcher"
  [ -z "$(xdotool search --name '^錯誤！$' 2> /dev/null)" ] || fail "instance: the error box was shown"
  act close
  wait_for_exit "instance: after a closing launcher" 60
  new_install install-hung 2 # held for good: the error box, exit 0 once dismissed, no update
  probe_in_background "$WORK/hung.out" hold-mutex 120000
  launch
  local text
  text="$(probe message-box '錯誤！')" || fail "instance: no 錯誤！ box appeared"
  [ "$text" = "啓動器進程失去反應，請手動通過任務管理器關閉後台進程後再試！" ] || fail "instance: the box says: $text"
  wait_for_exit "instance: hung launcher" 30
  [ ! -d "$INSTALL/Log" ] || fail "instance: the second launcher ran the update"
}

failed_view() {  # NAME SCALE_PERCENT: no server configuration; the failure view, its button clicked
  [ ! -f "$MIRROR/Launcher/serverconfig.txt" ] || mv "$MIRROR/Launcher/serverconfig.txt" "$WORK/"
  new_install "install-$SCENARIO-failed" 1
  mkdir -p "$INSTALL/Game"
  cp -r "$GAME" "$INSTALL/Game/velka_win"
  open_window "$1"
  expect_client "$1" $((1280 * $2 / 100)) $((576 * $2 / 100))
  poll 30 grep -qs '^/Launcher/serverconfig.txt' "$WORK/requests" || fail "$1: the configuration was not asked for"
  sleep 2 # the failure is drawn within a few frames of the last request
  ! gone "$LAUNCHER_PID" || fail "$1: the launcher ended on the failure"
  compare_shot "$1" "$2" button status
  [ ! -e "$INSTALL/Game/velka_win/started.txt" ] || fail "$1: the game was started without a click"
  xdotool mousemove --sync $((CLIENT_X + (1048 + 110) * $2 / 100)) $((CLIENT_Y + (507 + 29) * $2 / 100))
  xdotool click 1
  wait_for_exit "$1" 60
  game_started "$1"
}

scenario_failed() {
  serve "$MIRROR"
  failed_view failed 100
}

scenario_dpi() {
  serve "$MIRROR" 100000
  new_install install-dpi 2
  open_window dpi
  expect_client "dpi: 1280 x 576 logical pixels at 144 DPI" 1920 864
  wait_for_download dpi
  sleep 1.5
  compare_shot "dpi at 144" 150 stage version track
  act dpi 96 # the window moves to a 100 % monitor and back
  expect_client "dpi: after WM_DPICHANGED to 96" 1280 576
  sleep 1
  compare_shot "dpi changed to 96" 100 stage version
  act dpi 144
  expect_client "dpi: after WM_DPICHANGED to 144" 1920 864
  act close
  wait_for_exit dpi 60
  failed_view "dpi failed" 150
}

scenario_gameupdate() {
  serve "$MIRROR" 200000
  mkdir -p "$WORK/running"
  cp "$PROBE" "$WORK/running/velka.exe"
  local argument game
  for argument in gameupdate ""; do
    (wine_exec "$WORK/running" "$WORK/running/velka.exe" sleep 300000 > /dev/null 2>&1) &
    game=$! && PIDS+=($!)
    sleep 2
    ! gone "$game" || fail "the stand-in game did not start"
    new_install "install-${argument:-none}" 2
    open_window "${argument:-none}" $argument
    poll 30 test -s "$WORK/requests" || fail "no request reached the mirror"
    if [ -n "$argument" ]; then
      gone "$game" || fail "gameupdate: velka.exe still runs at the first transfer"
    else
      ! gone "$game" || fail "without gameupdate the running velka.exe was ended"
      stop "$game"
    fi
    act close
    wait_for_exit "${argument:-none}" 60
  done
}

case "$SCENARIO" in
update | close | tray | instance | dpi | failed | gameupdate) "scenario_$SCENARIO" ;;
*) fail "unknown scenario $SCENARIO" ;;
esac
echo "PASS [$SCENARIO] (screenshots in $ARTIFACTS)"
