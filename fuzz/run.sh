#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (in build-fuzz/, or $FUZZ_BUILD_DIR) and runs each for
# the given number of seconds (default 60), $FUZZ_JOBS (default 2) at a time. New inputs go to
# fuzz/corpus-run/<target>/ (not kept in the repository), crashes to <build>/artifacts/, logs to
# <build>/logs/. Fails when a target crashes, leaks or a sanitizer reports.
# Usage: fuzz/run.sh [seconds] [target ...]
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-60}
shift || true
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(data_reader query_match parse_parameter ullmann_reader verify_embeddings convert_edges)
jobs=${FUZZ_JOBS:-2}
build=${FUZZ_BUILD_DIR:-build-fuzz}

cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS_DEBUG="-g -O1" \
  -DCMAKE_CXX_COMPILER=clang++ -DSGMATCH_FUZZ=ON -DSGMATCH_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" -j2 --target $(printf 'fuzz_%s ' "${targets[@]}")

mkdir -p "$build/artifacts" "$build/logs"
# The targets write their inputs to files; memory-backed storage keeps that cheap.
if [ -w /dev/shm ]; then scratch=$(mktemp -d -p /dev/shm); else scratch=$(mktemp -d); fi
trap 'rm -rf "$scratch"' EXIT
export TMPDIR=$scratch
export ASAN_OPTIONS=halt_on_error=1:abort_on_error=1:detect_leaks=1
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1

run_one() {
  local target=$1
  mkdir -p "fuzz/corpus-run/$target"
  if "$build/fuzz/fuzz_$target" -max_total_time="$seconds" -timeout=30 -rss_limit_mb=2048 -print_final_stats=1 \
      -artifact_prefix="$build/artifacts/$target-" "fuzz/corpus-run/$target" "fuzz/corpus/$target" \
      >"$build/logs/$target.log" 2>&1; then
    echo "fuzz_$target: ok, $(grep -E '^#[0-9]+.*DONE' "$build/logs/$target.log" | tail -1)"
  else
    echo "fuzz_$target: FAILED ($build/logs/$target.log)"
    tail -40 "$build/logs/$target.log"
    return 1
  fi
}

failed=0
pids=()
for target in "${targets[@]}"; do
  run_one "$target" &
  pids+=($!)
  if [ ${#pids[@]} -ge "$jobs" ]; then
    wait "${pids[0]}" || failed=1
    pids=("${pids[@]:1}")
  fi
done
for pid in "${pids[@]}"; do wait "$pid" || failed=1; done
exit $failed
