package zevtests;

import static zevtests.Cases.check;
import static zevtests.Cases.eq;
import static zevtests.Cases.expectThrows;
import static zevtests.Cases.journal;

import java.nio.ByteBuffer;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.Collections;
import java.util.List;

import tesmar.nuvrak.zev.NativeOptions;
import tesmar.nuvrak.zev.VMZEV;
import tesmar.nuvrak.zev.ZEV;
import zevhost.Answer;
import zevhost.Vm;

/**
 * What the VM hands the library that it must not take as it comes: bytes
 * that are not modified UTF-8 (passed as they are, one char per byte, with
 * Vm.rawStrings), upcalls made with an exception pending, Java arguments
 * only the library can check, and messages too long for their buffers.
 */
public final class BadInputTests {
    public static void main(String[] args) throws Throwable {
        Cases.run(BadInputTests.class, args);
    }

    private static final boolean[] BOTH_THREADS = {false, true};
    private static final String STARTED = "started \u00e9t\u00e9 \u20ac";
    private static final String PAIR = "\uD83D\uDE00";  // U+1F600 as Java holds it

    /** Byte strings that are not modified UTF-8, each with the offset that is refused. */
    private static final Object[][] BAD = {
        {"/tmp/r\u00e9\u00a9sum.zev", 6},            // Latin-1: E9 starts a sequence that A9 73 is not
        {"..\u00c0\u00afetc", 2},                    // overlong "/"
        {"ab\u0080c", 2},                            // a lone continuation byte
        {"abc\u00e2\u0082", 3},                      // a sequence cut by the end
        {"\u00c1\u0081", 0},                         // C1, overlong by construction
        {"x\u00e0\u009f\u00bf", 1},                  // overlong three-byte form
        {"x\u00f0\u008f\u00bf\u00bf", 1},            // overlong four-byte form
        {"\u00f4\u0090\u0080\u0080", 0},             // beyond U+10FFFF
        {"ok \u00f5\u0080\u0080\u0080", 3},          // F5
        {"\u00ff", 0},
    };

    /**
     * Byte strings the library must pass on, each with what Java must see:
     * modified UTF-8 unchanged, standard UTF-8's four-byte forms as the
     * surrogate pair.
     */
    private static final String[][] GOOD = {
        {"r\u00c3\u00a9sum\u00c3\u00a9 \u00e2\u0082\u00ac", "r\u00e9sum\u00e9 \u20ac"},
        {"a\u00c0\u0080b", "a\u0000b"},
        {"\u00ed\u00a0\u00bd\u00ed\u00b8\u0080", PAIR},  // modified UTF-8's own pair
        {"\u00ed\u00a0\u0080", "\uD800"},                 // a lone surrogate is a Java string too
        {"\u00f0\u009f\u0098\u0080", PAIR},
        {"\u00f0\u0090\u0080\u0080|\u00f4\u008f\u00bf\u00bf", "\uD800\uDC00|\uDBFF\uDFFF"},
        {"\u00c3\u00a9\u00f0\u009f\u0098\u0080.zev", "\u00e9" + PAIR + ".zev"},
        {"/tmp/" + "\u00f0\u009f\u0098\u0080".repeat(100), "/tmp/" + PAIR.repeat(100)},
    };

    // ---- strings from the VM ---------------------------------------------------

    /**
     * Every kind of string a VM request carries, with each bad form: the
     * request answers null (finish_chunk false) with nothing pending and one
     * level-1 line that names it; the recorder never hears of it; the next
     * request on the same thread works.
     */
    static void badStringsAreRefusedAndNamed() {
        UpcallHandler handler = boundAndStarted();
        Vm.rawStrings(true);
        for (boolean onMain : BOTH_THREADS) {
            Vm.onCurrentThread(onMain);
            for (Object[] bad : BAD) {
                String b = (String) bad[0];
                int at = (Integer) bad[1];
                refused("checkRecording: name", at, Vm.checkRecording(b, 1, false));
                refused("stopRecording: name", at, Vm.stopRecording(b, 1, false, "f.zev", false));
                refused("stopRecording: file name", at, Vm.stopRecording("s", 1, true, b, false));
                refused("dumpRecording: name", at, Vm.dumpRecording(b, 1, "f.zev", false));
                refused("dumpRecording: file name", at, Vm.dumpRecording("s", 1, b, false));
                refused("startRecording: name", at, start(b, new String[] {"default"}, "f.zev"));
                refused("startRecording: setting 0", at, start("s", new String[] {b}, "f.zev"));
                refused("startRecording: setting 2", at,
                        start("s", new String[] {"default", null, b, "profile"}, "f.zev"));
                refused("startRecording: file name", at, start("s", new String[] {"a"}, b));
                Answer chunk = Vm.finishChunk(b, 1, 2, false);
                eq(false, chunk.bool);
                refused("finishChunk: chunk path", at, chunk);
                eq(Collections.emptyList(), handler.take());

                // The thread goes on: a good request right after a refused one.
                eq("checked", Vm.checkRecording("after", 2, true).value);
                eq(Collections.singletonList("checkRecording(\"after\", 2, true)"), handler.take());
                journal();
            }
        }
        // Many settings, one bad far down the list, on a VM thread.
        Vm.onCurrentThread(false);
        String[] many = new String[5000];
        Arrays.fill(many, "s");
        many[4321] = "\u00e9";
        refused("startRecording: setting 4321", 0, start("many", many, null));
        eq(Collections.emptyList(), handler.take());
    }

