#!/usr/bin/env bash
# End-to-end runs of the Windows launcher's window under Wine on a virtual X display, in fresh
# install folders holding only VELKALauncher.exe and its Config\launcherconfig.txt, against a
# mirror served on 127.0.0.1 (throttled so a download can be watched), with the sample game as
# the game executable. The window is driven and inspected through velka_window_probe.exe, which
# acts as the system, the shell or the player would. One scenario per run:
#
#   update      the window (title, client area 1280 x 576, tray icon, bar line and version line
#               against reference crops), a second start showing the first one's window, the game
#               installed and started with Launcher, exit 0 with "Launcher terminate"
#   close       exitMode 2 ends the launcher during the download; exitMode 1 hides it and the
#               update goes on; with a shell that accepts no icon, closing minimises instead of
#               hiding, and the icon comes with the shell's "TaskbarCreated"
#   tray        the icon comes back after a "TaskbarCreated"; the context menu with its check
#               marks and commands; the quit request (1134) ends the launcher
#   instance    a launcher that holds the instance mutex without a window while it closes does
#               not make a second start show the error box; one that holds it for good does
#   dpi         at 144 DPI the client area is 1920 x 864 and the skin is drawn at that scale,
#               WM_DPICHANGED rescales it, and the failure view's button is hit at device pixels
#   failed      a mirror without its server configuration: the failure text and the start
#               button against reference crops, and a click on the button starts the game
#   gameupdate  with the argument gameupdate a running velka.exe is ended before any transfer;
#               without it, it is not
#
# Screenshots go to ARTIFACTS (<scenario>-*.png; failure-<scenario>.png when a check fails).
#
#   window_e2e.sh SCENARIO LAUNCHER_EXE SAMPLE_GAME_EXE PUBLISH_EXE ARTIFACTS [HOST_PUBLISH]
#
# PUBLISH_EXE is the Windows velka-publish (run under Wine); HOST_PUBLISH, when given and
# present, is a native velka-publish used instead. Set KEEP=1 to keep the scratch folder and
# UPDATE_REFERENCES=1 to write the reference crops from this run.
set -euo pipefail

SCENARIO="$1"
LAUNCHER="$2"
SAMPLE_GAME="$3"
PUBLISH_EXE="$4"
ARTIFACTS="$5"
HOST_PUBLISH="${6:-}"
PROBE="$(cd "$(dirname "$SAMPLE_GAME")" && pwd)/velka_window_probe.exe"
HERE="$(cd "$(dirname "$0")" && pwd)"
ROOT="$(cd "$HERE/../.." && pwd)"
REFERENCES="$HERE/window_reference"
# shellcheck source=../../scripts/env.sh
source "$ROOT/scripts/env.sh"
TITLE="Velka手遊下載器"
WORK="$(mktemp -d "${TMPDIR:-/tmp}/velka_window_e2e_XXXXXX")"
mkdir -p "$ARTIFACTS"
SERVER_PID=""
XVFB_PID=""
LAUNCHER_PID=""
HELPER_PIDS=()
DPI=96
[ "$SCENARIO" = dpi ] && DPI=144

log() { echo "[window_e2e $SCENARIO] $*"; }

cleanup() {
  set +e
  [ -n "$LAUNCHER_PID" ] && kill "$LAUNCHER_PID" 2>/dev/null
  for pid in "${HELPER_PIDS[@]}"; do kill "$pid" 2>/dev/null; done
  [ -n "$SERVER_PID" ] && kill "$SERVER_PID" 2>/dev/null && wait "$SERVER_PID" 2>/dev/null
  # Ends the Wine processes of this test's prefix only.
  [ -n "$XVFB_PID" ] && wineserver -k 2>/dev/null
  [ -n "$XVFB_PID" ] && kill "$XVFB_PID" 2>/dev/null && wait "$XVFB_PID" 2>/dev/null
  [ -n "${KEEP:-}" ] || rm -rf "$WORK"
}
trap cleanup EXIT

