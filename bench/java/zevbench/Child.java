package zevbench;

import java.io.IOException;
import java.io.UncheckedIOException;
import java.lang.instrument.ClassFileTransformer;
import java.lang.instrument.Instrumentation;
import java.lang.instrument.UnmodifiableClassException;
import java.lang.management.ManagementFactory;
import java.lang.management.MemoryMXBean;
import java.lang.management.ThreadMXBean;
import java.nio.file.DirectoryStream;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.security.ProtectionDomain;
import java.util.List;
import java.util.Locale;

import tesmar.nuvrak.zev.RecordingHandler;
import tesmar.nuvrak.zev.Timing;
import tesmar.nuvrak.zev.VMZEV;
import tesmar.nuvrak.zev.ZEV;
import zevhost.Vm;

/**
 * One benchmark JVM, run by zev-host: measures libzev beside its baseline and
 * prints what it measured, one line per round, for {@link Driver}:
 * {@code SAMPLE <key> <libzev> <baseline>} for rows measured side by side in
 * this JVM, {@code VALUE <key> <numbers...>} for rows whose sides run in JVMs
 * of their own. Modes and their arguments:
 * <pre>
 * natives ROUNDS CALLS REQUESTS REQUEST_ROUNDS [KEYS]
 *                                   rows 1 and 2 (ROUNDS), 6 (REQUEST_ROUNDS); KEYS: only these,
 *                                   comma-separated
 * hook ROUNDS CLASSES LISTED        row 3 (libzev's hook)
 * agent-hook ROUNDS CLASSES         row 4 (needs -javaagent)
 * retransform-zev M                 row 5, libzev's side
 * retransform-agent M               row 5, the agent's side (needs -javaagent)
 * guava-zev KIND [LIMIT]            Guava's classes retransformed through libzev (KIND: null, copy, asm)
 * guava-agent KIND [LIMIT]          the same through the agent (needs -javaagent)
 * cold-zev KIND LIMIT RUNS          the first retransformation of a fresh JVM through libzev,
 *                                   the workload run RUNS times right after it (LIMIT 0: all)
 * cold-agent KIND LIMIT RUNS        the same through the agent (needs -javaagent)
 * memory FIRST TOTAL WARMUP         row 7
 * </pre>
 * Every mode checks what it measured did what it should, and fails loudly otherwise.
 */
public final class Child {
    private static final int WARMUP_ROUNDS = 2;
    private static final int CHUNKS = 10;
    private static final String STARTED = "Started";

    /** Keeps loop results alive, so that no loop is optimised away. */
    static volatile long sink;

    private Child() {
    }

    /** Answers every request at once, holding on to nothing. */
    static final class Handler implements RecordingHandler {
        @Override
        public String startRecording(String name, String[] settings, boolean disk, long delay,
                                     long duration, String fileName, boolean dumpOnExit,
                                     long maxAge, long maxSize, boolean verbose) {
            return STARTED;
        }

        @Override
        public String stopRecording(String name, long id, boolean discard, String fileName,
                                    boolean verbose) {
            return "Stopped";
        }

        @Override
        public String checkRecording(String name, long id, boolean verbose) {
            return "Running";
        }

        @Override
        public String dumpRecording(String name, long id, String fileName, boolean verbose) {
            return "Dumped";
        }
    }

