#!/usr/bin/env bash
# The kill-anywhere matrix: the built velka-launcher, against a mirror served on 127.0.0.1, is
# killed by strace's fault injection (SIGKILL on the K-th call of one file-changing system call)
# during three updates: a fresh full install, a full update from version 1 to version 2, and an
# incremental update. After every kill:
#   - before the restart, during a full update (and a fresh install) Game is the old tree, the
#     new tree or absent, never a mix; during an incremental update the copy goes in place, so a
#     partly copied tree is allowed there;
#   - one restart exits 0 and leaves exactly the published tree (names, bytes, execute bits),
#     the new version record, the published launcher configuration, and no Temp or Package.
#
#   kill_matrix.sh LAUNCHER PUBLISH [sample | all | UPDATE:CALL:K ...]
#
# "sample" (the default, run by ctest) tries a fixed set of kill points spread evenly over each
# call's count; "all" tries every K of every call; UPDATE:CALL:K (e.g. full:rename:3) tries just
# those. strace counts K per thread, so the K-th call is that of the first thread to make K of
# them; the line it hit (call, path, thread) is printed for each point. A failure is reported
# with the command that repeats it, and the run goes on; the script fails at the end.
set -euo pipefail

SCENARIO=kill_matrix
LAUNCHER="$1"
PUBLISH="$2"
shift 2
MODE="${1:-sample}"
source "$(dirname "$0")/e2e_lib.sh"

command -v strace > /dev/null || fail "strace is not installed (scripts/setup installs it)"

CALLS=(openat write rename renameat2 unlink unlinkat mkdir rmdir)
UPDATES=(fresh full incremental)
# Kill points per call and update in the sample: 1, the last, and evenly between.
SAMPLE_POINTS=5

SRV="$WORK/srv"
TEMPLATES="$WORK/templates"
mkdir -p "$SRV" "$TEMPLATES"
# Two packages (two download workers), a few folders, a file with its execute bit.
PACKAGE_LIMIT=150000

GAME_V1="$WORK/game_v1"
make_game "$GAME_V1" 1 200000
# Version 2 as a full update: files changed, added and removed, a folder gone.
GAME_V2="$WORK/game_v2"
make_game "$GAME_V2" 2 200000
rm -r "$GAME_V2/velka_win/data/maps"
printf 'new in two\n' > "$GAME_V2/velka_win/bin/added.txt"
# Version 1.0.1 as an incremental update: one file changed, one added (the incremental path
# removes nothing).
GAME_INC="$WORK/game_inc"
cp -a "$GAME_V1" "$GAME_INC"
printf 'shader v1.0.1\n' > "$GAME_INC/velka_win/bin/shaders.dat"
mkdir -p "$GAME_INC/velka_win/data/notes"
printf 'patch notes\n' > "$GAME_INC/velka_win/data/notes/patch notes.txt"

start_server "$SRV"

# Per update: the old game (empty for none), the new game, and the versions it records.
declare -A OLD_GAME NEW_GAME NEW_RECORD
OLD_GAME=([fresh]="" [full]="$GAME_V1" [incremental]="$GAME_V1")
NEW_GAME=([fresh]="$GAME_V2" [full]="$GAME_V2" [incremental]="$GAME_INC")
NEW_RECORD=([fresh]="2.0.0 2.0.0" [full]="2.0.0 2.0.0" [incremental]="1.0.1 1.0.0")

# An install as the player has it before the update: for fresh nothing but the launcher, else
# version 1 installed by the launcher itself. Then the new version is published.
prepare() {
  local update="$1"
  MIRROR_URL="http://127.0.0.1:$PORT/$update/"
  if [ -n "${OLD_GAME[$update]}" ]; then
    publish "${OLD_GAME[$update]}" "$SRV/$update" 1.0.0 1.0.0
    make_install "$SRV/$update" "$TEMPLATES/$update"
    run_launcher --no-start
    [ "$RC" = 0 ] || fail "installing version 1 for $update exited $RC"
    expect_tree "${OLD_GAME[$update]}"
  fi
  local record=(${NEW_RECORD[$update]})
  publish "${NEW_GAME[$update]}" "$SRV/$update" "${record[0]}" "${record[1]}" --replace
  make_install "$SRV/$update" "$TEMPLATES/$update"
  rm -rf "$TEMPLATES/$update/Log"
}

