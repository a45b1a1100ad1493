#!/usr/bin/env bash
# Builds the libFuzzer targets with clang++ (AddressSanitizer and
# UndefinedBehaviorSanitizer) in their own build directory, then fuzzes every
# target for a bounded time, at most two at a time. The kept regression inputs
# are replayed by the FuzzRegressions test of every build.
#
# Usage: tests/fuzz/run.sh [seconds per target]     (default 600; 0 only builds)
#        tests/fuzz/run.sh --smoke                  (a fixed seed and input count per target, for CI)
# Environment: FUZZ_BUILD (build directory, default build-fuzz under the
#              project root), FUZZ_TARGETS (default "gtf fragments clustering").
# Exits non-zero when a target finds a crash, a
# hang, a sanitizer report or an oversized allocation; the input is left in
# FUZZ_BUILD/artifacts/<target>/ and its report in FUZZ_BUILD/logs/<target>.log.
# Keep what it found under tests/fuzz/regressions/<target>/ once it is fixed.
set -euo pipefail

root=$(cd "$(dirname "$0")/../.." && pwd)
here=$root/tests/fuzz
seconds=600
smoke=0
if [ "${1:-}" = "--smoke" ]; then
  seconds=60
  smoke=1
elif [ -n "${1:-}" ]; then
  seconds=$1
fi
case $seconds in ''|*[!0-9]*) echo "run.sh: seconds must be a whole number, got '$seconds'" >&2; exit 2 ;; esac
build=${FUZZ_BUILD:-$root/build-fuzz}
case $build in /*) ;; *) build=$root/$build ;; esac
targets=${FUZZ_TARGETS:-gtf fragments clustering}

# clang++ and libFuzzer's runtime come with the project's Debian packages.
fuzzer_runtime() { ls /usr/lib/llvm-*/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a >/dev/null 2>&1; }
if ! command -v clang++ >/dev/null 2>&1 || ! fuzzer_runtime; then
  bash "$root/scripts/install-deps.sh"
fi

cmake -S "$here" -B "$build" -DCMAKE_CXX_COMPILER=clang++ >/dev/null
cmake --build "$build" -j 2 >/dev/null

# Per-target limits: inputs larger than these reach no new code, only slow the run.
max_len() { case $1 in gtf) echo 8192 ;; fragments) echo 512 ;; *) echo 4096 ;; esac; }
fuzz_options=(-timeout=30 -rss_limit_mb=2048 -print_final_stats=1)
# The smoke run is reproducible: a fixed seed and a fixed number of inputs per target,
# so CI passes or fails the same way on every machine (the time is only a cap).
smoke_runs() { case $1 in gtf) echo 1500 ;; fragments) echo 150000 ;; *) echo 15000 ;; esac; }

# The kept inputs are replayed by every build's FuzzRegressions test; only fuzzing is left here.
failed=0
if [ "$seconds" -eq 0 ]; then
  echo "run.sh: no fuzzing asked for"
  exit 0
fi

run_target() {
  local target=$1
  local corpus=$build/corpus/$target
  local artifacts=$build/artifacts/$target/
  mkdir -p "$corpus" "$artifacts" "$build/logs"
  local extra=()
  [ "$smoke" -eq 1 ] && extra=(-seed=1 -runs="$(smoke_runs "$target")")
  "$build/fuzz_$target" "${fuzz_options[@]}" "${extra[@]}" -max_total_time="$seconds" -max_len="$(max_len "$target")" \
    -artifact_prefix="$artifacts" "$corpus" "$here/corpus/$target" >"$build/logs/$target.log" 2>&1
}

# One line per target: executions and corpus size, or what it found.
summarize() {
  local log=$build/logs/$1.log
  if [ "$2" -eq 0 ]; then
    echo "fuzz_$1: $(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1) runs, corpus $(ls "$build/corpus/$1" | wc -l), no finding"
  else
    echo "fuzz_$1: FINDING (exit $2): $(ls "$build/artifacts/$1" | head -n 3 | tr '\n' ' ')"
    grep -a -m 3 -E 'ERROR|runtime error|fuzz_[a-z]+: ' "$log" | sed 's/^/    /' || true
  fi
}

declare -A pids
running=()
for target in $targets; do
  if [ ${#running[@]} -ge 2 ]; then
    wait "${pids[${running[0]}]}" && status=0 || status=$?
    summarize "${running[0]}" "$status"
    [ "$status" -eq 0 ] || failed=1
    running=("${running[@]:1}")
  fi
  run_target "$target" &
  pids[$target]=$!
  running+=("$target")
done
for target in "${running[@]}"; do
  wait "${pids[$target]}" && status=0 || status=$?
  summarize "$target" "$status"
  [ "$status" -eq 0 ] || failed=1
done
exit $failed