    public static void main(String[] args) throws Exception {
        Vm.journaling(false);
        switch (args[0]) {
        case "natives":
            natives(Integer.parseInt(args[1]), Integer.parseInt(args[2]), Integer.parseInt(args[3]),
                    Integer.parseInt(args[4]), args.length > 5 ? args[5] : null);
            break;
        case "hook":
            hook(Integer.parseInt(args[1]), Integer.parseInt(args[2]), Integer.parseInt(args[3]));
            break;
        case "agent-hook":
            agentHook(Integer.parseInt(args[1]), Integer.parseInt(args[2]));
            break;
        case "retransform-zev":
            retransformZev(Integer.parseInt(args[1]));
            break;
        case "retransform-agent":
            retransformAgent(Integer.parseInt(args[1]));
            break;
        case "guava-zev":
            guavaZev(Guava.kind(args[1]), args.length > 2 ? Integer.parseInt(args[2]) : 0);
            break;
        case "guava-agent":
            guavaAgent(Guava.kind(args[1]), args.length > 2 ? Integer.parseInt(args[2]) : 0);
            break;
        case "cold-zev":
            coldZev(Guava.kind(args[1]), Integer.parseInt(args[2]), Integer.parseInt(args[3]));
            break;
        case "cold-agent":
            coldAgent(Guava.kind(args[1]), Integer.parseInt(args[2]), Integer.parseInt(args[3]));
            break;
        case "memory":
            memory(Long.parseLong(args[1]), Long.parseLong(args[2]), Long.parseLong(args[3]));
            break;
        default:
            throw new IllegalArgumentException("unknown mode " + args[0]);
        }
    }

    static void check(boolean condition, String what) {
        if (!condition) {
            throw new AssertionError(what);
        }
    }

    static VMZEV bind() {
        VMZEV recorder = (VMZEV) ZEV.get();
        check(recorder != null, "no recorder bound");
        return recorder;
    }

    static void print(String line) {
        System.out.println(line);
        System.out.flush();
    }

    static String format(double value) {
        return String.format(Locale.ROOT, "%.4f", value);
    }

    // ---- side by side in this JVM ---------------------------------------------

    private static final ThreadMXBean THREADS = ManagementFactory.getThreadMXBean();

    /**
     * The calling thread's CPU time. On a machine that others share, what a
     * loop cost without the time other processes took the core away; both
     * sides are timed alike.
     */
    static long cpu() {
        return THREADS.getCurrentThreadCpuTime();
    }

    /** Runs n operations; answers the CPU nanoseconds they took. */
    @FunctionalInterface
    interface Op {
        long run(int n);
    }

    /**
     * Rounds of n operations a side, each round in chunks whose order
     * alternates, so that whatever else the machine does hits both sides.
     * Prints nanoseconds per operation.
     */
    static void sideBySide(String key, int rounds, int n, Op library, Op baseline) {
        if (only != null && !only.contains(key)) {
            return;
        }
        int chunk = Math.max(1, n / CHUNKS);
        for (int round = -WARMUP_ROUNDS; round < rounds; round++) {
            long libraryNanos = 0;
            long baselineNanos = 0;
            for (int c = 0; c < CHUNKS; c++) {
                if ((c & 1) == 0) {
                    libraryNanos += library.run(chunk);
                    baselineNanos += baseline.run(chunk);
                } else {
                    baselineNanos += baseline.run(chunk);
                    libraryNanos += library.run(chunk);
                }
            }
            if (round >= 0) {
                double calls = (double) chunk * CHUNKS;
                print("SAMPLE " + key + " " + format(libraryNanos / calls) + " "
                      + format(baselineNanos / calls));
            }
        }
    }

    private static List<String> only;

