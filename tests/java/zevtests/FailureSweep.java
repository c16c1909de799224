package zevtests;

import static java.nio.charset.StandardCharsets.ISO_8859_1;

import java.lang.instrument.Instrumentation;
import java.nio.ByteBuffer;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.List;
import java.util.Map;
import java.util.function.Predicate;
import java.util.function.Supplier;

import tesmar.nuvrak.zev.ClassTransformer;
import tesmar.nuvrak.zev.Logger;
import tesmar.nuvrak.zev.Process;
import tesmar.nuvrak.zev.RecordingHandler;
import tesmar.nuvrak.zev.Timing;
import tesmar.nuvrak.zev.VMZEV;
import tesmar.nuvrak.zev.ZEV;
import zevhost.Answer;
import zevhost.Vm;
import zevtests.support.FailureReport;
import zevtests.support.Injector;

/**
 * Fails the library's calls into the VM one at a time, at every point where
 * one of its entry points makes one, and judges what the library does.
 *
 * For each scenario (one entry point in one state): a warm-up and a counting
 * run (K = 0) that lists the entry's fallible calls; then, for k = 1, 2, ...
 * until a run reaches no k-th call, the k-th call failed once, then the k-th
 * and every later call failed, then each reference-making call failed with
 * nothing pending. Each failed run must be survived: a native throws, an
 * upcall answers the VM null, false or 0 with an exception pending or a
 * level-1 line (or the request's full answer), never a string with an
 * exception pending; a retransformed class runs its own bytes or complete
 * new ones; the library holds no more global references or allocations
 * than before; and the same call, made again, succeeds.
 *
 * Usage: FailureSweep GROUP [SCENARIO MODE K] to resume at a case; or
 * FailureSweep load MODE K in a host run with --fail K,MODE,jvmti (see
 * load()). Prints
 * "SCENARIO i name points=N", "GUARANTEE i message" for each abort the
 * library is required to make in that scenario, "CASE i mode k function"
 * before each failed run and "POINT i mode k function ok" (or "... FAILED
 * reason") after it, and finally "SWEEP group sound" (exit 0) or "SWEEP
 * group UNSOUND" (exit 1). A case that runs longer than a minute prints
 * every thread's stack and "HANG" and halts the JVM with status 3.
 */
public final class FailureSweep {
    static final String[] MODES = {"once", "exhaust", "once,quiet-refs"};
    static final long CASE_LIMIT_MILLIS = 60_000;

    /** The aborts that binding a recorder must make when its lookups or its reference fail. */
    static final String[] INIT_GUARANTEES = {
        "couldn't find VMZEV class", "couldn't find finishChunk method",
        "couldn't find startRecording method", "couldn't find stopRecording method",
        "couldn't find checkRecording method", "couldn't find dumpRecording method",
        "couldn't find retransformCallback method", "couldn't find onNewChunk method",
        "Could not create ZEV global ref", "Failed to get UTF Chars from String",
    };

    public static void main(String[] args) throws Throwable {
        if (args.length == 3 && args[0].equals("load")) {
            load(Integer.parseInt(args[1]), Long.parseLong(args[2]));
            return;
        }
        if (args.length != 1 && args.length != 4) {
            throw new IllegalArgumentException("usage: FailureSweep GROUP [SCENARIO MODE K]");
        }
        Map<String, Supplier<List<Scenario>>> groups = Map.of(
            "natives", FailureSweep::natives,
            "unsupported", FailureSweep::unsupported,
            "binding", FailureSweep::binding,
            "upcalls-before-start", () -> upcalls(false),
            "upcalls-after-start", () -> upcalls(true),
            "retransformation", FailureSweep::retransformation);
        Supplier<List<Scenario>> group = groups.get(args[0]);
        if (group == null) {
            throw new IllegalArgumentException("no group " + args[0] + " in " + groups.keySet());
        }
        int fromScenario = args.length == 4 ? Integer.parseInt(args[1]) : 0;
        int fromMode = args.length == 4 ? Integer.parseInt(args[2]) : 0;
        long fromK = args.length == 4 ? Long.parseLong(args[3]) : 1;

        // Installed before anything is bound, so that every reference is accounted for.
        Injector.armFailures("0");
        Injector.disarmFailures();
        List<Scenario> scenarios = group.get();
        boolean sound = true;
        for (int i = fromScenario; i < scenarios.size(); i++) {
            boolean resumed = i == fromScenario;
            sound &= new Sweeper(i, scenarios.get(i)).run(resumed ? fromMode : 0,
                                                         resumed ? fromK : 1);
        }
        System.out.println("SWEEP " + args[0] + (sound ? " sound" : " UNSOUND"));
        System.exit(sound ? 0 : 1);
    }

    // ---- the load ------------------------------------------------------------

    /** What the library logs when each step of setting up its tool environment fails. */
    static final Map<String, String> LOAD_FAILURES = Map.of(
        "GetEnv", "log(1, \"Could not get JVMTI environment.\")",
        "AddCapabilities", "log(1, \"Failed to get the capabilities.\")",
        "SetEventCallbacks", "log(1, \"Failed in call to SetEventCallbacks.\")");

