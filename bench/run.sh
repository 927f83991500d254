#!/usr/bin/env bash
# The engine against general tools on this machine, side by side in one run:
#   1. local file check (CheckLocalFiles)  vs  7z h -scrcCRC32           goal: time <= 0.7x
#   2. package extraction (ExtractPackages) vs  bsdtar -xf                goal: time <= 1.0x
#   3. one download (DownloadToFile)        vs  curl -o, same local server goal: speed >= 0.9x
#   4. peak memory of a whole velka-launcher install of a 100,000-file game  goal: < 64 MiB
#
# Generates its data in a scratch folder, runs every measurement several times (alternating the
# contenders, so that load from elsewhere hits both alike), prints min and median of wall and CPU
# time with the ratios, and removes the scratch folder. Every run is checked: a driver exits
# non-zero on a wrong result and the script stops there.
#
# Settings (environment):
#   BENCH_GIB=1            size of the generated game tree in GiB (fractions allowed)
#   BENCH_RUNS=5           runs per contender in 1 and 3
#   BENCH_EXTRACT_RUNS=3   runs per contender in 2
#   BENCH_TINY_FILES=100000, BENCH_TINY_RUNS=3   the launcher run of 4
#   BENCH_TINY_PACKAGE_LIMIT=4000000   package limit for 4 (keeps packages below 65535 entries)
#   BENCH_DIR=/tmp         where the scratch folder goes (must hold about 5x BENCH_GIB)
#   BENCH_BUILD=build/bench-linux   build folder; BENCH_NO_BUILD=1 uses it as it is
#   BENCH_MICRO=1          also runs the Google Benchmark micro benchmarks (velka-bench-crc)
#   BENCH_KEEP=1           keeps the scratch folder
set -euo pipefail
ROOT="$(cd "$(dirname "$0")/.." && pwd)"

BENCH_GIB="${BENCH_GIB:-1}"
BENCH_RUNS="${BENCH_RUNS:-5}"
BENCH_EXTRACT_RUNS="${BENCH_EXTRACT_RUNS:-3}"
BENCH_TINY_FILES="${BENCH_TINY_FILES:-100000}"
BENCH_TINY_RUNS="${BENCH_TINY_RUNS:-3}"
BENCH_TINY_PACKAGE_LIMIT="${BENCH_TINY_PACKAGE_LIMIT:-4000000}"
BENCH_DIR="${BENCH_DIR:-/tmp}"
BUILD="${BENCH_BUILD:-$ROOT/build/bench-linux}"

say() { printf '\n== [%3ds] %s\n' "$SECONDS" "$*" >&2; }
die() { printf 'bench: %s\n' "$*" >&2; exit 1; }

# --- tools ---------------------------------------------------------------------------------
need=()
command -v 7z > /dev/null || need+=(p7zip-full)
command -v bsdtar > /dev/null || need+=(libarchive-tools)
command -v curl > /dev/null || need+=(curl)
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
  cmake --build "$BUILD" -j2 --target velka-bench-make-tree velka-bench-server velka-bench-check \
    velka-bench-extract velka-bench-download velka-bench-crc velka-publish velka-launcher > /dev/null
fi
BIN="$BUILD/bench"
PUBLISH="$BUILD/src/publish/velka-publish"
LAUNCHER="$BUILD/src/app/velka-launcher"
for tool in "$BIN/velka-bench-make-tree" "$BIN/velka-bench-server" "$BIN/velka-bench-check" \
  "$BIN/velka-bench-extract" "$BIN/velka-bench-download" "$PUBLISH" "$LAUNCHER"; do
  [ -x "$tool" ] || die "missing $tool (build first, or unset BENCH_NO_BUILD)"
done

BYTES="$(awk -v g="$BENCH_GIB" 'BEGIN { printf "%.0f", g * 1073741824 }')"
need_kib="$(awk -v g="$BENCH_GIB" 'BEGIN { printf "%.0f", (g * 5 + 1.5) * 1048576 }')"
free_kib="$(df -Pk "$BENCH_DIR" | awk 'NR == 2 { print $4 }')"
((free_kib > need_kib)) || die "$BENCH_DIR has $((free_kib / 1024)) MiB free, needs $((need_kib / 1024)) MiB"