    /**
     * Valid modified UTF-8 reaches Java unchanged and standard UTF-8's
     * four-byte forms as their surrogate pairs, whatever string carries
     * them, long ones included; nothing is logged.
     */
    static void goodStringsArriveExactly() {
        UpcallHandler handler = boundAndStarted();
        Vm.rawStrings(true);
        for (boolean onMain : BOTH_THREADS) {
            Vm.onCurrentThread(onMain);
            for (String[] good : GOOD) {
                String bytes = good[0];
                String q = "\"" + good[1] + "\"";
                eq("checked", Vm.checkRecording(bytes, 3, false).value);
                eq("stopped", Vm.stopRecording(bytes, 4, true, bytes, false).value);
                eq("dumped", Vm.dumpRecording(bytes, 5, bytes, true).value);
                eq(STARTED, start(bytes, new String[] {"a", bytes, null}, bytes).value);
                eq(true, Vm.finishChunk(bytes, 6, 7, true).bool);
                eq(Arrays.asList(
                       "checkRecording(" + q + ", 3, false)",
                       "stopRecording(" + q + ", 4, true, " + q + ", false)",
                       "dumpRecording(" + q + ", 5, " + q + ", true)",
                       "startRecording(" + q + ", String[][\"a\", " + q + ", null], false, 0, 0, "
                       + q + ", false, 0, 0, false)",
                       "finishChunk(" + q + ", 6, 7, true)"),
                   handler.take());
                journal();
            }
        }
    }

    /**
     * The VM's options: a string that is not modified UTF-8 makes options()
     * throw an IllegalArgumentException naming it (and log it); four-byte
     * forms arrive converted.
     */
    static void optionsStringsAreChecked() {
        VMZEV recorder = Natives.bound();
        Vm.rawStrings(true);
        setOptions("..\u00c0\u00afetc", new String[] {"default"}, "/tmp/d.zev");
        optionsRefused(recorder, "name is not modified UTF-8 at byte 2");
        setOptions("n", new String[] {"default", null, "pro\u0080file"}, "/tmp/d.zev");
        optionsRefused(recorder, "setting 2 is not modified UTF-8 at byte 3");
        setOptions("n", new String[] {"default"}, "/tmp/r\u00e9\u00a9sum.zev");
        optionsRefused(recorder, "dump path is not modified UTF-8 at byte 6");

        setOptions("\u00f0\u009f\u0098\u0080", new String[] {"a\u00c0\u0080", null},
                   "/tmp/\u00c3\u00a9\u00f0\u009f\u0098\u0080.zev");
        NativeOptions o = recorder.options();
        journal("get_options()");
        eq(PAIR, o.name);
        eq(new String[] {"a\u0000", null}, o.settings);
        eq("/tmp/\u00e9" + PAIR + ".zev", o.dumpPath);
    }

    // ---- messages cut to their buffers ----------------------------------------

    /** A class whose name, in a 254-byte log line, ends inside a three-byte character. */
    static final class xy\u20ac\u20ac\u20ac\u20ac\u20ac\u20ac\u20ac\u20ac\u20ac\u20ac\u20ac\u20ac\u20ac\u20ac\u20ac\u20ac\u20ac\u20ac\u20ac\u20ac\u20ac\u20ac\u20ac\u20ac\u20ac\u20ac\u20ac\u20ac\u20ac\u20ac\u20ac\u20ac\u20ac\u20ac\u20ac\u20ac\u20ac\u20ac\u20ac\u20ac\u20ac\u20ac\u20ac\u20ac\u20ac\u20ac\u20ac\u20ac\u20ac\u20ac\u20ac\u20ac\u20ac\u20ac\u20ac\u20ac\u20ac\u20ac\u20ac\u20ac\u20ac\u20ac\u20ac\u20ac\u20ac\u20ac\u20ac\u20ac\u20ac\u20ac {
        static String say() {
            return "said";
        }
    }

