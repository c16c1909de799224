package zevtests;

import static zevtests.Cases.check;
import static zevtests.Cases.eq;
import static zevtests.Cases.journal;

import java.lang.ref.WeakReference;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.Collections;
import java.util.List;
import java.util.Locale;
import java.util.concurrent.Semaphore;
import java.util.concurrent.TimeUnit;

import tesmar.nuvrak.zev.RecordingHandler;
import tesmar.nuvrak.zev.VMZEV;
import tesmar.nuvrak.zev.ZEV;
import zevhost.Answer;
import zevhost.Vm;

/**
 * The VM's requests as a real VM makes them: on native threads attached as
 * VM threads (the host's default) and on the main thread, with the recorder
 * bootstrapped through ZEV.get() until it is started.
 */
public final class UpcallTests {
    public static void main(String[] args) throws Throwable {
        Cases.run(UpcallTests.class, args);
    }

    // ---- bootstrap --------------------------------------------------------

    static void bootstrapOnVmThreads() {
        bootstrapUntilStarted("VM Thread");
    }

    static void bootstrapOnMainThread() {
        Vm.onCurrentThread(true);
        bootstrapUntilStarted(Thread.currentThread().getName());
    }

    /**
     * Every request asks ZEV.get() while the recorder is not started, bound
     * or not; the first one binds; once started, none asks.
     */
    private static void bootstrapUntilStarted(String thread) {
        UpcallHandler handler = new UpcallHandler();
        UpcallBootstrap bootstrap = UpcallBootstrap.install(handler);
        Vm.clearJournal();

        expectAnswer("checked", Vm.checkRecording("r", 7, true), thread);
        eq(1, bootstrap.calls());
        check(bootstrap.bound() != null, "the first request bound a recorder");
        List<String> firstRequest = new ArrayList<>(
            Arrays.asList("is_started()", "is_disabled_on_command_line()"));
        firstRequest.addAll(initLines());
        journal(firstRequest.toArray(new String[0]));
        eq(Collections.singletonList("checkRecording(\"r\", 7, true)"), handler.take());

        VMZEV first = bootstrap.bound();
        expectAnswer("started \u00e9t\u00e9 \u20ac",
                     Vm.startRecording("s", new String[] {"default"}, false, 1, 2, "f.zev",
                                       true, 3, 4, false), thread);
        expectAnswer("stopped", Vm.stopRecording("s", 5, false, null, true), thread);
        expectAnswer("dumped", Vm.dumpRecording("s", 6, "d.zev", false), thread);
        // Bound already: each request still asks ZEV.get(), which binds nothing new.
        eq(4, bootstrap.calls());
        check(bootstrap.bound() == first, "one binding");
        journal("is_started()", "is_disabled_on_command_line()",
                "is_started()", "is_disabled_on_command_line()",
                "is_started()", "is_disabled_on_command_line()");
        eq(Arrays.asList(thread, thread, thread, thread), bootstrap.takeThreads());
        eq(Arrays.asList(
               "startRecording(\"s\", String[][\"default\"], false, 1, 2, \"f.zev\", true, 3, 4, false)",
               "stopRecording(\"s\", 5, false, null, true)",
               "dumpRecording(\"s\", 6, \"d.zev\", false)"),
           handler.take());
        eq(Arrays.asList(thread, thread, thread, thread), handler.takeThreads());

        check(ZEV.startHalcyra(), "the recorder starts");
        journal("is_started()", "start_recorder()");
        expectAnswer("checked", Vm.checkRecording(null, 0, false), thread);
        expectAnswer("started \u00e9t\u00e9 \u20ac",
                     Vm.startRecording(null, null, false, 0, 0, null, false, 0, 0, false), thread);
        expectAnswer("stopped", Vm.stopRecording(null, 1, true, null, false), thread);
        expectAnswer("dumped", Vm.dumpRecording(null, 1, null, false), thread);
        eq(4, bootstrap.calls());
        journal();
        eq(4, handler.take().size());
    }

