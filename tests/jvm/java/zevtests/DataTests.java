package zevtests;

import static zevtests.Cases.check;
import static zevtests.Cases.eq;
import static zevtests.Cases.expectThrows;
import static zevtests.Cases.journal;

import java.nio.ByteBuffer;
import java.util.concurrent.atomic.AtomicLong;

import tesmar.nuvrak.zev.Logger;
import tesmar.nuvrak.zev.Process;
import tesmar.nuvrak.zev.Timing;
import tesmar.nuvrak.zev.VMZEV;
import tesmar.nuvrak.zev.ZEV;
import zevhost.Vm;

/** The data and control natives: what each hands the VM and what Java gets back. */
public final class DataTests {
    public static void main(String[] args) throws Throwable {
        Cases.run(DataTests.class, args);
    }

    /**
     * Each forwarding native makes its one call with its arguments and answers
     * the VM's value unchanged; log lines pass uncut and unformatted; shutdown
     * reaches the VM only for a started recorder.
     */
    static void forwardingNativesAnswerTheVm() throws Exception {
        VMZEV r = Natives.bound();
        Vm.script("flush", 0);
        eq(false, r.flush());
        eq(true, r.flush());
        journal("flush(env, VMZEV)", "flush(env, VMZEV)");

        Vm.script("thread_id", 1L << 40);
        eq(1L << 40, r.threadID());
        long mine = r.threadID();
        AtomicLong other = new AtomicLong();
        Thread t = new Thread(() -> other.set(r.threadID()));
        t.start();
        t.join();
        check(other.get() != mine, "each thread has its own id");
        // "env" (not WRONG_ENV): each call passed its own thread's JNIEnv.
        journal("thread_id(env, VMZEV)", "thread_id(env, VMZEV)", "thread_id(env, VMZEV)");

        r.add(7, new byte[] {1}, 0, 1);
        eq(true, r.remove(7));
        Vm.script("remove_const_pool", 1);
        eq(true, r.removeConstPool(3));
        eq(false, r.storeConstPool(3));
        Vm.script("stack_trace_id", 123456789012L);
        eq(123456789012L, r.stackTraceID(2));
        journal("add(7, 0x01, 1)", "remove(7)", "remove_const_pool(3)", "store_const_pool(3)",
                "stack_trace_id(2)");

        long stringId = r.classID0(String.class);
        check(r.classID0(Integer.class) != stringId, "one id per class");
        eq(0L, r.classID0(null));
        journal("class_id(java.lang.String)", "class_id(java.lang.Integer)", "class_id(null)");

        Vm.script("recorder_command", 10, 11, -12, Integer.MAX_VALUE);
        eq(10, r.start(true));
        eq(11, r.start(false));
        eq(-12, r.stop());
        eq(Integer.MAX_VALUE, r.rotate());
        journal("recorder_command(0)", "recorder_command(1)", "recorder_command(2)",
                "recorder_command(3)");

        eq((int) ProcessHandle.current().pid(), Process.getpid());
        eq(1_000_000_000L, Timing.init());
        Vm.script("counter_time", 1L << 50);
        eq(1L << 50, Timing.counterTime());
        journal("getpid(env, class Process)", "timing_init(env, class Timing)",
                "counter_time(env, class Timing)");

        r.setThreshold(5, 1L << 40);
        r.setPeriod(5, 20);
        Vm.script("get_period", Long.MIN_VALUE);
        eq(Long.MIN_VALUE, r.getPeriod(5));
        Vm.refuseId(9);
        expectThrows(Exception.class, "Illegal id 9", () -> r.setPeriod(9, 1));
        expectThrows(Exception.class, "Illegal id -2147483648",
                     () -> r.setThreshold(Integer.MIN_VALUE, 1));
        journal("set_threshold(5, 1099511627776)", "set_period(5, 20)", "get_period(5)",
                "set_period(9, 1)", "set_threshold(-2147483648, 1)");

        String line = "0123456789".repeat(30);
        Logger.output0(Logger.INFO, line);
        Logger.output0(Logger.ERROR, "100% %s %d unformatted");
        Natives.expectNullPointer(() -> Logger.output0(Logger.INFO, null));
        journal("log(5, \"" + line + "\")", "log(1, \"100% %s %d unformatted\")");

        r.shutdown();
        eq(true, ZEV.startHalcyra());
        r.shutdown();
        journal("is_started()", "is_started()", "start_recorder()", "prepare_shutdown()",
                "recorder_command(7)");
    }

