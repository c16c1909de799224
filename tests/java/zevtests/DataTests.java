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

    /** Each forwarding native makes its one call and answers the VM's value unchanged. */
    static void forwardingNativesAnswerTheVm() throws Exception {
        VMZEV r = Natives.bound();

        eq(true, r.flush());
        Vm.script("flush", 0);
        eq(false, r.flush());
        journal("flush(env, VMZEV)", "flush(env, VMZEV)");

        long mine = r.threadID();
        eq(mine, r.threadID());
        AtomicLong other = new AtomicLong();
        Thread t = new Thread(() -> other.set(r.threadID()));
        t.start();
        t.join();
        check(other.get() != mine, "each thread has its own id");
        // "env" (not WRONG_ENV): each call passed its own thread's JNIEnv.
        journal("thread_id(env, VMZEV)", "thread_id(env, VMZEV)", "thread_id(env, VMZEV)");
        Vm.script("thread_id", 1L << 40);
        eq(1L << 40, r.threadID());
        journal("thread_id(env, VMZEV)");

        eq(false, r.remove(7));
        r.add(7, new byte[] {1}, 0, 1);
        eq(true, r.remove(7));
        journal("remove(7)", "add(7, 0x01, 1)", "remove(7)");

        Vm.script("remove_const_pool", 1);
        eq(true, r.removeConstPool(3));
        eq(false, r.storeConstPool(3));
        journal("remove_const_pool(3)", "store_const_pool(3)");

        eq(-1L, r.getPeriod(5));
        Vm.script("get_period", Long.MIN_VALUE);
        eq(Long.MIN_VALUE, r.getPeriod(5));
        journal("get_period(5)", "get_period(5)");

        Vm.script("stack_trace_id", 123456789012L);
        eq(123456789012L, r.stackTraceID(2));
        check(r.stackTraceID(-1) != r.stackTraceID(-1), "a new stack trace id per call");
        journal("stack_trace_id(2)", "stack_trace_id(-1)", "stack_trace_id(-1)");

        long stringId = r.classID0(String.class);
        eq(stringId, r.classID0(String.class));
        check(r.classID0(Integer.class) != stringId, "one id per class");
        eq(0L, r.classID0(null));
        journal("class_id(java.lang.String)", "class_id(java.lang.String)",
                "class_id(java.lang.Integer)", "class_id(null)");

        Vm.script("recorder_command", 10, 11, -12, Integer.MAX_VALUE);
        eq(10, r.start(true));
        eq(11, r.start(false));
        eq(-12, r.stop());
        eq(Integer.MAX_VALUE, r.rotate());
        journal("recorder_command(0)", "recorder_command(1)", "recorder_command(2)",
                "recorder_command(3)");

        eq((int) ProcessHandle.current().pid(), Process.getpid());
        journal("getpid(env, class Process)");

        eq(1_000_000_000L, Timing.init());
        long before = Timing.counterTime();
        check(Timing.counterTime() >= before, "a monotonic counter");
        journal("timing_init(env, class Timing)", "counter_time(env, class Timing)",
                "counter_time(env, class Timing)");
    }

    /** add copies exactly the region, or fails before the VM sees anything. */
    static void addCopiesExactlyTheRegion() {
        VMZEV r = Natives.bound();
        byte[] data = {0, 1, 2, (byte) 0xff, 4, 5};

        r.add(7, data, 2, 3);
        journal("add(7, 0x02ff04, 3)");
        eq(new byte[] {2, (byte) 0xff, 4}, Vm.memory("add:7"));
        r.add(7, data, 0, 6);
        journal("add(7, 0x000102ff0405, 6)");
        r.add(7, data, 6, 0);
        journal("add(7, 0x, 0)");
        eq(new byte[0], Vm.memory("add:7"));

        // Regions outside the array: the copy's exception, and no add.
        expectThrows(ArrayIndexOutOfBoundsException.class, null, () -> r.add(8, data, 4, 3));
        expectThrows(ArrayIndexOutOfBoundsException.class, null, () -> r.add(8, data, -1, 2));
        expectThrows(ArrayIndexOutOfBoundsException.class, null, () -> r.add(8, data, 7, 0));
        expectThrows(ArrayIndexOutOfBoundsException.class, null,
                     () -> r.add(8, data, Integer.MAX_VALUE, 2));
        expectThrows(OutOfMemoryError.class, "VMZEV_add", () -> r.add(8, data, 0, -1));
        expectThrows(OutOfMemoryError.class, "VMZEV_add",
                     () -> r.add(8, data, 0, Integer.MIN_VALUE));
        Natives.expectNullPointer(() -> r.add(8, null, 0, 0));
        journal();
        eq(null, Vm.memory("add:8"));

        r.add(8, data, 5, 1);
        journal("add(8, 0x05, 1)");
    }

    /** Constant pools from direct buffers only, and the VM's buffer shared with Java. */
    static void constPoolsAndBuffers() {
        VMZEV r = Natives.bound();

        ByteBuffer pool = ByteBuffer.allocateDirect(4);
        pool.put(new byte[] {1, 2, 3, 4});
        r.addConstPool(pool, 2, true);
        journal("add_const_pool(0x0102, 2, true)");
        eq(true, r.storeConstPool(1));
        journal("store_const_pool(1)");

        Throwable notDirect = expectThrows(IllegalArgumentException.class, null,
                                           () -> r.addConstPool(ByteBuffer.allocate(4), 4, false));
        check(String.valueOf(notDirect.getMessage()).contains("direct"),
              "says the buffer is not direct: " + notDirect.getMessage());
        Natives.expectNullPointer(() -> r.addConstPool(null, 4, false));
        journal();

        Vm.script("add_const_pool", 0);
        expectThrows(OutOfMemoryError.class, "addConstPool", () -> r.addConstPool(pool, 4, false));
        journal("add_const_pool(0x01020304, 4, false)");

        ByteBuffer buffer = r.buffer();
        journal("buffer()");
        check(buffer.isDirect(), "a direct buffer");
        check(Vm.isVmMemory(buffer, "buffer"), "exactly over the VM's buffer");
        eq(65536, buffer.capacity());
        buffer.put(100, (byte) 42);
        eq((byte) 42, Vm.memory("buffer")[100]);
        Vm.poke("buffer", 5, (byte) 9);
        eq((byte) 9, buffer.get(5));

        Vm.script("buffer", 16);
        ByteBuffer part = r.buffer();
        eq(16, part.capacity());
        check(Vm.isVmMemory(part, "buffer"), "over the part the VM answered");

        Vm.script("buffer", 0);
        expectThrows(OutOfMemoryError.class, "VMZEV_buffer", r::buffer);
        // An address the VM never wrote is no address, whatever length comes with it.
        Vm.script("buffer.unfilled", 1);
        Vm.script("buffer", 512);
        expectThrows(OutOfMemoryError.class, "VMZEV_buffer", r::buffer);
        journal("buffer()", "buffer()", "buffer()");
    }

    /** descriptors answers two buffers over VM memory and the VM's result. */
    static void descriptorsOverVmMemory() {
        VMZEV r = Natives.bound();

        Object[] out = new Object[2];
        eq(3, r.descriptors(3, out));
        journal("descriptor_buffer()", "get_descriptor(3)");
        ByteBuffer shared = (ByteBuffer) out[0];
        ByteBuffer descriptor = (ByteBuffer) out[1];
        check(Vm.isVmMemory(shared, "descriptor_buffer"), "[0] over descriptor_buffer");
        check(Vm.isVmMemory(descriptor, "descriptor:3"), "[1] over the descriptor");
        eq(64, descriptor.capacity());
        for (int i = 0; i < 64; i++) {
            eq((byte) (3 + i), descriptor.get(i));
        }

        Vm.script("get_descriptor.result", -5);
        Vm.script("get_descriptor.length", 10);
        Object[] longer = {"left", "alone", "here"};
        eq(-5, r.descriptors(9, longer));
        eq(10, ((ByteBuffer) longer[1]).capacity());
        check(Vm.isVmMemory((ByteBuffer) longer[1], "descriptor:9"), "over the part answered");
        eq("here", longer[2]);
        journal("descriptor_buffer()", "get_descriptor(9)");

        // Out arguments the VM leaves alone give empty buffers, not stray memory.
        Vm.script("descriptor_buffer.unfilled", 1);
        Vm.script("descriptor_buffer", 100);
        Vm.script("get_descriptor.unfilled", 1);
        Object[] unfilled = new Object[2];
        eq(0, r.descriptors(4, unfilled));
        eq(0, ((ByteBuffer) unfilled[0]).capacity());
        eq(0, ((ByteBuffer) unfilled[1]).capacity());
        check(((ByteBuffer) unfilled[1]).isDirect(), "still direct buffers");
        journal("descriptor_buffer()", "get_descriptor(4)");

        // Stores that fail leave their own exception and nothing else.
        expectThrows(ArrayIndexOutOfBoundsException.class, null,
                     () -> r.descriptors(5, new Object[1]));
        expectThrows(ArrayStoreException.class, null, () -> r.descriptors(5, new String[2]));
        journal("descriptor_buffer()", "get_descriptor(5)", "descriptor_buffer()",
                "get_descriptor(5)");
        Natives.expectNullPointer(() -> r.descriptors(5, null));
        journal();
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
        byte[] data = new byte[16];
        for (int i = 0; i < data.length; i++) {
            data[i] = (byte) i;
        }
        Vm.clearEvents();

        r.write(data, 2, 4);
        journal("can_write(env, VMZEV, byte[16], 2)", "write(0x02030405, 2, 4)");
        eq(new byte[] {2, 3, 4, 5}, Vm.memory("events"));

        // A copy would lose what the VM stores into the elements.
        Vm.script("write.stamp", 0x5a);
        r.write(data, 3, 2);
        journal("can_write(env, VMZEV, byte[16], 3)", "write(0x0304, 3, 2)");
        eq((byte) 0x5a, data[3]);
        byte[] expected = new byte[16];
        for (int i = 0; i < expected.length; i++) {
            expected[i] = (byte) i;
        }
        expected[3] = 0x5a;
        eq(expected, data);

        Vm.script("can_write", 0);
        Vm.script("write.stamp", 0x11);
        r.write(data, 0, 16);
        journal("can_write(env, VMZEV, byte[16], 0)");
        eq(expected, data);

        Natives.expectNullPointer(() -> r.write(null, 0, 0));
        journal();
        eq(new byte[] {2, 3, 4, 5, 3, 4}, Vm.memory("events"));
    }

    /** Thresholds, periods and the shutdown that only a started recorder gets. */
    static void periodsThresholdsAndShutdown() {
        VMZEV r = Natives.bound();

        r.setThreshold(5, 1L << 40);
        r.setPeriod(5, 20);
        eq(20L, r.getPeriod(5));
        journal("set_threshold(5, 1099511627776)", "set_period(5, 20)", "get_period(5)");

        Vm.refuseId(9);
        expectThrows(Exception.class, "Illegal id 9", () -> r.setPeriod(9, 1));
        expectThrows(Exception.class, "Illegal id 9", () -> r.setThreshold(9, 1));
        expectThrows(Exception.class, "Illegal id -2147483648",
                     () -> r.setThreshold(Integer.MIN_VALUE, 1));
        eq(-1L, r.getPeriod(9));
        journal("set_period(9, 1)", "set_threshold(9, 1)", "set_threshold(-2147483648, 1)",
                "get_period(9)");

        r.shutdown();
        journal("is_started()");
        eq(true, ZEV.startHalcyra());
        journal("is_started()", "start_recorder()");
        r.shutdown();
        journal("prepare_shutdown()", "recorder_command(7)");
    }

    /** Log lines reach the VM exactly as Java wrote them. */
    static void loggerPassesLinesThrough() {
        Vm.clearJournal();
        StringBuilder line = new StringBuilder();
        while (line.length() < 300) {
            line.append("0123456789");
        }
        Logger.output0(Logger.INFO, line.toString());
        Logger.output0(Logger.ERROR, "100% %s %d unformatted");
        journal("log(5, \"" + line + "\")", "log(1, \"100% %s %d unformatted\")");

        Natives.expectNullPointer(() -> Logger.output0(Logger.INFO, null));
        journal();
        Logger.log(Logger.INFO, "after");
        journal("log(5, \"after\")");
    }
}