    /**
     * The load under a JVMTI failure armed for the whole run (--fail
     * K,MODE,jvmti): the library loads, says which step failed, keeps no
     * environment it could not set up, and refuses lists (without holding
     * one) while its natives and upcalls work on. "LOAD none points=N" when
     * the load made fewer than K JVMTI calls.
     */
    static void load(int mode, long k) throws Throwable {
        FailureReport report = Injector.disarmFailures();
        List<String> journal = Arrays.asList(Vm.takeJournal());
        if (report.failed == 0) {
            System.out.println("LOAD none points=" + report.counted);
            return;
        }
        System.out.println("CASE 0 " + mode + " " + k + " " + report.function);
        String problem = null;
        String line = LOAD_FAILURES.get(report.function);
        if (line == null || !journal.contains(line)) {
            problem = "expected " + line + " after " + report + ": " + journal;
        } else if (!journal.contains("log(5, \"Loaded ZEV library\")")) {
            problem = "the library did not load: " + journal;
        } else if (Injector.libraryJvmtiEnvironments() != 0) {
            problem = "the library kept " + Injector.libraryJvmtiEnvironments() + " JVMTI environment(s)";
        }
        VMZEV recorder = bindRecorder();
        for (int attempt = 0; problem == null && attempt < 2; attempt++) {
            Vm.clearJournal();
            try {
                recorder.retransformClasses0(SUBJECTS);
                problem = "a list was accepted without a tool environment";
            } catch (Exception e) {
                List<String> said = Arrays.asList(Vm.takeJournal());
                if (!"VMZEV_retransform".equals(e.getMessage())
                    || !said.equals(List.of("log(1, \"Unable to retransform classes since no jvmti env\")"))) {
                    problem = "the list was refused with " + e + ", " + said;
                }
            }
        }
        if (problem == null) {
            ZEV.setBootstrap(() -> recorder);
            Answer answer = Vm.checkRecording("after the load", 1, false);
            if (!"check after the load 1".equals(answer.value) || Vm.release().code != 0) {
                problem = "the upcalls do not work: " + answer;
            }
        }
        System.out.println("POINT 0 " + mode + " " + k + " " + report.function
                           + (problem == null ? " ok" : " FAILED " + problem));
    }

    // ---- what a run gives and how it is judged -----------------------------

    static final class Outcome {
        Object result;
        Throwable thrown;
        FailureReport report;
        List<String> journal;

        boolean failedACall() {
            return report != null && report.failed > 0;
        }

        boolean loggedError() {
            return journal.stream().anyMatch(line -> line.startsWith("log(1, "));
        }

        @Override
        public String toString() {
            return (thrown != null ? "threw " + thrown : "answered " + result)
                   + (journal.isEmpty() ? "" : ", journal " + journal);
        }
    }

    /** One entry point in one state, the state restored after every run. */
    abstract static class Scenario {
        String name;
        final List<String> guarantees = new ArrayList<>();
        String scripted;  // a VM operation given a standing answer while the scenario runs
        long scriptedAnswer;

        Scenario(String name) {
            this.name = name;
        }

        Scenario guarantees(String... messages) {
            guarantees.addAll(Arrays.asList(messages));
            return this;
        }

        Scenario scripted(String operation, long answer) {
            scripted = operation;
            scriptedAnswer = answer;
            return this;
        }

        void setUp() throws Throwable {
        }

        /** The one library call that runs armed. */
        abstract Object call() throws Throwable;

        /** Null when a run in which nothing failed did what the call does; else why not. */
        abstract String checkSuccess(Outcome o) throws Throwable;

        /** Null when a run in which a call failed answered soundly; else why not. */
        abstract String checkSurvived(Outcome o) throws Throwable;

        /** Back to the state before setUp; null, or what is wrong with the state. */
        String tearDown() throws Throwable {
            return null;
        }

        /** The first call worth failing; earlier ones are another scenario's. */
        long firstCall(String[] calls) {
            return 1;
        }

        /**
         * A cold scenario runs where the library has yet to fill a cache of
         * its own: no warm-up and no counting run, one failed call per
         * process, on up to and including the call named here.
         */
        String coldUntil() {
            return null;
        }
    }

    interface Call {
        Object call() throws Throwable;
    }

    interface Step {
        void run() throws Throwable;
    }

    /** A call that answers nothing. */
    static Call run(Step step) {
        return () -> {
            step.run();
            return null;
        };
    }

    /** A native: it does what it does, or it returns at once with the exception pending. */
    static Scenario checked(String name, Call call, Predicate<Outcome> success, String expected) {
        return new Scenario(name) {
            @Override
            Object call() throws Throwable {
                return call.call();
            }

            @Override
            String checkSuccess(Outcome o) {
                return success.test(o) ? null : "expected " + expected + ", " + o;
            }

            @Override
            String checkSurvived(Outcome o) {
                return o.thrown != null ? null : "returned normally after a failed call: " + o;
            }
        };
    }

    /** A native that answers a value the test accepts. */
    static Scenario nativeCall(String name, Call call, Predicate<Object> answer) {
        return checked(name, call, o -> o.thrown == null && answer.test(o.result), "an answer");
    }

