# Shared set-up of the end-to-end scripts: scratch folder, the mirror server, sample games,
# publishing, install folders, running the console launcher and checking what it left.
# Sourced, not run. The caller sets SCENARIO, LAUNCHER and PUBLISH first; this sets HERE, WORK,
# PORT and a clean-up trap.

HERE="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
WORK="$(mktemp -d "${TMPDIR:-/tmp}/velka_e2e_${SCENARIO}_XXXXXX")"
SERVER_PID=""

cleanup() {
  stop_server
  [ -n "${KEEP:-}" ] || rm -rf "$WORK"
}
trap cleanup EXIT

fail() {
  echo "FAIL [$SCENARIO]: $*" >&2
  for f in "$WORK"/run.out "$WORK"/run.err "${INSTALL:-$WORK/install}"/Log/*.txt; do
    [ -f "$f" ] && { echo "--- $f" >&2; tail -n 40 "$f" >&2; }
  done
  exit 1
}

free_port() {
  python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

# start_server ROOT [THROTTLE]: serves ROOT on $PORT, logging request paths to $WORK/requests.
start_server() {
  local args=("$1" "$PORT" "$WORK/requests")
  [ -n "${2:-}" ] && args+=(--throttle "$2")
  python3 "$HERE/mirror_server.py" "${args[@]}" &
  SERVER_PID=$!
  for _ in $(seq 100); do
    if (exec 3<>"/dev/tcp/127.0.0.1/$PORT") 2>/dev/null; then return 0; fi
    sleep 0.05
  done
  fail "mirror server did not start"
}

stop_server() {
  if [ -n "$SERVER_PID" ]; then
    kill "$SERVER_PID" 2>/dev/null || true
    wait "$SERVER_PID" 2>/dev/null || true
    SERVER_PID=""
  fi
}

# make_game DIR VARIANT [PAK_BYTES]: a small game tree below DIR/velka_win. The game executable
# records how it was started in $VELKA_SAMPLE_LOG.
make_game() {
  local g="$1/velka_win"
  mkdir -p "$g/data/maps" "$g/bin"
  cat > "$g/velka.exe" <<'SH'
#!/bin/sh
echo "args=$* cwd=$PWD" >> "${VELKA_SAMPLE_LOG:-/dev/null}"
SH
  chmod +x "$g/velka.exe"
  [ -f "$g/data/textures.pak" ] || head -c "${3:-3000000}" /dev/urandom > "$g/data/textures.pak"
  printf 'level one\n' > "$g/data/maps/level 1.map"
  printf 'shader v%s\n' "$2" > "$g/bin/shaders.dat"
  : > "$g/data/empty.cfg"
  seq 1 20000 > "$g/data/numbers.txt"
}

publish() {  # publish GAME OUT INCREMENT ZIP [more options]; MIRROR_URL overrides the base URL
  local game="$1" out="$2" inc="$3" zip="$4"
  shift 4
  "$PUBLISH" --game "$game" --out "$out" --mirror "${MIRROR_URL:-http://127.0.0.1:$PORT/}" \
    --increment-version "$inc" --zip-version "$zip" --launcher-version 1.0.0 \
    --package-limit "${PACKAGE_LIMIT:-2000000}" "$@" > "$WORK/publish.out" 2>&1 || fail "publish: $(cat "$WORK/publish.out")"
}

make_install() {  # make_install MIRROR [DIR]: the launcher and its configuration, nothing else
  INSTALL="${2:-$WORK/install}"
  mkdir -p "$INSTALL/Config"
  cp "$LAUNCHER" "$INSTALL/velka-launcher"
  cp "$1/Launcher/launcherconfig.txt" "$INSTALL/Config/launcherconfig.txt"
}

run_launcher() {  # sets RC
  set +e
  (cd / && VELKA_SAMPLE_LOG="$WORK/started.log" "$INSTALL/velka-launcher" "$@") \
    > "$WORK/run.out" 2> "$WORK/run.err"
  RC=$?
  set -e
}

# The files below a folder that their owner may execute, one a line.
executables() { (cd "$1" && find . -type f -perm -u+x -printf '%P\n' | sort); }

same_tree() {  # same_tree A B: same names, bytes and execute bits
  diff -r "$1" "$2" > "$WORK/diff.out" 2>&1 &&
    diff <(executables "$1") <(executables "$2") >> "$WORK/diff.out" 2>&1
}

expect_tree() {  # the installed game equals the published one, byte for byte
  same_tree "$1" "$INSTALL/Game" || fail "installed tree differs: $(head -n 20 "$WORK/diff.out")"
}

expect_record() {
  printf 'incrementVersion=%s\nzipVersion=%s\n' "$1" "$2" | cmp -s - "$INSTALL/Config/serverconfig.txt" ||
    fail "version record: $(cat "$INSTALL/Config/serverconfig.txt" 2>/dev/null)"
}

PORT="$(free_port)"
