package zevtests;

import java.util.ArrayList;
import java.util.Arrays;
import java.util.List;
import java.util.Locale;

import tesmar.nuvrak.zev.VMZEV;
import tesmar.nuvrak.zev.ZEV;
import zevhost.Answer;
import zevhost.Vm;

/**
 * The VM's requests through the real JVM: on native threads attached as VM
 * threads (the host's default, "vm") or on the calling Java thread ("java"),
 * with the recorder bootstrapped through ZEV.get() until it is started.
 */
public final class UpcallTests extends Cases {
    static final String PENDING = "java.lang.IllegalStateException: pending before the upcall";
    static final String[] ENTRIES = {"startRecording", "stopRecording", "checkRecording",
                                     "dumpRecording", "finishChunk", "onNewChunk"};

    /** One request of each entry but the release, as "answer, pending exception". */
    static List<String> sixRequests() {
        return shown(start("s", new String[] {"default"}, "f.zev"),
                     Vm.stopRecording("s", 5, false, null, true), Vm.checkRecording(null, 0, false),
                     Vm.dumpRecording("s", 6, "d.zev", false),
                     Vm.finishChunk("/tmp/c.zev", 1, 2, false), Vm.newChunk());
    }

    /** Each answer as "result, pending exception". */
    static List<String> shown(Answer... answers) {
        return Arrays.stream(answers)
            .map(a -> (a.entry.equals("finish_chunk") ? a.bool : a.value) + ", " + a.pending)
            .toList();
    }

    static final List<String> ANSWERED = List.of(STARTED + ", null", "stopped, null",
        "checked, null", "dumped, null", "true, null", "null, null");

    static Answer start(String name, String[] settings, String fileName) {
        return Vm.startRecording(name, settings, false, 0, 0, fileName, false, 0, 0, false);
    }

    /**
     * Every recording request asks ZEV.get() while the recorder is not
     * started, and the first binds; once started, none asks; chunk reports
     * never do. A ZEV.get() that answers null or throws gives a null answer,
     * a level-1 line and its exception left pending for the VM.
     */
    static void bootstrap() {
        Recorder recorder = new Recorder();
        ZEV.setBootstrap(() -> null);
        Vm.clearJournal();
        eq(null, Vm.checkRecording("r", 7, true).value);
        ZEV.setBootstrap(() -> {
            throw new IllegalStateException("no recorder here");
        });
        eq("java.lang.IllegalStateException: no recorder here",
           Vm.dumpRecording("s", 1, "d.zev", true).pending);
        String failed = "log(1, \"Could not initialize Java Halcyra\")";
        journal("is_started()", "is_disabled_on_command_line()", failed, "is_started()",
                "is_disabled_on_command_line()", failed);

        ZEV.setBootstrap(recorder);
        eq("checked", Vm.checkRecording("r", 7, true).value);
        String tag = Locale.getDefault().toLanguageTag();
        journal("is_started()", "is_disabled_on_command_line()",
                "store_locale(\"" + tag + "\", " + tag.length() + ", 0)",
                "set_repository(\"" + System.getProperty("java.io.tmpdir") + "\")", "init_buffer()");
        eq(ANSWERED, sixRequests());
        journal("is_started()", "is_disabled_on_command_line()", "is_started()",
                "is_disabled_on_command_line()", "is_started()", "is_disabled_on_command_line()",
                "is_started()", "is_disabled_on_command_line()");
        check(ZEV.startHalcyra(), "the recorder starts");
        Vm.clearJournal();
        eq(ANSWERED, sixRequests());
        journal();
        eq(5, recorder.gets);
        eq(13, recorder.take().size());
    }

