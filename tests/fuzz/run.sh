#!/usr/bin/env bash
# tests/fuzz/run.sh [SECONDS] [BUILD]: every fuzz target for SECONDS (10) from its seeds in
# tests/fuzz/<name>/ with a fixed random seed; new inputs go to BUILD/fuzz-corpus/<name>/, crashes
# to BUILD/fuzz-crashes/ (BUILD: the VELKA_FUZZ build, default build/asan). Any finding fails.
set -euo pipefail
ROOT="$(cd "$(dirname "$0")/../.." && pwd)"
SECONDS_EACH="${1:-10}"
BUILD="$(cd "${2:-$ROOT/build/asan}" && pwd)"
export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"
mkdir -p "$BUILD/fuzz-crashes"
failed=()
for seeds in "$ROOT"/tests/fuzz/*/; do
  name="$(basename "$seeds")"
  target="$BUILD/tests/fuzz/fuzz_$name"
  [ -x "$target" ] || { echo "fuzz: no $target (build with -DVELKA_FUZZ=ON)"; exit 1; }
  rm -rf "$BUILD/fuzz-corpus/$name"
  mkdir -p "$BUILD/fuzz-corpus/$name"
  echo "== fuzz $name (${SECONDS_EACH}s)"
  if ! "$target" -seed=1 -max_total_time="$SECONDS_EACH" -timeout=10 -rss_limit_mb=2048 \
      -print_final_stats=1 -artifact_prefix="$BUILD/fuzz-crashes/$name-" \
      "$BUILD/fuzz-corpus/$name" "$seeds" > "$BUILD/fuzz-$name.log" 2>&1; then
    tail -n 40 "$BUILD/fuzz-$name.log"
    failed+=("$name")
  else
    grep -E '^stat::number_of_executed_units' "$BUILD/fuzz-$name.log" || true
  fi
done
if ((${#failed[@]})); then
  echo "fuzz: findings in ${failed[*]} (inputs in $BUILD/fuzz-crashes)"
  exit 1
fi