    static Scenario nativeCall(String name, Call call) {
        return nativeCall(name, call, result -> true);
    }

    /** A native whose answer is an exception of its own making. */
    static Scenario refusal(String name, Call call, Class<? extends Throwable> type,
                            String message) {
        return checked(name, call, o -> o.thrown != null && o.thrown.getClass() == type
                                        && (message == null || message.equals(o.thrown.getMessage())),
                       type.getName() + " " + message);
    }

    // ---- the sweeper ---------------------------------------------------------

    static final class Sweeper {
        final int index;
        final Scenario scenario;

        Sweeper(int index, Scenario scenario) {
            this.index = index;
            this.scenario = scenario;
        }

        boolean run(int fromMode, long fromK) throws Throwable {
            if (scenario.coldUntil() != null) {
                return runCold(fromMode, fromK);
            }
            String problem = attempt(null, false).problem;
            Attempt counting = attempt("0", true);
            if (problem == null) {
                problem = counting.problem;
            }
            String[] calls = counting.outcome.report.calls;
            System.out.println("SCENARIO " + index + " " + scenario.name + " points=" + calls.length);
            for (String message : scenario.guarantees) {
                System.out.println("GUARANTEE " + index + " " + message);
            }
            if (problem != null) {
                System.out.println("POINT " + index + " none 0 - FAILED without a failure: " + problem);
                return false;
            }
            boolean sound = true;
            long first = scenario.firstCall(calls);
            for (int mode = fromMode; mode < MODES.length; mode++) {
                for (long k = Math.max(first, mode == fromMode ? fromK : 1); k <= calls.length; k++) {
                    String function = calls[(int) k - 1];
                    if (mode == 2 && !function.matches("New(Global|Local|WeakGlobal)Ref")) {
                        continue;
                    }
                    sound &= failAt(mode, k, function);
                }
            }
            return sound;
        }

        /**
         * One failed call of a cold scenario, then "NEXT" with the case to
         * resume at in a new process; past the last mode, on in this one.
         */
        boolean runCold(int mode, long k) throws Throwable {
            System.out.println("SCENARIO " + index + " " + scenario.name + " points=" + k);
            for (String message : scenario.guarantees) {
                System.out.println("GUARANTEE " + index + " " + message);
            }
            Attempt[] failed = new Attempt[1];
            boolean sound = failAt(mode, k, "?", failed);
            FailureReport report = failed[0].outcome.report;
            boolean last = report.failed == 0 || scenario.coldUntil().equals(report.function);
            if (!last) {
                System.out.println("NEXT " + index + " " + mode + " " + (k + 1));
            } else if (mode + 1 < MODES.length) {
                System.out.println("NEXT " + index + " " + (mode + 1) + " 1");
            } else {
                return sound;
            }
            System.out.flush();
            System.exit(0);
            return sound;
        }

        boolean failAt(int mode, long k, String function) throws Throwable {
            return failAt(mode, k, function, new Attempt[1]);
        }

        boolean failAt(int mode, long k, String function, Attempt[] failedOut) throws Throwable {
            String point = index + " " + mode + " " + k + " " + function;
            System.out.println("CASE " + point);
            Attempt failed = attempt(k + "," + MODES[mode] + ",trace", true);
            failedOut[0] = failed;
            String problem = failed.problem;
            if (problem == null && !failed.outcome.failedACall()) {
                problem = "call " + k + " was not reached: " + failed.outcome.report;
            }
            if (problem == null) {
                // In a cold scenario this run fills the library's cache: one reference more.
                Attempt again = attempt(null, true, scenario.coldUntil() != null ? 1 : 0);
                if (again.problem != null) {
                    problem = "the same call made again: " + again.problem;
                }
            }
            System.out.println("POINT " + point + (problem == null ? " ok" : " FAILED " + problem));
            return problem == null;
        }

        static final class Attempt {
            Outcome outcome = new Outcome();
            String problem;
        }

        Attempt attempt(String plan, boolean checkHoldings) throws Throwable {
            return attempt(plan, checkHoldings, 0);
        }

        /**
         * One run: set up, the call (armed with the plan, if any), judged, torn
         * down; then the library must hold what it held before, but for
         * newRefs global references of a cache it fills.
         */
        Attempt attempt(String plan, boolean checkHoldings, long newRefs) throws Throwable {
            Attempt a = new Attempt();
            Outcome o = a.outcome;
            long refs = Injector.libraryGlobalRefs();
            long allocations = Injector.libraryAllocations();
            if (scenario.scripted != null) {
                Vm.answer(scenario.scripted, scenario.scriptedAnswer);
            }
            scenario.setUp();
            Vm.clearJournal();
            Thread watchdog = watchdog(plan);
            if (plan != null) {
                Injector.armFailures(plan);
            }
            try {
                o.result = scenario.call();
            } catch (Throwable t) {
                o.thrown = t;
            }
            if (plan != null) {
                o.report = Injector.disarmFailures();
            }
            watchdog.interrupt();
            o.journal = Arrays.asList(Vm.takeJournal());
            a.problem = o.failedACall() ? scenario.checkSurvived(o) : scenario.checkSuccess(o);
            if (scenario.scripted != null) {
                Vm.clearScript();
            }
            String state = scenario.tearDown();
            if (a.problem == null && state != null) {
                a.problem = state;
            }
            if (a.problem == null && checkHoldings && refs + newRefs != Injector.libraryGlobalRefs()) {
                a.problem = "the library holds " + Injector.libraryGlobalRefs()
                            + " global references, " + refs + " before: " + o;
            }
            if (a.problem == null && checkHoldings && allocations != Injector.libraryAllocations()) {
                a.problem = "the library holds " + Injector.libraryAllocations() + " allocations, "
                            + allocations + " before: " + o;
            }
            return a;
        }

