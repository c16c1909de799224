package zevtests;

import static java.nio.charset.StandardCharsets.ISO_8859_1;

import java.lang.instrument.Instrumentation;
import java.lang.management.ManagementFactory;
import java.lang.management.MemoryPoolMXBean;
import java.lang.management.MemoryType;
import java.lang.management.ThreadInfo;
import java.nio.ByteBuffer;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.LinkedHashMap;
import java.util.List;
import java.util.Map;
import java.util.concurrent.ThreadLocalRandom;
import java.util.concurrent.atomic.AtomicBoolean;
import java.util.concurrent.atomic.AtomicLong;

import org.objectweb.asm.ClassWriter;
import org.objectweb.asm.MethodVisitor;
import org.objectweb.asm.Opcodes;

import tesmar.nuvrak.zev.ClassTransformer;
import tesmar.nuvrak.zev.Logger;
import tesmar.nuvrak.zev.VMZEV;
import tesmar.nuvrak.zev.ZEV;
import zevhost.Answer;
import zevhost.Vm;
import zevtests.support.Injector;

/**
 * Every concurrent path at once, for a while: native VM threads making
 * random recording requests and chunk reports, releases every few
 * milliseconds with the recorder bound again by the next request's
 * bootstrap, Java threads calling every data native, a retransformation of
 * a few hundred classes over and over with another agent retransforming
 * them too, and fresh classes defined all the while. The recorder is never
 * reported started, so every request takes the bootstrap; the VM side makes
 * no request that the library must answer with an abort.
 *
 * Usage: Soak SECONDS (run with -javaagent of RetransformAgent). Prints each
 * invariant with its count, requests per second by kind, and "SOAK held"
 * (exit 0) or "SOAK broken" (exit 1); a run that stops making progress for
 * half a minute prints every thread's stack and "SOAK deadlocked" and halts
 * with status 3.
 */
public final class Soak {
    static final int SUBJECTS = 300;
    static final int VM_THREADS = 4;
    static final long STALL_MILLIS = 30_000;

    public static void main(String[] args) throws Throwable {
        long seconds = Long.parseLong(args[0]);
        new Soak().run(seconds * 1000);
    }

    // ---- the recorder --------------------------------------------------------

    /**
     * ZEV.get() as a VM's Java side keeps it across releases: no recorder
     * while a release is under way, a new one once it is over.
     */
    final class Bootstrap implements ZEV.Bootstrap {
        private VMZEV bound;
        private boolean releasing;

        @Override
        public synchronized ZEV get() {
            if (releasing) {
                return null;
            }
            if (bound == null) {
                VMZEV recorder = new VMZEV();
                recorder.setHandler(FailureSweep.HANDLER);  // answers carry the request's name
                recorder.setTransformer(PATCH);
                if (recorder.bind() == null) {
                    return null;
                }
                bound = recorder;
                bindings.incrementAndGet();
            }
            return bound;
        }

        synchronized VMZEV bound() {
            return releasing ? null : bound;
        }

        /** A release as the VM makes one: Java is told before and after. */
        Answer release() {
            synchronized (this) {
                releasing = true;
            }
            Answer answer = Vm.release();
            synchronized (this) {
                bound = null;
                releasing = false;
            }
            return answer;
        }

        /** A new-chunk report, made only while the VM knows a recorder is bound. */
        synchronized Answer newChunk() {
            return bound != null && !releasing ? Vm.newChunk() : null;
        }
    }

    final Bootstrap bootstrap = new Bootstrap();
    final AtomicLong bindings = new AtomicLong();

    // ---- the classes -----------------------------------------------------------

    /** Rewrites a subject's constant "before" to "after!", the same length. */
    static final ClassTransformer PATCH = (klass, bytes) -> {
        if (!klass.getName().startsWith("soak.Subject")) {
            return null;
        }
        String text = new String(bytes, ISO_8859_1);
        return text.replace("\1\0\6before", "\1\0\6after!").getBytes(ISO_8859_1);
    };

