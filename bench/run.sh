#!/usr/bin/env bash
# The engine against the tools a player would reach for, side by side in one run:
#   1. local check (CheckLocalFiles)         vs cat of the same files and 7z h -scrcCRC32
#                                             goal: >= 0.6x cat's throughput, <= 0.3x 7z's time
#   2. extraction (ExtractPackages)          vs bsdtar -xf of each package, and minizip's loop
#                                             goal: <= 0.5x bsdtar's time
#   3. one download (DownloadToFile)          vs curl -o, same local server  goal: >= 1.0x speed
#                                             hashed with SHA-256 as it arrives (a launcher with a
#                                             release key) vs without           goal: >= 0.85x speed
#   4. fresh install by velka-launcher, nginx vs curl x2 in parallel, bsdtar -xf each, 7z h of the
#                                             tree                          goal: <= 0.5x time
#   5. 2,000 files of 4 KiB (DownloadFileSet) over a link with 25 ms delay each way, nginx
#                                             vs curl --parallel --parallel-max 2 -K
#                                             goal: >= 0.9x curl's files per second
#   6. peak memory of a velka-launcher install of a 100,000-file game  goal: < 32 MiB
#
# Generates its data in a scratch folder, runs every measurement several times (alternating the
# contenders, so that load from elsewhere hits both alike), prints min and median of wall and CPU
# time with the ratios and the machine's load during each row, and removes the scratch folder.
# Every run is checked: a driver exits non-zero on a wrong result and the script stops there,
# with a non-zero exit.
#
# Row 5 runs in a network namespace of its own (unshare -n, needs root): nginx, a delaying relay
# (bench/delay_relay.py: 25 ms each way and one round trip per new connection, as the kernel here
# has no netem) and the clients all on that namespace's loopback.
#
# Settings (environment):
#   BENCH_GIB=1            size of the generated game tree in GiB (fractions allowed)
#   BENCH_RUNS=5           runs per contender in 1 and 3
#   BENCH_EXTRACT_RUNS=3   runs per contender in 2 and 4
#   BENCH_LINK_FILES=2000, BENCH_LINK_RUNS=3, BENCH_LINK_DELAY_MS=25   row 5
#   BENCH_TINY_FILES=100000, BENCH_TINY_RUNS=3   the launcher run of 6
#   BENCH_TINY_PACKAGE_LIMIT=4000000   package limit for 6 (keeps packages below 65535 entries)
#   BENCH_DIR=/tmp         where the scratch folder goes (must hold about 5x BENCH_GIB)
#   BENCH_BUILD=build/bench-linux   build folder; BENCH_NO_BUILD=1 uses it as it is
#   BENCH_ONLY="1 2 ..."   runs only the listed rows (data is made as they need it)
#   BENCH_MICRO=1          also runs the Google Benchmark micro benchmarks (velka-bench-crc)
#   BENCH_KEEP=1           keeps the scratch folder
set -euo pipefail
ROOT="$(cd "$(dirname "$0")/.." && pwd)"

BENCH_GIB="${BENCH_GIB:-1}"
BENCH_RUNS="${BENCH_RUNS:-5}"
BENCH_EXTRACT_RUNS="${BENCH_EXTRACT_RUNS:-3}"
BENCH_LINK_FILES="${BENCH_LINK_FILES:-2000}"
BENCH_LINK_RUNS="${BENCH_LINK_RUNS:-3}"
BENCH_LINK_DELAY_MS="${BENCH_LINK_DELAY_MS:-25}"
BENCH_TINY_FILES="${BENCH_TINY_FILES:-100000}"
BENCH_TINY_RUNS="${BENCH_TINY_RUNS:-3}"
BENCH_TINY_PACKAGE_LIMIT="${BENCH_TINY_PACKAGE_LIMIT:-4000000}"
BENCH_DIR="${BENCH_DIR:-/tmp}"
BENCH_ONLY="${BENCH_ONLY:-1 2 3 4 5 6}"
BUILD="${BENCH_BUILD:-$ROOT/build/bench-linux}"

say() { printf '\n== [%3ds] %s\n' "$SECONDS" "$*" >&2; }
die() { printf 'bench: %s\n' "$*" >&2; exit 1; }
wanted() { [[ " $BENCH_ONLY " == *" $1 "* ]]; }
load() { cut -d' ' -f1 /proc/loadavg; }

