package zevbench;

import java.io.File;
import java.io.IOException;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.LinkedHashMap;
import java.util.List;
import java.util.Locale;
import java.util.Map;

/**
 * Runs every benchmark and prints one table. Each row is a ratio of libzev
 * to a baseline measured in the same run: side by side in one JVM, rounds
 * alternating, or, where each side needs a JVM of its own, JVMs started
 * alternately. The first round is a warm-up and is not counted.
 *
 * <p>{@code java -cp zevbench.jar zevbench.Driver BUILD_DIR [--quick]
 * [--guava-rounds=N] [--guava-classes=N] [--cold-runs=N]}: BUILD_DIR is the CMake build tree
 * with zev-host and the benchmark jars; --quick makes every row smaller, for
 * trying the command out; the Guava rows take N JVM pairs each (7, --quick
 * 3) and retransform N of Guava's classes (all of them by default); row 8
 * (the first retransformation of a fresh JVM, as many rounds as the Guava
 * rows) runs the workload N times inside its window.
 */
public final class Driver {
    private final String host;
    private final String benchJar;
    private final String agentJar;
    private final boolean quick;
    /** Counted rounds: rows whose rounds are cheap get more, to narrow the spread. */
    private final int nativeRounds;
    /** Row 6's rounds: its median moves by a few per cent over 11, and its target is parity. */
    private final int requestRounds;
    private final int hookRounds;
    private final int jvmRounds;
    private final int memoryRounds;
    private final int guavaRounds;
    /** Guava's classes to retransform; 0 for all of them. */
    private final int guavaClasses;
    /** Runs of the Guava workload inside row 8's window, after the retransformation. */
    private final int coldRuns;
    /** The jars beside zevbench.jar that the benchmark JVMs need (ASM, Guava). */
    private final String libraryJars;

    /** Per key, the numbers each counted round gave. */
    private final Map<String, List<double[]>> samples = new LinkedHashMap<>();

    private Driver(String build, boolean quick, int guavaRounds, int guavaClasses, int coldRuns)
            throws IOException {
        this.host = new File(build, "host/zev-host").getAbsolutePath();
        this.benchJar = new File(build, "bench/zevbench.jar").getAbsolutePath();
        this.agentJar = new File(build, "bench/zevbench-agent.jar").getAbsolutePath();
        this.quick = quick;
        this.nativeRounds = quick ? 5 : 11;
        this.requestRounds = quick ? 21 : 101;
        this.hookRounds = quick ? 5 : 15;
        this.jvmRounds = quick ? 5 : 15;
        this.memoryRounds = 5;
        this.guavaRounds = guavaRounds > 0 ? guavaRounds : quick ? 3 : 7;
        this.guavaClasses = guavaClasses;
        this.coldRuns = coldRuns > 0 ? coldRuns : COLD_RUNS;
        this.libraryJars = Files.readString(new File(build, "bench/zevbench.classpath").toPath()).trim();
    }

    private static int option(String[] args, String name) {
        for (String arg : args) {
            if (arg.startsWith(name + "=")) {
                return Integer.parseInt(arg.substring(name.length() + 1));
            }
        }
        return 0;
    }

    public static void main(String[] args) throws Exception {
        if (args.length < 1) {
            System.err.println("usage: zevbench.Driver BUILD_DIR [--quick] [--guava-rounds=N]"
                               + " [--guava-classes=N] [--cold-runs=N]");
            System.exit(2);
        }
        Driver driver = new Driver(args[0], Arrays.asList(args).contains("--quick"),
                                   option(args, "--guava-rounds"), option(args, "--guava-classes"),
                                   option(args, "--cold-runs"));
        long start = System.nanoTime();
        driver.runAll();
        driver.printTable((System.nanoTime() - start) / 1e9);
    }

    // ---- running benchmark JVMs -------------------------------------------

    private static final String[] NO_OPTIONS = {};