    static void natives(int rounds, int calls, int requests, int requestRounds, String keys) {
        only = keys == null ? null : List.of(keys.split(","));
        VMZEV recorder = bind();
        check(ZEV.startHalcyra(), "the recorder did not start");
        recorder.setHandler(new Handler());
        recorder.setPeriod(5, 20);
        Baseline baseline = new Baseline();
        check(recorder.getPeriod(5) == 20 && baseline.getPeriod(5) == 20, "get_period");

        sideBySide("counterTime", rounds, calls, n -> {
            long start = cpu();
            long sum = 0;
            for (int i = 0; i < n; i++) {
                sum += Timing.counterTime();
            }
            long elapsed = cpu() - start;
            sink += sum;
            return elapsed;
        }, n -> {
            long start = cpu();
            long sum = 0;
            for (int i = 0; i < n; i++) {
                sum += Baseline.counterTime();
            }
            long elapsed = cpu() - start;
            sink += sum;
            return elapsed;
        });
        sideBySide("threadID", rounds, calls, n -> {
            long start = cpu();
            long sum = 0;
            for (int i = 0; i < n; i++) {
                sum += recorder.threadID();
            }
            long elapsed = cpu() - start;
            sink += sum;
            return elapsed;
        }, n -> {
            long start = cpu();
            long sum = 0;
            for (int i = 0; i < n; i++) {
                sum += baseline.threadID();
            }
            long elapsed = cpu() - start;
            sink += sum;
            return elapsed;
        });
        sideBySide("getPeriod", rounds, calls, n -> {
            long start = cpu();
            long sum = 0;
            for (int i = 0; i < n; i++) {
                sum += recorder.getPeriod(5);
            }
            long elapsed = cpu() - start;
            sink += sum;
            return elapsed;
        }, n -> {
            long start = cpu();
            long sum = 0;
            for (int i = 0; i < n; i++) {
                sum += baseline.getPeriod(5);
            }
            long elapsed = cpu() - start;
            sink += sum;
            return elapsed;
        });
        for (int size : new int[] {64, 4096}) {
            byte[] event = new byte[size];
            event[0] = 1;
            int events = size > 1024 ? calls / 8 : calls / 2;
            sideBySide("write" + size, rounds, events, n -> {
                long start = cpu();
                for (int i = 0; i < n; i++) {
                    recorder.write(event, 0, size);
                }
                return cpu() - start;
            }, n -> {
                long start = cpu();
                for (int i = 0; i < n; i++) {
                    baseline.write(event, 0, size);
                }
                return cpu() - start;
            });
        }
        sideBySide("startRecording", requestRounds, requests,
                   n -> answered(Baseline.entryLoop(n), n)[4],
                   n -> answered(Baseline.startRecordingLoop(recorder, n), n)[4]);
    }

    /** The totals of a request loop, checked to have answered every request. */
    static long[] answered(long[] totals, long requests) {
        check(totals[0] == requests && totals[1] == 0 && totals[2] == 0,
              "request loop answered " + totals[0] + " of " + requests + " (" + totals[1]
              + " null, " + totals[2] + " exceptions)");
        return totals;
    }

    // ---- defining new classes with a hook enabled --------------------------------

    /** CPU nanoseconds per class to define a new batch. */
    static double defineBatch(int classes) {
        List<Object[]> batch = ClassBytes.batch(classes);
        long start = cpu();
        Class<?>[] defined = ClassBytes.define(batch);
        long elapsed = cpu() - start;
        check(defined.length == classes, "batch");
        return (double) elapsed / classes;
    }

    /** Switches a class-file hook on or off. */
    interface Switch {
        void set(boolean on);
    }

    /**
     * Rounds of CLASSES new classes a side, defined in chunks with the hook
     * enabled and disabled in the order on, off, off, on, on, off, ... so that
     * the hook is switched only between chunks of different sides. Prints CPU
     * nanoseconds per class.
     */
    static void hookRounds(String key, int rounds, int classes, Switch hook) {
        int chunk = Math.max(1, classes / CHUNKS);
        boolean on = false;
        for (int round = -WARMUP_ROUNDS; round < rounds; round++) {
            System.gc();
            double enabled = 0;
            double disabled = 0;
            for (int c = 0; c < 2 * CHUNKS; c++) {
                boolean wanted = ((c + 1) / 2) % 2 == 0;
                if (wanted != on) {
                    hook.set(wanted);
                    on = wanted;
                }
                if (on) {
                    enabled += defineBatch(chunk);
                } else {
                    disabled += defineBatch(chunk);
                }
            }
            if (round >= 0) {
                print("SAMPLE " + key + " " + format(enabled / CHUNKS) + " "
                      + format(disabled / CHUNKS));
            }
        }
        if (on) {
            hook.set(false);
        }
    }

    private static VMZEV hookRecorder;

    static void hook(int rounds, int classes, int listed) {
        hookRecorder = bind();
        Class<?>[] list = ClassBytes.define(ClassBytes.batch(listed));
        hookRounds("hook", rounds, classes, on -> {
            if (on) {
                // Enables the hook with the list published.
                hookRecorder.retransformClasses0(list);
            } else {
                // The release disables it, restores the list and forgets it.
                check(Vm.release().code == 0, "the release did not restore the classes");
                ZEV.forget();
                hookRecorder = bind();
            }
        });
    }

