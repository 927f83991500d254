#!/usr/bin/env bash
# End-to-end runs of the console launcher: the built velka-launcher in a scratch install folder,
# against a mirror written by velka-publish (or, in one scenario, by Info-ZIP zip and lists
# written here) and served by a real HTTP server on 127.0.0.1.
#
#   console_e2e.sh SCENARIO LAUNCHER PUBLISH
set -euo pipefail

SCENARIO="$1"
LAUNCHER="$2"
PUBLISH="$3"
source "$(dirname "$0")/e2e_lib.sh"

expect_game_started() {
  for _ in $(seq 100); do
    [ -s "$WORK/started.log" ] && break
    sleep 0.05
  done
  grep -qx "args=Launcher cwd=$INSTALL/Game/velka_win" "$WORK/started.log" ||
    fail "game not started as expected: $(cat "$WORK/started.log" 2>/dev/null)"
}

requests_matching() { grep -c "$1" "$WORK/requests" || true; }

GAME="$WORK/game"
MIRROR="$WORK/mirror"

case "$SCENARIO" in
fresh_then_current)
  make_game "$GAME" 1
  publish "$GAME" "$MIRROR" 1.0.0 1.0.0
  start_server "$MIRROR"
  make_install "$MIRROR"
  run_launcher
  [ "$RC" = 0 ] || fail "fresh install exited $RC"
  expect_tree "$GAME"
  expect_record 1.0.0 1.0.0
  expect_game_started
  [ ! -e "$INSTALL/Temp" ] || fail "Temp left behind"
  [ ! -e "$INSTALL/Package" ] || fail "Package left behind"
  grep -q "Launcher process finish, can start game process at any time" "$INSTALL"/Log/*.txt ||
    fail "finish line missing from the day log"
  [ "$(requests_matching '^/zip/')" -ge 2 ] || fail "expected the packages to be downloaded"

  : > "$WORK/requests"
  : > "$WORK/started.log"
  run_launcher
  [ "$RC" = 0 ] || fail "second run exited $RC"
  [ "$(requests_matching '^/zip/\|^/files/')" = 0 ] || fail "a current game fetched files: $(cat "$WORK/requests")"
  expect_tree "$GAME"
  expect_game_started
  ;;

incremental)
  make_game "$GAME" 1
  publish "$GAME" "$MIRROR" 1.0.0 1.0.0
  start_server "$MIRROR"
  make_install "$MIRROR"
  run_launcher --no-start
  [ "$RC" = 0 ] || fail "fresh install exited $RC"
  # A new release changes one file and adds one; the zip version stays.
  make_game "$GAME" 2
  printf 'new patch notes\n' > "$GAME/velka_win/data/patch notes.txt"
  publish "$GAME" "$MIRROR" 1.0.1 1.0.0 --replace
  : > "$WORK/requests"
  run_launcher --no-start
  [ "$RC" = 0 ] || fail "incremental update exited $RC"
  sort "$WORK/requests" | grep '^/files/\|^/zip/' > "$WORK/fetched" || true
  printf '/files/bin/shaders.dat\n/files/data/patch%%20notes.txt\n' | sort | cmp -s - "$WORK/fetched" ||
    fail "expected only the two changed files, fetched: $(cat "$WORK/fetched")"
  expect_tree "$GAME"
  expect_record 1.0.1 1.0.0
  ;;

mirrors_down)
  make_game "$GAME" 1
  publish "$GAME" "$MIRROR" 1.0.0 1.0.0
  make_install "$MIRROR"
  run_launcher --no-start
  [ "$RC" = 1 ] || fail "expected exit 1 with every mirror down, got $RC"
  # The compiled-in mirror is tried last; its host may not resolve here (6) or refuse (7).
  grep -Eq "暫時無法驗證更新，請啓動遊戲繼續驗證！ CURLCODE\((6|7)\) HTTP STATUES CODE\(0\)" "$WORK/run.err" ||
    fail "failure text missing on stderr: $(cat "$WORK/run.err")"
  cmp -s "$MIRROR/Launcher/launcherconfig.txt" "$INSTALL/Config/launcherconfig.txt" ||
    fail "installed configuration changed by a failed run"
  [ ! -e "$INSTALL/Game" ] || fail "a failed run created the game folder"
  ;;

killed_during_download)
  make_game "$GAME" 1
  head -c 6000000 /dev/urandom > "$GAME/velka_win/data/movie.bik"
  publish "$GAME" "$MIRROR" 1.0.0 1.0.0
  start_server "$MIRROR" 400000
  make_install "$MIRROR"
  (cd / && exec "$INSTALL/velka-launcher" --no-start > "$WORK/killed.out" 2>&1) &
  victim=$!
  for _ in $(seq 400); do
    if find "$INSTALL/Temp/ZipUpdate" -name '*.zip' -size +100k 2>/dev/null | grep -q .; then break; fi
    sleep 0.05
  done
  find "$INSTALL/Temp/ZipUpdate" -name '*.zip' -size +100k | grep -q . || fail "download never started"
  kill -9 "$victim"
  wait "$victim" 2>/dev/null || true
  [ ! -e "$INSTALL/Game/velka_win/velka.exe" ] || fail "the game was installed before the kill"
  stop_server
  start_server "$MIRROR"
  run_launcher --no-start
  [ "$RC" = 0 ] || fail "restart after the kill exited $RC"
  expect_tree "$GAME"
  expect_record 1.0.0 1.0.0
  ;;

independent_mirror)
  # Packages by Info-ZIP zip, lists and configurations written here with CRCs from Python's zlib,
  # so the publisher and the launcher cannot share a mistake.
  command -v zip > /dev/null || { echo "zip not installed"; exit 0; }
  make_game "$GAME" 1
  base="http://127.0.0.1:$PORT/"
  mkdir -p "$MIRROR/Launcher" "$MIRROR/zip" "$MIRROR/files"
  printf 'launcherVersion=1.0.0\nremoteURLs=%sLauncher/\n' "$base" > "$MIRROR/Launcher/launcherconfig.txt"
  (cd "$GAME" && zip -q -r -X "$MIRROR/zip/full.zip" velka_win)
  cp -r "$GAME/velka_win/." "$MIRROR/files/"
  python3 - "$GAME/velka_win" "$MIRROR" "$base" <<'PY'
import os, sys, zlib
game, mirror, base = sys.argv[1:4]
def crc(path):
    value = 0
    with open(path, "rb") as f:
        for block in iter(lambda: f.read(1 << 16), b""):
            value = zlib.crc32(block, value)
    return "%08X" % value
lines = []
for root, _, files in os.walk(game):
    for name in sorted(files):
        full = os.path.join(root, name)
        rel = os.path.relpath(full, game).replace("/", "\\")
        lines.append("%s=%s$%d$%s\n" % (name, rel, os.path.getsize(full), crc(full)))
open(os.path.join(mirror, "filelist.txt"), "w").write("".join(lines))
unpacked = sum(os.path.getsize(os.path.join(r, f)) for r, _, fs in os.walk(game) for f in fs)
z = os.path.join(mirror, "zip", "full.zip")
open(os.path.join(mirror, "ziplist.txt"), "w").write(
    "full.zip=full.zip$%d$%d$%s\r\n" % (unpacked, os.path.getsize(z), crc(z).lower()))
open(os.path.join(mirror, "Launcher", "serverconfig.txt"), "w").write(
    "incrementVersion=2.0.0\nzipVersion=2.0.0\nuseZip=True\n"
    "filelistURLs=%sfilelist.txt\nziplistURLs=%sziplist.txt\n"
    "zipupdateURLs=%szip/\nincrementupdateURLs=%sfiles/\n" % (base, base, base, base))
PY
  start_server "$MIRROR"
  make_install "$MIRROR"
  run_launcher
  [ "$RC" = 0 ] || fail "install from the independent mirror exited $RC"
  expect_tree "$GAME"
  expect_record 2.0.0 2.0.0
  expect_game_started
  [ "$(requests_matching '^/files/')" = 0 ] || fail "files fetched although the package held them all"
  ;;

*)
  fail "unknown scenario"
  ;;
esac
echo "PASS [$SCENARIO]"
