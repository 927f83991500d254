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
# Screenshots of the window during the download and the last one before it closed are saved in
# ARTIFACTS.
#
#   window_e2e.sh LAUNCHER_EXE SAMPLE_GAME_EXE PUBLISH_EXE ARTIFACTS [HOST_PUBLISH]
#
# PUBLISH_EXE is the Windows velka-publish (run under Wine); HOST_PUBLISH, when given and
# present, is a native velka-publish used instead. Set KEEP=1 to keep the scratch folder.
set -euo pipefail

LAUNCHER="$1"
SAMPLE_GAME="$2"
PUBLISH_EXE="$3"
ARTIFACTS="$4"
HOST_PUBLISH="${5:-}"
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
  for f in "$WORK"/launcher.out "$WORK"/install/Log/*.txt; do
    [ -f "$f" ] && { echo "--- $f" >&2; tail -n 30 "$f" >&2; }
  done
  if [ -n "${DISPLAY:-}" ] && [ -n "$XVFB_PID" ]; then
    import -window root "$ARTIFACTS/failure.png" 2>/dev/null || true
  fi
  exit 1
}

for tool in Xvfb xdotool import wine python3; do
  command -v "$tool" >/dev/null || fail "$tool is not installed (scripts/setup)"
done

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

python3 "$HERE/mirror_server.py" "$MIRROR" "$PORT" "$WORK/requests" --throttle 1500000 &
SERVER_PID=$!
for _ in $(seq 100); do
  (exec 3<>"/dev/tcp/127.0.0.1/$PORT") 2>/dev/null && break
  sleep 0.05
done

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
log "PASS (screenshots in $ARTIFACTS)"
