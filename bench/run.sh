#!/usr/bin/env bash
# Builds the optimised tree (no sanitizers, no tests), runs every benchmark
# and prints one table of their figures, each against the floor measured in
# the same run.
#
#   bench/run.sh [--quick] [benchmark ...] [build directory]
#
# --quick runs fewer and smaller rounds (to try the scripts, not to quote).
# Naming benchmarks (folders of bench/, e.g. hostile) runs only those.
# The lesson lasts 45 minutes (3 with --quick): it runs only when named.
# The build directory defaults to build-bench beside this folder.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
root=$(dirname "$here")
build="$root/build-bench"
quick=()
only=()
for arg in "$@"; do
    case "$arg" in
    --quick) quick=(--quick) ;;
    -h | --help)
        sed -n '2,11p' "$0" | sed 's/^# \{0,1\}//'
        exit 0
        ;;
    *)
        if grep -qs "add_executable(bench_$arg" "$here/$arg/CMakeLists.txt"; then
            only+=("$arg")
        else
            build=$arg
        fi
        ;;
    esac
done

cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DDOCENTOR_TESTS=OFF \
    -DDOCENTOR_SANITIZE=OFF >/dev/null
# Every folder of bench/ with an executable bench_<folder>.
targets=()
for dir in "$here"/*/; do
    name=$(basename "$dir")
    if [ ${#only[@]} -gt 0 ] && [[ " ${only[*]} " != *" $name "* ]]; then
        continue
    fi
    if [ ${#only[@]} -eq 0 ] && [ "$name" = lesson ]; then
        continue
    fi
    if grep -qs "add_executable(bench_$name" "$dir/CMakeLists.txt"; then
        targets+=("bench_$name")
    fi
done
cmake --build "$build" --target "${targets[@]}" >&2

export QT_QPA_PLATFORM=offscreen
lines=$(mktemp)
errors=$(mktemp)
trap 'rm -f "$lines" "$errors"' EXIT
failed=0
for target in "${targets[@]}"; do
    name=${target#bench_}
    echo "running $target ..." >&2
    if ! "$build/bench/$name/$target" "${quick[@]}" >>"$lines" 2>>"$errors"; then
        echo "FAILED	$target" >>"$lines"
        failed=1
    fi
done

grep -m1 '^MACHINE' "$lines" | cut -f2- | sed 's/^/machine: /'
echo
awk -F'\t' '
    BEGIN {
        header = "benchmark\tcase\tconsole\tfloor\tunit\tratio\ttarget"
        n = 0
    }
    $1 == "RESULT" { rows[++n] = $2 "\t" $3 "\t" $4 "\t" $5 "\t" $6 "\t" $7 "\t" $8 }
    $1 == "FAILED" { rows[++n] = $2 "\tFAILED\t-\t-\t-\t-\t-" }
    END {
        split(header, h, "\t")
        for (c = 1; c <= 7; ++c) width[c] = length(h[c])
        for (r = 1; r <= n; ++r) {
            split(rows[r], f, "\t")
            for (c = 1; c <= 7; ++c) if (length(f[c]) > width[c]) width[c] = length(f[c])
        }
        line = ""
        for (c = 1; c <= 7; ++c) line = line sprintf("%-" width[c] "s  ", h[c])
        print line
        line = ""
        for (c = 1; c <= 7; ++c) { dash = ""; for (i = 0; i < width[c]; ++i) dash = dash "-"; line = line dash "  " }
        print line
        for (r = 1; r <= n; ++r) {
            split(rows[r], f, "\t")
            line = ""
            for (c = 1; c <= 7; ++c) line = line sprintf("%-" width[c] "s  ", f[c])
            print line
        }
    }' "$lines"
if grep -q '^NOTE' "$lines"; then
    echo
    grep '^NOTE' "$lines" | cut -f2- | sort -u | sed 's/^/note: /'
fi
echo
echo "ratio: how many times the console is slower than its floor (console/floor for times, floor/console for rates)"
if [ "$failed" -ne 0 ]; then
    echo "some benchmarks failed; their messages:" >&2
    cat "$errors" >&2
    exit 1
fi