        Thread watchdog(String plan) {
            Thread watchdog = new Thread(() -> {
                try {
                    Thread.sleep(CASE_LIMIT_MILLIS);
                } catch (InterruptedException e) {
                    return;
                }
                System.out.println("HANG " + index + " " + scenario.name + " plan " + plan);
                Thread.getAllStackTraces().forEach((thread, stack) -> {
                    System.out.println("  thread " + thread.getName());
                    for (StackTraceElement frame : stack) {
                        System.out.println("    at " + frame);
                    }
                });
                System.out.flush();
                Runtime.getRuntime().halt(3);
            }, "sweep watchdog");
            watchdog.setDaemon(true);
            watchdog.start();
            return watchdog;
        }
    }

    // ---- recorders -----------------------------------------------------------

    /** Answers each request with its method and name, so that an answer shows its request. */
    static final class Handler implements RecordingHandler {
        volatile String finishedChunk;
        volatile int newChunks;

        @Override
        public String startRecording(String name, String[] settings, boolean disk, long delay,
                                     long duration, String fileName, boolean dumpOnExit,
                                     long maxAge, long maxSize, boolean verbose) {
            return "start " + name + " " + Arrays.toString(settings) + " " + fileName;
        }

        @Override
        public String stopRecording(String name, long id, boolean discard, String fileName,
                                    boolean verbose) {
            return "stop " + name + " " + id;
        }

        @Override
        public String checkRecording(String name, long id, boolean verbose) {
            return "check " + name + " " + id;
        }

        @Override
        public String dumpRecording(String name, long id, String fileName, boolean verbose) {
            return "dump " + name + " " + fileName;
        }

        @Override
        public void finishChunk(String chunkPath, long startTime, long endTime,
                                boolean finalChunk) {
            finishedChunk = chunkPath;
        }

        @Override
        public void onNewChunk() {
            newChunks++;
        }
    }

    static final Handler HANDLER = new Handler();

    /** ZEV.get(): the bound recorder, binding one when there is none. */
    static final class Bootstrap implements ZEV.Bootstrap {
        private VMZEV bound;

        @Override
        public synchronized ZEV get() {
            if (bound == null) {
                VMZEV recorder = new VMZEV();
                recorder.setHandler(HANDLER);
                recorder.setTransformer(PATCH);
                if (recorder.bind() == null) {
                    return null;
                }
                bound = recorder;
            }
            return bound;
        }

        synchronized VMZEV bound() {
            return bound;
        }

        /** After the VM released the bindings (or a binding failed): bind afresh. */
        synchronized VMZEV rebind() {
            Vm.release();
            bound = null;
            return (VMZEV) get();
        }
    }

    static final Bootstrap BOOTSTRAP = new Bootstrap();

    static VMZEV recorder() {
        return BOOTSTRAP.bound();
    }

    static VMZEV bindRecorder() {
        ZEV.setBootstrap(BOOTSTRAP);
        VMZEV recorder = (VMZEV) ZEV.get();
        Cases.check(recorder != null, "a recorder binds");
        return recorder;
    }

    // ---- natives -------------------------------------------------------------

    static final byte[] DATA = new byte[4096];