LOAD_START="$(cut -d' ' -f1-3 /proc/loadavg)"
SCRATCH="$(mktemp -d "$BENCH_DIR/velka-bench.XXXXXX")"
SERVER_PID=""
cleanup() {
  if [ -n "$SERVER_PID" ]; then kill "$SERVER_PID" 2> /dev/null || true; fi
  if [ -z "${BENCH_KEEP:-}" ]; then rm -rf "$SCRATCH"; else echo "kept $SCRATCH" >&2; fi
}
trap cleanup EXIT
WWW="$SCRATCH/www"
T="$SCRATCH/times"
mkdir -p "$WWW" "$T"

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
TABLE="$SCRATCH/table"
: > "$TABLE"
row() { printf '%s\n' "$*" >> "$TABLE"; }
# time_row LABEL NAME: wall and CPU min/median in seconds.
time_row() {
  read -r wmin wmed <<< "$(stats "$2" 1)"
  read -r cmin cmed <<< "$(stats "$2" 5)"
  row "$(printf '| %-44s | %7.3f | %7.3f | %7.3f | %7.3f |' "$1" "$wmin" "$wmed" "$cmin" "$cmed")"
}
# ratio A B: A/B of min wall, median wall, median CPU.
ratio() {
  read -r amin amed <<< "$(stats "$1" 1)"
  read -r bmin bmed <<< "$(stats "$2" 1)"
  read -r _ acpu <<< "$(stats "$1" 5)"
  read -r _ bcpu <<< "$(stats "$2" 5)"
  awk -v a="$amin" -v b="$bmin" -v c="$amed" -v d="$bmed" -v e="$acpu" -v f="$bcpu" \
    'BEGIN { printf "%.2f %.2f %.2f", a / b, c / d, e / f }'
}
verdict() { awk -v v="$1" -v g="$3" "BEGIN { print (v $2 g) ? \"met\" : \"MISSED\" }"; }

# publish GAME NAME [OPTIONS...]: a mirror of GAME in $WWW/NAME, served at $BASE_URL/NAME/.
publish() {
  local game="$1" name="$2"
  shift 2
  "$PUBLISH" --game "$game" --out "$WWW/$name" --mirror "$BASE_URL/$name/" --increment-version 1.0.0 \
    --zip-version 1.0.0 --launcher-version 1.0.0 "$@" > "$T/publish.out" 2>&1 ||
    { cat "$T/publish.out" >&2; die "velka-publish failed"; }
  grep -v 'warning: ' "$T/publish.out" >&2 || true
}

# --- data -----------------------------------------------------------------------------------
say "serving $WWW"
"$BIN/velka-bench-server" "$WWW" > "$SCRATCH/port" &
SERVER_PID=$!
for _ in $(seq 100); do [ -s "$SCRATCH/port" ] && break; sleep 0.05; done
PORT="$(head -n 1 "$SCRATCH/port")"
[ -n "$PORT" ] || die "the server did not start"
BASE_URL="http://127.0.0.1:$PORT"

say "generating a ${BENCH_GIB} GiB game tree"
"$BIN/velka-bench-make-tree" mixed "$SCRATCH/game" "$BYTES" >&2
FILES="$(find "$SCRATCH/game/velka_win" -type f | wc -l)"
say "publishing it (deflate; this takes a while)"
publish "$SCRATCH/game" mixed
rm -rf "$WWW/mixed/files" # the individual files are not needed here; saves the disk
PACKAGES="$(find "$WWW/mixed/zip" -name '*.zip' | wc -l)"
PACKAGE_BYTES="$(cat "$WWW/mixed/zip/"*.zip | wc -c)"

# --- 1. local check -------------------------------------------------------------------------
say "1. local check of $FILES files, page-cached"
GAME="$SCRATCH/game/velka_win"
LIST="$WWW/mixed/lists/filelist.txt"
find "$GAME" -type f -exec cat {} + > /dev/null
for _ in $(seq "$BENCH_RUNS"); do
  timed check "$BIN/velka-bench-check" "$GAME" "$LIST"
  timed floor "$BIN/velka-bench-check" --floor "$GAME" "$LIST"
  timed 7z 7z h -scrcCRC32 "$GAME"