    /**
     * add copies exactly the region, or fails before the VM sees anything;
     * constant pools come from direct buffers only.
     */
    static void bytesReachTheVmCopied() {
        VMZEV r = Natives.bound();
        byte[] data = {0, 1, 2, (byte) 0xff, 4, 5};
        r.add(7, data, 2, 3);
        eq(new byte[] {2, (byte) 0xff, 4}, Vm.memory("add:7"));
        r.add(7, data, 6, 0);
        journal("add(7, 0x02ff04, 3)", "add(7, 0x, 0)");

        // Regions outside the array: the copy's exception, and no add.
        for (int[] bad : new int[][] {{4, 3}, {-1, 2}, {7, 0}, {Integer.MAX_VALUE, 2}}) {
            expectThrows(ArrayIndexOutOfBoundsException.class, null,
                         () -> r.add(8, data, bad[0], bad[1]));
        }
        expectThrows(OutOfMemoryError.class, "VMZEV_add", () -> r.add(8, data, 0, -1));
        Natives.expectNullPointer(() -> r.add(8, null, 0, 0));
        journal();

        ByteBuffer pool = ByteBuffer.allocateDirect(4);
        pool.put(new byte[] {1, 2, 3, 4});
        r.addConstPool(pool, 2, true);
        Throwable notDirect = expectThrows(IllegalArgumentException.class, null,
                                           () -> r.addConstPool(ByteBuffer.allocate(4), 4, false));
        check(String.valueOf(notDirect.getMessage()).contains("direct"),
              "says the buffer is not direct: " + notDirect.getMessage());
        Natives.expectNullPointer(() -> r.addConstPool(null, 4, false));
        Vm.script("add_const_pool", 0);
        expectThrows(OutOfMemoryError.class, "addConstPool", () -> r.addConstPool(pool, 4, false));
        journal("add_const_pool(0x0102, 2, true)", "add_const_pool(0x01020304, 4, false)");
    }

    /**
     * buffer and descriptors answer direct buffers over the VM's own memory,
     * as long as the VM answered; out arguments it leaves alone give empty
     * buffers, not stray memory.
     */
    static void buffersOverVmMemory() {
        VMZEV r = Natives.bound();
        ByteBuffer buffer = r.buffer();
        check(Vm.isVmMemory(buffer, "buffer"), "exactly over the VM's buffer");
        buffer.put(100, (byte) 42);
        eq((byte) 42, Vm.memory("buffer")[100]);
        Vm.script("buffer", 16, 0);
        check(Vm.isVmMemory(r.buffer(), "buffer"), "over the part the VM answered");
        expectThrows(OutOfMemoryError.class, "VMZEV_buffer", r::buffer);
        // An address the VM never wrote is no address, whatever length comes with it.
        Vm.script("buffer.unfilled", 1);
        Vm.script("buffer", 512);
        expectThrows(OutOfMemoryError.class, "VMZEV_buffer", r::buffer);
        journal("buffer()", "buffer()", "buffer()", "buffer()");

        Object[] out = {null, null, "left alone"};
        Vm.script("get_descriptor.result", -5);
        Vm.script("get_descriptor.length", 10);
        eq(-5, r.descriptors(9, out));
        check(Vm.isVmMemory((ByteBuffer) out[0], "descriptor_buffer"), "[0] over the shared part");
        check(Vm.isVmMemory((ByteBuffer) out[1], "descriptor:9"), "[1] over its 10 bytes");
        eq("left alone", out[2]);
        journal("descriptor_buffer()", "get_descriptor(9)");

        Vm.script("descriptor_buffer.unfilled", 1);
        Vm.script("descriptor_buffer", 100);
        Vm.script("get_descriptor.unfilled", 1);
        eq(0, r.descriptors(4, out));
        eq(0, ((ByteBuffer) out[0]).capacity());
        eq(0, ((ByteBuffer) out[1]).capacity());
        check(((ByteBuffer) out[1]).isDirect(), "still direct buffers");
        journal("descriptor_buffer()", "get_descriptor(4)");

        // Stores that fail leave their own exception and nothing else.
        expectThrows(ArrayIndexOutOfBoundsException.class, null,
                     () -> r.descriptors(5, new Object[1]));
        expectThrows(ArrayStoreException.class, null, () -> r.descriptors(5, new String[2]));
        Natives.expectNullPointer(() -> r.descriptors(5, null));
        journal("descriptor_buffer()", "get_descriptor(5)", "descriptor_buffer()",
                "get_descriptor(5)");
    }

    /** A descriptor the VM cannot supply ends the process. */
    static void descriptorRefused() {
        VMZEV r = Natives.bound();
        Vm.script("get_descriptor", 0);
        System.out.println("asking for descriptor 6");
        System.out.flush();
        r.descriptors(6, new Object[2]);
        System.out.println("descriptors returned");
    }

    /** write lends the VM the array's own elements, and only when it can write. */
    static void writeLendsTheElements() {
        VMZEV r = Natives.bound();
        byte[] data = {0, 1, 2, 3, 4, 5, 6, 7};
        Vm.clearEvents();
        // A copy would lose what the VM stores into the elements.
        Vm.script("write.stamp", 0x5a);
        r.write(data, 2, 4);
        journal("can_write(env, VMZEV, byte[8], 2)", "write(0x02030405, 2, 4)");
        eq(new byte[] {2, 3, 4, 5}, Vm.memory("events"));
        eq(new byte[] {0, 1, 0x5a, 3, 4, 5, 6, 7}, data);

        Vm.script("can_write", 0);
        Vm.script("write.stamp", 0x11);
        r.write(data, 0, 8);
        Natives.expectNullPointer(() -> r.write(null, 0, 0));
        journal("can_write(env, VMZEV, byte[8], 0)");
        eq(new byte[] {0, 1, 0x5a, 3, 4, 5, 6, 7}, data);
        eq(new byte[] {2, 3, 4, 5}, Vm.memory("events"));
    }
}
