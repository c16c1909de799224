package zevtests.support;

/**
 * What the failure injector saw between {@link Injector#armFailures(String)} and
 * {@link Injector#disarmFailures()}.
 */
public final class FailureReport {
    /** The library's fallible calls made while armed. */
    public final long counted;
    /** Of those, how many were failed. */
    public final long failed;
    /** The ordinal of the first failed call (from 1), or 0 when none was failed. */
    public final long first;
    /** The first failed call ("NewStringUTF", "malloc", "RetransformClasses"), or null. */
    public final String function;
    /** Where in the library it was made: "function+0x1c (libzev.so+0x2f1c)", or null. */
    public final String where;
    /**
     * When armed with K = 0: every counted call, in order ("FindClass",
     * "NewStringUTF", "malloc", ...); empty otherwise. Failing call k of a
     * plan fails calls[k - 1], since the calls before it are the same.
     */
    public final String[] calls;
    /** The calls held by a {@code stall=} word: 0 or 1. */
    public final long stalled;

    FailureReport(long counted, long failed, long first, String function, String where,
                  String[] calls, long stalled) {
        this.counted = counted;
        this.failed = failed;
        this.first = first;
        this.function = function;
        this.where = where;
        this.calls = calls;
        this.stalled = stalled;
    }

    /** "3 counted, 1 failed: NewStringUTF (call 2) in ..." or "3 counted, none failed". */
    @Override
    public String toString() {
        return counted + " counted, " + (failed == 0 ? "none failed"
                : failed + " failed: " + function + " (call " + first + ") in " + where);
    }
}
