package zevtests;

import java.lang.reflect.Array;
import java.lang.reflect.InvocationTargetException;
import java.lang.reflect.Method;
import java.lang.reflect.Modifier;
import java.nio.ByteBuffer;
import java.util.List;

import tesmar.nuvrak.zev.Logger;
import tesmar.nuvrak.zev.Process;
import tesmar.nuvrak.zev.Timing;
import tesmar.nuvrak.zev.VMZEV;
import tesmar.nuvrak.zev.ZEV;
import zevhost.Vm;

/** Every native of ZEV, VMZEV, Logger, Process and Timing, with valid and refused arguments. */
public final class NativeTests extends Cases {
    public static void main(String[] args) throws Throwable {
        run(NativeTests.class, args);
    }

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
        long[] other = new long[1];
        Thread t = new Thread(() -> other[0] = r.threadID());
        t.start();
        t.join();
        check(other[0] != r.threadID(), "each thread has its own id");
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
     * natives answer false, shutdown and the log do nothing.
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
        int refused = 0;
        for (Class<?> k : List.of(VMZEV.class, Process.class, Timing.class)) {
            for (Method m : k.getDeclaredMethods()) {
                if (Modifier.isNative(m.getModifiers()) && !m.getName().equals("shutdown")) {
                    Object[] args = new Object[m.getParameterCount()];
                    for (int i = 0; i < args.length; i++) {  // 0, false or null
                        args[i] = Array.get(Array.newInstance(m.getParameterTypes()[i], 1), 0);
                    }
                    String name = k.getSimpleName() + "_" + m.getName().replace("Classes0", "");
                    thrown(Exception.class, name + ": the VM has no recorder interface", () -> {
                        try {
                            m.invoke(r, args);
                        } catch (InvocationTargetException e) {
                            throw (Exception) e.getCause();
                        }
                    });
                    refused++;
                }
            }
        }
        eq(24, refused);
        journal();
    }

    /** Prints the JNI symbol of every native that the recorder's classes declare. */
    static void listNatives() throws ClassNotFoundException {
        for (String simple : new String[] {"ZEV", "ZEVImpl", "VMZEV", "NativeOptions", "Logger",
                                           "Process", "Timing"}) {
            for (Method m : Class.forName("tesmar.nuvrak.zev." + simple).getDeclaredMethods()) {
                if (Modifier.isNative(m.getModifiers())) {
                    System.out.println("NATIVE Java_tesmar_nuvrak_zev_" + simple + "_" + m.getName());
                }
            }
        }
    }

    /** A descriptor the VM cannot supply ends the process. */
    static void descriptorRefused() {
        VMZEV r = new Recorder().bound();
        Vm.script("get_descriptor", 0);
        calling();
        r.descriptors(6, new Object[2]);
    }
}