    static Instrumentation instrumentation() {
        Instrumentation inst = Agent.instrumentation();
        check(inst != null, "run with -javaagent: the agent jar");
        return inst;
    }

    static void agentHook(int rounds, int classes) {
        Instrumentation inst = instrumentation();
        ClassFileTransformer none = new ClassFileTransformer() {
            @Override
            public byte[] transform(ClassLoader loader, String name, Class<?> redefined,
                                    ProtectionDomain domain, byte[] bytes) {
                return null;
            }
        };
        hookRounds("agent-hook", rounds, classes, on -> {
            if (on) {
                inst.addTransformer(none, true);
            } else {
                check(inst.removeTransformer(none), "transformer");
            }
        });
    }

    // ---- retransformation, one JVM a side ----------------------------------------

    /** Classes retransformed once before the measured call (fewer when fewer are measured). */
    static final int WARMUP_CLASSES = 100;

    static void checkPatched(Class<?>[] classes, String expected) {
        for (Class<?> klass : new Class<?>[] {classes[0], classes[classes.length / 2],
                                              classes[classes.length - 1]}) {
            check(expected.equals(ClassBytes.value(klass)),
                  klass.getName() + ".value() answered " + ClassBytes.value(klass));
        }
    }

    private static Path vmThreadStat;

    /**
     * The CPU time of the JVM's "VM Thread", which runs the redefinition
     * itself at a safepoint, from the kernel's scheduler statistics.
     */
    static long vmThreadCpu() {
        try {
            if (vmThreadStat == null) {
                try (DirectoryStream<Path> tasks = Files.newDirectoryStream(Paths.get("/proc/self/task"))) {
                    for (Path task : tasks) {
                        if (Files.readString(task.resolve("comm")).trim().equals("VM Thread")) {
                            vmThreadStat = task.resolve("schedstat");
                        }
                    }
                }
                check(vmThreadStat != null, "no VM Thread in /proc/self/task");
            }
            return Long.parseLong(Files.readString(vmThreadStat).trim().split(" ")[0]);
        } catch (IOException e) {
            throw new UncheckedIOException(e);
        }
    }

    /** {the calling thread's CPU time, the VM Thread's CPU time, elapsed time}. */
    static long[] retransformTimes() {
        return new long[] {cpu(), vmThreadCpu(), System.nanoTime()};
    }

    /**
     * VALUE retransform&lt;M&gt; &lt;side&gt; &lt;CPU µs per class&gt; &lt;elapsed µs per class&gt;: the CPU
     * time is the calling thread's (the hook and the parsing) and the VM
     * Thread's (the redefinition).
     */
    static void printRetransform(int count, String side, long[] start, long[] end) {
        double cpu = (end[0] - start[0]) + (end[1] - start[1]);
        double elapsed = end[2] - start[2];
        print("VALUE retransform" + count + " " + side + " " + format(cpu / 1000.0 / count) + " "
              + format(elapsed / 1000.0 / count));
    }

    static void retransformZev(int count) {
        Class<?>[] warmup = ClassBytes.define(ClassBytes.batch(Math.min(WARMUP_CLASSES, count)));
        Class<?>[] classes = ClassBytes.define(ClassBytes.batch(count));
        VMZEV recorder = bind();
        recorder.setTransformer((klass, bytes) -> ClassBytes.patch(bytes));
        recorder.retransformClasses0(warmup);
        checkPatched(warmup, ClassBytes.PATCHED);
        check(Vm.release().code == 0, "the release did not restore the classes");
        checkPatched(warmup, ClassBytes.ORIGINAL);
        ZEV.forget();
        recorder = bind();
        recorder.setTransformer((klass, bytes) -> ClassBytes.patch(bytes));
        System.gc();

        long[] start = retransformTimes();
        recorder.retransformClasses0(classes);
        long[] end = retransformTimes();
        checkPatched(classes, ClassBytes.PATCHED);
        printRetransform(count, "zev", start, end);
    }

