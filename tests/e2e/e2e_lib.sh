# The end-to-end scripts' set-up (sourced after setting SCENARIO, LAUNCHER and the PUBLISH command):
# scratch folder, nginx and tinyproxy, sample games, publishing, install folders, outcome checks.
HERE="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
WORK="$(mktemp -d "${TMPDIR:-/tmp}/velka_e2e_${SCENARIO}_XXXXXX")"
PIDS=() SERVER_PID="" PATH="$PATH:/usr/sbin"
# libcurl would follow the environment's proxy settings: a scenario sets only those it means.
unset http_proxy HTTP_PROXY https_proxy HTTPS_PROXY all_proxy ALL_PROXY no_proxy NO_PROXY
stop() { for p in "$@"; do { kill "$p" && wait "$p"; } 2> /dev/null || true; done; }  # a killed one's status is no failure
trap 'set +e; trap - ERR; ${ON_CLEANUP:-}; stop $SERVER_PID "${PIDS[@]}"; [ -n "${KEEP:-}" ] || rm -rf "$WORK"' EXIT
fail() {
  echo "FAIL [$SCENARIO]: $*" >&2
  for f in "$WORK"/*.out "$WORK"/*.err "${INSTALL:-$WORK/install}"/Log/*.txt; do [ ! -f "$f" ] || tail -n 30 "$f" >&2; done
  ${ON_FAIL:-} || true; exit 1
}
# A bare check that fails ends the scenario with its text and line (subshells leave it to the caller).
set -E
trap '[ "$BASH_SUBSHELL" != 0 ] || fail "$BASH_COMMAND (line $LINENO, called from ${BASH_LINENO[*]})"' ERR
poll() { local n="$1" _; shift; for _ in $(seq $((n * 20))); do "$@" && return 0; sleep 0.05; done; return 1; }
free_port() { python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'; }
PORT="$(free_port)"
listening() { (exec 3<> "/dev/tcp/127.0.0.1/$1") 2> /dev/null; }

# serve ROOT [RATE [RANGES]]: nginx as a CDN (keep-alive, ETags, ranges unless RANGES is 0) on $PORT at
# RATE bytes/s a connection; paths to $WORK/requests, path status bytes Range Via to $WORK/transfers.
serve() {
  stop $SERVER_PID
  mkdir -p "$WORK/nginx" && : > "$WORK/requests" && : > "$WORK/transfers"
  cat > "$WORK/nginx/nginx.conf" << EOF
daemon off; worker_processes 1; pid nginx.pid; $([ "$(id -u)" = 0 ] && echo "user root;") events { }
http { client_body_temp_path body; proxy_temp_path proxy; fastcgi_temp_path fastcgi; uwsgi_temp_path uwsgi;
  scgi_temp_path scgi; log_format path '\$request_uri'; access_log $WORK/requests path;
  log_format transfer '\$request_uri \$status \$body_bytes_sent "\$http_range" "\$http_via"';
  access_log $WORK/transfers transfer; etag on; max_ranges ${3:-1};
  server { listen 127.0.0.1:$PORT; root $1; limit_rate ${2:-0}; } }
EOF
  nginx -p "$WORK/nginx" -c "$WORK/nginx/nginx.conf" -e "$WORK/nginx/error.log" & SERVER_PID=$!
  poll 10 listening "$PORT" || fail "nginx did not start: $(tail -n 5 "$WORK/nginx/error.log")"
}
bytes_sent() { awk -v p="$1" '$1 ~ p { sum += $3 } END { print sum + 0 }' "$WORK/transfers"; }

start_proxy() {  # PORT [USER PASSWORD]: tinyproxy, asking for basic authentication with a user
  local d="$WORK/proxy-$1" && mkdir -p "$WORK/proxy-$1"
  printf '%s\n' "Port $1" "Listen 127.0.0.1" "Allow 127.0.0.1" "LogFile \"$d/log\"" "LogLevel Info" \
    ${2:+"BasicAuth $2 $3"} > "$d/conf"
  [ "$(id -u)" != 0 ] || printf 'User root\nGroup root\n' >> "$d/conf"
  tinyproxy -d -c "$d/conf" > "$d/out" 2>&1 & PIDS+=($!)
  poll 10 listening "$1" || fail "tinyproxy did not start: $(cat "$d/out")"
}

# make_game DIR VERSION [PAK_BYTES [EXE]]: a small game below DIR/velka_win; its velka.exe is EXE
# or a script appending how it was started to $WORK/started.log.
make_game() {
  local g="$1/velka_win"
  mkdir -p "$g/data/maps" "$g/bin"
  printf '#!/bin/sh\necho "args=$* cwd=$PWD" >> "%s"\n' "$WORK/started.log" > "$g/velka.exe"
  chmod +x "$g/velka.exe" && [ -z "${4:-}" ] || cp "$4" "$g/velka.exe"
  [ -f "$g/data/textures.pak" ] || head -c "${3:-3000000}" /dev/urandom > "$g/data/textures.pak"
  printf 'level one\n' > "$g/data/maps/level 1.map" && printf 'shader v%s\n' "$2" > "$g/bin/shaders.dat"
  seq 1 20000 > "$g/data/numbers.txt" && : > "$g/data/empty.cfg"
}

# publish GAME OUT INCREMENT ZIP [options]: a mirror for $MIRROR_URL (default: this server);
# PATH_PREFIX goes before the folders (Z: for a publisher under Wine).
publish() {
  "${PUBLISH[@]}" --game "${PATH_PREFIX:-}$1" --out "${PATH_PREFIX:-}$2" --increment-version "$3" \
    --zip-version "$4" --mirror "${MIRROR_URL:-http://127.0.0.1:$PORT/}" --launcher-version "${LAUNCHER_VERSION:-1.0.0}" \
    --package-limit "${PACKAGE_LIMIT:-2000000}" "${@:5}" < /dev/null > "$WORK/publish.out" 2>&1 ||
    fail "publish: $(cat "$WORK/publish.out")"
}

make_install() {  # MIRROR [DIR]: an install folder holding the launcher and its configuration only
  INSTALL="${2:-$WORK/install}" && mkdir -p "$INSTALL/Config" && cp "$1/Launcher/launcherconfig.txt" "$INSTALL/Config/"
  cp "$LAUNCHER" "$INSTALL/${LAUNCHER_NAME:-velka-launcher}"
}

run_launcher() { RC=0 && (cd / && exec "$INSTALL/velka-launcher" "$@") > "$WORK/run.out" 2> "$WORK/run.err" || RC=$?; }

executables() { (cd "$1" && find . -type f -perm -u+x -printf '%P\n' | sort); }
same_tree() {  # A B: same names and bytes, and (unless UNDER_WINE) execute bits
  diff -r "$1" "$2" > "$WORK/diff.out" 2>&1 && { [ -n "${UNDER_WINE:-}" ] || diff <(executables "$1") <(executables "$2") >> "$WORK/diff.out"; }
}

# expect_run RC TREE INCREMENT ZIP [STDERR]: the run exited RC and left Game equal to TREE ("-":
# no Game and no version record) and that record; with STDERR, that is all stderr holds.
expect_run() {
  [ "$RC" = "$1" ] || fail "exit $RC, expected $1: $(cat "$WORK/run.err" 2> /dev/null)"
  if [ "$2" = - ]; then
    [ ! -e "$INSTALL/Game" ] && [ ! -e "$INSTALL/Config/serverconfig.txt" ] || fail "a failed run left Game or a record"
  else
    same_tree "$2" "$INSTALL/Game" || fail "installed tree differs: $(head -n 20 "$WORK/diff.out")"
    printf 'incrementVersion=%s\nzipVersion=%s\n' "$3" "$4" | cmp -s - <(tr -d '\r' < "$INSTALL/Config/serverconfig.txt") ||
      fail "version record: $(cat "$INSTALL/Config/serverconfig.txt")"
  fi
  [ -z "${5:-}" ] || printf '%s\n' "$5" | cmp -s - "$WORK/run.err" || fail "stderr reads $(cat "$WORK/run.err")"
  [ "$1" != 0 ] || [ -z "$(ls -d "$INSTALL/Temp" "$INSTALL/Package" 2> /dev/null)" ] || fail "Temp or Package left behind"
}
runs() { run_launcher --no-start && expect_run "$@"; }  # RC TREE INCREMENT ZIP [STDERR]
