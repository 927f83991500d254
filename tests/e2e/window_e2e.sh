#!/usr/bin/env bash
# End-to-end run of the Windows launcher's window under Wine on a virtual X display: a fresh
# install folder holding only VELKALauncher.exe and its Config\launcherconfig.txt, a mirror
# served on 127.0.0.1 (throttled so the download can be watched), and the sample game as the
# game executable. Checks, from the window and the process itself:
#   - the window appears with the title "Velka手遊下載器" and the skinned client size;
#   - a second start while it runs exits 0 and leaves one window;
#   - the game is installed and started with the single argument Launcher in its folder;
#   - the launcher then exits with code 0, its log ending in "Launcher terminate";
#   - the close setting file was created with its default.
# Then, each in an install folder of its own, the close behaviour and the failure view:
#   - exitMode 2: closing the window during the package download ends the launcher (exit 0,
#     "Launcher terminate"), the game neither finished nor started;
#   - exitMode 1: closing the window during the download hides it and the update goes on: the
#     game is installed and started and the launcher exits 0;
#   - a mirror without its server configuration, over the installed game: the window stays open
#     and draws the start button, and a click on the button starts the game with Launcher.
# Screenshots of the window during the download and the last one before it closed are saved in
# ARTIFACTS, with those of the other scenarios (exitmode2-*, exitmode1-*, failed-*).
#
#   window_e2e.sh LAUNCHER_EXE SAMPLE_GAME_EXE PUBLISH_EXE ARTIFACTS [HOST_PUBLISH]
#
# The window is closed and inspected through velka_window_probe.exe, built beside the sample game.
# PUBLISH_EXE is the Windows velka-publish (run under Wine); HOST_PUBLISH, when given and
# present, is a native velka-publish used instead. Set KEEP=1 to keep the scratch folder.
set -euo pipefail

LAUNCHER="$1"
SAMPLE_GAME="$2"
PUBLISH_EXE="$3"
ARTIFACTS="$4"
HOST_PUBLISH="${5:-}"
PROBE="$(cd "$(dirname "$SAMPLE_GAME")" && pwd)/velka_window_probe.exe"
HERE="$(cd "$(dirname "$0")" && pwd)"
ROOT="$(cd "$HERE/../.." && pwd)"
# shellcheck source=../../scripts/env.sh
source "$ROOT/scripts/env.sh"
# A prefix of its own: the shared one uses Wine's null display driver, this one draws on X.
export WINEPREFIX="$VELKA_CACHE/wineprefix-x11"
TITLE="Velka手遊下載器"
WORK="$(mktemp -d "${TMPDIR:-/tmp}/velka_window_e2e_XXXXXX")"
mkdir -p "$ARTIFACTS"
SERVER_PID=""
XVFB_PID=""
LAUNCHER_PID=""

log() { echo "[window_e2e] $*"; }

cleanup() {
  set +e
  [ -n "$LAUNCHER_PID" ] && kill "$LAUNCHER_PID" 2>/dev/null
  [ -n "$SERVER_PID" ] && kill "$SERVER_PID" 2>/dev/null && wait "$SERVER_PID" 2>/dev/null
  # Ends the Wine processes of this test's prefix only.
  [ -n "$XVFB_PID" ] && wineserver -k 2>/dev/null
  [ -n "$XVFB_PID" ] && kill "$XVFB_PID" 2>/dev/null && wait "$XVFB_PID" 2>/dev/null
  [ -n "${KEEP:-}" ] || rm -rf "$WORK"
}
trap cleanup EXIT

