#!/usr/bin/env bash
# Runs each fuzz target for SECONDS (its output in BUILD/fuzz-<target>.log),
# keeping what it learns in BUILD/fuzz-corpus/<target>/ and a finding's input
# in BUILD/fuzz-findings/ (`BUILD/tests/fuzz/<target> <input>` replays it).
# Fails on a finding.
set -u
build=${1:?usage: run.sh BUILD SECONDS}
seconds=${2:?usage: run.sh BUILD SECONDS}
status=0
for target in fuzz_upcalls fuzz_started; do
    log="$build/fuzz-$target.log"
    mkdir -p "$build/fuzz-corpus/$target" "$build/fuzz-findings"
    if "$build/tests/fuzz/$target" -max_total_time="$seconds" -max_len=1024 -len_control=0 -print_final_stats=1 \
        -artifact_prefix="$build/fuzz-findings/$target-" "$build/fuzz-corpus/$target" >"$log" 2>&1; then
        echo "$target, $seconds s:" $(grep -E '^stat::(number_of_executed_units|average_exec_per_sec|peak_rss_mb)' "$log")
    else
        status=1
        echo "$target: a finding, in $log:"
        grep -m1 -A60 -E '^==== zev fuzz|ERROR: libFuzzer' "$log"
    fi
done
exit $status
