package zevtests;

import java.lang.reflect.Array;
import java.lang.reflect.Method;
import java.lang.reflect.Modifier;
import java.nio.ByteBuffer;
import java.util.Arrays;
import java.util.List;
import java.util.Set;
import java.util.TreeSet;
import java.util.concurrent.CompletableFuture;
import java.util.concurrent.atomic.AtomicInteger;

import tesmar.nuvrak.zev.Logger;
import tesmar.nuvrak.zev.NativeOptions;
import tesmar.nuvrak.zev.Process;
import tesmar.nuvrak.zev.Timing;
import tesmar.nuvrak.zev.VMZEV;
import tesmar.nuvrak.zev.ZEV;
import zevhost.Vm;

/**
 * Every native of ZEV, VMZEV, Logger, Process and Timing, with valid and
 * refused arguments: binding the recorder object with VMZEV.init, reading
 * the VM's options, and the rest.
 */
public final class NativeTests extends Cases {
    static final String REPOSITORY = System.getProperty("java.io.tmpdir");

    /**
     * The status natives: a false answer is asked again, a true one (any
     * non-zero byte) is kept; a start the VM refuses drops the binding, so
     * that a new recorder binds.
     */
    static void status() {
        Vm.clearJournal();
        Vm.script("is_enabled", 0, 1);
        Vm.answer("is_enabled", 0);
        Vm.script("is_disabled_on_command_line", 2);
        eq(List.of(true, false, true, true, true),
           List.of(ZEV.isSupportedInVM(), ZEV.isEnabled(), ZEV.isEnabled(), ZEV.isEnabled(),
                   ZEV.isDisabledOnCommandLine()));
        journal("is_enabled()", "is_enabled()", "is_disabled_on_command_line()");

        new Recorder().bound();
        Vm.script("start_recorder", 0);
        eq(List.of(false, false), List.of(ZEV.isStarted(), ZEV.startHalcyra()));
        journal("is_started()", "is_started()", "start_recorder()");
        VMZEV second = new Recorder().bound();  // "invariant" had the first stayed bound
        eq(true, ZEV.startHalcyra());
        Vm.answer("is_started", 0);
        eq(List.of(true, true), List.of(ZEV.isStarted(), ZEV.startHalcyra()));
        journal("is_started()", "start_recorder()");
        reaches(second);
    }

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
        released(Vm.release());
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

    /**
     * The natives that hand their arguments to one VM call and answer its
     * value unchanged, each with its own thread's JNIEnv ("env", not
     * WRONG_ENV); log lines uncut and unformatted; shutdown only when started.
     */
    static void forwarding() throws Exception {
        VMZEV r = new Recorder().bound();
        Vm.script("flush", 0);
        eq(List.of(false, true), List.of(r.flush(), r.flush()));
        Vm.script("thread_id", 1L << 40);
        eq(1L << 40, r.threadID());
        long other = CompletableFuture.supplyAsync(r::threadID).join();
        check(other != r.threadID(), "each thread has its own id");
        journal("flush(env, VMZEV)", "flush(env, VMZEV)", "thread_id(env, VMZEV)",
                "thread_id(env, VMZEV)", "thread_id(env, VMZEV)");

        r.add(7, new byte[] {1}, 0, 1);
        Vm.script("remove_const_pool", 1);
        Vm.script("stack_trace_id", 123456789012L);
        eq(List.of(true, true, false, 123456789012L),
           List.of(r.remove(7), r.removeConstPool(3), r.storeConstPool(3), r.stackTraceID(2)));
        check(r.classID0(String.class) != r.classID0(Integer.class), "one id per class");
        eq(0L, r.classID0(null));
        Vm.script("recorder_command", 10, 11, -12, Integer.MAX_VALUE);
        eq(List.of(10, 11, -12, Integer.MAX_VALUE), List.of(r.start(true), r.start(false),
                                                           r.stop(), r.rotate()));
        journal("add(7, 0x01, 1)", "remove(7)", "remove_const_pool(3)", "store_const_pool(3)",
                "stack_trace_id(2)", "class_id(java.lang.String)", "class_id(java.lang.Integer)",
                "class_id(null)", "recorder_command(0)", "recorder_command(1)",
                "recorder_command(2)", "recorder_command(3)");

        Vm.script("counter_time", 1L << 50);
        eq(List.of((int) ProcessHandle.current().pid(), 1_000_000_000L, 1L << 50),
           List.of(Process.getpid(), Timing.init(), Timing.counterTime()));
        r.setThreshold(5, 1L << 40);
        r.setPeriod(5, 20);
        Vm.script("get_period", Long.MIN_VALUE);
        eq(Long.MIN_VALUE, r.getPeriod(5));
        Vm.refuseId(9);
        thrown(Exception.class, "Illegal id 9", () -> r.setPeriod(9, 1));
        thrown(Exception.class, "Illegal id -2147483648", () -> r.setThreshold(Integer.MIN_VALUE, 1));
        journal("getpid(env, class Process)", "timing_init(env, class Timing)",
                "counter_time(env, class Timing)", "set_threshold(5, 1099511627776)",
                "set_period(5, 20)", "get_period(5)", "set_period(9, 1)",
                "set_threshold(-2147483648, 1)");

        String line = "0123456789".repeat(30);
        Logger.output0(Logger.INFO, line);
        Logger.output0(Logger.ERROR, "100% %s %d unformatted");
        npe(() -> Logger.output0(Logger.INFO, null));
        r.shutdown();
        eq(true, ZEV.startHalcyra());
        r.shutdown();
        journal("log(5, \"" + line + "\")", "log(1, \"100% %s %d unformatted\")", "is_started()",
                "is_started()", "start_recorder()", "prepare_shutdown()", "recorder_command(7)");
    }