    /** Without a bootstrap of its own, ZEV.get() binds a VMZEV on the VM thread that asked. */
    static void defaultBootstrapBindsOnTheVmThread() {
        Vm.clearJournal();
        check(ZEV.bound() == null, "nothing bound before the first request");
        expectAnswer("0 recording(s) running", Vm.checkRecording(null, 0, false), "VM Thread");
        VMZEV recorder = ZEV.bound();
        check(recorder != null, "the request bound a recorder");
        List<String> firstRequest = new ArrayList<>(
            Arrays.asList("is_started()", "is_disabled_on_command_line()"));
        firstRequest.addAll(initLines());
        journal(firstRequest.toArray(new String[0]));

        expectAnswer("Started recording 1 \"one\" with 2 setting(s) to one.zev",
                     Vm.startRecording("one", new String[] {"default", "profile"}, true, 0, 0,
                                       "one.zev", false, 0, 0, false), "VM Thread");
        expectAnswer("Recording 1 \"one\" is running", Vm.checkRecording("one", 0, false),
                     "VM Thread");
        check(ZEV.bound() == recorder, "no second binding");
        journal("is_started()", "is_disabled_on_command_line()",
                "is_started()", "is_disabled_on_command_line()");
    }

    /** ZEV.get() answering null or throwing: one level-1 line, a null answer. */
    static void bootstrapFailures() {
        UpcallHandler handler = new UpcallHandler();
        UpcallBootstrap bootstrap = UpcallBootstrap.install(handler);
        Vm.clearJournal();

        bootstrap.mode(UpcallBootstrap.Mode.NULL);
        expectAnswer(null, Vm.startRecording("s", new String[] {"a"}, false, 0, 0, null, false,
                                             0, 0, false), "VM Thread");
        journal("is_started()", "is_disabled_on_command_line()",
                "log(1, \"Could not initialize Java Halcyra\")");

        bootstrap.mode(UpcallBootstrap.Mode.THROW);
        Answer thrown = Vm.dumpRecording("s", 1, "d.zev", true);
        eq(null, thrown.value);
        eq("java.lang.IllegalStateException: no recorder here", thrown.pending);
        journal("is_started()", "is_disabled_on_command_line()",
                "log(1, \"Could not initialize Java Halcyra\")");

        Vm.onCurrentThread(true);
        bootstrap.mode(UpcallBootstrap.Mode.NULL);
        expectAnswer(null, Vm.checkRecording("s", 1, false), "main");
        bootstrap.mode(UpcallBootstrap.Mode.THROW);
        thrown = Vm.stopRecording("s", 1, false, null, false);
        eq(null, thrown.value);
        eq("java.lang.IllegalStateException: no recorder here", thrown.pending);
        journal("is_started()", "is_disabled_on_command_line()",
                "log(1, \"Could not initialize Java Halcyra\")",
                "is_started()", "is_disabled_on_command_line()",
                "log(1, \"Could not initialize Java Halcyra\")");
        eq(Collections.emptyList(), handler.take());

        // A bootstrap that works again: the next request binds and goes through.
        bootstrap.mode(UpcallBootstrap.Mode.BIND);
        expectAnswer("checked", Vm.checkRecording("s", 1, false), "main");
        eq(5, bootstrap.calls());
        eq(Collections.singletonList("checkRecording(\"s\", 1, false)"), handler.take());
    }

    /** ZEV.get() answers an object that never bound: the request must end the process. */
    static void bootstrapAnswersWithoutBinding() {
        UpcallBootstrap bootstrap = UpcallBootstrap.install(new UpcallHandler());
        bootstrap.mode(UpcallBootstrap.Mode.UNBOUND);
        System.out.println("requesting");
        System.out.flush();
        Answer answer = Vm.checkRecording("s", 1, false);
        System.out.println("survived with " + answer);
    }

    /** Disabled on the command line: nothing reaches Java, and the VM is asked once. */
    static void disabledOnCommandLine() {
        UpcallHandler handler = new UpcallHandler();
        UpcallBootstrap bootstrap = UpcallBootstrap.install(handler);
        Vm.clearJournal();
        expectAnswer(null, Vm.startRecording("s", new String[] {"a"}, false, 0, 0, null, false,
                                             0, 0, false), "VM Thread");
        journal("is_started()", "is_disabled_on_command_line()");
        expectAnswer(null, Vm.stopRecording("s", 1, false, null, false), "VM Thread");
        expectAnswer(null, Vm.checkRecording("s", 1, false), "VM Thread");
        expectAnswer(null, Vm.dumpRecording("s", 1, null, false), "VM Thread");
        Vm.onCurrentThread(true);
        expectAnswer(null, Vm.checkRecording(null, 0, true), "main");
        journal("is_started()", "is_started()", "is_started()", "is_started()");
        eq(0, bootstrap.calls());
        eq(Collections.emptyList(), handler.take());
        // The same answer, from the same cache, for Java.
        check(ZEV.isDisabledOnCommandLine(), "disabled");
        journal();
    }

