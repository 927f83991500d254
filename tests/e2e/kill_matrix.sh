#!/usr/bin/env bash
# The console launcher killed by strace's fault injection (SIGKILL on the K-th call of one
# file-changing system call) during a fresh install, a full update and an incremental update.
# After each kill Game is absent, the old or the new tree (during the in-place incremental copy
# a mix is allowed); one restart exits 0 and leaves exactly the new tree, record and launcher
# configuration, and no Temp or Package.
#   kill_matrix.sh LAUNCHER PUBLISH [all | UPDATE:CALL:K ...]
# By default 5 kill points spread over each call's count; "all" tries every K. strace counts K
# per thread: the K-th call of the first thread to make K of them is hit.
set -euo pipefail
SCENARIO=kill_matrix LAUNCHER="$1" PUBLISH=("$2")
shift 2
source "$(dirname "$0")/e2e_lib.sh"
command -v strace > /dev/null || fail "strace is not installed (scripts/setup installs it)"
CALLS=(openat write rename renameat2 unlink unlinkat mkdir rmdir)
SRV="$WORK/srv" PACKAGE_LIMIT=150000 # two packages, two download workers

make_game "$WORK/v1" 1 200000
make_game "$WORK/v2" 2 200000 # files changed, added and removed, a folder gone
rm -r "$WORK/v2/velka_win/data/maps"
printf 'new in two\n' > "$WORK/v2/velka_win/bin/added.txt"
cp -a "$WORK/v1" "$WORK/inc" # one file changed, one added in a new folder
printf 'shader v1.0.1\n' > "$WORK/inc/velka_win/bin/shaders.dat"
mkdir -p "$WORK/inc/velka_win/data/notes"
printf 'patch notes\n' > "$WORK/inc/velka_win/data/notes/patch notes.txt"
declare -A OLD=([fresh]="" [full]="$WORK/v1" [incremental]="$WORK/v1") COUNT=()
declare -A NEW=([fresh]="$WORK/v2" [full]="$WORK/v2" [incremental]="$WORK/inc")
declare -A RECORD=([fresh]="2.0.0 2.0.0" [full]="2.0.0 2.0.0" [incremental]="1.0.1 1.0.0")
serve "$SRV"

# The install before the update ($WORK/template: version 1 installed by the launcher itself, or
# only the launcher), the new version published; then an undisturbed run under strace gives the
# files below the install it changes ($WORK/paths) and per call the busiest thread's count.
prepare() {
  MIRROR_URL="http://127.0.0.1:$PORT/$1/"
  if [ -n "${OLD[$1]}" ]; then
    publish "${OLD[$1]}" "$SRV/$1" 1.0.0 1.0.0
    make_install "$SRV/$1" "$WORK/template"
    run_launcher --no-start
    expect_run 0 "${OLD[$1]}" 1.0.0 1.0.0
  fi
  publish "${NEW[$1]}" "$SRV/$1" ${RECORD[$1]} --replace
  make_install "$SRV/$1" "$WORK/template"
  rm -rf "$WORK/template/Log"
  fresh_copy
  (cd / && strace -f -q -y -s 4096 -o "$WORK/calibrate.trace" -e trace="$(IFS=,; echo "${CALLS[*]}")" \
    "$INSTALL/velka-launcher" --no-start) > "$WORK/run.out" 2> "$WORK/run.err" || fail "undisturbed $1 update failed"
  RC=0 && expect_run 0 "${NEW[$1]}" ${RECORD[$1]}
  local pair
  for pair in $(python3 - "$WORK/calibrate.trace" "$INSTALL/" "$WORK/paths" "${CALLS[@]}" << 'PY'
import collections, re, sys
trace, root, paths_out, calls = sys.argv[1], sys.argv[2], sys.argv[3], sys.argv[4:]
named = re.compile(r'"(%s[^"]*)"|<(%s[^>]*)>' % (re.escape(root), re.escape(root)))
paths, counts = set(), collections.defaultdict(collections.Counter)
for line in open(trace, encoding="utf-8", errors="replace"):
    m, found = re.match(r'^(\d+)\s+(\w+)\(', line), [a or b for a, b in named.findall(line)]
    if m and found:
        counts[m.group(2)][m.group(1)] += 1
        paths.update(found)
open(paths_out, "w").write("".join(p + "\n" for p in sorted(paths)))
print(" ".join("%s=%d" % (c, max(counts[c].values(), default=0)) for c in calls))
PY
  ); do COUNT[$1:${pair%%=*}]="${pair#*=}"; done
  echo "== $1: $(for c in "${CALLS[@]}"; do printf '%s=%s ' "$c" "${COUNT[$1:$c]}"; done)"
}
fresh_copy() { INSTALL="$WORK/run" && rm -rf "$INSTALL" && cp -a "$WORK/template" "$INSTALL"; }