    /**
     * The natives over arrays and buffers: add copies exactly its region or
     * fails before the VM hears of it; constant pools come from direct
     * buffers within their capacity; buffers and descriptors lie over the
     * VM's own memory, empty where the VM wrote no address; write lends the
     * VM the array's own elements, and only when it can write.
     */
    static void arraysAndBuffers() {
        VMZEV r = new Recorder().bound();
        byte[] data = {0, 1, 2, (byte) 0xff, 4, 5};
        r.add(7, data, 2, 3);
        eq(new byte[] {2, (byte) 0xff, 4}, Vm.memory("add:7"));
        for (int[] bad : new int[][] {{4, 3}, {-1, 2}, {7, 0}, {Integer.MAX_VALUE, 2}}) {
            thrown(ArrayIndexOutOfBoundsException.class, null, () -> r.add(8, data, bad[0], bad[1]));
        }
        thrown(OutOfMemoryError.class, "VMZEV_add", () -> r.add(8, data, 0, -1));
        npe(() -> r.add(8, null, 0, 0));
        journal("add(7, 0x02ff04, 3)");

        ByteBuffer pool = ByteBuffer.allocateDirect(4).put(new byte[] {1, 2, 3, 4});
        r.addConstPool(pool, 2, true);
        for (int size : new int[] {5, -1, Integer.MIN_VALUE}) {
            thrown(IllegalArgumentException.class, "addConstPool: size " + size
                   + ", buffer capacity 4", () -> r.addConstPool(pool, size, true));
        }
        Throwable heap = thrown(IllegalArgumentException.class, null,
                                () -> r.addConstPool(ByteBuffer.allocate(4), 4, false));
        check(String.valueOf(heap.getMessage()).contains("direct"), "not direct: " + heap);
        npe(() -> r.addConstPool(null, 4, false));
        Vm.script("add_const_pool", 0);
        thrown(OutOfMemoryError.class, "addConstPool", () -> r.addConstPool(pool, 4, false));
        journal("add_const_pool(0x0102, 2, true)", "add_const_pool(0x01020304, 4, false)");

        check(Vm.isVmMemory(r.buffer(), "buffer"), "over the VM's buffer");
        Vm.script("buffer", 16, 0);
        check(Vm.isVmMemory(r.buffer(), "buffer"), "over the part the VM answered");
        thrown(OutOfMemoryError.class, "VMZEV_buffer", r::buffer);
        Vm.script("buffer.unfilled", 1);  // a length, but no address
        Vm.script("buffer", 512);
        thrown(OutOfMemoryError.class, "VMZEV_buffer", r::buffer);
        Object[] out = {null, null, "left alone"};
        Vm.script("get_descriptor.result", -5);
        Vm.script("get_descriptor.length", 10);
        eq(-5, r.descriptors(9, out));
        check(Vm.isVmMemory((ByteBuffer) out[0], "descriptor_buffer"), "[0] the shared part");
        check(Vm.isVmMemory((ByteBuffer) out[1], "descriptor:9"), "[1] its 10 bytes");
        eq("left alone", out[2]);
        thrown(ArrayIndexOutOfBoundsException.class, null, () -> r.descriptors(5, new Object[1]));
        thrown(ArrayStoreException.class, null, () -> r.descriptors(5, new String[2]));
        npe(() -> r.descriptors(5, null));
        Vm.clearJournal();

        // A copy of the elements would lose what the VM stores into them.
        byte[] events = {0, 1, 2, 3, 4, 5, 6, 7};
        Vm.clearEvents();
        Vm.script("write.stamp", 0x5a);
        r.write(events, 2, 4);
        Vm.script("can_write", 0);
        Vm.script("write.stamp", 0x11);
        r.write(events, 0, 8);
        npe(() -> r.write(null, 0, 0));
        journal("can_write(env, VMZEV, byte[8], 2)", "write(0x02030405, 2, 4)",
                "can_write(env, VMZEV, byte[8], 0)");
        eq(new byte[] {2, 3, 4, 5}, Vm.memory("events"));
        eq(new byte[] {0, 1, 0x5a, 3, 4, 5, 6, 7}, events);
    }