fail() {
  echo "FAIL [window_e2e]: $*" >&2
  for f in "$WORK"/launcher.out "$WORK"/probe.err "$WORK"/install*/Log/*.txt; do
    [ -f "$f" ] && { echo "--- $f" >&2; tail -n 30 "$f" >&2; }
  done
  if [ -n "${DISPLAY:-}" ] && [ -n "$XVFB_PID" ]; then
    import -window root "$ARTIFACTS/failure.png" 2>/dev/null || true
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

# --- a virtual display ---------------------------------------------------------------------
for n in $(seq 91 140); do
  [ -e "/tmp/.X11-unix/X$n" ] || [ -e "/tmp/.X$n-lock" ] || { DISPLAY_NUMBER=$n; break; }
done
[ -n "${DISPLAY_NUMBER:-}" ] || fail "no free X display number"
(velka_close_inherited_fds; exec Xvfb ":$DISPLAY_NUMBER" -screen 0 1600x900x24 -nolisten tcp \
  </dev/null >"$WORK/xvfb.log" 2>&1) &
XVFB_PID=$!
export DISPLAY=":$DISPLAY_NUMBER"
for _ in $(seq 100); do
  xdotool getdisplaygeometry >/dev/null 2>&1 && break
  sleep 0.1
done
xdotool getdisplaygeometry >/dev/null 2>&1 || fail "Xvfb did not start"

# --- the Wine prefix (made once; the first start takes a while) ------------------------------
ready="$WINEPREFIX/.velka-x11-ready-2"
if [ ! -f "$ready" ]; then
  log "preparing the Wine prefix $WINEPREFIX"
  mkdir -p "$WINEPREFIX"
  velka_detached wineboot -u || fail "wineboot failed"
  # The window's font is not part of Wine; where a CJK face is installed, stand it in for that
  # font so the screenshots show the Chinese texts (without it the generic family is used).
  if fc-list 2>/dev/null | grep -q 'WenQuanYi Micro Hei'; then
    LC_ALL=C.UTF-8 velka_detached wine reg add 'HKCU\Software\Wine\Fonts\Replacements' \
      /v '微软雅黑' /t REG_SZ /d 'WenQuanYi Micro Hei' /f || true
  fi
  velka_detached wineserver -w || true
  touch "$ready"
fi
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
serve_mirror 1500000

# --- the install folder and the run ----------------------------------------------------------
INSTALL="$WORK/install"
mkdir -p "$INSTALL/Config"
cp "$LAUNCHER" "$INSTALL/VELKALauncher.exe"
cp "$MIRROR/Launcher/launcherconfig.txt" "$INSTALL/Config/launcherconfig.txt"

start_launcher() {  # sets STARTED_PID: the Wine process, whose exit code is the launcher's
  (cd "$INSTALL" && velka_close_inherited_fds &&
    exec wine "$INSTALL/VELKALauncher.exe" </dev/null >>"$WORK/launcher.out" 2>&1) &
  STARTED_PID=$!
}

window_ids() { xdotool search --name "^${TITLE}\$" 2>/dev/null || true; }

start_launcher
LAUNCHER_PID="$STARTED_PID"
log "launcher started (pid $LAUNCHER_PID) on $DISPLAY, mirror on port $PORT"
WID=""
for _ in $(seq 600); do
  WID="$(window_ids | head -n 1)"
  [ -n "$WID" ] && break
  kill -0 "$LAUNCHER_PID" 2>/dev/null || fail "the launcher ended before showing its window"
  sleep 0.1
done
[ -n "$WID" ] || fail "no window titled $TITLE appeared"
[ "$(xdotool getwindowname "$WID")" = "$TITLE" ] || fail "window title: $(xdotool getwindowname "$WID")"
log "window $WID: $(xdotool getwindowname "$WID")"

# The X window holds the client area and whatever frame Wine draws: at least 1280 x 576.
# The window is created first and fitted to its client size right after; wait for the fit.
for _ in $(seq 100); do
  eval "$(xdotool getwindowgeometry --shell "$WID")"
  [ "$WIDTH" -ge 1280 ] && [ "$HEIGHT" -ge 576 ] && break
  sleep 0.1
done
log "window geometry ${WIDTH}x${HEIGHT} at ${X},${Y}"
[ "$WIDTH" -ge 1280 ] && [ "$HEIGHT" -ge 576 ] || fail "window is ${WIDTH}x${HEIGHT}"
[ "$WIDTH" -le 1300 ] && [ "$HEIGHT" -le 640 ] || fail "window is ${WIDTH}x${HEIGHT}, not fixed to 1280x576"

# A second start while the first runs: it exits 0 without a window of its own.
start_launcher
second_pid="$STARTED_PID"
second_rc=0
for _ in $(seq 300); do kill -0 "$second_pid" 2>/dev/null || break; sleep 0.1; done
kill -0 "$second_pid" 2>/dev/null && { kill "$second_pid"; fail "a second launcher kept running"; }
wait "$second_pid" || second_rc=$?
[ "$second_rc" = 0 ] || fail "the second launcher exited $second_rc"
[ "$(window_ids | wc -l)" = 1 ] || fail "expected one launcher window, found $(window_ids | wc -l)"
log "second start exited 0, one window"

# Screenshots: one during the package download, then one per half second while the window
# lives; the last of those is the window's final look.
shot() { import -window "$WID" "$1" 2>/dev/null; }
for _ in $(seq 600); do
  if grep -q '^/zip/' "$WORK/requests" 2>/dev/null; then break; fi
  sleep 0.1
done
grep -q '^/zip/' "$WORK/requests" || fail "the package download never started"
sleep 2
shot "$ARTIFACTS/window-download.png" || fail "no screenshot of the download"
import -window root "$ARTIFACTS/screen-download.png" 2>/dev/null || true
log "download screenshot saved"

for _ in $(seq 600); do
  [ -n "$(window_ids)" ] || break
  if shot "$WORK/shot.png"; then mv "$WORK/shot.png" "$ARTIFACTS/window-last.png"; fi
  sleep 0.5
done
[ -z "$(window_ids)" ] || fail "the window did not close after the update"

rc=0
for _ in $(seq 300); do kill -0 "$LAUNCHER_PID" 2>/dev/null || break; sleep 0.1; done
kill -0 "$LAUNCHER_PID" 2>/dev/null && fail "the launcher process did not end"
wait "$LAUNCHER_PID" || rc=$?
LAUNCHER_PID=""
[ "$rc" = 0 ] || fail "the launcher exited $rc"
log "launcher exited 0"

# The installed game equals the published one, and it was started as the launcher starts it.
STARTED="$INSTALL/Game/velka_win/started.txt"
for _ in $(seq 100); do [ -s "$STARTED" ] && break; sleep 0.1; done
[ -s "$STARTED" ] || fail "the game was not started"
grep -q 'with arguments: \[Launcher\]$' "$STARTED" || fail "game arguments: $(cat "$STARTED")"
grep -qi 'Game\\velka_win' "$STARTED" || fail "game folder: $(cat "$STARTED")"
[ "$(wc -l < "$STARTED")" = 1 ] || fail "the game was started more than once: $(cat "$STARTED")"
rm -f "$STARTED"
diff -r "$GAME" "$INSTALL/Game/velka_win" > "$WORK/diff.out" 2>&1 ||
  fail "installed tree differs: $(head -n 20 "$WORK/diff.out")"

last_line="$(tail -n 1 "$INSTALL"/Log/*.txt | tr -d '\r')"
case "$last_line" in
  *"[INFO] "*" : Launcher terminate") ;;
  *) fail "the log does not end with Launcher terminate: $last_line" ;;
esac
printf 'exitMode=1\n' | cmp -s - "$INSTALL/Config/config.ini" ||
  fail "close setting file: $(od -c "$INSTALL/Config/config.ini" | head -n 3)"
log "first run passed"

# --- helpers for the scenarios below ---------------------------------------------------------
new_install() {  # NAME: a fresh install folder beside the first one; sets INSTALL
  INSTALL="$WORK/$1"
  mkdir -p "$INSTALL/Config"
  cp "$LAUNCHER" "$INSTALL/VELKALauncher.exe"
  cp "$MIRROR/Launcher/launcherconfig.txt" "$INSTALL/Config/launcherconfig.txt"
}

probe() {  # REQUEST: velka_window_probe.exe in this prefix and display; prints its answer
  (cd "$WORK" && velka_close_inherited_fds &&
    exec wine "$PROBE" "$@" </dev/null 2>>"$WORK/probe.err") | tr -d '\r'
}

run_launcher() {  # SCENARIO: starts the launcher in INSTALL and waits for its window; sets WID
  : > "$WORK/requests"
  start_launcher
  LAUNCHER_PID="$STARTED_PID"
  WID=""
  for _ in $(seq 600); do
    WID="$(window_ids | head -n 1)"
    [ -n "$WID" ] && break
    kill -0 "$LAUNCHER_PID" 2>/dev/null || fail "$1: the launcher ended before showing its window"
    sleep 0.1
  done
  [ -n "$WID" ] || fail "$1: no window titled $TITLE appeared"
  log "$1: launcher started (pid $LAUNCHER_PID), window $WID"
}

wait_for_packages() {  # SCENARIO: waits for the first package request
  for _ in $(seq 600); do
    grep -q '^/zip/' "$WORK/requests" 2>/dev/null && return 0
    kill -0 "$LAUNCHER_PID" 2>/dev/null || fail "$1: the launcher ended before the download"
    sleep 0.1
  done
  fail "$1: the package download never started"
}

wait_for_exit() {  # SCENARIO SECONDS: waits for the launcher process to end; sets RC
  for _ in $(seq $(($2 * 10))); do kill -0 "$LAUNCHER_PID" 2>/dev/null || break; sleep 0.1; done
  kill -0 "$LAUNCHER_PID" 2>/dev/null && fail "$1: the launcher process did not end"
  RC=0
  wait "$LAUNCHER_PID" || RC=$?
  LAUNCHER_PID=""
}

log_ends_with_terminate() {  # SCENARIO
  local last
  last="$(tail -n 1 "$INSTALL"/Log/*.txt | tr -d '\r')"
  case "$last" in
    *"[INFO] "*" : Launcher terminate") ;;
    *) fail "$1: the log does not end with Launcher terminate: $last" ;;
  esac
}

game_started_once() {  # SCENARIO: the game was started as the launcher starts it, once
  local started="$INSTALL/Game/velka_win/started.txt"
  for _ in $(seq 100); do [ -s "$started" ] && break; sleep 0.1; done
  [ -s "$started" ] || fail "$1: the game was not started"
  grep -q 'with arguments: \[Launcher\]$' "$started" || fail "$1: game arguments: $(cat "$started")"
  grep -qi 'Game\\velka_win' "$started" || fail "$1: game folder: $(cat "$started")"
  [ "$(wc -l < "$started")" = 1 ] || fail "$1: the game was started more than once: $(cat "$started")"
}

# --- exitMode 2: closing the window ends the launcher, also in the middle of the download -----
# A slow mirror: the packages take far longer than the close needs.
serve_mirror 200000
new_install install-exitmode2
printf 'exitMode=2\n' > "$INSTALL/Config/config.ini"
run_launcher "exitMode 2"
wait_for_packages "exitMode 2"
shot "$ARTIFACTS/exitmode2-download.png" || fail "exitMode 2: no screenshot of the download"
probe close || fail "exitMode 2: could not close the window"
wait_for_exit "exitMode 2" 60
[ "$RC" = 0 ] || fail "exitMode 2: the launcher exited $RC"
[ -z "$(window_ids)" ] || fail "exitMode 2: the window outlived the launcher"
# The slow mirror cannot have delivered the packages by the close; an installed game means that
# the launcher ran on after it.
[ ! -e "$INSTALL/Game/velka_win/velka.exe" ] || fail "exitMode 2: the update went on after the close"
[ ! -e "$INSTALL/Game/velka_win/started.txt" ] || fail "exitMode 2: the game was started"
log_ends_with_terminate "exitMode 2"
printf 'exitMode=2\n' | cmp -s - "$INSTALL/Config/config.ini" ||
  fail "exitMode 2: close setting file: $(od -c "$INSTALL/Config/config.ini" | head -n 3)"
log "exitMode 2: closing during the download ended the launcher with 0"

# --- exitMode 1: closing the window hides it and the update goes on ---------------------------
serve_mirror 400000
new_install install-exitmode1
printf 'exitMode=1\n' > "$INSTALL/Config/config.ini"
run_launcher "exitMode 1"
wait_for_packages "exitMode 1"
shot "$ARTIFACTS/exitmode1-download.png" || fail "exitMode 1: no screenshot of the download"
probe close || fail "exitMode 1: could not close the window"
visible=""
for _ in $(seq 150); do
  visible="$(probe visible)" || fail "exitMode 1: the window is gone after the close"
  [ "$visible" = 0 ] && break
  sleep 0.2
done
[ "$visible" = 0 ] || fail "exitMode 1: the window is still visible after the close"
# Hidden while the update still runs: the game is not there yet and the launcher lives.
[ ! -e "$INSTALL/Game/velka_win/started.txt" ] || fail "exitMode 1: the update finished before the close"
kill -0 "$LAUNCHER_PID" 2>/dev/null || fail "exitMode 1: the launcher ended on the close"
mapped="x"
for _ in $(seq 100); do
  mapped="$(xdotool search --onlyvisible --name "^${TITLE}\$" 2>/dev/null || true)"
  [ -z "$mapped" ] && break
  sleep 0.1
done
[ -z "$mapped" ] || fail "exitMode 1: the hidden window is still mapped on the display"
import -window root "$ARTIFACTS/exitmode1-hidden-screen.png" 2>/dev/null || true
log "exitMode 1: the window is hidden, the launcher runs on"
wait_for_exit "exitMode 1" 180
[ "$RC" = 0 ] || fail "exitMode 1: the launcher exited $RC"
game_started_once "exitMode 1"
rm -f "$INSTALL/Game/velka_win/started.txt"
diff -r "$GAME" "$INSTALL/Game/velka_win" > "$WORK/diff.out" 2>&1 ||
  fail "exitMode 1: installed tree differs: $(head -n 20 "$WORK/diff.out")"
log_ends_with_terminate "exitMode 1"
printf 'exitMode=1\n' | cmp -s - "$INSTALL/Config/config.ini" ||
  fail "exitMode 1: close setting file: $(od -c "$INSTALL/Config/config.ini" | head -n 3)"
log "exitMode 1: the hidden launcher finished the update, started the game and exited 0"

# --- a broken mirror over an installed game: the failure view and its start button ------------
# The first install folder holds the game; the mirror loses its server configuration.
INSTALL="$WORK/install"
mv "$MIRROR/Launcher/serverconfig.txt" "$WORK/serverconfig.txt.away"
serve_mirror 1500000
run_launcher "failed"
# Button box in client pixels (1048, 507), 221 x 58; the part above the progress bar is compared
# with the same part of the first run's download screenshot, where only the panel shows there.
BUTTON_X=1048 BUTTON_Y=507 BUTTON_W=221 BUTTON_H=48
button_area() {  # IMAGE OUT: the button's part of a window screenshot
  convert "$1" -crop "${BUTTON_W}x${BUTTON_H}+$((BUTTON_X + CLIENT_DX))+$((BUTTON_Y + CLIENT_DY))" \
    +repage "$2"
}
read -r client_x client_y <<< "$(probe client)" || fail "failed: no client position"
eval "$(xdotool getwindowgeometry --shell "$WID")"
CLIENT_DX=$((client_x - X)) CLIENT_DY=$((client_y - Y))
log "failed: client area at $client_x,$client_y (offset $CLIENT_DX,$CLIENT_DY in the X window)"
# The first run's download screenshot has no offset of its own: the same window.
button_area "$ARTIFACTS/window-download.png" "$WORK/button-before.png"
differing=0
for _ in $(seq 300); do
  kill -0 "$LAUNCHER_PID" 2>/dev/null || fail "failed: the launcher ended on the failure"
  if shot "$WORK/shot.png"; then
    button_area "$WORK/shot.png" "$WORK/button-now.png"
    differing="$(compare -metric AE -fuzz 10% "$WORK/button-before.png" "$WORK/button-now.png" \
      null: 2>&1 || true)"
    differing="${differing%% *}"
    # At least a quarter of the box changed: the button is drawn.
    [ "${differing:-0}" -ge $((BUTTON_W * BUTTON_H / 4)) ] 2>/dev/null && break
  fi
  sleep 0.2
done
[ "${differing:-0}" -ge $((BUTTON_W * BUTTON_H / 4)) ] 2>/dev/null ||
  fail "failed: the start button was not drawn ($differing pixels of the box changed)"
mv "$WORK/shot.png" "$ARTIFACTS/failed-window.png"
grep -q '^/Launcher/serverconfig.txt' "$WORK/requests" ||
  fail "failed: the server configuration was never asked for"
[ ! -e "$INSTALL/Game/velka_win/started.txt" ] || fail "failed: the game was started without a click"
log "failed: the start button is drawn ($differing pixels of its box changed)"
xdotool mousemove --sync $((client_x + BUTTON_X + 221 / 2)) $((client_y + BUTTON_Y + 58 / 2))
xdotool click 1
wait_for_exit "failed" 60
[ "$RC" = 0 ] || fail "failed: the launcher exited $RC after the click"
game_started_once "failed"
log_ends_with_terminate "failed"
mv "$WORK/serverconfig.txt.away" "$MIRROR/Launcher/serverconfig.txt"
log "failed: the click on the start button started the game and the launcher exited 0"

log "PASS (screenshots in $ARTIFACTS)"
