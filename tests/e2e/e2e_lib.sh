# Shared set-up of the end-to-end scripts (sourced): a scratch folder, nginx and tinyproxy on
# loopback ports, sample games, publishing, install folders and the checks on a run's outcome.
# The caller sets SCENARIO, LAUNCHER and PUBLISH (an array: the publisher's command) first.
HERE="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
WORK="$(mktemp -d "${TMPDIR:-/tmp}/velka_e2e_${SCENARIO}_XXXXXX")"
PIDS=()
SERVER_PID=""
# libcurl would follow the environment's proxy settings: a scenario sets only those it means.
unset http_proxy HTTP_PROXY https_proxy HTTPS_PROXY all_proxy ALL_PROXY no_proxy NO_PROXY

stop() { for p in "$@"; do kill "$p" 2> /dev/null && wait "$p" 2> /dev/null; done; true; }
cleanup() {
  set +e
  ${ON_CLEANUP:-}
  stop $SERVER_PID "${PIDS[@]}"
  [ -n "${KEEP:-}" ] || rm -rf "$WORK"
}
trap cleanup EXIT

fail() {
  echo "FAIL [$SCENARIO]: $*" >&2
  for f in "$WORK"/*.out "$WORK"/*.err "${INSTALL:-$WORK/install}"/Log/*.txt; do
    [ -f "$f" ] && { echo "--- $f" >&2; tail -n 30 "$f" >&2; }
  done
  ${ON_FAIL:-}
  exit 1
}

free_port() { python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'; }
PORT="$(free_port)"

wait_port() {  # PORT WHAT
  for _ in $(seq 200); do
    (exec 3<> "/dev/tcp/127.0.0.1/$1") 2> /dev/null && return 0
    sleep 0.05
  done
  fail "$2 did not start on port $1: $(tail -n 5 "$WORK"/nginx/error.log "$WORK"/proxy-*/out 2> /dev/null)"
}

# serve ROOT [RATE [RANGES]]: (re)starts nginx, as a CDN serves static files (keep-alive, ETags,
# byte ranges unless RANGES is 0), for ROOT on $PORT at RATE bytes a second and connection (0:
# full speed). Request paths go to $WORK/requests; path, status, body bytes, Range and Via to
# $WORK/transfers.
serve() {
  stop $SERVER_PID
  local p="$WORK/nginx"
  mkdir -p "$p"
  cat > "$p/nginx.conf" << EOF
daemon off; worker_processes 1; pid nginx.pid; $([ "$(id -u)" = 0 ] && echo "user root;")
events { worker_connections 64; }
http {
  default_type application/octet-stream;
  client_body_temp_path body; proxy_temp_path proxy; fastcgi_temp_path fastcgi;
  uwsgi_temp_path uwsgi; scgi_temp_path scgi;
  log_format path '\$request_uri';
  log_format transfer '\$request_uri \$status \$body_bytes_sent "\$http_range" "\$http_via"';
  access_log $WORK/requests path;
  access_log $WORK/transfers transfer;
  etag on; max_ranges ${3:-1};
  server { listen 127.0.0.1:$PORT; root $1; limit_rate ${2:-0}; }
}
EOF
  "$(command -v nginx || echo /usr/sbin/nginx)" -p "$p" -c "$p/nginx.conf" -e "$p/error.log" &
  SERVER_PID=$!
  wait_port "$PORT" nginx
}

# Body bytes nginx sent for request paths matching the pattern.
bytes_sent() { awk -v p="$1" '$1 ~ p { sum += $3 } END { print sum + 0 }' "$WORK/transfers"; }

# start_proxy PORT [USER PASSWORD]: tinyproxy, asking for basic authentication when given a user.
start_proxy() {
  local d="$WORK/proxy-$1"
  mkdir -p "$d"
  printf '%s\n' "Port $1" "Listen 127.0.0.1" "Allow 127.0.0.1" "LogFile \"$d/log\"" "LogLevel Info" \
    "PidFile \"$d/pid\"" ${2:+"BasicAuth $2 $3"} > "$d/conf"
  [ "$(id -u)" = 0 ] && printf 'User root\nGroup root\n' >> "$d/conf"
  "$(command -v tinyproxy || echo /usr/bin/tinyproxy)" -d -c "$d/conf" > "$d/out" 2>&1 &
  PIDS+=($!)
  wait_port "$1" tinyproxy
}