    /** A class whose static say() answers "before". */
    static byte[] subject(String internalName) {
        ClassWriter writer = new ClassWriter(ClassWriter.COMPUTE_MAXS);
        writer.visit(Opcodes.V11, Opcodes.ACC_PUBLIC | Opcodes.ACC_FINAL, internalName, null,
                     "java/lang/Object", null);
        MethodVisitor say = writer.visitMethod(Opcodes.ACC_PUBLIC | Opcodes.ACC_STATIC, "say",
                                               "()Ljava/lang/String;", null, null);
        say.visitCode();
        say.visitLdcInsn("before");
        say.visitInsn(Opcodes.ARETURN);
        say.visitMaxs(0, 0);
        say.visitEnd();
        writer.visitEnd();
        return writer.toByteArray();
    }

    static final class Loader extends ClassLoader {
        Loader() {
            super(Soak.class.getClassLoader());
        }

        Class<?> define(String name) {
            byte[] bytes = subject(name.replace('.', '/'));
            return defineClass(name, bytes, 0, bytes.length);
        }
    }

    static String say(Class<?> klass) throws ReflectiveOperationException {
        return (String) klass.getMethod("say").invoke(null);
    }

    // ---- the run ---------------------------------------------------------------

    final AtomicBoolean stop = new AtomicBoolean();
    final Map<String, AtomicLong> counts = new LinkedHashMap<>();
    final List<String> broken = new ArrayList<>();

    AtomicLong count(String what) {
        synchronized (counts) {
            return counts.computeIfAbsent(what, k -> new AtomicLong());
        }
    }

    void breaks(String invariant) {
        synchronized (broken) {
            if (broken.size() < 20) {
                broken.add(invariant);
            }
        }
        count("invariant broken").incrementAndGet();
    }

    interface Step {
        void run() throws Throwable;
    }

    Thread loop(String name, Step step) {
        Thread thread = new Thread(() -> {
            while (!stop.get()) {
                try {
                    step.run();
                } catch (Throwable t) {
                    breaks(name + " threw " + t);
                }
            }
        }, name);
        thread.start();
        return thread;
    }

    static void pause(long millis) throws InterruptedException {
        Thread.sleep(millis);
    }