    /** Runs zev-host with the benchmark jar (and the agent when asked); answers its output lines. */
    private List<String> child(boolean agent, String... args) throws IOException, InterruptedException {
        return child(NO_OPTIONS, agent, args);
    }

    private List<String> child(String[] jvmOptions, boolean agent, String... args)
            throws IOException, InterruptedException {
        List<String> command = new ArrayList<>();
        command.add(host);
        // A fixed heap, so that both sides of a row meet the same collector.
        command.add("-Xms1g");
        command.add("-Xmx1g");
        command.addAll(Arrays.asList(jvmOptions));
        if (agent) {
            command.add("-javaagent:" + agentJar);
        }
        command.add("-cp");
        command.add(benchJar + ":" + libraryJars);
        command.add(Child.class.getName());
        command.addAll(Arrays.asList(args));
        File err = File.createTempFile("zevbench", ".err");
        try {
            Process process = new ProcessBuilder(command).redirectError(err).start();
            String out = new String(process.getInputStream().readAllBytes(), StandardCharsets.UTF_8);
            int status = process.waitFor();
            if (status != 0) {
                throw new IllegalStateException(String.join(" ", command) + " exited with " + status
                        + "\n" + out + Files.readString(err.toPath()));
            }
            return Arrays.asList(out.split("\n"));
        } finally {
            err.delete();
        }
    }

    private void progress(String what) {
        System.err.println("zevbench: " + what);
    }

    /** Records the SAMPLE lines of a side-by-side child. */
    private void collectSamples(List<String> lines) {
        for (String line : lines) {
            String[] f = line.trim().split(" ");
            if (f[0].equals("SAMPLE")) {
                add(f[1], Double.parseDouble(f[2]), Double.parseDouble(f[3]));
            }
        }
    }

    private void add(String key, double... values) {
        samples.computeIfAbsent(key, k -> new ArrayList<>()).add(values);
    }

    /** The numbers of the VALUE line named key in a child's output. */
    private static double[] value(List<String> lines, String key) {
        for (String line : lines) {
            String[] f = line.trim().split(" ");
            if (f[0].equals("VALUE") && f[1].equals(key)) {
                double[] numbers = new double[f.length - 2];
                for (int i = 2; i < f.length; i++) {
                    numbers[i - 2] = f[i].matches("-?[0-9.]+") ? Double.parseDouble(f[i]) : Double.NaN;
                }
                return numbers;
            }
        }
        throw new IllegalStateException("no VALUE " + key + " in " + lines);
    }

    /** One side's JVM, libzev's or the agent's: the numbers of its VALUE line. */
    private interface Side {
        double[] run(boolean zev) throws IOException, InterruptedException;
    }

    /**
     * Pairs of JVMs, one a side, started alternately (libzev first in even
     * rounds), after one pair that is not counted; records each pair's
     * second numbers under key.
     */
    private void jvmPairs(String key, int rounds, Side side)
            throws IOException, InterruptedException {
        for (int round = -1; round < rounds; round++) {
            boolean zevFirst = (round & 1) == 0;
            double[] first = side.run(zevFirst);
            double[] second = side.run(!zevFirst);
            if (round >= 0) {
                add(key, zevFirst ? first[1] : second[1], zevFirst ? second[1] : first[1]);
            }
        }
    }

    /** Row 8's runs of the workload after the retransformation, by default. */
    private static final int COLD_RUNS = 100;

    /** zev-host's option that starts the JVM without the host's capabilities agent. */
    private static final String[] LATE_CAPABILITIES = {"--no-early-capabilities"};