    static void retransformAgent(int count) throws UnmodifiableClassException {
        Class<?>[] warmup = ClassBytes.define(ClassBytes.batch(Math.min(WARMUP_CLASSES, count)));
        Class<?>[] classes = ClassBytes.define(ClassBytes.batch(count));
        Instrumentation inst = instrumentation();
        inst.addTransformer(new ClassFileTransformer() {
            @Override
            public byte[] transform(ClassLoader loader, String name, Class<?> redefined,
                                    ProtectionDomain domain, byte[] bytes) {
                return redefined == null ? null : ClassBytes.patch(bytes);
            }
        }, true);
        inst.retransformClasses(warmup);
        checkPatched(warmup, ClassBytes.PATCHED);
        System.gc();

        long[] start = retransformTimes();
        inst.retransformClasses(classes);
        long[] end = retransformTimes();
        checkPatched(classes, ClassBytes.PATCHED);
        printRetransform(count, "agent", start, end);
    }

    // ---- Guava's classes, one JVM a side ------------------------------------------

    /** Classes whose bytes reached the transformer in a retransformation. */
    static int transformed;

    static byte[] countedTransform(Guava.Kind kind, byte[] bytes) {
        transformed++;
        return Guava.transform(kind, bytes);
    }

    /** What the workload answered before any instrumentation. */
    private static long guavaBefore;

    /** Loads Guava's classes and runs the workload once, uninstrumented. */
    static Class<?>[] guavaStart(int limit) {
        Class<?>[] classes = Guava.load(limit);
        check(classes.length > 0, "no Guava classes loaded");
        guavaBefore = Guava.workload();
        check(Probe.calls() == 0, "the probe counted before any instrumentation");
        return classes;
    }

    /**
     * The transformer's code warmed on Guava's own bytes, outside any
     * retransformation, so that neither side's measured call compiles it.
     */
    static void guavaWarmup(Guava.Kind kind, Class<?>[] classes) {
        guavaWarmup(kind, classes, 300);
    }

    static void guavaWarmup(Guava.Kind kind, Class<?>[] classes, int count) {
        long length = 0;
        for (int i = 0; i < count; i++) {
            Class<?> klass = classes[i % classes.length];
            String resource = klass.getName().replace('.', '/') + ".class";
            try (java.io.InputStream in = klass.getClassLoader().getResourceAsStream(resource)) {
                byte[] result = Guava.transform(kind, in.readAllBytes());
                length += result == null ? 0 : result.length;
            } catch (IOException e) {
                throw new UncheckedIOException(e);
            }
        }
        sink += length;
    }

    /**
     * Generated classes for the warm-up retransformation, which each side
     * makes before Guava is loaded, so that whatever a process's first
     * redefinition costs once is the warm-up's, not the measured call's.
     * Where nothing held the retransformation capability from the VM's start
     * (zev-host --no-early-capabilities: libzev gains it at JNI_OnLoad), the
     * JIT's dependency records are incomplete and that first redefinition
     * throws away all compiled code; row 8 measures the first one instead.
     */
    static Class<?>[] guavaWarmupClasses(int limit) {
        return ClassBytes.define(ClassBytes.batch(limit > 0 ? Math.min(WARMUP_CLASSES, limit)
                                                            : WARMUP_CLASSES));
    }

    /** Checks the instrumented workload and prints the measured call. */
    static void guavaMeasured(Guava.Kind kind, Class<?>[] classes, String side, long[] start,
                              long[] end) {
        check(transformed == classes.length,
              transformed + " of " + classes.length + " classes reached the transformer");
        check(Guava.workload() == guavaBefore, "the instrumented workload answered differently");
        long counted = Probe.calls();
        check(kind == Guava.Kind.ASM ? counted > 0 : counted == 0,
              "the probe counted " + counted + " calls with the " + kind + " transformer");
        double cpu = (end[0] - start[0]) + (end[1] - start[1]);
        double elapsed = end[2] - start[2];
        // System.nanoTime's clock, for matching a profile (perf record -k CLOCK_MONOTONIC) to the call.
        System.err.println("zevbench: measured call from " + start[2] + " to " + end[2]
                           + " ns; CPU ns: calling thread " + (end[0] - start[0]) + ", VM Thread "
                           + (end[1] - start[1]));
        print("VALUE guava-" + kind.name().toLowerCase(Locale.ROOT) + " " + side + " "
              + format(cpu / 1000.0 / classes.length) + " "
              + format(elapsed / 1000.0 / classes.length) + " " + classes.length);
    }

