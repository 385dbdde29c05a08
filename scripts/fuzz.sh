#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each for a bounded time.
#
#   scripts/fuzz.sh [SECONDS]     seconds per target, 60 when not given
#
# FUZZ_TARGETS="fuzz_jpeg ..."   run only these targets
# FUZZ_PARALLEL=1                run the targets side by side instead of in turn
#
# The seed corpus in fuzz/corpus/<target> is copied into a scratch corpus
# under build-fuzz/corpus, which grows from run to run; the repository's
# corpus is never written. Logs go to build-fuzz/logs/<target>.log, inputs
# that crash to build-fuzz/artifacts/. Exits non-zero when a target crashed,
# timed out or ran out of memory.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
seconds=${1:-60}
targets=(${FUZZ_TARGETS:-fuzz_packet fuzz_processlist fuzz_jpeg fuzz_netbios})
build=$root/build-fuzz

DOCENTOR_WITH_FUZZ=1 scripts/setup.sh
CC=clang CXX=clang++ cmake -S . -B "$build" -G Ninja -DDOCENTOR_FUZZ=ON -DDOCENTOR_TESTS=OFF \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" --target "${targets[@]}"

mkdir -p "$build/logs" "$build/artifacts"
# UndefinedBehaviorSanitizer only reports unless told to stop, and a report
# that does not stop the run is no finding for the fuzzer.
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1}

run_target() {
    local target=$1
    local corpus=$build/corpus/$target
    mkdir -p "$corpus"
    cp -n "$root/fuzz/corpus/$target/"* "$corpus/" 2>/dev/null || true
    "$build/fuzz/$target" "$corpus" \
        -max_total_time="$seconds" -timeout=25 -rss_limit_mb=2560 \
        -print_final_stats=1 -artifact_prefix="$build/artifacts/$target-" \
        >"$build/logs/$target.log" 2>&1
}

declare -A status
if [ "${FUZZ_PARALLEL:-0}" = 1 ]; then
    declare -A pids
    for t in "${targets[@]}"; do
        run_target "$t" &
        pids[$t]=$!
    done
    for t in "${targets[@]}"; do
        if wait "${pids[$t]}"; then status[$t]=0; else status[$t]=$?; fi
    done
else
    for t in "${targets[@]}"; do
        if run_target "$t"; then status[$t]=0; else status[$t]=$?; fi
    done
fi

failed=0
echo "target              seconds  executions  corpus  result"
for t in "${targets[@]}"; do
    log=$build/logs/$t.log
    execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
    corpus=$(find "$build/corpus/$t" -type f | wc -l)
    if [ "${status[$t]}" = 0 ]; then
        result=clean
    else
        result="FAILED (exit ${status[$t]}; see $log)"
        failed=1
    fi
    printf '%-19s %7s  %10s  %6s  %s\n' "$t" "$seconds" "${execs:-?}" "$corpus" "$result"
done
ls "$build/artifacts" 2>/dev/null | sed 's/^/artifact: /'
exit $failed
