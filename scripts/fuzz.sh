#!/usr/bin/env bash
# Runs the libFuzzer targets of a WHARF_FUZZ build, each for SECONDS on its
# seed corpus (tests/fuzz/corpus/<name>) plus what earlier runs in the same
# build directory found, JOBS targets at a time.
#   scripts/fuzz.sh BUILD_DIR SECONDS [JOBS] [NAME...]
# A crash, leak, timeout or failed check fails the run; the input is kept as
# BUILD_DIR/fuzz/<name>/crash-* (add it to the seed corpus once mended, so it
# stays a regression input). Each target's last line gives its executions and
# coverage.
set -uo pipefail

build=$(cd "${1:?build directory}" && pwd) || exit 1
seconds=${2:?seconds per target}
jobs=${3:-1}
shift $(( $# < 3 ? $# : 3 ))
root=$(cd "$(dirname "$0")/.." && pwd)
seeds=$root/tests/fuzz

names=("$@")
if [ ${#names[@]} -eq 0 ]; then
  for bin in "$build"/tests/fuzz/fuzz_*; do
    [ -x "$bin" ] && names+=("$(basename "$bin" | sed 's/^fuzz_//')")
  done
fi
if [ ${#names[@]} -eq 0 ]; then
  echo "fuzz: no fuzz targets in $build/tests/fuzz (configure with -DWHARF_FUZZ=ON)" >&2
  exit 1
fi

# The targets that go through files work in a scratch directory under TMPDIR:
# in memory they run two to three times as fast as on a journalled disk.
if [ -z "${TMPDIR:-}" ] && [ -d /dev/shm ] && [ -w /dev/shm ]; then export TMPDIR=/dev/shm; fi

# Inputs longer than libFuzzer's default where the target's paths need them: a
# command batch parsed off the main thread, compressed streams of some size.
max_len() {
  case $1 in
    command_batch) echo 12000 ;;
    inflate) echo 16384 ;;
    *) echo 4096 ;;
  esac
}

run_one() {
  local name=$1 work=$build/fuzz/$1
  mkdir -p "$work/corpus"
  local args=(-max_total_time="$seconds" -timeout=25 -rss_limit_mb=2048 -max_len="$(max_len "$name")"
              -print_final_stats=1 -artifact_prefix="$work/")
  [ -f "$seeds/$name.dict" ] && args+=(-dict="$seeds/$name.dict")
  ASAN_OPTIONS=detect_leaks=1:allocator_may_return_null=1 UBSAN_OPTIONS=print_stacktrace=1 \
    "$build/tests/fuzz/fuzz_$name" "${args[@]}" "$work/corpus" "$seeds/corpus/$name" >"$work/log" 2>&1
  local rc=$?
  local runs cov
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$work/log" | tail -1)
  cov=$(grep -o 'cov: [0-9]* ft: [0-9]*' "$work/log" | tail -1)
  if [ $rc -eq 0 ]; then
    echo "fuzz $name: ok, ${runs:-?} runs, ${cov:-no coverage line}, corpus $(ls "$work/corpus" | wc -l) found"
  else
    echo "fuzz $name: FAILED (exit $rc), see $work/log"
    grep -E 'ERROR: |FUZZ_CHECK|runtime error|Test unit written|SUMMARY' "$work/log" | head -8 | sed 's/^/    /'
  fi
  return $rc
}

status_dir=$(mktemp -d)
trap 'rm -rf "$status_dir"' EXIT
for name in "${names[@]}"; do
  while [ "$(jobs -rp | wc -l)" -ge "$jobs" ]; do wait -n; done
  ( run_one "$name"; echo $? >"$status_dir/$name" ) &
done
wait

passed=0 failed=0
for name in "${names[@]}"; do
  if [ "$(cat "$status_dir/$name" 2>/dev/null)" = 0 ]; then passed=$((passed + 1)); else failed=$((failed + 1)); fi
done
echo "fuzz: $passed passed, $failed failed"
[ $failed -eq 0 ]