# make_game DIR VERSION [PAK_BYTES [EXE]]: a small game below DIR/velka_win. Its velka.exe is EXE,
# or a script appending how it was started to $WORK/started.log.
make_game() {
  local g="$1/velka_win"
  mkdir -p "$g/data/maps" "$g/bin"
  if [ -n "${4:-}" ]; then cp "$4" "$g/velka.exe"; else
    printf '#!/bin/sh\necho "args=$* cwd=$PWD" >> "%s"\n' "$WORK/started.log" > "$g/velka.exe"
    chmod +x "$g/velka.exe"
  fi
  [ -f "$g/data/textures.pak" ] || head -c "${3:-3000000}" /dev/urandom > "$g/data/textures.pak"
  printf 'level one\n' > "$g/data/maps/level 1.map"
  printf 'shader v%s\n' "$2" > "$g/bin/shaders.dat"
  : > "$g/data/empty.cfg"
  seq 1 20000 > "$g/data/numbers.txt"
}

# publish GAME OUT INCREMENT ZIP [options]: a mirror for $MIRROR_URL (default: this server).
# PATH_PREFIX is put before the folders (Z: for a publisher under Wine).
publish() {
  local game="$1" out="$2" inc="$3" zip="$4"
  shift 4
  "${PUBLISH[@]}" --game "${PATH_PREFIX:-}$game" --out "${PATH_PREFIX:-}$out" \
    --mirror "${MIRROR_URL:-http://127.0.0.1:$PORT/}" --increment-version "$inc" --zip-version "$zip" \
    --launcher-version 1.0.0 --package-limit "${PACKAGE_LIMIT:-2000000}" "$@" < /dev/null \
    > "$WORK/publish.out" 2>&1 || fail "publish: $(cat "$WORK/publish.out")"
}

# make_install MIRROR [DIR]: an install folder holding the launcher and its configuration only.
make_install() {
  INSTALL="${2:-$WORK/install}"
  mkdir -p "$INSTALL/Config"
  cp "$LAUNCHER" "$INSTALL/${LAUNCHER_NAME:-velka-launcher}"
  cp "$1/Launcher/launcherconfig.txt" "$INSTALL/Config/"
}

run_launcher() {  # [ARGUMENTS]: the console launcher in $INSTALL; sets RC
  set +e
  (cd / && exec "$INSTALL/velka-launcher" "$@") > "$WORK/run.out" 2> "$WORK/run.err"
  RC=$?
  set -e
}

executables() { (cd "$1" && find . -type f -perm -u+x -printf '%P\n' | sort); }

same_tree() {  # A B: same names and bytes, and (unless UNDER_WINE) execute bits
  diff -r "$1" "$2" > "$WORK/diff.out" 2>&1 &&
    { [ -n "${UNDER_WINE:-}" ] || diff <(executables "$1") <(executables "$2") >> "$WORK/diff.out"; }
}

# expect_run RC TREE INCREMENT ZIP [STDERR]: the run exited RC and left Game equal to TREE ("-":
# no Game and no version record) and the record INCREMENT ZIP; with STDERR, that is its one line.
expect_run() {
  [ "$RC" = "$1" ] || fail "exit $RC, expected $1: $(cat "$WORK/run.err" 2> /dev/null)"
  if [ "$2" = - ]; then
    [ ! -e "$INSTALL/Game" ] && [ ! -e "$INSTALL/Config/serverconfig.txt" ] || fail "a failed run left Game or a record"
  else
    same_tree "$2" "$INSTALL/Game" || fail "installed tree differs: $(head -n 20 "$WORK/diff.out")"
    printf 'incrementVersion=%s\nzipVersion=%s\n' "$3" "$4" |
      cmp -s - <(tr -d '\r' < "$INSTALL/Config/serverconfig.txt") ||
      fail "version record: $(cat "$INSTALL/Config/serverconfig.txt")"
  fi
  [ -z "${5:-}" ] || printf '%s\n' "$5" | cmp -s - "$WORK/run.err" || fail "stderr reads $(cat "$WORK/run.err")"
}