    /**
     * On a VM without the recorder interface, every native of VMZEV, Process
     * and Timing but shutdown throws an exception that names it; the status
     * natives answer false, shutdown and the log do nothing. Prints the
     * symbols that the library must export, sorted: JNI_OnLoad and the
     * natives that the recorder's classes declare.
     */
    static void withoutRecorder() throws Exception {
        eq(0x00010002, Vm.onLoadResult());
        check(!Vm.registeredUpcalls(), "no upcalls registered");
        eq(List.of(false, false, false, false, false),
           List.of(ZEV.isSupportedInVM(), ZEV.isEnabled(), ZEV.isDisabledOnCommandLine(),
                   ZEV.isStarted(), ZEV.startHalcyra()));
        VMZEV r = new VMZEV();
        r.shutdown();
        Logger.output0(Logger.INFO, "logged without a recorder");
        npe(() -> Logger.output0(Logger.INFO, null));
        Set<String> declared = new TreeSet<>(Set.of("JNI_OnLoad"));
        int refused = 0;
        for (String simple : new String[] {"ZEV", "ZEVImpl", "VMZEV", "NativeOptions", "Logger",
                                           "Process", "Timing"}) {
            for (Method m : Class.forName("tesmar.nuvrak.zev." + simple).getDeclaredMethods()) {
                if (!Modifier.isNative(m.getModifiers())) {
                    continue;
                }
                declared.add("Java_tesmar_nuvrak_zev_" + simple + "_" + m.getName());
                if (simple.matches("VMZEV|Process|Timing") && !m.getName().equals("shutdown")) {
                    Object[] args = Arrays.stream(m.getParameterTypes())  // 0, false or null
                        .map(type -> Array.get(Array.newInstance(type, 1), 0)).toArray();
                    String name = simple + "_" + m.getName().replace("Classes0", "");
                    thrown(Exception.class, name + ": the VM has no recorder interface",
                           () -> invoke(m, r, args));
                    refused++;
                }
            }
        }
        eq(24, refused);
        eq(32, declared.size());  // JNI_OnLoad and 31 natives
        journal();
        System.out.println("EXPORTS " + String.join(" ", declared));  // what the library must export
    }

    /** A second init on a bound library ends the process. */
    static void initTwice() {
        new Recorder().bound();
        System.out.println("CALLING");
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
        System.out.println("CALLING");
        other.start();
        bind.run();
        other.join();
    }

    /** A descriptor the VM cannot supply ends the process. */
    static void descriptorRefused() {
        VMZEV r = new Recorder().bound();
        Vm.script("get_descriptor", 0);
        System.out.println("CALLING");
        r.descriptors(6, new Object[2]);
    }
}