    /** After the release: the same answer, and the probe no longer counts. */
    static void guavaReleased() {
        long counted = Probe.calls();
        check(Guava.workload() == guavaBefore, "the released workload answered differently");
        check(Probe.calls() == counted, "the probe still counts after the release");
    }

    static void guavaZev(Guava.Kind kind, int limit) {
        // The warm-up retransformation comes first: see guavaWarmupClasses.
        Class<?>[] warmup = guavaWarmupClasses(limit);
        VMZEV recorder = bind();
        recorder.setTransformer((klass, bytes) -> Guava.transform(kind, bytes));
        recorder.retransformClasses0(warmup);
        check(Vm.release().code == 0, "the release did not restore the warm-up classes");
        ZEV.forget();
        Class<?>[] classes = guavaStart(limit);
        guavaWarmup(kind, classes);
        recorder = bind();
        recorder.setTransformer((klass, bytes) -> countedTransform(kind, bytes));
        Probe.reset();
        vmThreadCpu();  // finds the VM Thread now, not inside the measured call
        System.gc();

        long[] start = retransformTimes();
        recorder.retransformClasses0(classes);
        long[] end = retransformTimes();
        guavaMeasured(kind, classes, "zev", start, end);
        check(Vm.release().code == 0, "the release did not restore Guava's classes");
        guavaReleased();
    }

    static void guavaAgent(Guava.Kind kind, int limit) throws UnmodifiableClassException {
        Class<?>[] warmup = guavaWarmupClasses(limit);
        Instrumentation inst = instrumentation();
        boolean[] counting = {false};
        ClassFileTransformer transformer = new ClassFileTransformer() {
            @Override
            public byte[] transform(ClassLoader loader, String name, Class<?> redefined,
                                    ProtectionDomain domain, byte[] bytes) {
                if (redefined == null) {
                    return null;
                }
                return counting[0] ? countedTransform(kind, bytes) : Guava.transform(kind, bytes);
            }
        };
        inst.addTransformer(transformer, true);
        inst.retransformClasses(warmup);
        // As libzev's release: the transformer removed and the warm-up classes restored,
        // so that Guava's classes load with no hook enabled and both sides carry the same
        // class versions into the measured call.
        check(inst.removeTransformer(transformer), "transformer");
        inst.retransformClasses(warmup);
        Class<?>[] classes = guavaStart(limit);
        guavaWarmup(kind, classes);
        inst.addTransformer(transformer, true);
        counting[0] = true;
        Probe.reset();
        vmThreadCpu();  // finds the VM Thread now, not inside the measured call
        System.gc();

        long[] start = retransformTimes();
        inst.retransformClasses(classes);
        long[] end = retransformTimes();
        guavaMeasured(kind, classes, "agent", start, end);
        check(inst.removeTransformer(transformer), "transformer");
        inst.retransformClasses(classes);
        guavaReleased();
    }

    // ---- the first retransformation of a fresh JVM, one JVM a side ------------------

    /** Runs of the workload before the retransformation: an application that has been running. */
    static final int COLD_WORKLOAD_BEFORE = 300;
    /** Passes of the transformer over Guava's class files before the window. */
    static final int COLD_TRANSFORMER_PASSES = 3;

    private static final com.sun.management.OperatingSystemMXBean OS =
            (com.sun.management.OperatingSystemMXBean) ManagementFactory.getOperatingSystemMXBean();

    /**
     * {the process's CPU time, elapsed time}. The process's, not one
     * thread's: what a redefinition that throws compiled code away costs
     * falls on the JIT's threads too, recompiling what the program runs next.
     */
    static long[] coldTimes() {
        return new long[] {OS.getProcessCpuTime(), System.nanoTime()};
    }