    // ---- arguments and answers --------------------------------------------

    /** Each entry reaches its method with every argument converted, in order. */
    static void argumentsReachTheRecorderInOrder() {
        UpcallHandler handler = new UpcallHandler();
        boundAndStarted(handler);
        for (boolean onMain : new boolean[] {false, true}) {
            Vm.onCurrentThread(onMain);
            String thread = onMain ? "main" : "VM Thread";
            expectAnswer("started \u00e9t\u00e9 \u20ac",
                         Vm.startRecording("n\u00e4me \u20ac", new String[] {"default", "pr\u00f6file"},
                                           true, Long.MIN_VALUE, Long.MAX_VALUE, "f \u00fc.zev",
                                           false, -1, 1L << 40, true), thread);
            expectAnswer("started \u00e9t\u00e9 \u20ac",
                         Vm.startRecording(null, new String[0], false, 0, 0, null, true, 0, 0,
                                           false), thread);
            expectAnswer("started \u00e9t\u00e9 \u20ac",
                         Vm.startRecordingRaw("gaps", 4, new String[] {"a", null, "c"}, false, 1,
                                              2, "g.zev", false, 3, 4, true), thread);
            expectAnswer("stopped", Vm.stopRecording(null, -5, true, null, false), thread);
            expectAnswer("stopped", Vm.stopRecording("s", Long.MAX_VALUE, false, "out.zev", true),
                         thread);
            expectAnswer("checked", Vm.checkRecording(null, Long.MIN_VALUE, false), thread);
            expectAnswer("checked", Vm.checkRecording("c", 9, true), thread);
            expectAnswer("dumped", Vm.dumpRecording(null, 3, null, true), thread);
            expectAnswer("dumped", Vm.dumpRecording("d", 0, "dump.zev", false), thread);
            eq(Arrays.asList(
                   "startRecording(\"n\u00e4me \u20ac\", String[][\"default\", \"pr\u00f6file\"], true, "
                   + Long.MIN_VALUE + ", " + Long.MAX_VALUE + ", \"f \u00fc.zev\", false, -1, "
                   + (1L << 40) + ", true)",
                   "startRecording(null, String[][], false, 0, 0, null, true, 0, 0, false)",
                   "startRecording(\"gaps\", String[][\"a\", null, \"c\", null], false, 1, 2, "
                   + "\"g.zev\", false, 3, 4, true)",
                   "stopRecording(null, -5, true, null, false)",
                   "stopRecording(\"s\", " + Long.MAX_VALUE + ", false, \"out.zev\", true)",
                   "checkRecording(null, " + Long.MIN_VALUE + ", false)",
                   "checkRecording(\"c\", 9, true)",
                   "dumpRecording(null, 3, null, true)",
                   "dumpRecording(\"d\", 0, \"dump.zev\", false)"),
               handler.take());
            eq(Collections.nCopies(9, thread), handler.takeThreads());
        }
        journal();  // started and bound: the requests ask the VM nothing
    }

    /** A settings list that cannot be read is refused before anything else happens. */
    static void startRecordingWithUnreadableSettings() {
        UpcallHandler handler = new UpcallHandler();
        UpcallBootstrap bootstrap = UpcallBootstrap.install(handler);
        Vm.clearJournal();
        for (boolean onMain : new boolean[] {false, true}) {
            Vm.onCurrentThread(onMain);
            String thread = onMain ? "main" : "VM Thread";
            expectAnswer(null, Vm.startRecordingRaw("null", 2, null, false, 0, 0, null, false, 0,
                                                    0, false), thread);
            expectOneErrorLine();
            expectAnswer(null, Vm.startRecordingRaw("negative", -1, new String[] {"a"}, false, 0,
                                                    0, null, false, 0, 0, false), thread);
            expectOneErrorLine();
            expectAnswer(null, Vm.startRecordingRaw("both", Integer.MIN_VALUE, null, false, 0, 0,
                                                    null, false, 0, 0, false), thread);
            expectOneErrorLine();
        }
        eq(0, bootstrap.calls());
        eq(Collections.emptyList(), handler.take());

        // No settings at all is an empty list, not a fault.
        expectAnswer("started \u00e9t\u00e9 \u20ac",
                     Vm.startRecordingRaw("none", 0, null, false, 0, 0, null, false, 0, 0, false),
                     "main");
        eq(1, bootstrap.calls());
        eq(Collections.singletonList(
               "startRecording(\"none\", String[][], false, 0, 0, null, false, 0, 0, false)"),
           handler.take());
    }

