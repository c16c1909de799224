package zevtests;

import static zevtests.Cases.eq;

import java.util.List;

import tesmar.nuvrak.zev.VMZEV;
/**
 * The first retransformation of a fresh JVM, after some code has been
 * compiled: run with -Xlog:redefine+class+nmethod=debug, the JVM says whether
 * it threw away every compiled method or only those that depend on the
 * redefined class, which is what holding the redefinition capabilities from
 * the VM's start decides.
 */
public final class EarlyCapabilitiesTests {
    public static void main(String[] args) throws Throwable {
        Cases.run(EarlyCapabilitiesTests.class, args);
    }

    static volatile long sink;

    /** Hot enough for the JIT to compile it before the retransformation. */
    static long mix(long h, int i) {
        return (h ^ i) * 0x9E3779B97F4A7C15L + Long.rotateLeft(h, 7);
    }

    static void firstRetransformationAfterCompiledCode() throws Exception {
        long h = 1;
        for (int i = 0; i < 2_000_000; i++) {
            h = mix(h, i);
        }
        sink = h;
        VMZEV recorder = RetransformTests.bind(new RetransformTests.Rewrites());
        Class<?>[] alpha = {RetransformTests.Alpha.class};
        recorder.retransformClasses0(alpha);
        eq(List.of(RetransformTests.SAME_LENGTH), RetransformTests.sayings(alpha));
        RetransformTests.release();
        eq(List.of("before"), RetransformTests.sayings(alpha));
    }
}