points() {  # UPDATE CALL: the K values to try
  local n="${COUNT[$1:$2]}" i
  if [ "${MODE:-}" = all ] || [ "$n" -le 5 ]; then seq 1 "$n"; else
    for i in 0 1 2 3 4; do echo $((1 + i * (n - 1) / 4)); done | uniq
  fi
}

FAILED=()
try() {  # UPDATE CALL K
  fresh_copy
  local only=() path rc hit
  while IFS= read -r path; do only+=(-P "$path"); done < "$WORK/paths"
  rc="$( (cd / && strace -f -q -y -s 48 -o "$WORK/kill.trace" -e trace="$2" "${only[@]}" \
    -e inject="$2:signal=SIGKILL:when=$3" "$INSTALL/velka-launcher" --no-start \
    > "$WORK/run.out" 2> "$WORK/run.err"; echo $?) 2> /dev/null)"
  hit="$(awk -v k="$3" -v call="$2" '$2 ~ "^" call "\\(" && ++n[$1] == k { print; exit }' "$WORK/kill.trace")"
  if [ "$rc" != 137 ] || ! grep -q 'killed by SIGKILL' "$WORK/kill.trace"; then
    echo "  $1:$2:$3  not reached (exit $rc)"
    return 0
  fi
  # A subshell, so a failing check reports and the matrix goes on.
  if ! (
    if [ "$1" != incremental ] && [ -e "$INSTALL/Game" ]; then
      { [ -n "${OLD[$1]}" ] && same_tree "${OLD[$1]}" "$INSTALL/Game"; } || same_tree "${NEW[$1]}" "$INSTALL/Game" ||
        fail "Game is a mix of trees after the kill: $(head -n 3 "$WORK/diff.out")"
    fi
    run_launcher --no-start
    expect_run 0 "${NEW[$1]}" ${RECORD[$1]}
    cmp -s "$SRV/$1/Launcher/launcherconfig.txt" "$INSTALL/Config/launcherconfig.txt" || fail "launcher configuration differs"
    [ ! -e "$INSTALL/Temp" ] && [ ! -e "$INSTALL/Package" ] || fail "Temp or Package left behind"
  ) > "$WORK/check.log" 2>&1; then
    FAILED+=("$1:$2:$3  [$hit]  $(grep -m 1 '^FAIL' "$WORK/check.log")")
    echo "  $1:$2:$3  FAIL  $hit"
    cat "$WORK/check.log"
  else
    echo "  $1:$2:$3  ok  $hit"
  fi
}

[ "${1:-}" = all ] && MODE=all && shift
for update in fresh full incremental; do
  [ $# = 0 ] || printf '%s\n' "$@" | grep -q "^$update:" || continue
  prepare "$update"
  if [ $# = 0 ]; then
    for call in "${CALLS[@]}"; do for k in $(points "$update" "$call"); do try "$update" "$call" "$k"; done; done
  else
    for point in "$@"; do [ "${point%%:*}" = "$update" ] && IFS=: read -r u c k <<< "$point" && try "$u" "$c" "$k"; done
  fi
done
((${#FAILED[@]} == 0)) || { printf 'Failed (repeat with: %s LAUNCHER PUBLISH UPDATE:CALL:K):\n' "$0" >&2; printf '  %s\n' "${FAILED[@]}" >&2; exit 1; }
echo "PASS [$SCENARIO]"