    // ---- Java methods that throw, and chunk reports -----------------------

    /** Exceptions of the recorder's methods stay pending for the VM; the answers say failure. */
    static void recorderMethodsThatThrow() {
        UpcallHandler handler = new UpcallHandler();
        boundAndStarted(handler);
        handler.throwing(true);
        expectPending("startRecording",
                      Vm.startRecording("s", new String[] {"a"}, false, 0, 0, null, false, 0, 0,
                                        false));
        expectPending("stopRecording", Vm.stopRecording("s", 1, false, null, false));
        expectPending("checkRecording", Vm.checkRecording("s", 1, false));
        expectPending("dumpRecording", Vm.dumpRecording("s", 1, "d.zev", false));
        Answer finish = Vm.finishChunk("/tmp/t.chunk", 1, 2, false);
        check(!finish.bool, "finish chunk answers false when finishChunk threw");
        eq("java.lang.IllegalStateException: finishChunk refused", finish.pending);
        eq("java.lang.IllegalStateException: onNewChunk refused", Vm.newChunk().pending);
        eq(6, handler.take().size());

        // The same thread goes on with requests that succeed.
        handler.throwing(false);
        expectAnswer("checked", Vm.checkRecording("s", 1, false), "VM Thread");
        finish = Vm.finishChunk("/tmp/t.chunk", 1, 2, false);
        check(finish.bool && finish.pending == null, "finish chunk answers true");
        journal();
    }

    /**
     * Chunk reports need no bootstrap; after a release, or without a path,
     * a finished chunk is refused without Java.
     */
    static void chunkReports() {
        UpcallHandler handler = new UpcallHandler();
        VMZEV recorder = bind(handler);
        for (boolean onMain : new boolean[] {false, true}) {
            Vm.onCurrentThread(onMain);
            Answer finish = Vm.finishChunk("/tmp/zev/chunk \u00e9.zev", -1, Long.MAX_VALUE, true);
            check(finish.bool && finish.pending == null, "finish chunk answers true: " + finish);
            finish = Vm.finishChunk("/tmp/zev/last.zev", 0, 0, false);
            check(finish.bool && finish.pending == null, "finish chunk answers true: " + finish);
            Answer newChunk = Vm.newChunk();
            eq(null, newChunk.pending);
            finish = Vm.finishChunk(null, 1, 2, true);
            check(!finish.bool && finish.pending == null, "no path, no chunk: " + finish);
            eq(Arrays.asList(
                   "finishChunk(\"/tmp/zev/chunk \u00e9.zev\", -1, " + Long.MAX_VALUE + ", true)",
                   "finishChunk(\"/tmp/zev/last.zev\", 0, 0, false)",
                   "onNewChunk()"),
               handler.take());
            eq(Collections.nCopies(3, onMain ? "main" : "VM Thread"), handler.takeThreads());
        }
        journal();  // no bootstrap: not even is_started

        Vm.onCurrentThread(false);
        eq(0, Vm.release().code);
        journal();
        for (boolean onMain : new boolean[] {false, true}) {
            Vm.onCurrentThread(onMain);
            Answer late = Vm.finishChunk("/tmp/zev/late.zev", 1, 2, true);
            check(!late.bool && late.pending == null, "no recorder, no chunk: " + late);
            expectOneErrorLine();
            late = Vm.finishChunk(null, 1, 2, true);
            check(!late.bool && late.pending == null, "no path, no chunk: " + late);
            journal();
        }
        eq(Collections.emptyList(), handler.take());
        check(recorder != null, "kept reachable on purpose");
    }

    // ---- release ----------------------------------------------------------