# An undisturbed update under strace gives, for each call, how many of them the busiest thread
# makes on files below the install folder (COUNT[update:call]), and the list of those files
# ($WORK/paths.<update>). The kill runs restrict strace to these paths (-P), so the count of K
# skips the program's own start-up (shared libraries, the console) and only the update's files
# are hit.
declare -A COUNT
calibrate() {
  local update="$1"
  INSTALL="$WORK/run"
  rm -rf "$INSTALL"
  cp -a "$TEMPLATES/$update" "$INSTALL"
  local calls
  calls="$(IFS=,; echo "${CALLS[*]}")"
  (cd / && strace -f -q -y -s 4096 -o "$WORK/calibrate.trace" -e trace="$calls" \
    "$INSTALL/velka-launcher" --no-start) > "$WORK/run.out" 2> "$WORK/run.err" ||
    fail "undisturbed $update update failed"
  expect_tree "${NEW_GAME[$update]}"
  local counts
  counts="$(python3 - "$WORK/calibrate.trace" "$INSTALL/" "$WORK/paths.$update" "${CALLS[@]}" <<'PY'
import collections, re, sys
trace, root, paths_out, calls = sys.argv[1], sys.argv[2], sys.argv[3], sys.argv[4:]
named = re.compile(r'"(%s[^"]*)"|<(%s[^>]*)>' % (re.escape(root), re.escape(root)))
line_re = re.compile(r'^(\d+)\s+(\w+)\(')
paths, counts = set(), collections.defaultdict(collections.Counter)
for line in open(trace, encoding="utf-8", errors="replace"):
    m = line_re.match(line)
    found = [a or b for a, b in named.findall(line)]
    if m and found:
        counts[m.group(2)][m.group(1)] += 1
        paths.update(found)
open(paths_out, "w").write("".join(p + "\n" for p in sorted(paths)))
print(" ".join("%s=%d" % (c, max(counts[c].values(), default=0)) for c in calls))
PY
)"
  local pair
  for pair in $counts; do COUNT[$update:${pair%%=*}]="${pair#*=}"; done
}

# The kill points of one update and call, as "K" values.
points() {
  local n="${COUNT[$1:$2]}" i
  if [ "$MODE" = all ] || [ "$n" -le "$SAMPLE_POINTS" ]; then
    seq 1 "$n"
    return
  fi
  for ((i = 0; i < SAMPLE_POINTS; i++)); do
    echo $((1 + i * (n - 1) / (SAMPLE_POINTS - 1)))
  done | uniq
}

# Whether Game is absent or one whole tree of the two.
game_is_whole() {
  local old="$1" new="$2"
  [ -e "$INSTALL/Game" ] || return 0
  if [ -n "$old" ] && same_tree "$old" "$INSTALL/Game"; then return 0; fi
  same_tree "$new" "$INSTALL/Game"
}

TRIED=0
MISSED=0
FAILURES=()

