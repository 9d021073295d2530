#!/bin/sh
# Runs every fuzz target for FUZZ_SECONDS seconds, one after the other, and
# prints per target what libFuzzer reported at its end: executions, their
# rate, coverage, corpus size, and whether it found anything.
#   sh bench/fuzz_figures.sh BUILD_DIR SECONDS [TARGET...]
# New inputs collect in BUILD_DIR/corpus/<target>; the committed seeds under
# tests/fuzz/corpus stay as they are. Findings are left as BUILD_DIR/crash-*,
# leak-*, timeout-*, oom-* (replay one: BUILD_DIR/tests/fuzz_<target> FILE).
set -u
build=${1:-build-fuzz}
seconds=${2:-60}
src=$(cd "$(dirname "$0")/.." && pwd)
if [ $# -ge 2 ]; then shift 2; else set --; fi
targets=${*:-recv_message mqtt_request command_text settings_file mesh_report state_log system_files}
status=0
printf '%-14s %12s %9s %7s %7s %s\n' target executions exec/s cov corpus findings
for t in $targets; do
    mkdir -p "$build/corpus/$t" "$build/artifacts/$t"
    log="$build/fuzz_$t.log"
    ASAN_OPTIONS=detect_leaks=0 "$build/tests/fuzz_$t" -max_total_time="$seconds" -print_final_stats=1 \
        -timeout=10 -rss_limit_mb=2048 -artifact_prefix="$build/artifacts/$t/" \
        "$build/corpus/$t" "$src/tests/fuzz/corpus/$t" >"$log" 2>&1
    rc=$?
    execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
    rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -1)
    cov=$(grep -o 'cov: [0-9]*' "$log" | tail -1 | cut -d' ' -f2)
    corpus=$(ls "$build/corpus/$t" | wc -l)
    found=$(ls "$build/artifacts/$t" | wc -l)
    [ "$rc" -ne 0 ] || [ "$found" -ne 0 ] && status=1
    printf '%-14s %12s %9s %7s %7s %s\n' "$t" "${execs:-?}" "${rate:-?}" "${cov:-?}" "$corpus" \
        "$found$( [ "$rc" -ne 0 ] && echo " (exit $rc, see $log)")"
done
exit $status