    /**
     * Exception messages (63 bytes) and log lines (254 bytes) cut on whole
     * characters, surrogate pairs kept whole too.
     */
    static void cutMessagesEndOnWholeCharacters() throws Exception {
        // "Could not set repository " and "/nonexistent/" take 38 bytes.
        String e = "\u00e9";
        expectThrows(Exception.class, "Could not set repository /nonexistent/" + e.repeat(12),
                     () -> new VMZEV().init("en", 0, "/nonexistent/" + e.repeat(30)));
        eq(0, Vm.release().code);  // a refused repository leaves the binding
        // Three pairs end at byte 59; the fourth's high half would end at 62.
        expectThrows(Exception.class, "Could not set repository /nonexistent/abc" + PAIR.repeat(3),
                     () -> new VMZEV().init("en", 0, "/nonexistent/abc" + PAIR.repeat(9)));
        eq(0, Vm.release().code);

        // "classFileLoadHook called for zevtests/BadInputTests$xy" takes 54 bytes:
        // 66 three-byte characters end at 252, the 67th would end at 255.
        Class<?> longName = xy\u20ac\u20ac\u20ac\u20ac\u20ac\u20ac\u20ac\u20ac\u20ac\u20ac\u20ac\u20ac\u20ac\u20ac\u20ac\u20ac\u20ac\u20ac\u20ac\u20ac\u20ac\u20ac\u20ac\u20ac\u20ac\u20ac\u20ac\u20ac\u20ac\u20ac\u20ac\u20ac\u20ac\u20ac\u20ac\u20ac\u20ac\u20ac\u20ac\u20ac\u20ac\u20ac\u20ac\u20ac\u20ac\u20ac\u20ac\u20ac\u20ac\u20ac\u20ac\u20ac\u20ac\u20ac\u20ac\u20ac\u20ac\u20ac\u20ac\u20ac\u20ac\u20ac\u20ac\u20ac\u20ac\u20ac\u20ac\u20ac\u20ac\u20ac.class;
        eq("said", longName.getDeclaredMethod("say").invoke(null));
        ZEV.forget();
        VMZEV recorder = (VMZEV) ZEV.get();
        recorder.setTransformer((klass, classFile) -> null);
        Vm.clearJournal();
        recorder.retransformClasses0(new Class<?>[] {longName});
        String expected = "log(5, \"classFileLoadHook called for zevtests/BadInputTests$xy"
            + "\u20ac".repeat(66) + "\")";
        List<String> hooked = new ArrayList<>();
        for (String line : Vm.takeJournal()) {
            if (line.startsWith("log(5, \"classFileLoadHook")) {
                hooked.add(line);
            }
        }
        eq(Collections.singletonList(expected), hooked);
        eq(0, Vm.release().code);
    }

    // ---- the VM's own faults ----------------------------------------------------

    /**
     * Each entry called with an exception pending makes no JNI call but
     * ExceptionCheck (-Xcheck:jni would say otherwise): null, false or 0, a
     * level-1 line, the VM's exception still pending, the recorder untouched;
     * the next request works. Before the recorder is bound, too.
     */
    static void upcallsWithAnExceptionPending() {
        String pending = "java.lang.IllegalStateException: pending before the upcall";
        UpcallHandler handler = new UpcallHandler();
        UpcallBootstrap bootstrap = UpcallBootstrap.install(handler);
        Vm.clearJournal();
        for (boolean onMain : BOTH_THREADS) {
            Vm.onCurrentThread(onMain);
            Vm.exceptionPendingOnEntry(true);
            List<Answer> answers = Arrays.asList(
                start("s", new String[] {"a"}, "f.zev"), Vm.stopRecording("s", 1, false, null, false),
                Vm.checkRecording("s", 1, false), Vm.dumpRecording("s", 1, "f.zev", false),
                Vm.finishChunk("/tmp/c.zev", 1, 2, false), Vm.newChunk(), Vm.release());
            for (Answer answer : answers) {
                eq(null, answer.value);
                eq(false, answer.bool);
                eq(0, answer.code);
                eq(pending, answer.pending);
            }
            journal(line("startRecording"), line("stopRecording"), line("checkRecording"),
                    line("dumpRecording"), line("finishChunk"), line("onNewChunk"),
                    line("releaseBindings"));
            eq(Collections.emptyList(), handler.take());

            // The VM cleared its exception: the same thread's next request works,
            // and the release above released nothing.
            Vm.exceptionPendingOnEntry(false);
            eq("checked", Vm.checkRecording("t", 2, true).value);
            eq(true, Vm.finishChunk("/tmp/c.zev", 1, 2, false).bool);
            eq(Arrays.asList("checkRecording(\"t\", 2, true)",
                             "finishChunk(\"/tmp/c.zev\", 1, 2, false)"),
               handler.take());
            Vm.clearJournal();
        }
        eq(2, bootstrap.calls());
    }