    /**
     * Every argument reaches the recorder converted, in order: nulls,
     * extremes, settings with gaps, none, or more than any local frame
     * holds, standard UTF-8's four-byte forms as surrogate pairs. Settings
     * that cannot be read are refused before anything else. A string that is
     * not modified UTF-8, in any place a request carries one, is refused
     * with a level-1 line that names it: a null answer, nothing pending, the
     * recorder not asked; the next request works.
     */
    static void conversions(String[] thread) {
        Vm.onCurrentThread(thread[0].equals("java"));
        Recorder recorder = new Recorder();
        Vm.clearJournal();
        eq(null, Vm.startRecordingRaw("n", 2, null, false, 0, 0, null, false, 0, 0, false).value);
        eq(null, Vm.startRecordingRaw("n", -1, new String[] {"a"}, false, 0, 0, null, false, 0, 0,
                                      false).value);
        journal("log(1, \"startRecording: 2 settings at a null address\")",
                "log(1, \"startRecording: -1 settings at a valid address\")");
        eq(0, recorder.gets);
        eq(STARTED, Vm.startRecordingRaw(null, 0, null, false, 0, 0, null, true, 0, 0, false).value);
        eq(List.of("startRecording(null, String[][], false, 0, 0, null, true, 0, 0, false)"),
           recorder.take());
        check(ZEV.startHalcyra(), "the recorder starts");
        Vm.clearJournal();

        String[] many = new String[70000];
        Arrays.fill(many, "s");
        Vm.rawStrings(true);  // each char a byte: here é, U+1F600 and U+10FFFF in standard UTF-8
        String four = "\u00c3\u00a9\u00f0\u009f\u0098\u0080|\u00f4\u008f\u00bf\u00bf";
        String q = "\"\u00e9\uD83D\uDE00|\uDBFF\uDFFF\"";
        eq(List.of(STARTED + ", null", STARTED + ", null", "stopped, null", "checked, null",
                   "dumped, null", "true, null"),
           shown(Vm.startRecordingRaw(four, 4, new String[] {"a", null, four}, true,
                                      Long.MIN_VALUE, Long.MAX_VALUE, four, false, -1,
                                      1L << 40, true),
                 start("many", many, null), Vm.stopRecording(null, -5, true, four, false),
                 Vm.checkRecording(four, Long.MIN_VALUE, true),
                 Vm.dumpRecording("d", 3, null, true),
                 Vm.finishChunk(four, -1, Long.MAX_VALUE, true)));
        List<String> calls = recorder.take();
        eq(70000, calls.remove(1).split("\"s\"", -1).length - 1);
        eq(List.of("startRecording(" + q + ", String[][\"a\", null, " + q + ", null], true, "
                   + Long.MIN_VALUE + ", " + Long.MAX_VALUE + ", " + q + ", false, -1, "
                   + (1L << 40) + ", true)",
                   "stopRecording(null, -5, true, " + q + ", false)",
                   "checkRecording(" + q + ", " + Long.MIN_VALUE + ", true)",
                   "dumpRecording(\"d\", 3, null, true)",
                   "finishChunk(" + q + ", -1, " + Long.MAX_VALUE + ", true)"), calls);
        journal();  // started and bound: the requests ask the VM nothing

        String[] places = {"checkRecording: name", "stopRecording: name", "stopRecording: file name",
                           "dumpRecording: name", "dumpRecording: file name", "startRecording: name",
                           "startRecording: setting 0", "startRecording: setting 2",
                           "startRecording: file name", "finishChunk: chunk path"};
        Object[][] bad = {{"/tmp/r\u00e9\u00a9sum.zev", 6}, {"\u00c0\u00afetc", 0},
                          {"abc\u00e2\u0082", 3}, {"x\u00f0\u008f\u00bf\u00bf", 1}};
        for (Object[] one : bad) {
            String b = (String) one[0];
            Vm.clearJournal();
            List<String> lines = new ArrayList<>();
            for (Answer a : new Answer[] {
                     Vm.checkRecording(b, 1, false), Vm.stopRecording(b, 1, false, "f", false),
                     Vm.stopRecording("s", 1, true, b, false), Vm.dumpRecording(b, 1, "f", false),
                     Vm.dumpRecording("s", 1, b, false), start(b, new String[] {"d"}, "f"),
                     start("s", new String[] {b}, "f"), start("s", new String[] {"d", null, b}, "f"),
                     start("s", new String[] {"a"}, b), Vm.finishChunk(b, 1, 2, false)}) {
                eq("null, false, null", a.value + ", " + a.bool + ", " + a.pending);
                lines.add("log(1, \"" + places[lines.size()] + " is not modified UTF-8 at byte "
                          + one[1] + "\")");
            }
            journal(lines.toArray(new String[0]));
            eq(List.of(), recorder.take());
            eq("checked", Vm.checkRecording("after", 2, true).value);
            eq(1, recorder.take().size());
        }
    }

    /**
     * Each entry called with an exception pending makes no JNI call but
     * ExceptionCheck: null, false or 0, a level-1 line, the exception still
     * pending, the recorder not asked. The release lets go of the binding:
     * a finished chunk is refused, and the bootstrap binds anew without
     * "invariant"; the thread's next request works. Exceptions of the
     * recorder's methods stay pending for the VM; the answers say failure.
     */
    static void exceptions(String[] thread) {
        Vm.onCurrentThread(thread[0].equals("java"));
        Recorder recorder = new Recorder();
        recorder.bound();
        List<String> pending = new ArrayList<>();
        List<String> refused = new ArrayList<>();
        List<String> lines = new ArrayList<>();
        for (String entry : ENTRIES) {
            String failed = entry.equals("finishChunk") ? "false, " : "null, ";
            pending.add(failed + PENDING);
            refused.add(failed + "java.lang.IllegalStateException: " + entry + " refused");
            lines.add("log(1, \"" + entry + ": called with an exception pending\")");
        }
        Vm.exceptionPendingOnEntry(true);
        eq(pending, sixRequests());
        Answer release = Vm.release();
        eq("0, " + PENDING, release.code + ", " + release.pending);
        lines.add("log(1, \"releaseBindings: called with an exception pending\")");
        journal(lines.toArray(new String[0]));
        eq(List.of(), recorder.take());

        Vm.exceptionPendingOnEntry(false);
        eq(false, Vm.finishChunk("/tmp/c.zev", 1, 2, false).bool);  // nothing bound now
        journal("log(1, \"finishChunk: no recorder object is bound\")");
        recorder.bound = null;  // released: Java forgets it too
        eq("checked", Vm.checkRecording("t", 2, true).value);
        eq(List.of("checkRecording(\"t\", 2, true)"), recorder.take());
        eq(1, recorder.gets);  // the request after the release

        check(ZEV.startHalcyra(), "the recorder starts");
        recorder.throwing = true;
        eq(refused, sixRequests());
        recorder.throwing = false;
        eq(ANSWERED, sixRequests());
        eq(12, recorder.take().size());
    }

    /** ZEV.get() answers an object that never bound: the request ends the process. */
    static void bootstrapWithoutBinding() {
        ZEV.setBootstrap(VMZEV::new);
        System.out.println("CALLING");
        Vm.checkRecording("s", 1, false);
    }
}
