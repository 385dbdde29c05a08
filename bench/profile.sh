#!/usr/bin/env bash
# Profiles one benchmark of the optimised tree with perf, sampling only while
# the console does what is measured (see ProfiledSpan in common/), and prints
# where the user-interface thread spends that time.
#
#   bench/profile.sh <benchmark> [its arguments ...]
#
# e.g. bench/profile.sh receive --console-only --agents=400
# The profile stays in /tmp/bench-<benchmark>.perf for perf report.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
build="$(dirname "$here")/build-bench"
name=$1
shift
fifos=$(mktemp -d)
trap 'rm -rf "$fifos"' EXIT
mkfifo "$fifos/ctl" "$fifos/ack"
data=/tmp/bench-$name.perf
QT_QPA_PLATFORM=offscreen BENCH_PERF_CONTROL="$fifos/ctl" BENCH_PERF_ACK="$fifos/ack" \
    perf record -F ${PERF_FREQ:-2000} --call-graph dwarf,16384 -D -1 --control="fifo:$fifos/ctl,$fifos/ack" -o "$data" \
    "$build/bench/$name/bench_$name" "$@"
# The user-interface thread is the process's first.
tid=$(perf report -i "$data" --no-children --sort pid -g none 2>/dev/null |
    awk '/%/ { split($2, p, ":"); print p[1] }' | sort -n | head -1)
perf report -i "$data" --children --tid="$tid" --sort symbol -g none --percent-limit 2 2>/dev/null |
    grep '%' | head -60