    /**
     * What only the library can check is checked: a const-pool size beyond
     * the direct buffer never reaches the VM (the VM gets the address
     * alone). What the VM bounds itself it is handed as it comes: write's
     * ints, within the array the VM saw in can_write. A settings list longer
     * than any local frame.
     */
    static void argumentsTheVmCannotCheck() {
        UpcallHandler quiet = new UpcallHandler(true);
        VMZEV r = Natives.bound(quiet);
        ByteBuffer pool = ByteBuffer.allocateDirect(8);
        for (int size : new int[] {9, -1, Integer.MAX_VALUE, Integer.MIN_VALUE}) {
            expectThrows(IllegalArgumentException.class,
                         "addConstPool: size " + size + ", buffer capacity 8",
                         () -> r.addConstPool(pool, size, true));
        }
        journal();
        r.addConstPool(pool, 8, true);
        r.addConstPool(pool, 0, false);
        journal("add_const_pool(0x0000000000000000, 8, true)", "add_const_pool(0x, 0, false)");

        // write: the reference VM cuts the range to the array it saw.
        byte[] data = {1, 2, 3, 4};
        r.write(data, 2, 100);
        journal("can_write(env, VMZEV, byte[4], 2)", "write(0x0304, 2, 100)");

        check(ZEV.startHalcyra(), "the recorder starts");
        String[] settings = new String[70000];
        Arrays.fill(settings, "s");
        Vm.clearJournal();
        for (boolean onMain : BOTH_THREADS) {
            Vm.onCurrentThread(onMain);
            Answer answer = start("many", settings, "f.zev");
            eq(STARTED, answer.value);
            eq(null, answer.pending);
        }
        journal();
    }

    /** retransformClasses0 on a VM without the recorder interface throws as every native does. */
    static void retransformWithoutRecorderInterface() {
        VMZEV r = new VMZEV();
        String message = "VMZEV_retransform: the VM has no recorder interface";
        expectThrows(Exception.class, message,
                     () -> r.retransformClasses0(new Class<?>[] {String.class}));
        expectThrows(Exception.class, message, () -> r.retransformClasses0(new Class<?>[0]));
        expectThrows(Exception.class, message, () -> r.retransformClasses0(null));
        check(!Vm.hasRecorderInterface(), "no recorder interface");
    }

    // ---- helpers --------------------------------------------------------------

    private static UpcallHandler boundAndStarted() {
        UpcallHandler handler = new UpcallHandler();
        Natives.bound(handler);
        check(ZEV.startHalcyra(), "the recorder starts");
        Vm.clearJournal();
        return handler;
    }

    private static Answer start(String name, String[] settings, String fileName) {
        return Vm.startRecording(name, settings, false, 0, 0, fileName, false, 0, 0, false);
    }

    /** A null answer with nothing pending and exactly the refusal's line. */
    private static void refused(String what, int at, Answer answer) {
        eq(null, answer.value);
        eq(null, answer.pending);
        journal("log(1, \"" + what + " is not modified UTF-8 at byte " + at + "\")");
    }

    private static void setOptions(String name, String[] settings, String dumpPath) {
        Vm.setOptions(name, settings, true, 1, 2, 3, 4, dumpPath, false, 5, 6, true);
    }

    private static void optionsRefused(VMZEV recorder, String what) {
        String message = "VMZEV_options: " + what;
        expectThrows(IllegalArgumentException.class, message, recorder::options);
        journal("get_options()", "log(1, \"" + message + "\")");
    }

    private static String line(String entry) {
        return "log(1, \"" + entry + ": called with an exception pending\")";
    }
}