    /**
     * The first retransformation of a fresh JVM: per round three JVMs, libzev
     * through zev-host as it is, the agent, and libzev without the host's
     * capabilities agent, started in an order that rotates; one round not
     * counted. Records libzev against the agent of its round under key, and
     * the late capabilities against the same agent under key + "-late".
     */
    private void coldRounds(String kind, int rounds) throws IOException, InterruptedException {
        String key = "cold-" + kind;
        String[] args = {kind, String.valueOf(guavaClasses), String.valueOf(coldRuns)};
        for (int round = -1; round < rounds; round++) {
            double zev = 0;
            double agent = 0;
            double late = 0;
            for (int i = 0; i < 3; i++) {
                switch ((round + 1 + i) % 3) {
                case 0:
                    double[] v = value(child(false, concat("cold-zev", args)), key);
                    zev = v[1];
                    guavaCount = (int) v[3];
                    break;
                case 1:
                    agent = value(child(true, concat("cold-agent", args)), key)[1];
                    break;
                default:
                    late = value(child(LATE_CAPABILITIES, false, concat("cold-zev", args)), key)[1];
                    break;
                }
            }
            if (round >= 0) {
                add(key, zev, agent);
                add(key + "-late", late, agent);
            }
        }
    }

    private static String[] concat(String first, String[] rest) {
        String[] all = new String[rest.length + 1];
        all[0] = first;
        System.arraycopy(rest, 0, all, 1, rest.length);
        return all;
    }

    private void runAll() throws IOException, InterruptedException {
        progress("rows 1, 2 and 6: natives and start-recording requests, side by side");
        collectSamples(child(false, "natives", String.valueOf(nativeRounds), quick ? "500000" : "2000000",
                             quick ? "50000" : "200000", String.valueOf(requestRounds)));
        progress("row 3: defining new classes, libzev's hook enabled and disabled");
        collectSamples(child(false, "hook", String.valueOf(hookRounds), quick ? "4000" : "20000", "1000"));
        progress("row 4: defining new classes, an agent's transformer added and removed");
        collectSamples(child(true, "agent-hook", String.valueOf(hookRounds), quick ? "4000" : "20000"));

        int[] sizes = quick ? new int[] {100, 1000} : new int[] {100, 1000, 5000};
        for (int m : sizes) {
            progress("row 5: retransforming " + m + " classes, one JVM a side, started alternately");
            String key = "retransform" + m;
            jvmPairs(key, jvmRounds, zev -> value(child(!zev, zev ? "retransform-zev"
                                                                  : "retransform-agent",
                                                        String.valueOf(m)), key));
        }

        for (String kind : new String[] {"null", "copy", "asm"}) {
            progress("row 5: retransforming Guava's classes, transformer " + kind
                     + ", one JVM a side, started alternately");
            String key = "guava-" + kind;
            jvmPairs(key, guavaRounds, zev -> {
                double[] v = value(child(!zev, zev ? "guava-zev" : "guava-agent", kind,
                                         String.valueOf(guavaClasses)), key);
                guavaCount = (int) v[3];
                return v;
            });
        }

        progress("row 8: the first retransformation of a fresh JVM, Guava under the ASM probe,"
                 + " the workload run " + coldRuns + " times after it; three JVMs a round");
        coldRounds("asm", guavaRounds);

        long total = quick ? 200000 : 1000000;
        progress(String.format(Locale.ROOT, "row 7: memory after 10,000 and %,d requests on one VM thread", total));
        // The heap's pages are touched at start, so that the resident set
        // grows only with memory that something keeps.
        String[] preTouch = {"-XX:+AlwaysPreTouch"};
        for (int round = -1; round < memoryRounds; round++) {
            double[] v = value(child(preTouch, false, "memory", "10000", String.valueOf(total), "100000"),
                               "memory");
            if (round >= 0) {
                add("memory", v);
            }
        }
    }

    // ---- the table --------------------------------------------------------

    static double median(double[] values) {
        double[] sorted = values.clone();
        Arrays.sort(sorted);
        int n = sorted.length;
        return n % 2 == 1 ? sorted[n / 2] : (sorted[n / 2 - 1] + sorted[n / 2]) / 2;
    }

    static double min(double[] values) {
        return Arrays.stream(values).min().orElse(Double.NaN);
    }

    static double max(double[] values) {
        return Arrays.stream(values).max().orElse(Double.NaN);
    }