    /**
     * Release drops the binding once; a second release finds nothing; Java
     * then binds again, through the bootstrap or directly.
     */
    static void releaseTwiceThenBindAgain() throws InterruptedException {
        Vm.clearJournal();
        expectAnswer("0 recording(s) running", Vm.checkRecording(null, 0, false), "VM Thread");
        WeakReference<VMZEV> first = new WeakReference<>(ZEV.bound());
        check(first.get() != null, "bound through the default bootstrap");
        Vm.clearJournal();

        Answer release = Vm.release();
        eq(0, release.code);
        eq(null, release.pending);
        Vm.onCurrentThread(true);
        release = Vm.release();
        eq(0, release.code);
        eq(null, release.pending);
        eq(2, Vm.releaseCount());
        journal();  // nothing held to restore: the VM is asked nothing

        // Once Java forgets it too, nothing holds the first recorder: the
        // library's global reference is gone.
        ZEV.forget();
        for (int i = 0; i < 50 && first.get() != null; i++) {
            System.gc();
            Thread.sleep(10);
        }
        check(first.get() == null, "the released recorder is collectable");

        Vm.onCurrentThread(false);
        expectAnswer("0 recording(s) running", Vm.checkRecording(null, 0, false), "VM Thread");
        check(ZEV.bound() != null, "bound again through the bootstrap");
        List<String> rebind = new ArrayList<>(
            Arrays.asList("is_started()", "is_disabled_on_command_line()"));
        rebind.addAll(initLines());
        journal(rebind.toArray(new String[0]));

        // Release again; this time Java binds a recorder of its own, then starts.
        eq(0, Vm.release().code);
        UpcallHandler handler = new UpcallHandler();
        bind(handler);
        check(ZEV.startHalcyra(), "the recorder starts");
        Vm.clearJournal();
        expectAnswer("checked", Vm.checkRecording("x", 1, true), "VM Thread");
        eq(Collections.singletonList("checkRecording(\"x\", 1, true)"), handler.take());
        journal();
        eq(0, Vm.release().code);
        eq(0, Vm.release().code);
    }

    // ---- VM threads that never return to Java -----------------------------

    /**
     * One attached thread making many requests in a row, as a VM thread
     * does without ever returning to Java: neither native memory nor the
     * Java heap may grow with the number of requests. Both are measured
     * while the thread is still attached (paused inside a request), since
     * detaching would free whatever it had piled up.
     */
    static void manyRequestsOnOneVmThread() throws InterruptedException {
        long requests = Long.getLong("zevtests.requests", 1_000_000L);
        long checks = requests / 5;  // "mixed" checks once in five requests
        PausingHandler probe = new PausingHandler(checks / 10, checks);
        boundAndStarted(probe);
        Vm.journaling(false);

        long loop = Vm.startRequestLoop(1, requests, "mixed");
        probe.awaitPause();
        long residentEarly = settledResident();
        long heapEarly = settledHeap();
        probe.resume();
        probe.awaitPause();
        long residentLate = settledResident();
        long heapLate = settledHeap();
        probe.resume();
        long[] totals = Vm.joinRequestLoop(loop);

        System.out.println("requests " + requests + ": resident " + (residentEarly >> 10)
                           + " KiB -> " + (residentLate >> 10) + " KiB, heap "
                           + (heapEarly >> 10) + " KiB -> " + (heapLate >> 10) + " KiB");
        eq(Arrays.asList(requests, 0L, 0L),
           Arrays.asList(totals[0], totals[1], totals[2]));
        long mib = 1L << 20;
        check(residentLate - residentEarly < 16 * mib,
              "resident memory grew by " + ((residentLate - residentEarly) / mib) + " MiB");
        check(heapLate - heapEarly < 16 * mib,
              "the heap grew by " + ((heapLate - heapEarly) / mib) + " MiB");
    }

    /**
     * Requests on several VM threads while Java releases the recorder and
     * binds a new one, over and over: requests in flight meet a release at
     * every step, and none may use a deleted reference.
     */
    static void releaseWhileRequestsRun() throws InterruptedException {
        UpcallBootstrap bootstrap = UpcallBootstrap.install(new QuietHandler());
        Vm.journaling(false);
        Vm.onCurrentThread(true);
        long perThread = 200_000;
        int threads = 3;
        long loop = Vm.startRequestLoop(threads, perThread, "mixed");
        int releases = 0;
        long[][] result = new long[1][];
        Thread joiner = new Thread(() -> result[0] = Vm.joinRequestLoop(loop), "joiner");
        joiner.start();
        while (joiner.isAlive()) {
            // Release and forget together, so that ZEV.get() never answers a
            // recorder that the library has already dropped.
            synchronized (bootstrap) {
                Answer release = Vm.release();
                eq(0, release.code);
                eq(null, release.pending);
                bootstrap.forget();
            }
            releases++;
            Thread.sleep(0, 200_000);
        }
        joiner.join();
        long[] totals = result[0];
        System.out.println(releases + " releases, " + bootstrap.calls() + " bootstraps; answered "
                           + totals[0] + ", null " + totals[1] + ", exceptions " + totals[2]);
        eq(threads * perThread, totals[0] + totals[1] + totals[2]);
        eq(0L, totals[2]);
        check(releases > 10, "released while the requests ran");
        check(bootstrap.calls() > 0, "the requests bootstrapped");
    }