    /** Every native of the recorder's classes, with valid arguments and with refused ones. */
    static List<Scenario> natives() {
        List<String> settings = new ArrayList<>();
        for (int i = 0; i < 100; i++) {
            settings.add(i % 10 == 3 ? null : "setting-" + i);
        }
        Vm.setOptions("sweep", settings.toArray(new String[0]), true, 1, 2, 3, 4, "/tmp/dump",
                      true, 5, 6, true);
        VMZEV r = bindRecorder();
        ByteBuffer pool = ByteBuffer.allocateDirect(8);
        List<Scenario> s = new ArrayList<>();
        s.add(nativeCall("ZEV.isSupportedInVM", ZEV::isSupportedInVM, Boolean.TRUE::equals));
        s.add(nativeCall("ZEV.isEnabled", ZEV::isEnabled, Boolean.TRUE::equals));
        s.add(nativeCall("ZEV.isDisabledOnCommandLine", ZEV::isDisabledOnCommandLine,
                         Boolean.FALSE::equals));
        s.add(nativeCall("ZEV.isStarted", ZEV::isStarted, Boolean.FALSE::equals));
        s.add(nativeCall("VMZEV.flush", r::flush, Boolean.TRUE::equals));
        s.add(nativeCall("VMZEV.threadID", r::threadID));
        s.add(nativeCall("VMZEV.remove", () -> r.remove(7)));
        s.add(nativeCall("VMZEV.removeConstPool", () -> r.removeConstPool(3)));
        s.add(nativeCall("VMZEV.storeConstPool", () -> r.storeConstPool(3)));
        s.add(nativeCall("VMZEV.getPeriod", () -> r.getPeriod(5)));
        s.add(nativeCall("VMZEV.stackTraceID", () -> r.stackTraceID(2)));
        s.add(nativeCall("VMZEV.classID0", () -> r.classID0(String.class), id -> (Long) id > 0));
        s.add(nativeCall("VMZEV.classID0(null)", () -> r.classID0(null), id -> (Long) id == 0));
        s.add(nativeCall("VMZEV.start", () -> r.start(true)));
        s.add(nativeCall("VMZEV.stop", r::stop));
        s.add(nativeCall("VMZEV.rotate", r::rotate));
        s.add(nativeCall("VMZEV.add", run(() -> r.add(7, DATA, 1, 64))));
        s.add(refusal("VMZEV.add, negative length", run(() -> r.add(7, DATA, 0, -1)),
                      OutOfMemoryError.class, "VMZEV_add"));
        s.add(refusal("VMZEV.add, outside the array", run(() -> r.add(7, DATA, 4000, 200)),
                      ArrayIndexOutOfBoundsException.class, null));
        s.add(nativeCall("VMZEV.addConstPool", run(() -> r.addConstPool(pool, 8, true))));
        s.add(refusal("VMZEV.addConstPool, refused by the VM",
                      run(() -> r.addConstPool(pool, 8, true)), OutOfMemoryError.class,
                      "addConstPool").scripted("add_const_pool", 0));
        s.add(refusal("VMZEV.addConstPool, heap buffer",
                      run(() -> r.addConstPool(ByteBuffer.allocate(8), 8, true)),
                      IllegalArgumentException.class, "addConstPool: not a direct buffer"));
        s.add(nativeCall("VMZEV.buffer", r::buffer, b -> Vm.isVmMemory((ByteBuffer) b, "buffer")));
        s.add(nativeCall("VMZEV.descriptors", () -> {
            Object[] buffers = new Object[2];
            int result = r.descriptors(3, buffers);
            return result == 3 && buffers[0] != null && buffers[1] != null;
        }, Boolean.TRUE::equals));
        s.add(nativeCall("VMZEV.write", run(() -> r.write(DATA, 0, 4096))));
        s.add(nativeCall("VMZEV.setThreshold", run(() -> r.setThreshold(5, 100))));
        s.add(refusal("VMZEV.setThreshold, refused id", run(() -> r.setThreshold(-9, 100)),
                      Exception.class, "Illegal id -9"));
        s.add(nativeCall("VMZEV.setPeriod", run(() -> r.setPeriod(5, 20))));
        s.add(refusal("VMZEV.setPeriod, refused id", run(() -> r.setPeriod(-9, 20)),
                      Exception.class, "Illegal id -9"));
        s.add(nativeCall("VMZEV.options, 100 settings", r::options,
                         o -> o.toString().equals(expectedOptions(settings))));
        s.add(nativeCall("VMZEV.shutdown", run(r::shutdown)));
        s.add(nativeCall("Logger.output0", run(() -> Logger.output0(Logger.INFO, "a line"))));
        s.add(refusal("Logger.output0(null)", run(() -> Logger.output0(Logger.INFO, null)),
                      NullPointerException.class, "")
                  .guarantees("couldn't find NullPointerException class"));
        s.add(nativeCall("Process.getpid", Process::getpid,
                         pid -> (Integer) pid == ProcessHandle.current().pid()));
        s.add(nativeCall("Timing.init", Timing::init, f -> (Long) f == 1_000_000_000L));
        s.add(nativeCall("Timing.counterTime", Timing::counterTime));
        s.add(new Scenario("ZEV.startHalcyra, refused by the VM") {
            @Override
            void setUp() {
                Vm.script("start_recorder", 0);
            }

            @Override
            Object call() {
                return ZEV.startHalcyra();
            }

            @Override
            String checkSuccess(Outcome o) {
                return Boolean.FALSE.equals(o.result) ? null : "answered " + o;
            }

            @Override
            String checkSurvived(Outcome o) {
                return checkSuccess(o);
            }

            @Override
            String tearDown() {
                BOOTSTRAP.rebind();
                return null;
            }
        });
        return s;
    }

    static String expectedOptions(List<String> settings) {
        return "NativeOptions[name=sweep, settings=" + settings + ", disk=true, maxAge=1, "
               + "stackDepth=2, threadBufferSize=3, globalBufferCount=4, dumpPath=/tmp/dump, "
               + "dumpOnExit=true, maxSize=5, maxChunkSize=6, sampleThreads=true]";
    }