    /**
     * The CPU nanoseconds of this process's live threads by kind, from the
     * kernel's scheduler statistics: {calling thread, VM Thread, the JIT's
     * compiler threads, the collector's threads, the rest}. For the breakdown
     * on standard error; a thread that ends inside the window is missing here
     * but not from the process's total.
     */
    static long[] threadKinds() {
        long[] kinds = new long[5];
        try (DirectoryStream<Path> tasks = Files.newDirectoryStream(Paths.get("/proc/self/task"))) {
            long callingCpu = cpu();
            for (Path task : tasks) {
                String name;
                long nanos;
                try {
                    name = Files.readString(task.resolve("comm")).trim();
                    nanos = Long.parseLong(Files.readString(task.resolve("schedstat")).trim().split(" ")[0]);
                } catch (IOException e) {
                    continue;  // ended meanwhile
                }
                int kind = name.equals("VM Thread") ? 1
                         : name.startsWith("C1 Compiler") || name.startsWith("C2 Compiler") ? 2
                         : name.startsWith("G1") || name.startsWith("GC Thread") ? 3 : 4;
                kinds[kind] += nanos;
            }
            kinds[0] = callingCpu;
            kinds[4] -= callingCpu;
        } catch (IOException e) {
            throw new UncheckedIOException(e);
        }
        return kinds;
    }

    /** The CPU milliseconds of each kind of thread between two readings of threadKinds. */
    static String kinds(long[] before, long[] after) {
        String[] names = {"calling thread", "VM Thread", "compiler threads", "collector threads",
                          "other threads"};
        StringBuilder kinds = new StringBuilder();
        for (int i = 0; i < names.length; i++) {
            kinds.append(i == 0 ? "" : ", ").append(names[i]).append(' ')
                 .append((after[i] - before[i]) / 1000000);
        }
        return kinds.toString();
    }

    /**
     * Guava loaded and its workload run as a running application's, with no
     * hook enabled; the transformer's code warmed on Guava's bytes outside any
     * retransformation, as for the Guava rows, so that the JIT compiling it
     * (the same on both sides, and most of the spread) stays out of the window.
     * No retransformation comes before the measured one.
     */
    static Class<?>[] coldStart(Guava.Kind kind, int limit) {
        Class<?>[] classes = guavaStart(limit);
        long h = 0;
        for (int i = 0; i < COLD_WORKLOAD_BEFORE; i++) {
            h += Guava.workload();
        }
        sink += h;
        guavaWarmup(kind, classes, COLD_TRANSFORMER_PASSES * classes.length);
        jitQuiet();
        return classes;
    }

    /**
     * Waits until the JIT has compiled what the start queued (its total
     * compilation time unchanged for half a second, 30 seconds at most), so
     * that the window does not begin with the tail of the warm-up's compiling.
     */
    static void jitQuiet() {
        java.lang.management.CompilationMXBean jit = ManagementFactory.getCompilationMXBean();
        long deadline = System.nanoTime() + 30_000_000_000L;
        long last = -1;
        while (System.nanoTime() < deadline) {
            long total = jit.getTotalCompilationTime();
            if (total == last) {
                return;
            }
            last = total;
            try {
                Thread.sleep(500);
            } catch (InterruptedException e) {
                Thread.currentThread().interrupt();
                return;
            }
        }
    }