    void run(long millis) throws Throwable {
        Instrumentation agent = RetransformAgent.instrumentation;
        Cases.check(agent != null, "the JVM runs with the agent");
        Vm.journaling(false);
        // Installs the failure injector's JNI table, armed for nothing: from here on the host
        // knows every global reference the library makes and deletes.
        Injector.armFailures("0");
        Injector.disarmFailures();
        ZEV.setBootstrap(bootstrap);
        // finish_chunk is made only once the recorder's methods are known: before, it aborts.
        Cases.check(bootstrap.get() != null, "the recorder binds");
        Loader loader = new Loader();
        Class<?>[] subjects = new Class<?>[SUBJECTS];
        for (int i = 0; i < SUBJECTS; i++) {
            subjects[i] = loader.define("soak.Subject" + i);
        }
        VMZEV natives = new VMZEV();  // the data natives need no binding
        byte[] small = new byte[64];
        byte[] large = new byte[4096];
        ByteBuffer pool = ByteBuffer.allocateDirect(64);

        long started = System.nanoTime();
        long handle = Vm.startRandomRequests(VM_THREADS, started);
        List<Thread> threads = new ArrayList<>();
        threads.add(loop("release", () -> {
            pause(ThreadLocalRandom.current().nextInt(2, 8));
            Answer answer = bootstrap.release();
            count("releases").incrementAndGet();
            if (answer.pending != null || answer.code != 0) {
                breaks("a release answered " + answer);
            }
        }));
        threads.add(loop("new chunk", () -> {
            pause(1);
            Answer answer = bootstrap.newChunk();
            if (answer != null) {
                count("new_chunk").incrementAndGet();
                if (answer.pending != null) {
                    breaks("new_chunk left " + answer.pending);
                }
            }
        }));
        for (int t = 0; t < 2; t++) {
            threads.add(loop("data natives " + t, () -> dataNatives(natives, small, large, pool)));
        }
        threads.add(loop("retransform", () -> {
            VMZEV recorder = bootstrap.bound();
            if (recorder != null) {
                recorder.retransformClasses0(subjects);
                count("retransformClasses0").incrementAndGet();
            }
            pause(3);
        }));
        threads.add(loop("agent", () -> {
            int first = ThreadLocalRandom.current().nextInt(SUBJECTS - 10);
            agent.retransformClasses(Arrays.copyOfRange(subjects, first, first + 10));
            count("agent retransformations").incrementAndGet();
        }));
        threads.add(loop("fresh classes", () -> {
            new Loader().define("soak.Fresh" + count("fresh classes").incrementAndGet());
        }));
        threads.add(loop("sayings", () -> {
            for (Class<?> subject : subjects) {
                String said = say(subject);
                if (!said.equals("before") && !said.equals("after!")) {
                    breaks(subject.getName() + " says " + said);
                }
            }
            count("class sayings checked").addAndGet(SUBJECTS);
        }));

        long[] halfway = null;
        long lastProgress = System.currentTimeMillis();
        long lastTotal = -1;
        while (System.currentTimeMillis() - lastProgress < STALL_MILLIS) {
            pause(500);
            long elapsed = (System.nanoTime() - started) / 1_000_000;
            long total = progress();
            if (total != lastTotal) {
                lastTotal = total;
                lastProgress = System.currentTimeMillis();
            }
            if (halfway == null && elapsed >= millis / 2) {
                halfway = memory();
            }
            if (elapsed >= millis) {
                break;
            }
        }
        if (System.currentTimeMillis() - lastProgress >= STALL_MILLIS) {
            deadlocked();
        }
        stop.set(true);
        long[] totals = Vm.stopRandomRequests(handle);
        for (Thread thread : threads) {
            thread.join(STALL_MILLIS);
            if (thread.isAlive()) {
                deadlocked();
            }
        }
        long seconds = Math.max(1, (System.nanoTime() - started) / 1_000_000_000L);
        bootstrap.release();
        for (Class<?> subject : subjects) {
            if (!say(subject).equals("before")) {
                breaks(subject.getName() + " says " + say(subject) + " after the final release");
            }
        }
        long[] end = memory();
        libraryHolds = new long[] {Injector.libraryGlobalRefs(), Injector.libraryAllocations()};
        report(totals, seconds, halfway, end);
    }

    void dataNatives(VMZEV r, byte[] small, byte[] large, ByteBuffer pool) {
        r.write(small, 0, small.length);
        r.write(large, 0, large.length);
        r.add(7, small, 0, small.length);
        r.descriptors(3, new Object[2]);
        r.buffer();
        r.setPeriod(5, 20);
        synchronized (this) {
            // The VM keeps each pool until it is removed; its ids count up from 1.
            r.addConstPool(pool, 16, true);
            if (!r.removeConstPool(++constPools)) {
                breaks("constant pool " + constPools + " was not registered");
            }
        }
        Cases.check(r.options() != null, "options");
        ZEV.isSupportedInVM();
        ZEV.isEnabled();
        ZEV.isDisabledOnCommandLine();
        ZEV.isStarted();
        Logger.output0(Logger.INFO, "soak");
        count("data native calls").addAndGet(14);
    }

    int constPools;

    long progress() {
        synchronized (counts) {
            return counts.values().stream().mapToLong(AtomicLong::get).sum();
        }
    }

    /**
     * The Java heap after a full collection, the resident set, and what the
     * JVM holds committed for class metadata and compiled code, in bytes.
     */
    static long[] memory() {
        for (int i = 0; i < 3; i++) {
            System.gc();
        }
        long heap = ManagementFactory.getMemoryMXBean().getHeapMemoryUsage().getUsed();
        long metadataAndCode = 0;
        for (MemoryPoolMXBean pool : ManagementFactory.getMemoryPoolMXBeans()) {
            if (pool.getType() == MemoryType.NON_HEAP) {
                metadataAndCode += pool.getUsage().getCommitted();
            }
        }
        return new long[] {heap, Vm.residentBytes(), metadataAndCode};
    }