    /** A VM without the recorder interface: every native refuses, and says why. */
    static List<Scenario> unsupported() {
        VMZEV r = new VMZEV();
        List<Scenario> s = new ArrayList<>();
        s.add(nativeCall("ZEV.isSupportedInVM", ZEV::isSupportedInVM, Boolean.FALSE::equals));
        s.add(nativeCall("ZEV.startHalcyra", ZEV::startHalcyra, Boolean.FALSE::equals));
        s.add(unsupported("VMZEV.init", () -> r.init("en", 0, "/tmp")));
        s.add(unsupported("VMZEV.options", r::options));
        s.add(unsupported("VMZEV.flush", r::flush));
        s.add(unsupported("VMZEV.threadID", r::threadID));
        s.add(unsupported("VMZEV.remove", () -> r.remove(7)));
        s.add(unsupported("VMZEV.removeConstPool", () -> r.removeConstPool(3)));
        s.add(unsupported("VMZEV.storeConstPool", () -> r.storeConstPool(3)));
        s.add(unsupported("VMZEV.getPeriod", () -> r.getPeriod(5)));
        s.add(unsupported("VMZEV.stackTraceID", () -> r.stackTraceID(2)));
        s.add(unsupported("VMZEV.classID0", () -> r.classID0(String.class)));
        s.add(unsupported("VMZEV.start", () -> r.start(false)));
        s.add(unsupported("VMZEV.stop", r::stop));
        s.add(unsupported("VMZEV.rotate", r::rotate));
        s.add(unsupported("VMZEV.add", run(() -> r.add(7, DATA, 0, 16))));
        s.add(unsupported("VMZEV.addConstPool",
                          run(() -> r.addConstPool(ByteBuffer.allocateDirect(8), 8, true))));
        s.add(unsupported("VMZEV.buffer", r::buffer));
        s.add(unsupported("VMZEV.descriptors", () -> r.descriptors(3, new Object[2])));
        s.add(unsupported("VMZEV.write", run(() -> r.write(DATA, 0, 16))));
        s.add(unsupported("VMZEV.setThreshold", run(() -> r.setThreshold(5, 100))));
        s.add(unsupported("VMZEV.setPeriod", run(() -> r.setPeriod(5, 20))));
        s.add(unsupported("Process.getpid", Process::getpid));
        s.add(unsupported("Timing.init", Timing::init));
        s.add(unsupported("Timing.counterTime", Timing::counterTime));
        s.add(refusal("VMZEV.retransformClasses0", run(() -> r.retransformClasses0(SUBJECTS)),
                      Exception.class, "VMZEV_retransform: the VM has no recorder interface"));
        s.add(nativeCall("VMZEV.shutdown", run(r::shutdown)));
        s.add(nativeCall("Logger.output0",
                         run(() -> Logger.output0(Logger.INFO, "to standard error"))));
        return s;
    }

    static Scenario unsupported(String name, Call call) {
        String simple = name.replace('.', '_').replaceFirst("^([A-Za-z]+_[A-Za-z0-9]+).*", "$1");
        return refusal(name, call, Exception.class, simple + ": the VM has no recorder interface");
    }

    // ---- binding -------------------------------------------------------------

    /** VMZEV.init from an unbound library: accepted, or refused by the VM. */
    static List<Scenario> binding() {
        List<Scenario> s = new ArrayList<>();
        s.add(init("VMZEV.init", null, 0).guarantees(INIT_GUARANTEES));
        s.add(init("VMZEV.init, locale refused by the VM", "store_locale", 0)
                  .guarantees(INIT_GUARANTEES));
        s.add(init("VMZEV.init, repository refused by the VM", "set_repository", 0)
                  .guarantees(INIT_GUARANTEES));
        return s;
    }

    static Scenario init(String name, String refusedBy, long answer) {
        Scenario init = new Scenario(name) {
            @Override
            Object call() {
                return new VMZEV().init("en-GB", 7, Natives.repository());
            }

            @Override
            String checkSuccess(Outcome o) {
                if (refusedBy == null) {
                    return o.thrown == null && Vm.isVmMemory((ByteBuffer) o.result, "init_buffer")
                           ? null : "expected the initial buffer, " + o;
                }
                String message = refusedBy.equals("store_locale") ? "Failed to store locale"
                                 : "Could not set repository " + Natives.repository();
                return o.thrown != null && o.thrown.getClass() == Exception.class
                       && message.equals(o.thrown.getMessage()) ? null : "expected " + message + ", " + o;
            }

            @Override
            String checkSurvived(Outcome o) {
                return o.thrown != null ? null : "returned normally after a failed call: " + o;
            }

            @Override
            String tearDown() {
                Vm.release();
                return null;
            }

            // The lookups before the locale are the plain scenario's.
            @Override
            long firstCall(String[] calls) {
                return refusedBy == null ? 1 : Arrays.asList(calls).indexOf("GetStringUTFChars") + 1;
            }
        };
        return refusedBy == null ? init : init.scripted(refusedBy, answer);
    }

    // ---- upcalls -------------------------------------------------------------

    /** What an upcall request of each kind asks, and the recorder's own answer to it. */
    enum Entry {
        START("start_recording"), START_MANY("start_recording, 20 settings"),
        STOP("stop_recording"), CHECK("check_recording"), DUMP("dump_recording"),
        FINISH_CHUNK("finish_chunk"), NEW_CHUNK("new_chunk"), RELEASE("release_bindings");