    /**
     * The window: the retransformation, then the workload run RUNS times, each
     * answering as before. Prints VALUE cold-KIND SIDE &lt;process CPU ms&gt;
     * &lt;elapsed ms&gt; &lt;classes&gt;.
     */
    static void coldWindow(Guava.Kind kind, Class<?>[] classes, int runs, String side,
                           Runnable retransform) {
        Probe.reset();
        System.gc();
        long[] kindsBefore = threadKinds();
        long[] start = coldTimes();
        retransform.run();
        long[] called = coldTimes();
        long[] kindsCalled = threadKinds();
        boolean same = true;
        for (int i = 0; i < runs; i++) {
            same &= Guava.workload() == guavaBefore;
        }
        long[] end = coldTimes();
        long[] kindsAfter = threadKinds();
        System.err.println("zevbench: window CPU ms: process " + (end[0] - start[0]) / 1000000
                           + " (the call " + (called[0] - start[0]) / 1000000 + ", the workload "
                           + (end[0] - called[0]) / 1000000 + "); the call: "
                           + kinds(kindsBefore, kindsCalled) + "; the workload: "
                           + kinds(kindsCalled, kindsAfter));
        check(same, "the instrumented workload answered differently");
        check(transformed == classes.length,
              transformed + " of " + classes.length + " classes reached the transformer");
        long counted = Probe.calls();
        check(kind == Guava.Kind.ASM ? counted > 0 : counted == 0,
              "the probe counted " + counted + " calls with the " + kind + " transformer");
        print("VALUE cold-" + kind.name().toLowerCase(Locale.ROOT) + " " + side + " "
              + format((end[0] - start[0]) / 1e6) + " " + format((end[1] - start[1]) / 1e6) + " "
              + classes.length);
    }

    static void coldZev(Guava.Kind kind, int limit, int runs) {
        Class<?>[] classes = coldStart(kind, limit);
        VMZEV recorder = bind();
        recorder.setTransformer((klass, bytes) -> countedTransform(kind, bytes));
        coldWindow(kind, classes, runs, "zev", () -> recorder.retransformClasses0(classes));
        check(Vm.release().code == 0, "the release did not restore Guava's classes");
        guavaReleased();
    }

    static void coldAgent(Guava.Kind kind, int limit, int runs) {
        Class<?>[] classes = coldStart(kind, limit);
        Instrumentation inst = instrumentation();
        ClassFileTransformer transformer = new ClassFileTransformer() {
            @Override
            public byte[] transform(ClassLoader loader, String name, Class<?> redefined,
                                    ProtectionDomain domain, byte[] bytes) {
                return redefined == null ? null : countedTransform(kind, bytes);
            }
        };
        inst.addTransformer(transformer, true);
        coldWindow(kind, classes, runs, "agent", () -> {
            try {
                inst.retransformClasses(classes);
            } catch (UnmodifiableClassException e) {
                throw new IllegalStateException(e);
            }
        });
        check(inst.removeTransformer(transformer), "transformer");
        try {
            inst.retransformClasses(classes);
        } catch (UnmodifiableClassException e) {
            throw new IllegalStateException(e);
        }
        guavaReleased();
    }

    // ---- memory over a long-lived VM thread ------------------------------------

    static long liveHeap(MemoryMXBean memory) {
        System.gc();
        System.gc();
        return memory.getHeapMemoryUsage().getUsed();
    }

    /**
     * After a warm-up loop on a thread of its own, one VM thread makes FIRST
     * start-recording requests, then more up to TOTAL; after each step, while
     * it stays attached, the live heap and the resident set are read.
     */
    static void memory(long first, long total, long warmup) {
        VMZEV recorder = bind();
        check(ZEV.startHalcyra(), "the recorder did not start");
        recorder.setHandler(new Handler());
        MemoryMXBean memory = ManagementFactory.getMemoryMXBean();
        answered(Vm.requestLoop(1, warmup, "start"), warmup);
        liveHeap(memory);

        Baseline.startPausingLoop(new long[] {first, total - first});
        long[] after = Baseline.awaitPause();
        check(after != null && after[0] == first, "first step");
        long heapFirst = liveHeap(memory);
        long residentFirst = Vm.residentBytes();
        Baseline.resume();
        after = Baseline.awaitPause();
        check(after != null && after[0] == total && after[2] == 0, "second step");
        long heapTotal = liveHeap(memory);
        long residentTotal = Vm.residentBytes();
        Baseline.resume();
        check(Baseline.awaitPause() == null, "the loop did not end");
        print("VALUE memory " + heapFirst + " " + heapTotal + " " + residentFirst + " "
              + residentTotal);
    }
}