done
grep -q "^Files: $FILES\$" "$T/7z.out" || die "7z did not hash all $FILES files"

# --- 2. extraction --------------------------------------------------------------------------
say "2. extraction of $PACKAGES packages ($PACKAGE_BYTES bytes) into an empty folder"
EXB="$SCRATCH/extract"
mkdir -p "$EXB/Temp"
ln -s "$WWW/mixed/zip" "$EXB/Temp/ZipUpdate"
cat "$WWW/mixed/zip/"*.zip > /dev/null
for run in $(seq "$BENCH_EXTRACT_RUNS"); do
  rm -rf "$EXB/Package" "$SCRATCH/bsdtar"
  mkdir "$SCRATCH/bsdtar"
  sync
  timed extract "$BIN/velka-bench-extract" "$EXB" "$WWW/mixed/lists/ziplist.txt"
  sync
  timed bsdtar sh -c 'for z in "$1"/*.zip; do bsdtar -xf "$z" -C "$2" || exit 1; done' sh \
    "$WWW/mixed/zip" "$SCRATCH/bsdtar"
  if [ "$run" = 1 ]; then
    diff -rq "$EXB/Package" "$SCRATCH/bsdtar" > /dev/null || die "the two extractions differ"
    diff -rq "$EXB/Package/velka_win" "$GAME" > /dev/null || die "the extraction differs from the game"
  fi
done
rm -rf "$EXB/Package" "$SCRATCH/bsdtar"

# --- 3. download ----------------------------------------------------------------------------
say "3. download of one ${BENCH_GIB} GiB file from $BASE_URL"
"$BIN/velka-bench-make-tree" single "$WWW/big.bin" "$BYTES"
cat "$WWW/big.bin" > /dev/null
mkdir -p "$SCRATCH/dl"
for run in $(seq "$BENCH_RUNS"); do
  rm -f "$SCRATCH/dl/ours" "$SCRATCH/dl/curl"
  sync
  timed download "$BIN/velka-bench-download" "$BASE_URL/big.bin" "$SCRATCH/dl/ours" "$BYTES"
  sync
  timed curl curl -sS --fail -o "$SCRATCH/dl/curl" "$BASE_URL/big.bin"
  if [ "$run" = 1 ]; then
    cmp -s "$SCRATCH/dl/ours" "$WWW/big.bin" || die "the download differs from the file"
    cmp -s "$SCRATCH/dl/curl" "$WWW/big.bin" || die "curl's download differs from the file"
  fi
done
rm -rf "$SCRATCH/dl" "$WWW/big.bin"

# --- 4. whole launcher run, peak memory -----------------------------------------------------
say "4. velka-launcher: fresh install of a game of $BENCH_TINY_FILES files"
"$BIN/velka-bench-make-tree" tiny "$SCRATCH/tiny" "$BENCH_TINY_FILES" >&2
publish "$SCRATCH/tiny" tiny --package-limit "$BENCH_TINY_PACKAGE_LIMIT"
TINY_PACKAGES="$(find "$WWW/tiny/zip" -name '*.zip' | wc -l)"
INCREMENTAL=0
for _ in $(seq "$BENCH_TINY_RUNS"); do
  INSTALL="$SCRATCH/install"
  rm -rf "$INSTALL"
  mkdir -p "$INSTALL/Config"
  cp "$LAUNCHER" "$INSTALL/"
  cp "$WWW/tiny/Launcher/launcherconfig.txt" "$INSTALL/Config/"
  sync
  timed launcher "$INSTALL/velka-launcher" --no-start
  got="$(find "$INSTALL/Game/velka_win" -type f | wc -l)"
  [ "$got" = "$BENCH_TINY_FILES" ] || die "the launcher installed $got of $BENCH_TINY_FILES files"
  if grep -q 'Increment update process' "$INSTALL/Log/"*.txt; then INCREMENTAL=1; fi