        static final String[] MANY = new String[20];

        static {
            for (int i = 0; i < MANY.length; i++) {
                MANY[i] = i % 7 == 5 ? null : "s" + i;
            }
        }

        final String label;

        Entry(String label) {
            this.label = label;
        }

        Answer request(String name) {
            switch (this) {
                case START:
                    return Vm.startRecording(name, new String[] {"a", null, "c"}, true, 1, 2,
                                             "f.zev", false, 3, 4, true);
                case START_MANY:
                    return Vm.startRecording(name, MANY, false, 0, 0, null, false, 0, 0, false);
                case STOP:
                    return Vm.stopRecording(name, 5, true, "f.zev", false);
                case CHECK:
                    return Vm.checkRecording(name, 6, true);
                case DUMP:
                    return Vm.dumpRecording(name, 7, "d.zev", false);
                case FINISH_CHUNK:
                    return Vm.finishChunk("/tmp/chunk-" + name, 1, 2, false);
                case NEW_CHUNK:
                    return Vm.newChunk();
                default:
                    return Vm.release();
            }
        }

        /** The string the recorder answers, as Handler makes it; null for the others. */
        String answer(String name) {
            switch (this) {
                case START:
                    return "start " + name + " [a, null, c] f.zev";
                case START_MANY:
                    return "start " + name + " " + Arrays.toString(MANY) + " null";
                case STOP:
                    return "stop " + name + " 5";
                case CHECK:
                    return "check " + name + " 6";
                case DUMP:
                    return "dump " + name + " d.zev";
                default:
                    return null;
            }
        }
    }

    static long requests;

    /** The seven entries on a VM thread and on the calling thread, before or after the start. */
    static List<Scenario> upcalls(boolean started) {
        bindRecorder();
        if (started) {
            Cases.check(ZEV.startHalcyra(), "the recorder starts");
        }
        List<Scenario> s = new ArrayList<>();
        if (started) {
            // The first settings list of the process: the lookup of
            // java.lang.String and its global reference, made once.
            s.add(new Upcall(Entry.START, false, true, false) {
                @Override
                String coldUntil() {
                    return "NewGlobalRef";
                }
            }.renamed("start_recording, first of the process, started, VM thread"));
        }
        for (boolean onCallingThread : new boolean[] {false, true}) {
            for (Entry entry : Entry.values()) {
                s.add(new Upcall(entry, onCallingThread, started, false));
            }
        }
        if (!started) {
            s.add(new Upcall(Entry.CHECK, false, false, true).guarantees(INIT_GUARANTEES));
        }
        return s;
    }

    static class Upcall extends Scenario {
        final Entry entry;
        final boolean onCallingThread;
        final boolean binding;  // no recorder bound: the bootstrap binds one
        String request;  // the request's name, new for every call
        int newChunks;

        Upcall(Entry entry, boolean onCallingThread, boolean started, boolean binding) {
            super(entry.label + (binding ? " binding the recorder" : "")
                  + (started ? ", started" : ", before start")
                  + (onCallingThread ? ", calling thread" : ", VM thread"));
            this.entry = entry;
            this.onCallingThread = onCallingThread;
            this.binding = binding;
        }

        Upcall renamed(String label) {
            super.name = label;
            return this;
        }

        @Override
        void setUp() {
            if (binding) {
                Vm.release();
                BOOTSTRAP.bound = null;
            }
            Vm.onCurrentThread(onCallingThread);
            request = "r" + ++requests;
            newChunks = HANDLER.newChunks;
            HANDLER.finishedChunk = null;
        }

        @Override
        Object call() {
            return entry.request(request);
        }

        /** The request went through: the recorder's own answer, nothing pending. */
        String fullAnswer(Answer a) {
            if (a.pending != null) {
                return "an exception is pending: " + a;
            }
            boolean full;
            switch (entry) {
                case FINISH_CHUNK:
                    full = a.bool && ("/tmp/chunk-" + request).equals(HANDLER.finishedChunk);
                    break;
                case NEW_CHUNK:
                    full = HANDLER.newChunks == newChunks + 1;
                    break;
                case RELEASE:
                    full = a.code == 0;
                    break;
                default:
                    full = entry.answer(request).equals(a.value);
            }
            return full ? null : entry.label + " did not answer as the recorder did: " + a;
        }

        @Override
        String checkSuccess(Outcome o) {
            return o.thrown != null ? "the host threw " + o.thrown : fullAnswer((Answer) o.result);
        }

        @Override
        String checkSurvived(Outcome o) {
            if (o.thrown != null) {
                return "the host threw " + o.thrown;
            }
            Answer a = (Answer) o.result;
            if (a.value != null && a.pending != null) {
                return "a string answered with an exception pending: " + a;
            }
            if (fullAnswer(a) == null) {
                return null;  // recovered: the VM got the request's own answer
            }
            boolean nothing = a.value == null && !a.bool && a.code == 0;
            boolean explained = a.pending != null || o.loggedError();
            return nothing && explained ? null : "an unexplained answer: " + a + ", " + o;
        }