    void deadlocked() {
        System.out.println("SOAK deadlocked: no progress for " + STALL_MILLIS / 1000 + " s");
        for (ThreadInfo info : ManagementFactory.getThreadMXBean().dumpAllThreads(true, true)) {
            System.out.print(info);
            for (StackTraceElement frame : info.getStackTrace()) {
                System.out.println("\tat " + frame);
            }
        }
        System.out.flush();
        Runtime.getRuntime().halt(3);
    }

    static final String[] KINDS = {"start_recording", "stop_recording", "check_recording",
                                   "dump_recording", "finish_chunk"};

    void report(long[] t, long seconds, long[] halfway, long[] end) {
        long requests = 0;
        long answered = 0;
        System.out.println("requests per second by kind, over " + seconds + " s:");
        for (int e = 0; e < KINDS.length; e++) {
            requests += t[e];
            answered += t[5 + e];
            System.out.printf("  %-16s %9d/s (%d made, %d answered with their own id)%n",
                              KINDS[e], t[e] / seconds, t[e], t[5 + e]);
        }
        System.out.printf("  %-16s %9d/s%n", "new_chunk", count("new_chunk").get() / seconds);
        System.out.printf("  %-16s %9d/s%n", "release_bindings", count("releases").get() / seconds);
        System.out.println("invariants:");
        invariant("answers that are the handler's answer to that very request", answered, true);
        invariant("null answers with a level-1 line saying why", t[10], true);
        invariant("null answers with an exception pending", t[11], true);
        invariant("answers carrying another request's id", t[12], t[12] == 0);
        invariant("strings answered with an exception pending", t[13], t[13] == 0);
        invariant("null answers without a reason", t[14], t[14] == 0);
        invariant("requests in all", requests, answered + t[10] + t[11] + t[12] + t[13] + t[14]
                                               == requests && answered > 0);
        synchronized (counts) {
            for (Map.Entry<String, AtomicLong> c : counts.entrySet()) {
                if (!c.getKey().equals("invariant broken")) {
                    invariant(c.getKey(), c.getValue().get(), c.getValue().get() > 0);
                }
            }
        }
        invariant("recorders bound by the bootstrap", bindings.get(), bindings.get() > 1);
        boolean sanitized = Boolean.getBoolean("zevhost.sanitized");
        long heapGrowth = end[0] - halfway[0];
        long residentGrowth = end[1] - halfway[1];
        long metadataGrowth = end[2] - halfway[2];
        invariant("Java heap growth over the second half, KiB", heapGrowth / 1024,
                  heapGrowth < 16L << 20);
        // The heap is committed and touched at start (-Xms = -Xmx, AlwaysPreTouch), so the
        // resident set grows by native memory only. The JVM's class metadata grows with the
        // class loaders that come and go, by tens of MiB over a long run under load, and is
        // not ours; a leak per request or per class grows the rest far beyond its bound.
        // Under ASan freed memory waits in the quarantine, so only the heap is judged there.
        invariant("resident set growth over the second half, KiB (shown)", residentGrowth / 1024,
                  true);
        invariant("  of which the JVM's class metadata and compiled code, KiB (shown)",
                  metadataGrowth / 1024, true);
        long rest = residentGrowth - metadataGrowth;
        invariant("  the rest, KiB" + (sanitized ? " (not judged)" : ""), rest / 1024,
                  sanitized || rest < 48L << 20);
        // After the final release the library keeps only java.lang.String, cached for good.
        invariant("global references the library holds after the final release", libraryHolds[0],
                  libraryHolds[0] <= 1);
        invariant("blocks the library holds after the final release", libraryHolds[1],
                  libraryHolds[1] == 0);
        invariant("invariants broken", count("invariant broken").get(), broken.isEmpty());
        for (String b : broken) {
            System.out.println("  broken: " + b);
        }
        System.out.println(broken.isEmpty() && held ? "SOAK held" : "SOAK broken");
        System.out.flush();
        System.exit(broken.isEmpty() && held ? 0 : 1);
    }

    boolean held = true;

    /** What the library holds after the final release: global references, malloc'd blocks. */
    long[] libraryHolds;

    void invariant(String what, long value, boolean holds) {
        System.out.printf("  %-66s %12d  %s%n", what, value, holds ? "held" : "BROKEN");
        held &= holds;
    }
}
