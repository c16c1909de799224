#!/usr/bin/env bash
# The soak: one JVM through the reference host, under -Xcheck:jni, driving every
# concurrent path at once for SECONDS. Fails when the program reports a broken
# invariant, exits otherwise than 0, or when the JVM or the library print a JNI
# warning, a fatal error or a failed guarantee.
#
# usage: tests/soak/soak.sh BUILD_DIR SECONDS
set -uo pipefail
build=${1:?usage: soak.sh BUILD_DIR SECONDS}
seconds=${2:?usage: soak.sh BUILD_DIR SECONDS}
asm=$(grep -m1 '^ZEV_ASM_JAR:' "$build/CMakeCache.txt" | cut -d= -f2-)
tests_jar=$build/tests/zevtests.jar
log=$build/soak.log

agent=$(mktemp /tmp/zev-soak-agent-XXXXXX.jar)
trap 'rm -f "$agent"' EXIT
"${JAVA:-java}" -cp "$tests_jar" zevtests.RetransformAgent "$agent" || exit 2

echo "Soaking for $seconds s in $build/ (log: $log)"
# The watchdog inside the program halts a stalled run; this bounds a wedged JVM.
timeout --signal=KILL $((seconds + 180)) \
    "$build/tests/zev-host-test" -Xcheck:jni -Xms256m -Xmx256m -XX:+AlwaysPreTouch -javaagent:"$agent" \
    -cp "$tests_jar:$asm" zevtests.Soak "$seconds" >"$log" 2>&1
status=$?
cat "$log"

failed=0
if [ "$status" -ne 0 ]; then
    echo "soak: zev-host exited with status $status"
    failed=1
fi
# -Xcheck:jni reports as "WARNING in native method" or "FATAL ERROR in native method".
if grep -E "WARNING in native method|FATAL ERROR|guarantee failed|ERROR: AddressSanitizer|runtime error:" "$log" >/dev/null; then
    echo "soak: the log holds a JNI report, a sanitizer report or a failed guarantee"
    failed=1
fi
grep -q "^SOAK held" "$log" || failed=1
[ "$failed" -eq 0 ] && echo "soak: every invariant held" || echo "soak: FAILED"
exit "$failed"