        @Override
        String tearDown() {
            Vm.onCurrentThread(false);
            // A release, or a bootstrap whose binding failed half-way, leaves the
            // library unbound or bound to a recorder Java never got: bind afresh.
            if (entry == Entry.RELEASE || BOOTSTRAP.bound() == null) {
                BOOTSTRAP.rebind();
            }
            return null;
        }
    }

    // ---- retransformation ----------------------------------------------------

    public static final class Subject1 { public static String say() { return "before"; } }
    public static final class Subject2 { public static String say() { return "before"; } }
    public static final class Subject3 { public static String say() { return "before"; } }

    static final Class<?>[] SUBJECTS = {Subject1.class, Subject2.class, Subject3.class};

    /** Rewrites the subjects' constant to "after!", the same length. */
    static final ClassTransformer PATCH = (klass, bytes) -> {
        if (!Arrays.asList(SUBJECTS).contains(klass)) {
            return null;
        }
        String text = new String(bytes, ISO_8859_1);
        return text.replace("\1\0\6before", "\1\0\6after!").getBytes(ISO_8859_1);
    };

    static List<String> sayings() throws ReflectiveOperationException {
        List<String> result = new ArrayList<>();
        for (Class<?> klass : SUBJECTS) {
            result.add((String) klass.getMethod("say").invoke(null));
        }
        return result;
    }

    /** Each class runs its own bytes or the complete rewrite: never anything else. */
    static String wholeClasses() throws ReflectiveOperationException {
        List<String> said = sayings();
        for (String saying : said) {
            if (!saying.equals("before") && !saying.equals("after!")) {
                return "a class says " + said;
            }
        }
        return null;
    }

    static String allSay(String expected) throws ReflectiveOperationException {
        List<String> said = sayings();
        return said.equals(List.of(expected, expected, expected)) ? null
               : "expected the classes to say " + expected + ": " + said;
    }

    /** The release restores the classes; then a new recorder binds. */
    static String releaseAndRebind() throws ReflectiveOperationException {
        BOOTSTRAP.rebind();
        return allSay("before");
    }

    /**
     * A scenario over the subjects: a list is held (or published by the call),
     * and the release restores the classes. Every run leaves each class with
     * its own bytes or the complete rewrite; a failed call must say why.
     */
    abstract static class Subjects extends Scenario {
        final boolean listHeld;

        Subjects(String name, boolean listHeld) {
            super(name);
            this.listHeld = listHeld;
        }

        @Override
        void setUp() {
            if (listHeld) {
                recorder().retransformClasses0(SUBJECTS);
            }
        }

        /** What the classes say after a run in which nothing failed. */
        abstract String saying();

        @Override
        String checkSuccess(Outcome o) throws ReflectiveOperationException {
            if (o.thrown != null) {
                return "threw " + o.thrown;
            }
            Answer a = o.result instanceof Answer ? (Answer) o.result : null;
            return a != null && (a.code != 0 || a.pending != null) ? "answered " + a
                   : allSay(saying());
        }

        @Override
        String checkSurvived(Outcome o) throws Throwable {
            String classes = wholeClasses();
            if (classes != null) {
                return classes;
            }
            Answer a = o.result instanceof Answer ? (Answer) o.result : null;
            boolean explained = o.thrown != null || o.loggedError()
                                || (a != null && (a.pending != null || a.code != 0));
            return explained ? null : "an unexplained answer: " + o;
        }

        @Override
        String tearDown() throws ReflectiveOperationException {
            return releaseAndRebind();
        }
    }

    static List<Scenario> retransformation() {
        bindRecorder();
        Instrumentation agent = RetransformAgent.instrumentation;
        Cases.check(agent != null, "the JVM runs with the agent");
        List<Scenario> s = new ArrayList<>();
        s.add(new Subjects("VMZEV.retransformClasses0 and its hooks", false) {
            @Override
            Object call() {
                recorder().retransformClasses0(SUBJECTS);
                return null;
            }

            @Override
            String saying() {
                return "after!";
            }

            @Override
            String checkSurvived(Outcome o) throws Throwable {
                String problem = super.checkSurvived(o);
                // A list the VM refused to retransform stays held until the release.
                if (problem == null && "RetransformClasses".equals(o.report.function)) {
                    recorder().retransformClasses0(SUBJECTS);
                    List<String> said = Arrays.asList(Vm.takeJournal());
                    if (!said.equals(List.of(RetransformTests.REFUSED))) {
                        return "a second list after a refused retransformation: " + said;
                    }
                }
                return problem;
            }
        });
        s.add(new Subjects("another agent's retransformation, list held", true) {
            @Override
            Object call() throws Throwable {
                agent.retransformClasses(Subject2.class);
                return null;
            }

            @Override
            String saying() {
                return "after!";
            }
        });
        s.add(new Subjects("release_bindings, list held", true) {
            @Override
            Object call() {
                return Vm.release();
            }

            @Override
            String saying() {
                return "before";
            }
        });
        return s;
    }
}