    // ---- helpers ----------------------------------------------------------

    /** What VMZEV.init asks the VM when the default locale and repository bind. */
    private static List<String> initLines() {
        String tag = Locale.getDefault().toLanguageTag();
        String repository = System.getProperty("zev.repository",
                                               System.getProperty("java.io.tmpdir"));
        return Arrays.asList("store_locale(\"" + tag + "\", " + tag.length() + ", 0)",
                             "set_repository(\"" + repository + "\")", "init_buffer()");
    }

    /** A recorder bound directly from Java, with the handler; the journal starts empty. */
    private static VMZEV bind(RecordingHandler handler) {
        VMZEV recorder = new VMZEV();
        recorder.setHandler(handler);
        check(recorder.bind() != null, "bound");
        Vm.clearJournal();
        return recorder;
    }

    private static VMZEV boundAndStarted(RecordingHandler handler) {
        VMZEV recorder = bind(handler);
        check(ZEV.startHalcyra(), "the recorder starts");
        Vm.clearJournal();
        return recorder;
    }

    private static void expectAnswer(String value, Answer answer, String thread) {
        eq(value, answer.value);
        eq(null, answer.pending);
        eq(thread, answer.thread);
    }

    private static void expectPending(String method, Answer answer) {
        eq(null, answer.value);
        eq("java.lang.IllegalStateException: " + method + " refused", answer.pending);
    }

    /** Exactly one journal line since the last take, a level-1 log line; clears it. */
    private static void expectOneErrorLine() {
        String[] lines = Vm.takeJournal();
        check(lines.length == 1 && lines[0].startsWith("log(1, \""),
              "one level-1 log line, got " + Arrays.toString(lines));
    }

    private static long settledResident() {
        System.gc();
        return Vm.residentBytes();
    }

    private static long settledHeap() {
        Runtime runtime = Runtime.getRuntime();
        System.gc();
        return runtime.totalMemory() - runtime.freeMemory();
    }

    /** Answers every request and keeps nothing, so that any growth is the library's. */
    private static class QuietHandler implements RecordingHandler {
        @Override
        public String startRecording(String name, String[] settings, boolean disk, long delay,
                                     long duration, String fileName, boolean dumpOnExit,
                                     long maxAge, long maxSize, boolean verbose) {
            return "started";
        }

        @Override
        public String stopRecording(String name, long id, boolean discard, String fileName,
                                    boolean verbose) {
            return "stopped";
        }

        @Override
        public String checkRecording(String name, long id, boolean verbose) {
            return "checked";
        }

        @Override
        public String dumpRecording(String name, long id, String fileName, boolean verbose) {
            return "dumped";
        }
    }

    /** A quiet handler that holds the requesting thread at the given check requests. */
    private static final class PausingHandler extends QuietHandler {
        private final long[] pauseAt;
        private final Semaphore paused = new Semaphore(0);
        private final Semaphore resumed = new Semaphore(0);
        private long checks;  // one requesting thread

        PausingHandler(long... pauseAt) {
            this.pauseAt = pauseAt;
        }

        @Override
        public String checkRecording(String name, long id, boolean verbose) {
            checks++;
            for (long at : pauseAt) {
                if (checks == at) {
                    paused.release();
                    resumed.acquireUninterruptibly();
                }
            }
            return "checked";
        }

        void awaitPause() throws InterruptedException {
            // A bound only so that a broken loop ends the case instead of hanging it.
            check(paused.tryAcquire(10, TimeUnit.MINUTES), "the requests reached the pause");
        }

        void resume() {
            resumed.release();
        }
    }
}
