package zevbench;

/**
 * What the ASM transformer of {@link Guava} calls at the entry of every
 * instrumented method: a plain counter, read by the workload check.
 */
public final class Probe {
    private static long calls;

    private Probe() {
    }

    /** Called first thing by every instrumented method. */
    public static void enter() {
        calls++;
    }

    /** Forgets the calls counted so far (those of the warm-up classes). */
    static void reset() {
        calls = 0;
    }

    /** Calls counted so far. */
    public static long calls() {
        return calls;
    }
}