    private double[] column(String key, int index) {
        return samples.get(key).stream().mapToDouble(s -> s[index]).toArray();
    }

    private double[] ratios(String key) {
        return samples.get(key).stream().mapToDouble(s -> s[0] / s[1]).toArray();
    }

    static String number(double value) {
        double magnitude = Math.abs(value);
        String pattern = magnitude >= 100 ? "%.0f" : magnitude >= 10 ? "%.1f" : "%.2f";
        return String.format(Locale.ROOT, pattern, value);
    }

    static String spread(double[] values, double scale) {
        return number(median(values) / scale) + " (" + number(min(values) / scale) + "–"
               + number(max(values) / scale) + ")";
    }

    static String ratio(double[] values) {
        return String.format(Locale.ROOT, "%.3f× (%.3f–%.3f)", median(values), min(values),
                             max(values));
    }

    /** How many of Guava's classes the Guava rows retransformed. */
    private int guavaCount;

    private final List<String> rows = new ArrayList<>();
    private final List<String> misses = new ArrayList<>();

    /** A row comparing libzev with its baseline; limit null for a row shown for comparison. */
    private void ratioRow(String number, String what, String key, double scale, Double limit) {
        double[] r = ratios(key);
        String verdict;
        if (limit == null) {
            verdict = "shown";
        } else if (median(r) <= limit) {
            verdict = "met";
        } else {
            verdict = "MISSED";
            misses.add(number + " " + what);
        }
        rows.add("| " + number + " | " + what + " | " + spread(column(key, 0), scale) + " | "
                 + spread(column(key, 1), scale) + " | " + ratio(r) + " | "
                 + (limit == null ? "—" : String.format(Locale.ROOT, "≤ %.2f×", limit)) + " | "
                 + verdict + " |");
    }

    private void growthRow(String number, String what, double[] first, double[] total,
                           double limitMiB) {
        double mib = 1024 * 1024;
        double[] growth = new double[first.length];
        for (int i = 0; i < growth.length; i++) {
            growth[i] = total[i] - first[i];
        }
        boolean met = median(growth) <= limitMiB * mib;
        if (!met) {
            misses.add(number + " " + what);
        }
        rows.add("| " + number + " | " + what + " | " + spread(total, mib) + " MiB | "
                 + spread(first, mib) + " MiB | growth " + spread(growth, mib) + " MiB | "
                 + String.format(Locale.ROOT, "≤ %.0f MiB", limitMiB) + " | "
                 + (met ? "met" : "MISSED") + " |");
    }

