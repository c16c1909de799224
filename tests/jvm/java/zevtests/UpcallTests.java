package zevtests;

import static zevtests.Cases.check;
import static zevtests.Cases.eq;
import static zevtests.Cases.journal;

import java.util.ArrayList;
import java.util.Arrays;
import java.util.Collections;
import java.util.List;
import java.util.Locale;

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
    private static final String STARTED = "started \u00e9t\u00e9 \u20ac";
    private static final boolean[] BOTH_THREADS = {false, true};
    private static final List<String> ANSWERED = Arrays.asList(
        STARTED + ", null", "stopped, null", "checked, null", "dumped, null");

    public static void main(String[] args) throws Throwable {
        Cases.run(UpcallTests.class, args);
    }

    // ---- bootstrap --------------------------------------------------------

    /**
     * Every request asks ZEV.get() while the recorder is not started, bound
     * or not; the first one binds; once started, none asks.
     */
    static void bootstrapOnEveryRequestUntilStarted() {
        UpcallHandler handler = new UpcallHandler();
        UpcallBootstrap bootstrap = UpcallBootstrap.install(handler);
        Vm.clearJournal();
        expectAnswer("checked", Vm.checkRecording("r", 7, true));
        VMZEV first = bootstrap.bound();
        check(first != null, "the first request bound a recorder");
        journal(bindingRequestLines());

        eq(ANSWERED, fourRequests());
        eq(5, bootstrap.calls());
        check(bootstrap.bound() == first, "one binding");
        journal(repeat(4, "is_started()", "is_disabled_on_command_line()"));

        check(ZEV.startHalcyra(), "the recorder starts");
        journal("is_started()", "start_recorder()");
        eq(ANSWERED, fourRequests());
        eq(5, bootstrap.calls());
        journal();
        eq(9, handler.take().size());
    }

    /** ZEV.get() answering null or throwing: one level-1 line, a null answer. */
    static void bootstrapFailures() {
        UpcallHandler handler = new UpcallHandler();
        Vm.clearJournal();
        for (boolean onMain : BOTH_THREADS) {
            Vm.onCurrentThread(onMain);
            ZEV.setBootstrap(() -> null);
            expectAnswer(null, Vm.startRecording("s", new String[] {"a"}, false, 0, 0, null,
                                                 false, 0, 0, false));
            ZEV.setBootstrap(() -> {
                throw new IllegalStateException("no recorder here");
            });
            Answer thrown = Vm.dumpRecording("s", 1, "d.zev", true);
            eq(null, thrown.value);
            eq("java.lang.IllegalStateException: no recorder here", thrown.pending);
            journal(repeat(2, "is_started()", "is_disabled_on_command_line()",
                           "log(1, \"Could not initialize Java Halcyra\")"));
        }

        // A bootstrap that works again: the next request binds and goes through.
        UpcallBootstrap.install(handler);
        expectAnswer("checked", Vm.checkRecording("s", 1, false));
        eq(Collections.singletonList("checkRecording(\"s\", 1, false)"), handler.take());
    }

    /** ZEV.get() answers an object that never bound: the request must end the process. */
    static void bootstrapAnswersWithoutBinding() {
        ZEV.setBootstrap(VMZEV::new);
        System.out.println("requesting");
        System.out.flush();
        Answer answer = Vm.checkRecording("s", 1, false);
        System.out.println("survived with " + answer);
    }

    // ---- arguments and answers --------------------------------------------

    /**
     * Settings that cannot be read are refused before anything else happens;
     * otherwise each entry reaches its method with every argument converted,
     * in order.
     */
    static void argumentsReachTheRecorderInOrder() {
        UpcallHandler handler = new UpcallHandler();
        UpcallBootstrap bootstrap = UpcallBootstrap.install(handler);
        Vm.clearJournal();
        for (boolean onMain : BOTH_THREADS) {
            Vm.onCurrentThread(onMain);
            expectAnswer(null, Vm.startRecordingRaw("null", 2, null, false, 0, 0, null, false, 0,
                                                    0, false));
            expectOneErrorLine();
            expectAnswer(null, Vm.startRecordingRaw("negative", -1, new String[] {"a"}, false, 0,
                                                    0, null, false, 0, 0, false));
            expectOneErrorLine();
        }
        eq(0, bootstrap.calls());
        eq(Collections.emptyList(), handler.take());

        // No settings at all is an empty list, not a fault.
        expectAnswer(STARTED, Vm.startRecordingRaw(null, 0, null, false, 0, 0, null, true, 0, 0,
                                                   false));
        eq(Collections.singletonList(
               "startRecording(null, String[][], false, 0, 0, null, true, 0, 0, false)"),
           handler.take());
        check(ZEV.startHalcyra(), "the recorder starts");
        Vm.clearJournal();

        for (boolean onMain : BOTH_THREADS) {
            Vm.onCurrentThread(onMain);
            expectAnswer(STARTED, Vm.startRecording("n\u00e4me \u20ac",
                                                    new String[] {"default", "pr\u00f6file"},
                                                    true, Long.MIN_VALUE, Long.MAX_VALUE,
                                                    "f \u00fc.zev", false, -1, 1L << 40, true));
            expectAnswer(STARTED, Vm.startRecordingRaw("gaps", 4, new String[] {"a", null, "c"},
                                                       false, 1, 2, "g.zev", false, 3, 4, true));
            expectAnswer("stopped", Vm.stopRecording(null, -5, true, "out.zev", false));
            expectAnswer("checked", Vm.checkRecording(null, Long.MIN_VALUE, true));
            expectAnswer("dumped", Vm.dumpRecording("d", 3, null, true));
            eq(Arrays.asList(
                   "startRecording(\"n\u00e4me \u20ac\", String[][\"default\", \"pr\u00f6file\"], true, "
                   + Long.MIN_VALUE + ", " + Long.MAX_VALUE + ", \"f \u00fc.zev\", false, -1, "
                   + (1L << 40) + ", true)",
                   "startRecording(\"gaps\", String[][\"a\", null, \"c\", null], false, 1, 2, "
                   + "\"g.zev\", false, 3, 4, true)",
                   "stopRecording(null, -5, true, \"out.zev\", false)",
                   "checkRecording(null, " + Long.MIN_VALUE + ", true)",
                   "dumpRecording(\"d\", 3, null, true)"),
               handler.take());
        }
        journal();  // started and bound: the requests ask the VM nothing
    }

    /** Exceptions of the recorder's methods stay pending for the VM; the answers say failure. */
    static void recorderMethodsThatThrow() {
        UpcallHandler handler = new UpcallHandler();
        boundAndStarted(handler);
        handler.throwing = true;
        String refused = "java.lang.IllegalStateException: %s refused";
        eq(Arrays.asList("null, " + String.format(refused, "startRecording"),
                         "null, " + String.format(refused, "stopRecording"),
                         "null, " + String.format(refused, "checkRecording"),
                         "null, " + String.format(refused, "dumpRecording")),
           fourRequests());
        expectChunk(false, String.format(refused, "finishChunk"),
                    Vm.finishChunk("/tmp/t.chunk", 1, 2, false));
        eq(String.format(refused, "onNewChunk"), Vm.newChunk().pending);

        // The same thread goes on with requests that succeed.
        handler.throwing = false;
        eq(ANSWERED, fourRequests());
        expectChunk(true, null, Vm.finishChunk("/tmp/t.chunk", 1, 2, false));
        eq(11, handler.take().size());
        journal();
    }

    /**
     * Chunk reports need no bootstrap; after a release, or without a path,
     * a finished chunk is refused without Java.
     */
    static void chunkReports() {
        UpcallHandler handler = new UpcallHandler();
        Natives.bound(handler);
        for (boolean onMain : BOTH_THREADS) {
            Vm.onCurrentThread(onMain);
            expectChunk(true, null,
                        Vm.finishChunk("/tmp/zev/chunk \u00e9.zev", -1, Long.MAX_VALUE, onMain));
            eq(null, Vm.newChunk().pending);
            expectChunk(false, null, Vm.finishChunk(null, 1, 2, true));  // no path, no chunk
            eq(Arrays.asList("finishChunk(\"/tmp/zev/chunk \u00e9.zev\", -1, " + Long.MAX_VALUE
                             + ", " + onMain + ")", "onNewChunk()"),
               handler.take());
        }
        journal();  // no bootstrap: not even is_started

        eq(0, Vm.release().code);
        for (boolean onMain : BOTH_THREADS) {
            Vm.onCurrentThread(onMain);
            expectChunk(false, null, Vm.finishChunk("/tmp/zev/late.zev", 1, 2, true));
            expectOneErrorLine();
            expectChunk(false, null, Vm.finishChunk(null, 1, 2, true));
            journal();
        }
        eq(Collections.emptyList(), handler.take());
    }

    // ---- helpers ----------------------------------------------------------

    /** One request of each kind; answers "value, pending exception" of each. */
    private static List<String> fourRequests() {
        List<String> got = new ArrayList<>();
        for (Answer answer : new Answer[] {
                 Vm.startRecording("s", new String[] {"default"}, false, 1, 2, "f.zev", true, 3,
                                   4, false),
                 Vm.stopRecording("s", 5, false, null, true), Vm.checkRecording(null, 0, false),
                 Vm.dumpRecording("s", 6, "d.zev", false)}) {
            got.add(answer.value + ", " + answer.pending);
        }
        return got;
    }

    /** What a request asks the VM when it binds the default locale and repository. */
    private static String[] bindingRequestLines() {
        String tag = Locale.getDefault().toLanguageTag();
        String repository = System.getProperty("zev.repository",
                                               System.getProperty("java.io.tmpdir"));
        return new String[] {"is_started()", "is_disabled_on_command_line()",
                             "store_locale(\"" + tag + "\", " + tag.length() + ", 0)",
                             "set_repository(\"" + repository + "\")", "init_buffer()"};
    }

    private static String[] repeat(int times, String... group) {
        return Collections.nCopies(times, Arrays.asList(group)).stream().flatMap(List::stream)
            .toArray(String[]::new);
    }

    private static void boundAndStarted(UpcallHandler handler) {
        Natives.bound(handler);
        check(ZEV.startHalcyra(), "the recorder starts");
        Vm.clearJournal();
    }

    private static void expectAnswer(String value, Answer answer) {
        eq(value, answer.value);
        eq(null, answer.pending);
    }

    private static void expectChunk(boolean accepted, String pending, Answer answer) {
        eq(accepted, answer.bool);
        eq(pending, answer.pending);
    }

    /** Exactly one journal line since the last take, a level-1 log line; clears it. */
    private static void expectOneErrorLine() {
        String[] lines = Vm.takeJournal();
        check(lines.length == 1 && lines[0].startsWith("log(1, \""),
              "one level-1 log line, got " + Arrays.toString(lines));
    }
}
