package zevbench;

import java.lang.instrument.Instrumentation;

/**
 * The java.lang.instrument agent that the benchmarks set beside libzev: it
 * only keeps the agent's Instrumentation, and each benchmark adds the
 * transformer it needs.
 */
public final class Agent {
    private static volatile Instrumentation instrumentation;

    private Agent() {
    }

    public static void premain(String args, Instrumentation inst) {
        instrumentation = inst;
    }

    /** The agent's Instrumentation; null when the JVM runs without the agent. */
    public static Instrumentation instrumentation() {
        return instrumentation;
    }
}