# --- measuring ------------------------------------------------------------------------------
# timed NAME CMD...: one run, appending "wall user sys maxrss_kib" to $T/NAME; its output goes to
# $T/NAME.out. A failing run stops the benchmark.
timed() {
  local name="$1"
  shift
  if ! /usr/bin/time -f '%e %U %S %M' -a -o "$T/$name" "$@" > "$T/$name.out" 2>&1; then
    cat "$T/$name.out" >&2
    die "run of $name failed: $*"
  fi
}
# stats NAME COLUMN: "min median" of a column (1 wall, 5 user+sys, 4 max RSS KiB).
stats() {
  awk -v c="$2" '{ print (c == 5 ? $2 + $3 : $c) }' "$T/$1" | sort -g |
    awk '{ v[NR] = $1 } END { m = NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2;
                            printf "%s %s", v[1], m }'
}

# nginx_start DIR PORT: nginx serving DIR on 127.0.0.1:PORT with keep-alive, as a background job
# (pid in NGINX_PID). As root its worker would run as nobody and could not read the scratch folder.
nginx_start() {
  local conf="$SCRATCH/nginx-$2"
  mkdir -p "$conf"
  cat > "$conf/nginx.conf" << CONF
daemon off;
master_process off;
user root;
worker_processes 1;
error_log stderr warn;
pid $conf/nginx.pid;
events { worker_connections 256; }
http {
  access_log off;
  sendfile on;
  keepalive_timeout 60s;
  keepalive_requests 100000;
  client_body_temp_path $conf;
  proxy_temp_path $conf;
  fastcgi_temp_path $conf;
  uwsgi_temp_path $conf;
  scgi_temp_path $conf;
  types { application/octet-stream bin zip; text/plain txt; }
  server { listen 127.0.0.1:$2; root $1; }
}
CONF
  nginx -p "$conf" -c "$conf/nginx.conf" -e stderr 2> "$conf/stderr" &
  NGINX_PID=$!
  for _ in $(seq 100); do
    curl -s -o /dev/null "http://127.0.0.1:$2/" && return 0
    sleep 0.05
  done
  cat "$conf/stderr" >&2
  die "nginx did not start on port $2"
}

# --- row 5, inside its own network namespace -------------------------------------------------
if [ "${1:-}" = --delayed-link ]; then
  # Run by this script under unshare -n, with SCRATCH, T, BIN, WWW and the settings exported.
  ip link set lo up
  nginx_start "$WWW" 8080
  python3 "$ROOT/bench/delay_relay.py" 8081 8080 "$BENCH_LINK_DELAY_MS" > "$SCRATCH/relay.ready" \
    2> "$SCRATCH/relay.err" &
  RELAY_PID=$!
  trap 'kill $RELAY_PID $NGINX_PID 2> /dev/null || true' EXIT
  for _ in $(seq 100); do [ -s "$SCRATCH/relay.ready" ] && break; sleep 0.05; done
  [ -s "$SCRATCH/relay.ready" ] || die "the relay did not start"
  BASE="http://127.0.0.1:8081/link/files/"
  LIST="$WWW/link/lists/filelist.txt"
  # curl's configuration: one url/output pair per file of the list.
  awk -F'[=$]' -v base="$BASE" -v out="$SCRATCH/link-curl" '{ p = $2; gsub(/\\/, "/", p);
       printf "url = \"%s%s\"\noutput = \"%s/%s\"\n", base, p, out, p }' "$LIST" > "$SCRATCH/link.curl"
  for run in $(seq "$BENCH_LINK_RUNS"); do
    rm -rf "$SCRATCH/link-ours" "$SCRATCH/link-curl"
    timed link_ours "$BIN/velka-bench-fileset" "$BASE" "$LIST" "$SCRATCH/link-ours"
    timed link_curl curl -sS --fail --create-dirs --parallel --parallel-max 2 -K "$SCRATCH/link.curl"
    if [ "$run" = 1 ]; then
      diff -rq "$SCRATCH/link-ours" "$SCRATCH/link-curl" > /dev/null || die "the two file sets differ"
    fi
  done
  rm -rf "$SCRATCH/link-ours" "$SCRATCH/link-curl"
  exit 0
fi