# try UPDATE CALL K: one kill point. Prints one line; records a failure.
try() {
  local update="$1" call="$2" k="$3"
  local point="$update:$call:$k"
  INSTALL="$WORK/run"
  rm -rf "$INSTALL"
  cp -a "$TEMPLATES/$update" "$INSTALL"
  local only=() path
  while IFS= read -r path; do only+=(-P "$path"); done < "$WORK/paths.$update"
  # The inner shell reports the kill on its own stderr, not on ours.
  local rc
  rc="$( (cd / && strace -f -q -y -s 48 -o "$WORK/kill.trace" -e trace="$call" "${only[@]}" \
    -e inject="$call:signal=SIGKILL:when=$k" "$INSTALL/velka-launcher" --no-start \
    > "$WORK/run.out" 2> "$WORK/run.err"; echo $?) 2> /dev/null)"
  # The K-th call of the first thread to make K of them (a resumed call is not a new one).
  local hit
  hit="$(awk -v k="$k" -v call="$call" '$2 ~ "^" call "\\(" && ++n[$1] == k { print; exit }' "$WORK/kill.trace")"
  if [ "$rc" != 137 ] || ! grep -q 'killed by SIGKILL' "$WORK/kill.trace"; then
    MISSED=$((MISSED + 1))
    echo "  $point  not reached (exit $rc)"
    return 0
  fi
  TRIED=$((TRIED + 1))
  local problem=""
  if [ "$update" != incremental ] && ! game_is_whole "${OLD_GAME[$update]}" "${NEW_GAME[$update]}"; then
    problem="Game is a mix of trees after the kill: $(head -n 3 "$WORK/diff.out" | tr '\n' ' ')"
  fi
  if [ -z "$problem" ]; then
    run_launcher --no-start
    local record=(${NEW_RECORD[$update]})
    if [ "$RC" != 0 ]; then
      problem="restart exited $RC: $(tail -n 1 "$WORK/run.err")"
    elif ! same_tree "${NEW_GAME[$update]}" "$INSTALL/Game"; then
      problem="tree after the restart differs: $(head -n 3 "$WORK/diff.out" | tr '\n' ' ')"
    elif ! printf 'incrementVersion=%s\nzipVersion=%s\n' "${record[@]}" |
      cmp -s - "$INSTALL/Config/serverconfig.txt"; then
      problem="version record after the restart: $(tr '\n' ' ' < "$INSTALL/Config/serverconfig.txt" 2>&1)"
    elif ! cmp -s "$SRV/$update/Launcher/launcherconfig.txt" "$INSTALL/Config/launcherconfig.txt"; then
      problem="installed launcher configuration differs from the published one"
    elif [ -e "$INSTALL/Temp" ] || [ -e "$INSTALL/Package" ]; then
      problem="left behind: $(cd "$INSTALL" && find Temp Package -maxdepth 2 2> /dev/null | head -n 5 | tr '\n' ' ')"
    fi
  fi
  if [ -n "$problem" ]; then
    FAILURES+=("$point  [$hit]  $problem")
    echo "  $point  FAIL  $hit"
    echo "      $problem"
    if [ -n "${KEEP:-}" ]; then cp -a "$INSTALL" "$WORK/failed_${update}_${call}_$k"; fi
  else
    echo "  $point  ok  $hit"
  fi
}

SECONDS=0
for update in "${UPDATES[@]}"; do
  if [ "$MODE" != sample ] && [ "$MODE" != all ] && ! printf '%s\n' "$@" | grep -q "^$update:"; then
    continue
  fi
  prepare "$update"
  calibrate "$update"
  counts=""
  for call in "${CALLS[@]}"; do counts+=" $call=${COUNT[$update:$call]}"; done
  echo "== $update:$counts"
  if [ "$MODE" = sample ] || [ "$MODE" = all ]; then
    for call in "${CALLS[@]}"; do
      for k in $(points "$update" "$call"); do try "$update" "$call" "$k"; done
    done
  else
    for point in "$@"; do
      IFS=: read -r u c k <<< "$point"
      [ "$u" = "$update" ] && try "$u" "$c" "$k"
    done
  fi
done

echo "== $TRIED kill points tried, $MISSED not reached, ${#FAILURES[@]} failed, ${SECONDS}s"
if ((${#FAILURES[@]})); then
  echo "Failed kill points (repeat one with: $0 LAUNCHER PUBLISH UPDATE:CALL:K):" >&2
  printf '  %s\n' "${FAILURES[@]}" >&2
  exit 1
fi
echo "PASS [$SCENARIO]"
