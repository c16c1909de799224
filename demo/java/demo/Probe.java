package demo;

import java.nio.ByteBuffer;
import java.nio.ByteOrder;
import java.util.Map;
import java.util.TreeMap;
import java.util.concurrent.ConcurrentHashMap;
import java.util.concurrent.atomic.LongAdder;

import tesmar.nuvrak.zev.Timing;
import tesmar.nuvrak.zev.VMZEV;

/**
 * What instrumented methods call on entry: counts the call and, while a
 * recorder is attached, records a method-entry event into the VM's buffer.
 */
public final class Probe {
    /** The event type of a method entry. */
    public static final int METHOD_ENTRY = 103;

    private static final Map<String, LongAdder> CALLS = new ConcurrentHashMap<>();
    private static final Map<String, Integer> METHOD_IDS = new ConcurrentHashMap<>();
    private static final ThreadLocal<byte[]> EVENT = ThreadLocal.withInitial(() -> new byte[Event.SIZE]);
    private static volatile VMZEV recorder;

    private Probe() {
    }

    /** Records every instrumented call through this recorder (null: count only). */
    public static void attach(VMZEV r) {
        recorder = r;
    }

    /** Called first thing by an instrumented method, named "owner.method". */
    public static void enter(String method) {
        CALLS.computeIfAbsent(method, m -> new LongAdder()).increment();
        VMZEV r = recorder;
        if (r != null) {
            int methodId = METHOD_IDS.computeIfAbsent(method, m -> METHOD_IDS.size() + 1);
            byte[] event = EVENT.get();
            Event.encode(event, METHOD_ENTRY, Timing.counterTime(), r.threadID(), methodId);
            r.write(event, 0, event.length);
        }
    }

    /** Calls counted so far, per method. */
    public static Map<String, Long> calls() {
        Map<String, Long> counts = new TreeMap<>();
        CALLS.forEach((m, n) -> counts.put(m, n.sum()));
        return counts;
    }

    public static long calls(String method) {
        LongAdder n = CALLS.get(method);
        return n == null ? 0 : n.sum();
    }

    /** The demo's event layout: size, type, time, thread, payload (little-endian). */
    public static final class Event {
        public static final int SIZE = 28;

        private Event() {
        }

        public static void encode(byte[] into, int type, long time, long thread, int payload) {
            ByteBuffer.wrap(into).order(ByteOrder.LITTLE_ENDIAN)
                      .putInt(SIZE).putInt(type).putLong(time).putLong(thread).putInt(payload);
        }

        /** "type 103 at t=..., thread 1, payload 2" for the event at offset. */
        public static String decode(byte[] from, int offset) {
            ByteBuffer b = ByteBuffer.wrap(from, offset, SIZE).order(ByteOrder.LITTLE_ENDIAN);
            int size = b.getInt();
            int type = b.getInt();
            long time = b.getLong();
            long thread = b.getLong();
            int payload = b.getInt();
            return "size " + size + ", type " + type + ", t=" + time + " ns, thread " + thread
                    + ", payload " + payload;
        }

        public static int type(byte[] from, int offset) {
            return ByteBuffer.wrap(from, offset, SIZE).order(ByteOrder.LITTLE_ENDIAN).getInt(offset + 4);
        }
    }
}