# --- tools ---------------------------------------------------------------------------------
need=()
command -v 7z > /dev/null || need+=(p7zip-full)
command -v bsdtar > /dev/null || need+=(libarchive-tools)
command -v curl > /dev/null || need+=(curl)
command -v nginx > /dev/null || need+=(nginx-light)
[ -x /usr/bin/time ] || need+=(time)
if ((${#need[@]})); then
  say "installing ${need[*]}"
  SUDO=""
  [ "$(id -u)" = 0 ] || SUDO=sudo
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${need[@]}" > /dev/null
fi

if [ -z "${BENCH_NO_BUILD:-}" ]; then
  say "building in $BUILD"
  cmake -S "$ROOT" -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release -DVELKA_BENCH=ON > /dev/null
  cmake --build "$BUILD" -j2 --target velka-bench-make-tree velka-bench-check velka-bench-extract \
    velka-bench-download velka-bench-fileset velka-bench-crc velka-publish velka-launcher > /dev/null
fi
BIN="$BUILD/bench"
PUBLISH="$BUILD/src/publish/velka-publish"
LAUNCHER="$BUILD/src/app/velka-launcher"
for tool in "$BIN/velka-bench-make-tree" "$BIN/velka-bench-check" "$BIN/velka-bench-extract" \
  "$BIN/velka-bench-download" "$BIN/velka-bench-fileset" "$PUBLISH" "$LAUNCHER"; do
  [ -x "$tool" ] || die "missing $tool (build first, or unset BENCH_NO_BUILD)"
done

BYTES="$(awk -v g="$BENCH_GIB" 'BEGIN { printf "%.0f", g * 1073741824 }')"
need_kib="$(awk -v g="$BENCH_GIB" 'BEGIN { printf "%.0f", (g * 5 + 1.5) * 1048576 }')"
free_kib="$(df -Pk "$BENCH_DIR" | awk 'NR == 2 { print $4 }')"
((free_kib > need_kib)) || die "$BENCH_DIR has $((free_kib / 1024)) MiB free, needs $((need_kib / 1024)) MiB"

LOAD_START="$(cut -d' ' -f1-3 /proc/loadavg)"
SCRATCH="$(mktemp -d "$BENCH_DIR/velka-bench.XXXXXX")"
NGINX_PID=""
cleanup() {
  if [ -n "$NGINX_PID" ]; then kill "$NGINX_PID" 2> /dev/null || true; fi
  if [ -z "${BENCH_KEEP:-}" ]; then rm -rf "$SCRATCH"; else echo "kept $SCRATCH" >&2; fi
}
trap cleanup EXIT
WWW="$SCRATCH/www"
T="$SCRATCH/times"
mkdir -p "$WWW" "$T"

TABLE="$SCRATCH/table"
: > "$TABLE"
row() { printf '%s\n' "$*" >> "$TABLE"; }
HEAD='| Run                                          | wall min | wall med | CPU min | CPU med |'
RULE='|----------------------------------------------|---------:|---------:|--------:|--------:|'
heading() {
  row ""
  row "$1 (seconds; load $ROW_LOAD at the start, $(load) at the end)"
  row "$HEAD"
  row "$RULE"
}
# time_row LABEL NAME: wall and CPU min/median in seconds.
time_row() {
  read -r wmin wmed <<< "$(stats "$2" 1)"
  read -r cmin cmed <<< "$(stats "$2" 5)"
  row "$(printf '| %-44s | %7.3f | %7.3f | %7.3f | %7.3f |' "$1" "$wmin" "$wmed" "$cmin" "$cmed")"
}
# ratio A B: A/B of the min wall times and of the median wall times.
ratio() {
  read -r amin amed <<< "$(stats "$1" 1)"
  read -r bmin bmed <<< "$(stats "$2" 1)"
  awk -v a="$amin" -v b="$bmin" -v c="$amed" -v d="$bmed" 'BEGIN { printf "%.2f %.2f", a / b, c / d }'
}
verdict() { awk -v v="$1" -v g="$3" "BEGIN { print (v $2 g) ? \"met\" : \"MISSED\" }"; }
# time_goal A B GOAL TEXT: A's time over B's; the median decides.
time_goal() {
  read -r rmin rmed <<< "$(ratio "$1" "$2")"
  row "$4: time ratio ${rmin}x best, ${rmed}x median; goal <= $3x: $(verdict "$rmed" '<=' "$3")"
}
# speed_goal A B GOAL TEXT: A's throughput over B's (B's time over A's); the median decides.
speed_goal() {
  read -r rmin rmed <<< "$(ratio "$2" "$1")"
  row "$4: throughput ratio ${rmin}x best, ${rmed}x median; goal >= $3x: $(verdict "$rmed" '>=' "$3")"
}

# publish GAME NAME [OPTIONS...]: a mirror of GAME in $WWW/NAME, served at $BASE_URL/NAME/.
publish() {
  local game="$1" name="$2"
  shift 2
  "$PUBLISH" --game "$game" --out "$WWW/$name" --mirror "$BASE_URL/$name/" --increment-version 1.0.0 \
    --zip-version 1.0.0 --launcher-version 1.0.0 "$@" > "$T/publish.out" 2>&1 ||
    { cat "$T/publish.out" >&2; die "velka-publish failed"; }
  grep -v 'warning: ' "$T/publish.out" >&2 || true
}
# fresh_install NAME: $SCRATCH/install holding only the launcher and NAME's launcher configuration.
fresh_install() {
  INSTALL="$SCRATCH/install"
  rm -rf "$INSTALL"
  mkdir -p "$INSTALL/Config"
  cp "$LAUNCHER" "$INSTALL/"
  cp "$WWW/$1/Launcher/launcherconfig.txt" "$INSTALL/Config/"
}

# --- data -----------------------------------------------------------------------------------
# nginx serves every mirror: the fresh install (4) meets it as it would a CDN.
PORT=18080
while curl -s -o /dev/null "http://127.0.0.1:$PORT/" 2> /dev/null; do PORT=$((PORT + 1)); done
nginx_start "$WWW" "$PORT"
BASE_URL="http://127.0.0.1:$PORT"
GAME="$SCRATCH/game/velka_win"

if wanted 1 || wanted 2 || wanted 4; then
  say "generating a ${BENCH_GIB} GiB game tree"
  "$BIN/velka-bench-make-tree" mixed "$SCRATCH/game" "$BYTES" >&2
  FILES="$(find "$GAME" -type f | wc -l)"
  say "publishing it in two packages (deflate; this takes a while)"
  publish "$SCRATCH/game" mixed --package-limit "$((BYTES * 6 / 10))"
  rm -rf "$WWW/mixed/files" # the individual files are not needed here; saves the disk
  PACKAGES="$(find "$WWW/mixed/zip" -name '*.zip' | wc -l)"
  PACKAGE_BYTES="$(cat "$WWW/mixed/zip/"*.zip | wc -c)"
fi

# --- 1. local check -------------------------------------------------------------------------
if wanted 1; then
  say "1. local check of $FILES files, page-cached"
  ROW_LOAD="$(load)"
  LIST="$WWW/mixed/lists/filelist.txt"
  find "$GAME" -type f -print0 | sort -z > "$SCRATCH/files0"
  xargs -0 cat < "$SCRATCH/files0" > /dev/null
  for _ in $(seq "$BENCH_RUNS"); do
    timed check "$BIN/velka-bench-check" "$GAME" "$LIST"
    timed cat sh -c 'xargs -0 cat < "$1" > /dev/null' sh "$SCRATCH/files0"
    timed 7z 7z h -scrcCRC32 "$GAME"
    timed floor "$BIN/velka-bench-check" --floor "$GAME" "$LIST"
  done
  grep -q "^Files: $FILES\$" "$T/7z.out" || die "7z did not hash all $FILES files"
  heading "1. Local check: $FILES files, $BYTES bytes, page-cached"
  time_row "velka CheckLocalFiles (velka-bench-check)" check
  time_row "cat of the same files (the read ceiling)" cat
  time_row "7z h -scrcCRC32" 7z
  time_row "one thread: open/read/ISA-L CRC (--floor)" floor
  speed_goal check cat 0.6 "ours / cat"
  time_goal check 7z 0.3 "ours / 7z h"
fi

# --- 2. extraction --------------------------------------------------------------------------
if wanted 2; then
  say "2. extraction of $PACKAGES packages ($PACKAGE_BYTES bytes) into an empty folder"
  ROW_LOAD="$(load)"
  EXB="$SCRATCH/extract"
  mkdir -p "$EXB/Temp"
  ln -s "$WWW/mixed/zip" "$EXB/Temp/ZipUpdate"
  cat "$WWW/mixed/zip/"*.zip > /dev/null
  for run in $(seq "$BENCH_EXTRACT_RUNS"); do
    rm -rf "$EXB/Package" "$SCRATCH/bsdtar"
    mkdir "$SCRATCH/bsdtar"
    sync
    timed extract "$BIN/velka-bench-extract" "$EXB" "$WWW/mixed/lists/ziplist.txt"
    if [ "$run" = 1 ]; then
      diff -rq "$EXB/Package/velka_win" "$GAME" > /dev/null || die "the extraction differs from the game"
    fi
    rm -rf "$EXB/Package"
    sync
    timed bsdtar sh -c 'for z in "$1"/*.zip; do bsdtar -xf "$z" -C "$2" || exit 1; done' sh \
      "$WWW/mixed/zip" "$SCRATCH/bsdtar"
    sync
    timed minizip "$BIN/velka-bench-extract" --minizip "$EXB" "$WWW/mixed/lists/ziplist.txt"
    if [ "$run" = 1 ]; then
      diff -rq "$EXB/Package" "$SCRATCH/bsdtar" > /dev/null || die "minizip and bsdtar differ"
    fi
  done
  rm -rf "$EXB/Package" "$SCRATCH/bsdtar"
  heading "2. Extraction: $PACKAGES packages, $PACKAGE_BYTES -> $BYTES bytes"
  time_row "velka ExtractPackages (velka-bench-extract)" extract
  time_row "bsdtar -xf, each package" bsdtar
  time_row "minizip loop, one package at a time" minizip
  time_goal extract bsdtar 0.5 "ours / bsdtar"
  read -r rmin rmed <<< "$(ratio extract minizip)"
  row "ours / minizip loop: time ratio ${rmin}x best, ${rmed}x median"
fi

# --- 3. download ----------------------------------------------------------------------------
if wanted 3; then
  say "3. download of one ${BENCH_GIB} GiB file from $BASE_URL"
  ROW_LOAD="$(load)"
  "$BIN/velka-bench-make-tree" single "$WWW/big.bin" "$BYTES"
  cat "$WWW/big.bin" > /dev/null
  mkdir -p "$SCRATCH/dl"
  for run in $(seq "$BENCH_RUNS"); do
    rm -f "$SCRATCH/dl/ours" "$SCRATCH/dl/curl"
    sync
    timed download "$BIN/velka-bench-download" "$BASE_URL/big.bin" "$SCRATCH/dl/ours" "$BYTES"
    if [ "$run" = 1 ]; then
      cmp -s "$SCRATCH/dl/ours" "$WWW/big.bin" || die "the download differs from the file"
    fi
    rm -f "$SCRATCH/dl/ours"
    sync
    timed signed "$BIN/velka-bench-download" "$BASE_URL/big.bin" "$SCRATCH/dl/ours" "$BYTES" --sha256
    if [ "$run" = 1 ]; then
      [ "$(sed -n 's/^sha256 //p' "$T/signed.out")" = "$(sha256sum < "$WWW/big.bin" | cut -d' ' -f1)" ] ||
        die "the SHA-256 hashed while downloading is not the file's"
    fi
    rm -f "$SCRATCH/dl/ours"
    sync
    timed curl curl -sS --fail -o "$SCRATCH/dl/curl" "$BASE_URL/big.bin"
    if [ "$run" = 1 ]; then
      cmp -s "$SCRATCH/dl/curl" "$WWW/big.bin" || die "curl's download differs from the file"
    fi
  done
  rm -rf "$SCRATCH/dl" "$WWW/big.bin"
  heading "3. Download: $BYTES bytes from nginx on 127.0.0.1"
  time_row "velka DownloadToFile (velka-bench-download)" download
  time_row "velka DownloadToFile hashing SHA-256 (signed)" signed
  time_row "curl -o" curl
  speed_goal download curl 1.0 "ours / curl"
  speed_goal signed download 0.85 "signed / unsigned"
fi

# --- 4. fresh install -----------------------------------------------------------------------
if wanted 4; then
  say "4. fresh install of the ${BENCH_GIB} GiB game ($PACKAGES packages) from nginx"
  ROW_LOAD="$(load)"
  REF="$SCRATCH/reference"
  # The same work by hand: the packages fetched two at once, unpacked, the tree hashed.
  printf '%s\n' 'set -e' 'www="$1" base="$2" ref="$3"' 'mkdir -p "$ref/zip" "$ref/tree"' \
    'args=()' \
    'for z in "$www"/mixed/zip/*.zip; do args+=(-o "$ref/zip/${z##*/}" "$base/mixed/zip/${z##*/}"); done' \
    'curl -sS --fail --parallel --parallel-max 2 "${args[@]}"' \
    'for z in "$ref"/zip/*.zip; do bsdtar -xf "$z" -C "$ref/tree"; done' \
    '7z h -scrcCRC32 "$ref/tree" > /dev/null' > "$SCRATCH/reference.sh"
  for run in $(seq "$BENCH_EXTRACT_RUNS"); do
    fresh_install mixed
    sync
    timed install "$INSTALL/velka-launcher" --no-start
    if [ "$run" = 1 ]; then
      diff -rq "$INSTALL/Game/velka_win" "$GAME" > /dev/null || die "the installed game differs"
    fi
    rm -rf "$INSTALL" "$REF"
    sync
    timed reference bash "$SCRATCH/reference.sh" "$WWW" "$BASE_URL" "$REF"
    rm -rf "$REF"
  done
  heading "4. Fresh install: $PACKAGES packages, $PACKAGE_BYTES bytes, nginx"
  time_row "velka-launcher --no-start" install
  time_row "curl x2 parallel, bsdtar -xf each, 7z h" reference
  time_goal install reference 0.5 "ours / by hand"
fi

# --- 5. many small files over a delayed link ------------------------------------------------
if wanted 5; then
  say "5. $BENCH_LINK_FILES files of 4 KiB behind a ${BENCH_LINK_DELAY_MS} ms link"
  ROW_LOAD="$(load)"
  "$BIN/velka-bench-make-tree" uniform "$SCRATCH/link" "$BENCH_LINK_FILES" >&2
  publish "$SCRATCH/link" link
  export SCRATCH T BIN WWW BENCH_LINK_RUNS BENCH_LINK_DELAY_MS
  unshare -n "$0" --delayed-link || die "the delayed-link row failed"
  heading "5. $BENCH_LINK_FILES files of 4 KiB, ${BENCH_LINK_DELAY_MS} ms each way, nginx keep-alive"
  time_row "velka DownloadFileSet (velka-bench-fileset)" link_ours
  time_row "curl --parallel --parallel-max 2 -K" link_curl
  speed_goal link_ours link_curl 0.9 "ours / curl, files per second"
fi

# --- 6. whole launcher run, peak memory -----------------------------------------------------
if wanted 6; then
  say "6. velka-launcher: fresh install of a game of $BENCH_TINY_FILES files"
  ROW_LOAD="$(load)"
  "$BIN/velka-bench-make-tree" tiny "$SCRATCH/tiny" "$BENCH_TINY_FILES" >&2
  publish "$SCRATCH/tiny" tiny --package-limit "$BENCH_TINY_PACKAGE_LIMIT"
  TINY_PACKAGES="$(find "$WWW/tiny/zip" -name '*.zip' | wc -l)"
  INCREMENTAL=0
  for _ in $(seq "$BENCH_TINY_RUNS"); do
    fresh_install tiny
    sync
    timed launcher "$INSTALL/velka-launcher" --no-start
    got="$(find "$INSTALL/Game/velka_win" -type f | wc -l)"
    [ "$got" = "$BENCH_TINY_FILES" ] || die "the launcher installed $got of $BENCH_TINY_FILES files"
    if grep -q 'Increment update process' "$INSTALL/Log/"*.txt; then INCREMENTAL=1; fi
  done
  rm -rf "$SCRATCH/install"
  heading "6. velka-launcher --no-start, fresh install, $BENCH_TINY_FILES files in $TINY_PACKAGES packages"
  time_row "velka-launcher --no-start" launcher
  read -r mmin mmed <<< "$(stats launcher 4)"
  mmax="$(awk '{ print $4 }' "$T/launcher" | sort -g | tail -n 1)"
  row "$(awk -v a="$mmin" -v b="$mmed" -v c="$mmax" \
    'BEGIN { printf "peak RSS %.1f / %.1f / %.1f MiB (min / median / max)", a / 1024, b / 1024, c / 1024 }'); goal < 32 MiB: $(verdict "$mmax" '<' 32768)"
  if [ "$INCREMENTAL" = 1 ]; then
    row "note: the launcher fell back to individual file downloads after unpacking the packages"
  fi
fi

# --- micro benchmarks (optional) ------------------------------------------------------------
if [ -n "${BENCH_MICRO:-}" ]; then
  say "micro benchmarks (Google Benchmark)"
  TMPDIR="$SCRATCH" "$BIN/velka-bench-crc" --benchmark_repetitions=3 \
    --benchmark_report_aggregates_only=true >&2
fi

row ""
row "Machine: $(nproc) CPUs; load average $LOAD_START at the start, $(cut -d' ' -f1-3 /proc/loadavg) at the end (others' work counts in wall times); scratch on $(df -P "$BENCH_DIR" | awk 'NR == 2 { print $1 }')"

say "done"
cat "$TABLE"