    private void printTable(double seconds) {
        ratioRow("1", "`Timing.counterTime`, ns/call", "counterTime", 1, 1.05);
        ratioRow("1", "`VMZEV.threadID`, ns/call", "threadID", 1, 1.05);
        ratioRow("1", "`VMZEV.getPeriod`, ns/call", "getPeriod", 1, 1.05);
        ratioRow("2", "`write`, 64-byte events, ns/event", "write64", 1, 1.05);
        ratioRow("2", "`write`, 4 KiB events, ns/event", "write4096", 1, 1.05);
        ratioRow("3", "define 20,000 new classes, libzev's hook enabled (1,000 listed) vs disabled,"
                      + " µs/class", "hook", 1000, 1.05);
        ratioRow("4", "the same, a java.lang.instrument transformer answering null vs none,"
                      + " µs/class", "agent-hook", 1000, null);
        for (String key : samples.keySet()) {
            if (key.startsWith("retransform")) {
                int m = Integer.parseInt(key.substring("retransform".length()));
                ratioRow("5", String.format(Locale.ROOT, "`retransformClasses0` of %,d classes vs"
                                            + " `Instrumentation.retransformClasses`, µs/class", m),
                         key, 1, m >= 1000 ? 1.0 : null);
            }
        }
        String[][] guava = {{"null", "answering null"}, {"copy", "answering a copy of the bytes"},
                            {"asm", "adding an ASM probe at every method entry"}};
        for (String[] g : guava) {
            String classes = String.format(Locale.ROOT, guavaClasses > 0 ? "%,d of Guava's classes"
                                           : "every Guava class (%,d)", guavaCount);
            ratioRow("5", classes + " retransformed, transformer " + g[1]
                          + ", vs `Instrumentation.retransformClasses`, µs/class",
                     "guava-" + g[0], 1, 1.0);
        }
        ratioRow("6", "start-recording round trip from one VM thread, ns/request", "startRecording",
                 1, 1.0);
        double[] heapFirst = column("memory", 0);
        double[] heapTotal = column("memory", 1);
        double[] residentFirst = column("memory", 2);
        double[] residentTotal = column("memory", 3);
        String requests = quick ? "200,000" : "1,000,000";
        growthRow("7", "live heap after a full GC, " + requests + " vs 10,000 requests",
                  heapFirst, heapTotal, 1);
        growthRow("7", "resident set, " + requests + " vs 10,000 requests", residentFirst,
                  residentTotal, 8);
        String cold = String.format(Locale.ROOT, guavaClasses > 0 ? "%,d of Guava's classes"
                                    : "every Guava class (%,d)", guavaCount);
        ratioRow("8", "first retransformation of a fresh JVM: " + cold + " with the ASM probe, then"
                      + " the workload " + coldRuns + " times, vs `Instrumentation.retransformClasses`"
                      + " (agent loaded at start), process CPU ms", "cold-asm", 1, 1.0);
        ratioRow("8", "the same, zev-host started with `--no-early-capabilities`", "cold-asm-late", 1,
                 null);

        System.out.println("| row | measurement | libzev: median (min–max) | baseline: median (min–max)"
                           + " | ratio: median (min–max) | target | |");
        System.out.println("|---|---|---|---|---|---|---|");
        rows.forEach(System.out::println);
        System.out.println();
        System.out.printf(Locale.ROOT, "Counted rounds after a warm-up: %d (rows 1, 2), %d (row 6), %d"
                          + " (rows 3, 4), %d JVM pairs (row 5), %d JVM pairs (row 5, Guava), %d JVMs (row 7),"
                          + " %d rounds of three JVMs (row 8)%s;"
                          + " %.0f s in all.%n",
                          nativeRounds, requestRounds, hookRounds, jvmRounds, guavaRounds, memoryRounds, guavaRounds,
                          quick ? "; --quick: smaller rows" : "", seconds);
        System.out.println("Rows 1-4 and 6: CPU time of the measuring thread, the two sides alternating"
                           + " within each round. Row 5: CPU time of the calling thread and the VM Thread over the call, one JVM a side."
                           + " Row 7: the libzev column is after the larger count, the baseline"
                           + " column after 10,000. Row 8: CPU time of the whole process (the JIT's"
                           + " threads included) from the call to the end of the workload's runs, one JVM a side.");
        libzevGrowth();
        if (!misses.isEmpty()) {
            System.out.println("Missed: " + String.join("; ", misses));
        }
    }

    /** How the per-class retransformation cost changes with the list's length, on each side. */
    private void libzevGrowth() {
        List<Integer> sizes = new ArrayList<>();
        for (String key : samples.keySet()) {
            if (key.startsWith("retransform")) {
                sizes.add(Integer.parseInt(key.substring("retransform".length())));
            }
        }
        StringBuilder line = new StringBuilder("Row 5, per-class cost as M grows (median over median):");
        for (int i = 1; i < sizes.size(); i++) {
            String from = "retransform" + sizes.get(i - 1);
            String to = "retransform" + sizes.get(i);
            line.append(String.format(Locale.ROOT, " %,d to %,d: libzev %.2f×, java.lang.instrument %.2f×;",
                                      sizes.get(i - 1), sizes.get(i),
                                      median(column(to, 0)) / median(column(from, 0)),
                                      median(column(to, 1)) / median(column(from, 1))));
        }
        line.setLength(line.length() - 1);
        System.out.println(line.append('.'));
    }
}
