#!/usr/bin/env bash
# The launcher killed by strace at the K-th file-changing call (of the first thread making K) in a
# fresh install, a full and an incremental update: Game is then absent, old or new (a mix only in
# the in-place incremental copy), and one restart leaves exactly the new tree, record and config.
#   kill_matrix.sh LAUNCHER PUBLISH [all | UPDATE:CALL:K ...] (default: 5 K per call)
set -euo pipefail
SCENARIO=kill_matrix LAUNCHER="$1" PUBLISH=("$2")
shift 2
source "$(dirname "$0")/e2e_lib.sh"
command -v strace > /dev/null
CALLS=(openat write rename renameat2 unlink unlinkat mkdir rmdir)
SRV="$WORK/srv" PACKAGE_LIMIT=150000 # two packages, two download workers
make_game "$WORK/v1" 1 200000 && make_game "$WORK/v2" 2 200000 && cp -a "$WORK/v1" "$WORK/inc"
rm -r "$WORK/v2/velka_win/data/maps" # v2: files changed, added and removed, a folder gone
printf 'new in two\n' > "$WORK/v2/velka_win/bin/added.txt"
printf 'shader v1.0.1\n' > "$WORK/inc/velka_win/bin/shaders.dat" # incremental: changed, added in a new folder
mkdir -p "$WORK/inc/velka_win/data/notes" && printf 'notes\n' > "$WORK/inc/velka_win/data/notes/patch notes.txt"
declare -A OLD=([fresh]="" [full]="$WORK/v1" [incremental]="$WORK/v1") COUNT=()
declare -A NEW=([fresh]="$WORK/v2" [full]="$WORK/v2" [incremental]="$WORK/inc")
declare -A RECORD=([fresh]="2.0.0 2.0.0" [full]="2.0.0 2.0.0" [incremental]="1.0.1 1.0.0")
serve "$SRV"
fresh_copy() { INSTALL="$WORK/run" && rm -rf "$INSTALL" && cp -a "$WORK/template" "$INSTALL"; }

# $WORK/template: the install before the update, the new version published; an undisturbed run
# under strace gives the files below it that change ($WORK/paths) and the busiest thread's counts.
prepare() {
  MIRROR_URL="http://127.0.0.1:$PORT/$1/"
  if [ -n "${OLD[$1]}" ]; then
    publish "${OLD[$1]}" "$SRV/$1" 1.0.0 1.0.0 && make_install "$SRV/$1" "$WORK/template"
    runs 0 "${OLD[$1]}" 1.0.0 1.0.0
  fi
  publish "${NEW[$1]}" "$SRV/$1" ${RECORD[$1]} --replace && make_install "$SRV/$1" "$WORK/template"
  rm -rf "$WORK/template/Log" && fresh_copy
  (cd / && strace -f -q -y -s 4096 -o "$WORK/calibrate.trace" -e trace="$(IFS=,; echo "${CALLS[*]}")" \
    "$INSTALL/velka-launcher" --no-start) > "$WORK/run.out" 2> "$WORK/run.err"
  RC=0 expect_run 0 "${NEW[$1]}" ${RECORD[$1]}
  grep -o "[\"<]$INSTALL/[^\">]*" "$WORK/calibrate.trace" | cut -c 2- | sort -u > "$WORK/paths"
  for c in "${CALLS[@]}"; do
    COUNT[$1:$c]="$(grep -F "$INSTALL/" "$WORK/calibrate.trace" | awk -v c="$c" '$2 ~ "^" c "\\(" { n[$1]++ }
      END { for (t in n) if (n[t] > m) m = n[t]; print m + 0 }')"
  done
  echo "== $1: $(for c in "${CALLS[@]}"; do printf '%s=%s ' "$c" "${COUNT[$1:$c]}"; done)"
}

FAILED=()
try() {  # UPDATE CALL K
  fresh_copy
  local only=() path rc hit verdict=ok
  while IFS= read -r path; do only+=(-P "$path"); done < "$WORK/paths"
  rc="$( (cd / && strace -f -q -y -s 48 -o "$WORK/kill.trace" -e trace="$2" "${only[@]}" \
    -e inject="$2:signal=SIGKILL:when=$3" "$INSTALL/velka-launcher" --no-start > "$WORK/run.out" 2>&1) 2> /dev/null && echo 0 || echo $?)"
  hit="$(awk -v k="$3" -v call="$2" '$2 ~ "^" call "\\(" && ++n[$1] == k { print; exit }' "$WORK/kill.trace")"
  [ "$rc" = 137 ] && grep -q 'killed by SIGKILL' "$WORK/kill.trace" || { echo "  $1:$2:$3  not reached (exit $rc)" && return; }
  if ! ( # a subshell: a failing check reports, and the matrix goes on
    if [ "$1" != incremental ] && [ -e "$INSTALL/Game" ]; then
      { [ -n "${OLD[$1]}" ] && same_tree "${OLD[$1]}" "$INSTALL/Game"; } || same_tree "${NEW[$1]}" "$INSTALL/Game" ||
        fail "Game is a mix of trees after the kill: $(head -n 3 "$WORK/diff.out")"
    fi
    runs 0 "${NEW[$1]}" ${RECORD[$1]}
    cmp -s "$SRV/$1/Launcher/launcherconfig.txt" "$INSTALL/Config/launcherconfig.txt" || fail "launcher configuration differs"
  ) > "$WORK/check.log" 2>&1; then
    verdict=FAIL FAILED+=("$1:$2:$3  [$hit]  $(grep -m 1 '^FAIL' "$WORK/check.log")")
    cat "$WORK/check.log"
  fi
  echo "  $1:$2:$3  $verdict  $hit"
}

[ "${1:-}" != all ] || { MODE=all && shift; }
for update in fresh full incremental; do
  [ $# = 0 ] || printf '%s\n' "$@" | grep -q "^$update:" || continue
  prepare "$update"
  for call in "${CALLS[@]}"; do
    n="${COUNT[$update:$call]}"
    for k in $(if [ $# != 0 ]; then printf '%s\n' "$@" | sed -n "s/^$update:$call://p"
    elif [ "${MODE:-}" = all ] || [ "$n" -le 5 ]; then seq 1 "$n"
    else for i in 0 1 2 3 4; do echo $((1 + i * (n - 1) / 4)); done | uniq; fi); do try "$update" "$call" "$k"; done
  done
done
((${#FAILED[@]} == 0)) || fail "$(printf '\n  %s' "${FAILED[@]}")"$'\n'"Repeat one with: $0 LAUNCHER PUBLISH UPDATE:CALL:K"
echo "PASS [$SCENARIO]"