fail() {
  echo "FAIL [window_e2e $SCENARIO]: $*" >&2
  for f in "$WORK"/launcher.out "$WORK"/probe.err "$WORK"/install*/Log/*.txt; do
    [ -f "$f" ] && { echo "--- $f" >&2; tail -n 30 "$f" >&2; }
  done
  if [ -n "${DISPLAY:-}" ] && [ -n "$XVFB_PID" ]; then
    import -window root "$ARTIFACTS/failure-$SCENARIO.png" 2>/dev/null || true
  fi
  exit 1
}

for tool in Xvfb xdotool import compare convert wine python3; do
  command -v "$tool" >/dev/null || fail "$tool is not installed (scripts/setup)"
done
[ -f "$PROBE" ] || fail "velka_window_probe.exe is missing beside the sample game ($PROBE)"

free_port() {
  python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

# --- a virtual display large enough for the window at 150 % ------------------------------------
# Xvfb picks a display number it can really listen on (a free lock file is not enough: another
# session's server may hold the number's abstract socket) and writes it to descriptor 3.
(velka_close_inherited_fds; exec Xvfb -displayfd 3 -screen 0 2560x1440x24 -nolisten tcp \
  3>"$WORK/display" </dev/null >"$WORK/xvfb.log" 2>&1) &
XVFB_PID=$!
for _ in $(seq 300); do
  [ -s "$WORK/display" ] && break
  kill -0 "$XVFB_PID" 2>/dev/null || fail "Xvfb ended: $(cat "$WORK/xvfb.log")"
  sleep 0.1
done
[ -s "$WORK/display" ] || fail "Xvfb did not start: $(cat "$WORK/xvfb.log")"
export DISPLAY=":$(head -n 1 "$WORK/display")"
xdotool getdisplaygeometry >/dev/null 2>&1 || fail "Xvfb on $DISPLAY does not answer"

velka_wine_prepare_x11 "$DPI" || fail "could not set up the Wine prefix for $DPI DPI"
velka_detached wineserver -p60 || true

# --- the mirror ------------------------------------------------------------------------------
PORT="$(free_port)"
GAME="$WORK/game/velka_win"
MIRROR="$WORK/mirror"
mkdir -p "$GAME/data/maps" "$GAME/bin"
cp "$SAMPLE_GAME" "$GAME/velka.exe"
head -c 5000000 /dev/urandom > "$GAME/data/textures.pak"
head -c 4000000 /dev/urandom > "$GAME/data/sounds.pak"
printf 'level one\n' > "$GAME/data/maps/level 1.map"
seq 1 20000 > "$GAME/bin/table.txt"

publish_args=(--increment-version 1.0.0 --zip-version 1.0.0 --launcher-version 1.0.0
  --package-limit 3000000 --mirror "http://127.0.0.1:$PORT/")
if [ -z "$HOST_PUBLISH" ] && [ -x "$ROOT/build/gui-linux/src/publish/velka-publish" ]; then
  HOST_PUBLISH="$ROOT/build/gui-linux/src/publish/velka-publish"
fi
if [ -n "$HOST_PUBLISH" ] && [ -x "$HOST_PUBLISH" ]; then
  "$HOST_PUBLISH" --game "$WORK/game" --out "$MIRROR" "${publish_args[@]}" \
    > "$WORK/publish.out" 2>&1 || fail "publish: $(cat "$WORK/publish.out")"
else
  (velka_close_inherited_fds; exec wine "$PUBLISH_EXE" --game "$(winepath -w "$WORK/game")" \
    --out "$(winepath -w "$MIRROR")" "${publish_args[@]}" </dev/null >"$WORK/publish.out" 2>&1) ||
    fail "publish: $(cat "$WORK/publish.out")"
fi
[ -f "$MIRROR/Launcher/launcherconfig.txt" ] || fail "the mirror has no launcher configuration"

serve_mirror() {  # THROTTLE: (re)starts the mirror server on PORT with that body rate
  if [ -n "$SERVER_PID" ]; then
    kill "$SERVER_PID" 2>/dev/null
    wait "$SERVER_PID" 2>/dev/null || true
    SERVER_PID=""
  fi
  # Its stderr holds the tracebacks of transfers the launcher broke off (closed mid-download).
  python3 "$HERE/mirror_server.py" "$MIRROR" "$PORT" "$WORK/requests" --throttle "$1" \
    2>>"$WORK/server.err" &
  SERVER_PID=$!
  for _ in $(seq 200); do
    (exec 3<>"/dev/tcp/127.0.0.1/$PORT") 2>/dev/null && return 0
    kill -0 "$SERVER_PID" 2>/dev/null || break
    sleep 0.05
  done
  fail "the mirror server did not start on port $PORT"
}

break_mirror() {  # the mirror loses its server configuration: every run fails
  mv "$MIRROR/Launcher/serverconfig.txt" "$WORK/serverconfig.txt.away"
}

# --- helpers -----------------------------------------------------------------------------------
new_install() {  # NAME [EXITMODE]: a fresh install folder; sets INSTALL
  INSTALL="$WORK/$1"
  mkdir -p "$INSTALL/Config"
  cp "$LAUNCHER" "$INSTALL/VELKALauncher.exe"
  cp "$MIRROR/Launcher/launcherconfig.txt" "$INSTALL/Config/launcherconfig.txt"
  if [ -n "${2:-}" ]; then printf 'exitMode=%s\n' "$2" > "$INSTALL/Config/config.ini"; fi
}

start_launcher() {  # [ARGUMENT]: sets STARTED_PID, the Wine process with the launcher's exit code
  (cd "$INSTALL" && velka_close_inherited_fds &&
    exec wine "$INSTALL/VELKALauncher.exe" "$@" </dev/null >>"$WORK/launcher.out" 2>&1) &
  STARTED_PID=$!
}

window_ids() { xdotool search --name "^${TITLE}\$" 2>/dev/null || true; }

probe() {  # REQUEST [ARGUMENT]: velka_window_probe.exe in this prefix and display; prints its answer
  (cd "$WORK" && velka_close_inherited_fds &&
    exec wine "$PROBE" "$@" </dev/null 2>>"$WORK/probe.err") | tr -d '\r'
}

probe_in_background() {  # OUT REQUEST [ARGUMENT]: starts the probe, its answer going to OUT
  local out="$1"
  shift
  (cd "$WORK" && velka_close_inherited_fds &&
    exec wine "$PROBE" "$@" </dev/null >"$out" 2>>"$WORK/probe.err") &
  HELPER_PIDS+=($!)
  BACKGROUND_PID=$!
}

wait_for_line() {  # FILE SECONDS: waits for FILE to hold a line
  for _ in $(seq $(($2 * 10))); do
    [ -s "$1" ] && return 0
    sleep 0.1
  done
  return 1
}

run_launcher() {  # NAME [ARGUMENT]: starts the launcher in INSTALL and waits for its window; sets WID
  local name="$1"
  shift
  : > "$WORK/requests"
  start_launcher "$@"
  LAUNCHER_PID="$STARTED_PID"
  WID=""
  for _ in $(seq 600); do
    WID="$(window_ids | head -n 1)"
    [ -n "$WID" ] && break
    if ! kill -0 "$LAUNCHER_PID" 2>/dev/null; then
      local rc=0
      wait "$LAUNCHER_PID" || rc=$?
      fail "$name: the launcher ended with $rc before showing its window"
    fi
    sleep 0.1
  done
  [ -n "$WID" ] || fail "$name: no window titled $TITLE appeared"
  [ "$(xdotool getwindowname "$WID")" = "$TITLE" ] || fail "$name: title $(xdotool getwindowname "$WID")"
  log "$name: launcher started (pid $LAUNCHER_PID), window $WID"
}

wait_for_packages() {  # NAME: waits for the first package request
  for _ in $(seq 600); do
    grep -q '^/zip/' "$WORK/requests" 2>/dev/null && return 0
    kill -0 "$LAUNCHER_PID" 2>/dev/null || fail "$1: the launcher ended before the download"
    sleep 0.1
  done
  fail "$1: the package download never started"
}

# The process's end is the one state that cannot come and go; windows are looked at only after it.
wait_for_exit() {  # NAME SECONDS [SHOT]: waits for the launcher to end, saving the window to SHOT
  local i
  for i in $(seq $(($2 * 10))); do
    kill -0 "$LAUNCHER_PID" 2>/dev/null || break
    if [ -n "${3:-}" ] && [ $((i % 5)) = 0 ] && shot "$WORK/shot.png"; then
      mv "$WORK/shot.png" "$3"
    fi
    sleep 0.1
  done
  kill -0 "$LAUNCHER_PID" 2>/dev/null && fail "$1: the launcher process did not end"
  RC=0
  wait "$LAUNCHER_PID" || RC=$?
  LAUNCHER_PID=""
  [ "$RC" = 0 ] || fail "$1: the launcher exited $RC"
  [ -z "$(window_ids)" ] || fail "$1: a window outlived the launcher"
}

wait_for_state() {  # NAME STATE: waits for the probe to report the window's STATE
  local state=""
  for _ in $(seq 100); do
    state="$(probe state)" || fail "$1: the window is gone"
    [ "$state" = "$2" ] && return 0
    sleep 0.2
  done
  fail "$1: the window is $state, not $2"
}

expect_tray() {  # NAME 0|1: whether the shell holds the launcher's icon
  local held=""
  for _ in $(seq 50); do
    held="$(probe tray)" || fail "$1: no launcher window"
    [ "$held" = "$2" ] && return 0
    sleep 0.2
  done
  fail "$1: the shell holds the icon: $held, expected $2"
}

log_ends_with_terminate() {  # NAME
  local last
  last="$(tail -n 1 "$INSTALL"/Log/*.txt | tr -d '\r')"
  case "$last" in
    *"[INFO] "*" : Launcher terminate") ;;
    *) fail "$1: the log does not end with Launcher terminate: $last" ;;
  esac
}

game_started_once() {  # NAME: the game was started as the launcher starts it, once
  local started="$INSTALL/Game/velka_win/started.txt"
  for _ in $(seq 100); do [ -s "$started" ] && break; sleep 0.1; done
  [ -s "$started" ] || fail "$1: the game was not started"
  grep -q 'with arguments: \[Launcher\]$' "$started" || fail "$1: game arguments: $(cat "$started")"
  grep -qi 'Game\\velka_win' "$started" || fail "$1: game folder: $(cat "$started")"
  [ "$(wc -l < "$started")" = 1 ] || fail "$1: the game was started more than once: $(cat "$started")"
}

installed_tree_is_published() {  # NAME
  rm -f "$INSTALL/Game/velka_win/started.txt"
  diff -r "$GAME" "$INSTALL/Game/velka_win" > "$WORK/diff.out" 2>&1 ||
    fail "$1: installed tree differs: $(head -n 20 "$WORK/diff.out")"
}

shot() { import -window "$WID" "$1" 2>/dev/null; }

read_client() {  # NAME: sets CLIENT_X CLIENT_Y CLIENT_W CLIENT_H and the client's offset in WID
  local answer
  answer="$(probe client)" || fail "$1: no client area"
  read -r CLIENT_X CLIENT_Y CLIENT_W CLIENT_H <<< "$answer"
  eval "$(xdotool getwindowgeometry --shell "$WID")"
  CLIENT_DX=$((CLIENT_X - X)) CLIENT_DY=$((CLIENT_Y - Y))
}

expect_client_size() {  # NAME WIDTH HEIGHT
  for _ in $(seq 50); do
    read_client "$1"
    [ "$CLIENT_W $CLIENT_H" = "$2 $3" ] && return 0
    sleep 0.1
  done
  fail "$1: the client area is ${CLIENT_W}x${CLIENT_H}, not ${2}x${3}"
}

# Elements of the window, as design-space boxes "X Y WIDTH HEIGHT" (the client area is 1280 x 576
# logical pixels; the crops are taken at the window's scale) and the brightness that tells the
# element from the dark panel behind it.
ELEMENT_stage="20 539 100 20 62"     # the first characters of the bar line: "正在進行整包下載["
ELEMENT_version="20 519 200 20 62"   # the version line
ELEMENT_track="1000 555 259 12 15"   # the right end of the bar, not yet filled
ELEMENT_status="20 541 400 20 62"    # the failure text
ELEMENT_button="1048 507 221 58 40"  # the start button

# The lower panel lets the randomly chosen background show through, so crops are compared as
# masks of their bright pixels (the texts, the bar, the button): a moved, missing or boxed
# element changes the mask, a different background does not.
compare_element() {  # NAME SCREENSHOT ELEMENT SCALE_PERCENT: compares a crop with its reference
  local name="$1" image="$2" element="$3" scale="$4" box x y w h threshold
  box="ELEMENT_$element"
  read -r x y w h threshold <<< "${!box}"
  x=$((x * scale / 100 + CLIENT_DX)) y=$((y * scale / 100 + CLIENT_DY))
  w=$((w * scale / 100)) h=$((h * scale / 100))
  local mask="$WORK/$element-$scale.png" reference="$REFERENCES/$element-$scale.png"
  convert "$image" -crop "${w}x${h}+${x}+${y}" +repage -colorspace Gray -threshold "$threshold%" "$mask"
  cp "$mask" "$ARTIFACTS/$SCENARIO-$element-$scale.png"
  if [ -n "${UPDATE_REFERENCES:-}" ]; then
    mkdir -p "$REFERENCES"
    cp "$mask" "$reference"
    return 0
  fi
  [ -f "$reference" ] || fail "$name: no reference crop $reference"
  local differing
  differing="$(compare -metric AE "$reference" "$mask" null: 2>&1 || true)"
  differing="${differing%% *}"
  # Antialiasing moves a few edge pixels across the threshold; a moved or missing element
  # changes far more.
  local allowed=$((w * h / 50))
  [[ "$differing" =~ ^[0-9]+$ ]] && [ "$differing" -le "$allowed" ] ||
    fail "$name: the $element differs from its reference ($differing of $((w * h)) pixels, at most $allowed)"
  log "$name: $element matches its reference ($differing pixels differ)"
}

# --- scenarios ---------------------------------------------------------------------------------
scenario_update() {
  # Two packages at a time at 600 kB/s each: the 9 MB take about 8 s.
  serve_mirror 600000
  new_install install
  run_launcher "update"
  expect_client_size "update" 1280 576
  expect_tray "update: the icon is added" 1

  # A second start while the first runs: it shows the first one's window and exits 0.
  start_launcher
  local second="$STARTED_PID" second_rc=0
  for _ in $(seq 300); do kill -0 "$second" 2>/dev/null || break; sleep 0.1; done
  kill -0 "$second" 2>/dev/null && { kill "$second"; fail "a second launcher kept running"; }
  wait "$second" || second_rc=$?
  [ "$second_rc" = 0 ] || fail "the second launcher exited $second_rc"
  [ "$(window_ids | wc -l)" = 1 ] || fail "expected one launcher window, found $(window_ids | wc -l)"
  log "update: a second start exited 0, one window"

  wait_for_packages "update"
  sleep 1.5
  shot "$ARTIFACTS/update-download-96.png" || fail "update: no screenshot of the download"
  import -window root "$ARTIFACTS/update-screen-96.png" 2>/dev/null || true
  read_client "update"
  for element in stage version track; do
    compare_element "update" "$ARTIFACTS/update-download-96.png" "$element" 100
  done

  wait_for_exit "update" 180 "$ARTIFACTS/update-last-96.png"
  game_started_once "update"
  installed_tree_is_published "update"
  log_ends_with_terminate "update"
  printf 'exitMode=1\n' | cmp -s - "$INSTALL/Config/config.ini" ||
    fail "close setting file: $(od -c "$INSTALL/Config/config.ini" | head -n 3)"
  log "update: the game was installed and started, the launcher exited 0"
}

scenario_close() {
  # exitMode 2: a slow mirror, so the packages take far longer than the close needs.
  serve_mirror 200000
  new_install install-exitmode2 2
  run_launcher "exitMode 2"
  wait_for_packages "exitMode 2"
  shot "$ARTIFACTS/close-exitmode2-download.png" || fail "exitMode 2: no screenshot"
  probe close || fail "exitMode 2: could not close the window"
  wait_for_exit "exitMode 2" 60
  # The slow mirror cannot have delivered the packages by the close.
  [ ! -e "$INSTALL/Game/velka_win/velka.exe" ] || fail "exitMode 2: the update went on after the close"
  log_ends_with_terminate "exitMode 2"
  log "exitMode 2: closing during the download ended the launcher with 0"

  # exitMode 1: hidden, and the update goes on to the end.
  serve_mirror 400000
  new_install install-exitmode1 1
  run_launcher "exitMode 1"
  wait_for_packages "exitMode 1"
  probe close || fail "exitMode 1: could not close the window"
  wait_for_state "exitMode 1" hidden
  [ ! -e "$INSTALL/Game/velka_win/started.txt" ] || fail "exitMode 1: the update finished before the close"
  kill -0 "$LAUNCHER_PID" 2>/dev/null || fail "exitMode 1: the launcher ended on the close"
  # Wine unmaps the X window a moment after the window is hidden.
  local mapped=x
  for _ in $(seq 100); do
    mapped="$(xdotool search --onlyvisible --name "^${TITLE}\$" 2>/dev/null || true)"
    [ -z "$mapped" ] && break
    sleep 0.1
  done
  [ -z "$mapped" ] || fail "exitMode 1: the hidden window is still mapped on the display"
  wait_for_exit "exitMode 1" 180
  game_started_once "exitMode 1"
  installed_tree_is_published "exitMode 1"
  log_ends_with_terminate "exitMode 1"
  log "exitMode 1: the hidden launcher finished the update, started the game and exited 0"

  # No icon: a shell that refuses icons stands first in line while the launcher starts.
  serve_mirror 100000
  new_install install-noshell 1
  probe_in_background "$WORK/shell.out" refusing-shell 600000
  local shell_pid="$BACKGROUND_PID"
  wait_for_line "$WORK/shell.out" 30 || fail "no shell: the refusing shell did not start"
  run_launcher "no shell"
  expect_tray "no shell" 0
  probe close || fail "no shell: could not close the window"
  wait_for_state "no shell: closing without an icon minimises" minimised
  kill -0 "$LAUNCHER_PID" 2>/dev/null || fail "no shell: the launcher ended on the close"
  # The shell comes back and announces its taskbar: the icon is added, and closing hides again.
  kill "$shell_pid" 2>/dev/null
  wait "$shell_pid" 2>/dev/null || true
  probe taskbar-created || fail "no shell: could not broadcast TaskbarCreated"
  expect_tray "no shell: the icon comes with the new taskbar" 1
  xdotool windowactivate --sync "$WID" 2>/dev/null || xdotool windowmap "$WID" 2>/dev/null || true
  probe close || fail "no shell: could not close the window again"
  wait_for_state "no shell: closing with an icon hides" hidden
  probe tray-event 1134 || fail "no shell: could not send the quit request"
  wait_for_exit "no shell" 60
  log_ends_with_terminate "no shell"
  log "no shell: closing minimised the window; with the icon back it hid it"
}

# Clicks the ROWth of ROWS equal rows of a popup menu at "X Y W H".
click_menu_row() {  # RECT ROW ROWS
  local x y w h
  read -r x y w h <<< "$1"
  xdotool mousemove --sync $((x + w / 2)) $((y + h * (2 * $2 + 1) / (2 * $3)))
  sleep 0.3
  xdotool click 1
}

# The number of dark pixels (a check mark) in the gutter of the ROWth of ROWS rows.
gutter_marks() {  # SCREENSHOT RECT ROW ROWS
  local x y w h
  read -r x y w h <<< "$2"
  local top=$((y + h * $3 / $4)) height=$((h / $4))
  convert "$1" -crop "20x${height}+$((x + 1))+${top}" +repage -colorspace Gray -threshold 30% \
    -negate -format '%[fx:int(mean*w*h+0.5)]' info:
}

open_close_submenu() {  # NAME: opens the tray menu and its "關閉設定" submenu; sets MAIN_MENU SUB_MENU
  xdotool mousemove --sync 600 300
  probe tray-event 516 || fail "$1: could not send the right click"
  MAIN_MENU="$(probe menu 0)" || fail "$1: the context menu did not open"
  click_menu_row "$MAIN_MENU" 0 3
  SUB_MENU="$(probe menu 1)" || fail "$1: the close-behaviour submenu did not open"
  sleep 0.3
}

expect_checked() {  # NAME ROW SCREENSHOT: the submenu's ROWth item (0 最小化, 1 退出) is checked
  import -window root "$3"
  local checked unchecked
  checked="$(gutter_marks "$3" "$SUB_MENU" "$2" 2)"
  unchecked="$(gutter_marks "$3" "$SUB_MENU" $((1 - $2)) 2)"
  [ "$checked" -ge 8 ] && [ "$unchecked" -le 2 ] ||
    fail "$1: check marks: $checked dark pixels in row $2, $unchecked in the other"
}

scenario_tray() {
  serve_mirror 50000
  new_install install-tray 1
  run_launcher "tray"
  expect_tray "tray: the icon is added" 1
  # Explorer restarts: its new taskbar knows no icons until the launcher adds its own again.
  probe tray-drop || fail "tray: could not drop the icon"
  expect_tray "tray: the icon is gone with the old taskbar" 0
  probe taskbar-created || fail "tray: could not broadcast TaskbarCreated"
  expect_tray "tray: TaskbarCreated brings the icon back" 1

  probe close || fail "tray: could not close the window"
  wait_for_state "tray: closing hides the window" hidden

  open_close_submenu "tray menu"
  import -window root "$ARTIFACTS/tray-menu.png"
  expect_checked "tray menu, exitMode 1" 0 "$ARTIFACTS/tray-menu-exitmode1.png"
  click_menu_row "$SUB_MENU" 1 2  # "退出": closing ends the launcher from now on
  for _ in $(seq 50); do
    printf 'exitMode=2\r\n' | cmp -s - "$INSTALL/Config/config.ini" && break
    sleep 0.1
  done
  printf 'exitMode=2\r\n' | cmp -s - "$INSTALL/Config/config.ini" ||
    fail "tray: the menu did not write exitMode=2: $(od -c "$INSTALL/Config/config.ini" | head -n 3)"

  open_close_submenu "tray menu again"
  expect_checked "tray menu, exitMode 2" 1 "$ARTIFACTS/tray-menu-exitmode2.png"
  click_menu_row "$MAIN_MENU" 1 3  # "恢復主介面"
  wait_for_state "tray: the menu restores the window" shown
  probe close || fail "tray: could not close the window"
  wait_for_exit "tray: the next close follows the menu's exitMode 2" 60
  log_ends_with_terminate "tray"
  log "tray: icon re-added, menu check marks and commands, the close followed the menu"

  new_install install-tray-quit 1
  run_launcher "tray quit request"
  probe tray-event 1134 || fail "tray: could not send the quit request"
  wait_for_exit "tray quit request" 60
  log_ends_with_terminate "tray quit request"

  new_install install-tray-menu-quit 1
  run_launcher "tray menu quit"
  xdotool mousemove --sync 600 300
  probe tray-event 516 || fail "tray menu quit: could not send the right click"
  MAIN_MENU="$(probe menu 0)" || fail "tray menu quit: the context menu did not open"
  click_menu_row "$MAIN_MENU" 2 3  # "退出"
  wait_for_exit "tray menu quit" 60
  log_ends_with_terminate "tray menu quit"
  log "tray: the quit request and the menu's 退出 end the launcher with 0"
}

scenario_instance() {
  serve_mirror 100000
  # A launcher closing: the mutex held for 2.5 s without a window. The second start waits for it
  # and runs, without the error box.
  new_install install-closing 2
  probe_in_background "$WORK/holder.out" hold-mutex 2500
  wait_for_line "$WORK/holder.out" 30 || fail "instance: the mutex holder did not start"
  run_launcher "instance: after a closing launcher"
  [ -z "$(xdotool search --name '^錯誤！$' 2>/dev/null)" ] || fail "instance: the error box was shown"
  probe close || fail "instance: could not close the window"
  wait_for_exit "instance: after a closing launcher" 60
  log_ends_with_terminate "instance: after a closing launcher"
  log "instance: a start during another launcher's close waited and ran"

  # A launcher that hangs without a window: the error box, then exit 0 once it is dismissed.
  new_install install-hung 2
  probe_in_background "$WORK/hung.out" hold-mutex 120000
  wait_for_line "$WORK/hung.out" 30 || fail "instance: the hung holder did not start"
  start_launcher
  LAUNCHER_PID="$STARTED_PID"
  for _ in $(seq 200); do
    [ -n "$(xdotool search --name '^錯誤！$' 2>/dev/null)" ] && break
    sleep 0.1
  done
  import -window root "$ARTIFACTS/instance-error-box.png" 2>/dev/null || true
  local text
  text="$(probe message-box '錯誤！')" || fail "instance: no 錯誤！ box appeared"
  [ "$text" = "啓動器進程失去反應，請手動通過任務管理器關閉後台進程後再試！" ] ||
    fail "instance: the box says: $text"
  wait_for_exit "instance: hung launcher" 30
  [ ! -d "$INSTALL/Log" ] || fail "instance: the second launcher ran the update"
  log "instance: the error box for a launcher without a window, then exit 0"
}

scenario_dpi() {
  serve_mirror 100000
  new_install install-dpi 2
  run_launcher "dpi"
  expect_client_size "dpi: 1280 x 576 logical pixels at 144 DPI" 1920 864
  wait_for_packages "dpi"
  sleep 1.5
  shot "$ARTIFACTS/dpi-download-144.png" || fail "dpi: no screenshot of the download"
  for element in stage version track; do
    compare_element "dpi at 144" "$ARTIFACTS/dpi-download-144.png" "$element" 150
  done
  # The window moves to a 100 % monitor and back.
  probe dpi 96 || fail "dpi: could not send WM_DPICHANGED"
  expect_client_size "dpi: after WM_DPICHANGED to 96" 1280 576
  sleep 1
  shot "$ARTIFACTS/dpi-download-96.png" || fail "dpi: no screenshot at 96"
  for element in stage version; do
    compare_element "dpi changed to 96" "$ARTIFACTS/dpi-download-96.png" "$element" 100
  done
  probe dpi 144 || fail "dpi: could not send WM_DPICHANGED"
  expect_client_size "dpi: after WM_DPICHANGED to 144" 1920 864
  probe close || fail "dpi: could not close the window"
  wait_for_exit "dpi" 60

  # The failure view at 150 %: the button is drawn and hit where it shows.
  break_mirror
  new_install install-dpi-failed 1
  mkdir -p "$INSTALL/Game"
  cp -r "$GAME" "$INSTALL/Game/velka_win"
  run_launcher "dpi failed"
  expect_client_size "dpi failed" 1920 864
  failure_view "dpi failed" 150
  click_button "dpi failed" 150
}

failure_view() {  # NAME SCALE_PERCENT: waits for the failure view and compares it
  local shot_file="$ARTIFACTS/$SCENARIO-failure-$DPI.png" i
  for i in $(seq 300); do
    kill -0 "$LAUNCHER_PID" 2>/dev/null || fail "$1: the launcher ended on the failure"
    grep -q '^/Launcher/serverconfig.txt' "$WORK/requests" 2>/dev/null && break
    sleep 0.1
  done
  # The failure is drawn within a few frames of the last request.
  sleep 2
  read_client "$1"
  shot "$shot_file" || fail "$1: no screenshot of the failure"
  compare_element "$1" "$shot_file" button "$2"
  compare_element "$1" "$shot_file" status "$2"
  [ ! -e "$INSTALL/Game/velka_win/started.txt" ] || fail "$1: the game was started without a click"
}

click_button() {  # NAME SCALE_PERCENT: clicks the start button's centre; the game starts
  xdotool mousemove --sync $((CLIENT_X + (1048 + 110) * $2 / 100)) $((CLIENT_Y + (507 + 29) * $2 / 100))
  xdotool click 1
  wait_for_exit "$1" 60
  game_started_once "$1"
  log_ends_with_terminate "$1"
  log "$1: the start button is drawn and a click on it started the game"
}

scenario_failed() {
  serve_mirror 1500000
  break_mirror
  new_install install-failed 1
  mkdir -p "$INSTALL/Game"
  cp -r "$GAME" "$INSTALL/Game/velka_win"
  run_launcher "failed"
  failure_view "failed" 100
  click_button "failed" 100
}

scenario_gameupdate() {
  serve_mirror 200000
  local running="$WORK/running/velka.exe"
  mkdir -p "$(dirname "$running")"
  cp "$PROBE" "$running"
  for argument in gameupdate none; do
    (cd "$(dirname "$running")" && velka_close_inherited_fds &&
      exec wine "$running" sleep 300000 </dev/null >/dev/null 2>&1) &
    local game_pid=$!
    HELPER_PIDS+=("$game_pid")
    sleep 2
    kill -0 "$game_pid" 2>/dev/null || fail "gameupdate: the stand-in game did not start"
    new_install "install-$argument" 2
    if [ "$argument" = gameupdate ]; then run_launcher "$argument" gameupdate; else run_launcher "$argument"; fi
    for _ in $(seq 600); do [ -s "$WORK/requests" ] && break; sleep 0.05; done
    [ -s "$WORK/requests" ] || fail "$argument: no request reached the mirror"
    if [ "$argument" = gameupdate ]; then
      # Ended before the first request: by now its process is gone.
      kill -0 "$game_pid" 2>/dev/null && fail "gameupdate: velka.exe still runs at the first transfer"
      log "gameupdate: the running velka.exe was ended before the first transfer"
    else
      kill -0 "$game_pid" 2>/dev/null || fail "without gameupdate the running velka.exe was ended"
      kill "$game_pid" 2>/dev/null
      log "without the argument the running velka.exe was left alone"
    fi
    probe close || fail "$argument: could not close the window"
    wait_for_exit "$argument" 60
  done
}

case "$SCENARIO" in
  update | close | tray | instance | dpi | failed | gameupdate) "scenario_$SCENARIO" ;;
  *) fail "unknown scenario $SCENARIO" ;;
esac
log "PASS (screenshots in $ARTIFACTS)"
