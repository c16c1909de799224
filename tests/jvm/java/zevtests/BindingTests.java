package zevtests;

import java.nio.ByteBuffer;
import java.util.Arrays;
import java.util.concurrent.atomic.AtomicInteger;

import tesmar.nuvrak.zev.NativeOptions;
import tesmar.nuvrak.zev.VMZEV;
import zevhost.Vm;

/** Binding the recorder object with VMZEV.init, and reading the VM's options. */
public final class BindingTests extends Cases {
    public static void main(String[] args) throws Throwable {
        run(BindingTests.class, args);
    }

    static final String REPOSITORY = System.getProperty("java.io.tmpdir");

    /**
     * Null arguments bind nothing. Each refusal of the VM throws yet leaves
     * the binding, which requests reach, until the VM releases it. A proper
     * init hands the locale (its length in modified UTF-8 bytes) and the
     * repository to the VM and answers its initial buffer.
     */
    static void init() {
        VMZEV recorder = new VMZEV();
        Vm.clearJournal();
        npe(() -> recorder.init(null, 0, REPOSITORY));
        npe(() -> recorder.init("en-US", 0, null));
        journal();

        String missing = "/nonexistent/zev-repository/" + "r".repeat(60);
        String locale = "store_locale(\"en-US\", 5, 1)";
        Vm.script("store_locale", 0);
        refused(Exception.class, "Failed to store locale", REPOSITORY, locale);
        refused(Exception.class, ("Could not set repository " + missing).substring(0, 63), missing,
                locale, "set_repository(\"" + missing + "\")");
        Vm.script("init_buffer.unfilled", 1);  // a length, but no address
        Vm.script("init_buffer", 4096);
        refused(OutOfMemoryError.class, "VMZEV_init", REPOSITORY, locale,
                "set_repository(\"" + REPOSITORY + "\")", "init_buffer()");

        ByteBuffer initial = recorder.init("de-\u00c4\u00d6", 3, REPOSITORY);
        journal("store_locale(\"de-\u00c4\u00d6\", 7, 3)", "set_repository(\"" + REPOSITORY + "\")",
                "init_buffer()");
        check(Vm.isVmMemory(initial, "init_buffer"), "over the VM's init_buffer");
        initial.put(10, (byte) 77);
        eq((byte) 77, Vm.memory("init_buffer")[10]);
        reaches(recorder);
    }

    private static void refused(Class<? extends Throwable> type, String message, String repository,
                                String... lines) {
        VMZEV recorder = new VMZEV();
        thrown(type, message, () -> recorder.init("en-US", 1, repository));
        journal(lines);
        reaches(recorder);
        eq(0, Vm.release().code);
    }

    /**
     * Every field of the options record, nulls, extremes and many settings
     * included; four-byte forms arrive as surrogate pairs; a string that is
     * not modified UTF-8 makes options() throw a message that names it.
     */
    static void options() {
        VMZEV recorder = new Recorder().bound();
        String[] many = new String[70000];
        Arrays.fill(many, "s");
        many[69999] = "last";
        Object[][] records = {
            {"nightly", new String[] {"default", null, "profile-\u00fc"}, true, -1L, -5, 16384, 7,
             "/tmp/dump.zev", true, 1L << 40, Long.MIN_VALUE, false},
            {null, new String[0], false, Long.MAX_VALUE, Integer.MAX_VALUE, Integer.MIN_VALUE, 0,
             null, false, 0L, 0L, true},
            {"many", many, false, 0L, 1, 2, 3, null, false, 4L, 5L, true},
        };
        for (Object[] f : records) {
            setOptions(f);
            NativeOptions o = recorder.options();
            eq(f, new Object[] {o.name, o.settings, o.disk, o.maxAge, o.stackDepth,
                                o.threadBufferSize, o.globalBufferCount, o.dumpPath, o.dumpOnExit,
                                o.maxSize, o.maxChunkSize, o.sampleThreads});
        }
        journal("get_options()", "get_options()", "get_options()");

        Vm.rawStrings(true);  // each char a byte: "\u00f0\u009f\u0098\u0080" is U+1F600 in UTF-8
        setOptions("\u00f0\u009f\u0098\u0080", new String[] {"a\u00c0\u0080", null}, "/tmp/d.zev");
        NativeOptions o = recorder.options();
        eq(new Object[] {"\uD83D\uDE00", new String[] {"a\u0000", null}},
           new Object[] {o.name, o.settings});
        journal("get_options()");
        Object[][] bad = {
            {"name is not modified UTF-8 at byte 2", "..\u00c0\u00afetc", new String[0], null},
            {"setting 2 is not modified UTF-8 at byte 3", "n", new String[] {"d", null, "pro\u0080file"},
             null},
            {"dump path is not modified UTF-8 at byte 6", "n", new String[0], "/tmp/r\u00e9\u00a9s"},
        };
        for (Object[] b : bad) {
            setOptions(b[1], b[2], b[3]);
            String message = "VMZEV_options: " + b[0];
            thrown(IllegalArgumentException.class, message, recorder::options);
            journal("get_options()", "log(1, \"" + message + "\")");
        }
    }

    private static void setOptions(Object... f) {
        if (f.length == 3) {
            f = new Object[] {f[0], f[1], false, 0L, 0, 0, 0, f[2], false, 0L, 0L, false};
        }
        Vm.setOptions((String) f[0], (String[]) f[1], (boolean) f[2], (long) f[3], (int) f[4],
                      (int) f[5], (int) f[6], (String) f[7], (boolean) f[8], (long) f[9],
                      (long) f[10], (boolean) f[11]);
    }

    /** A second init on a bound library ends the process. */
    static void initTwice() {
        new Recorder().bound();
        calling();
        new VMZEV().init("en-US", 0, REPOSITORY);
    }

    /** Two threads bind at the same moment: one binds, the other ends the process. */
    static void concurrentInits() throws Exception {
        AtomicInteger ready = new AtomicInteger();
        Runnable bind = () -> {
            VMZEV recorder = new VMZEV();
            recorder.options();  // the JNI paths are warm before the race
            ready.incrementAndGet();
            while (ready.get() < 2) {
                Thread.onSpinWait();  // spinning, not parking: both enter init together
            }
            recorder.init("en-US", 0, REPOSITORY);
        };
        Thread other = new Thread(bind);
        calling();
        other.start();
        bind.run();
        other.join();
    }
}
