#!/usr/bin/env bash
# Runs each fuzz target for SECONDS seconds from its seed corpus
# (tests/fuzz/corpus/<target>/), keeping what it learns in BUILD/fuzz-corpus/
# and any finding in BUILD/fuzz-findings/. Fails when a target found something.
set -uo pipefail
build=${1:?usage: run.sh BUILD SECONDS [TARGET...]}
seconds=${2:?usage: run.sh BUILD SECONDS [TARGET...]}
shift 2
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(fuzz_upcalls fuzz_started)
source_dir="$(cd "$(dirname "$0")" && pwd)"

status=0
for target in "${targets[@]}"; do
    corpus="$build/fuzz-corpus/$target"
    findings="$build/fuzz-findings/$target"
    log="$build/fuzz-$target.log"
    mkdir -p "$corpus" "$findings"
    echo "== $target: $seconds s (log: $log)"
    # libFuzzer's signal flags and its malloc limit are set by the target itself.
    "$build/tests/fuzz/$target" -max_total_time="$seconds" -print_final_stats=1 \
        -artifact_prefix="$findings/" "$corpus" "$source_dir/corpus/$target" >"$log" 2>&1
    rc=$?
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
    cov=$(grep -o 'cov: [0-9]*' "$log" | tail -1)
    if [ $rc -eq 0 ]; then
        echo "   $target: ${runs:-?} inputs, ${cov:-cov: ?}, no finding"
    else
        status=1
        echo "   $target: FINDING (exit $rc); the input is in $findings/"
        # The harness's report, or the sanitizer's, and what libFuzzer says of it.
        grep -n -m1 -A40 -E '^==== zev fuzz|^==[0-9]+==ERROR|runtime error' "$log" | head -60
    fi
done
[ $status -eq 0 ] && echo "fuzz: ${#targets[@]} passed, 0 failed" || echo "fuzz: some target found a fault"
exit $status