done
rm -rf "$SCRATCH/install"

# --- 5. micro benchmarks (optional) ---------------------------------------------------------
if [ -n "${BENCH_MICRO:-}" ]; then
  say "5. micro benchmarks (Google Benchmark)"
  TMPDIR="$SCRATCH" "$BIN/velka-bench-crc" --benchmark_repetitions=3 \
    --benchmark_report_aggregates_only=true >&2
fi

# --- report ---------------------------------------------------------------------------------
HEAD='| Run                                          | wall min | wall med | CPU min | CPU med |'
RULE='|----------------------------------------------|---------:|---------:|--------:|--------:|'
row "1. Local check: $FILES files, $BYTES bytes, page-cached (seconds)"
row "$HEAD"
row "$RULE"
time_row "velka CheckLocalFiles (velka-bench-check)" check
time_row "floor: open/read/zlib crc32 (--floor)" floor
time_row "7z h -scrcCRC32" 7z
read -r r1min r1med r1cpu <<< "$(ratio check 7z)"
row "ours / 7z: wall min ${r1min}x, wall median ${r1med}x, CPU median ${r1cpu}x; goal <= 0.7x: $(verdict "$r1min" '<=' 0.7)"
row ""
row "2. Extraction: $PACKAGES packages, $PACKAGE_BYTES -> $BYTES bytes (seconds)"
row "$HEAD"
row "$RULE"
time_row "velka ExtractPackages (velka-bench-extract)" extract
time_row "bsdtar -xf, each package" bsdtar
read -r r2min r2med r2cpu <<< "$(ratio extract bsdtar)"
row "ours / bsdtar: wall min ${r2min}x, wall median ${r2med}x, CPU median ${r2cpu}x; goal <= 1.0x: $(verdict "$r2min" '<=' 1.0)"
row ""
row "3. Download: $BYTES bytes from a local sendfile server (seconds)"
row "$HEAD"
row "$RULE"
time_row "velka DownloadToFile (velka-bench-download)" download
time_row "curl -o" curl
read -r dmin dmed <<< "$(stats download 1)"
read -r cmin cmed <<< "$(stats curl 1)"
speeds="$(awk -v b="$BYTES" -v a="$dmin" -v c="$dmed" -v d="$cmin" -v e="$cmed" \
  'BEGIN { printf "ours %.0f / %.0f MB/s, curl %.0f / %.0f MB/s (best / median); speed ratio %.2fx best, %.2fx median",
           b / a / 1e6, b / c / 1e6, b / d / 1e6, b / e / 1e6, d / a, e / c }')"
r3="$(awk -v a="$dmin" -v d="$cmin" 'BEGIN { printf "%.2f", d / a }')"
row "$speeds; goal >= 0.9x: $(verdict "$r3" '>=' 0.9)"
row ""
row "4. velka-launcher --no-start, fresh install, $BENCH_TINY_FILES files in $TINY_PACKAGES packages ($BENCH_TINY_RUNS runs)"
read -r mmin mmed <<< "$(stats launcher 4)"
mmax="$(awk '{ print $4 }' "$T/launcher" | sort -g | tail -n 1)"
read -r lmin lmed <<< "$(stats launcher 1)"
row "$(awk -v a="$mmin" -v b="$mmed" -v c="$mmax" -v d="$lmin" -v e="$lmed" \
  'BEGIN { printf "max RSS %.1f / %.1f / %.1f MiB (min / median / max), wall %.1f / %.1f s (min / median)",
           a / 1024, b / 1024, c / 1024, d, e }'); goal < 64 MiB: $(verdict "$mmax" '<' 65536)"
if [ "$INCREMENTAL" = 1 ]; then
  row "note: the launcher fell back to individual file downloads after unpacking the packages"
fi
row ""
row "Machine: $(nproc) CPUs; load average $LOAD_START at the start, $(cut -d' ' -f1-3 /proc/loadavg) at the end (others' work counts in wall times); scratch on $(df -P "$BENCH_DIR" | awk 'NR == 2 { print $1 }')"

say "done"
echo
cat "$TABLE"
