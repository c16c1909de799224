package zevtests;

import static zevtests.Cases.check;
import static zevtests.Cases.eq;
import static zevtests.Cases.expectThrows;
import static zevtests.Cases.journal;

import java.nio.ByteBuffer;
import java.util.concurrent.atomic.AtomicInteger;

import tesmar.nuvrak.zev.NativeOptions;
import tesmar.nuvrak.zev.VMZEV;
import tesmar.nuvrak.zev.ZEV;
import zevhost.Vm;

/** Binding the recorder object with VMZEV.init, and reading the VM's options. */
public final class BindingTests {
    public static void main(String[] args) throws Throwable {
        Cases.run(BindingTests.class, args);
    }

    /**
     * Null arguments reach nothing and bind nothing; a proper init hands the
     * locale and repository to the VM and answers its initial buffer.
     */
    static void initBindsOverInitBuffer() {
        String repository = Natives.repository();
        VMZEV recorder = new VMZEV();
        Vm.clearJournal();
        Natives.expectNullPointer(() -> recorder.init(null, 0, repository));
        Natives.expectNullPointer(() -> recorder.init("en-US", 0, null));
        journal();

        // The locale's length is its modified UTF-8 length, not its char count.
        ByteBuffer initial = recorder.init("de-\u00c4\u00d6", 3, repository);
        journal("store_locale(\"de-\u00c4\u00d6\", 7, 3)", "set_repository(\"" + repository + "\")",
                "init_buffer()");
        check(initial.isDirect(), "a direct buffer");
        check(Vm.isVmMemory(initial, "init_buffer"), "exactly over the VM's init_buffer");
        eq(8192, initial.capacity());
        initial.put(10, (byte) 77);
        eq((byte) 77, Vm.memory("init_buffer")[10]);
        Vm.poke("init_buffer", 11, (byte) 78);
        eq((byte) 78, initial.get(11));

        recorder.setHandler(Natives.named("bound"));
        ZEV.setBootstrap(() -> recorder);
        Natives.expectRequestsReach("bound");
    }

    /** A second init on a bound library ends the process. */
    static void initTwice() {
        Natives.bound();
        System.out.println("first init bound");
        System.out.flush();
        new VMZEV().init("en-US", 0, Natives.repository());
        System.out.println("second init returned");
    }

    /** Two threads bind at the same moment: one binds, the other ends the process. */
    static void concurrentInits() throws Exception {
        VMZEV mine = new VMZEV();
        VMZEV theirs = new VMZEV();
        String repository = Natives.repository();
        mine.options();  // the JNI paths are warm before the race
        // Both sides spin rather than park, so that they enter init together.
        AtomicInteger gate = new AtomicInteger();
        Thread other = new Thread(() -> {
            theirs.options();
            gate.incrementAndGet();
            while (gate.get() < 2) {
                Thread.onSpinWait();
            }
            theirs.init("en-US", 0, repository);
        });
        other.start();
        while (gate.get() < 1) {
            Thread.onSpinWait();
        }
        gate.incrementAndGet();
        mine.init("en-US", 0, repository);
        other.join();
        System.out.println("both inits returned");
    }

    /** A locale the VM refuses: java.lang.Exception, and the binding stays. */
    static void refusedLocaleKeepsBinding() {
        VMZEV recorder = new VMZEV();
        Vm.clearJournal();
        Vm.script("store_locale", 0);
        expectThrows(Exception.class, "Failed to store locale",
                     () -> recorder.init("en-US", 1, Natives.repository()));
        journal("store_locale(\"en-US\", 5, 1)");

        recorder.setHandler(Natives.named("refused locale"));
        ZEV.setBootstrap(() -> recorder);
        Natives.expectRequestsReach("refused locale");
    }

    /**
     * A repository the VM refuses: java.lang.Exception naming it (cut to fit),
     * no initial buffer, and the binding stays.
     */
    static void refusedRepositoryKeepsBinding() {
        String repository = "/nonexistent/zev-repository/" + "r".repeat(60);
        VMZEV recorder = new VMZEV();
        Vm.clearJournal();
        expectThrows(Exception.class,
                     ("Could not set repository " + repository).substring(0, 63),
                     () -> recorder.init("en-US", 0, repository));
        journal("store_locale(\"en-US\", 5, 0)", "set_repository(\"" + repository + "\")");

        recorder.setHandler(Natives.named("refused repository"));
        ZEV.setBootstrap(() -> recorder);
        Natives.expectRequestsReach("refused repository");
    }

    /** init_buffer leaving the address unset: OutOfMemoryError, and the binding stays. */
    static void missingInitBufferKeepsBinding() {
        VMZEV recorder = new VMZEV();
        Vm.clearJournal();
        // The VM answers a length but never writes the address.
        Vm.script("init_buffer.unfilled", 1);
        Vm.script("init_buffer", 4096);
        expectThrows(OutOfMemoryError.class, "VMZEV_init",
                     () -> recorder.init("en-US", 0, Natives.repository()));
        journal("store_locale(\"en-US\", 5, 0)",
                "set_repository(\"" + Natives.repository() + "\")", "init_buffer()");

        recorder.setHandler(Natives.named("no buffer"));
        ZEV.setBootstrap(() -> recorder);
        Natives.expectRequestsReach("no buffer");
    }

    /** Every field of the VM's options record, including nulls, none and many settings. */
    static void optionsCarryEveryField() {
        VMZEV recorder = Natives.bound();

        NativeOptions defaults = recorder.options();
        journal("get_options()");
        expectOptions(defaults, null, new String[] {"default"}, false, 0, 64, 8192, 20, null,
                      false, 0, 12582912, true);

        String[] settings = {"default", null, "profile-\u00fc"};
        Vm.setOptions("nightly", settings, true, -1L, -5, 16384, 7, "/tmp/dump.zev", true,
                      1L << 40, Long.MIN_VALUE, false);
        expectOptions(recorder.options(), "nightly", settings, true, -1L, -5, 16384, 7,
                      "/tmp/dump.zev", true, 1L << 40, Long.MIN_VALUE, false);

        Vm.setOptions(null, new String[0], false, Long.MAX_VALUE, Integer.MAX_VALUE,
                      Integer.MIN_VALUE, 0, null, false, 0, 0, true);
        expectOptions(recorder.options(), null, new String[0], false, Long.MAX_VALUE,
                      Integer.MAX_VALUE, Integer.MIN_VALUE, 0, null, false, 0, 0, true);

        // Far beyond the local references a native may hold without asking.
        String[] many = new String[100];
        for (int i = 0; i < many.length; i++) {
            many[i] = "setting-" + i;
        }
        Vm.setOptions("many", many, false, 1, 2, 3, 4, "dump", false, 5, 6, true);
        expectOptions(recorder.options(), "many", many, false, 1, 2, 3, 4, "dump", false, 5, 6,
                      true);
        journal("get_options()", "get_options()", "get_options()");
    }

    private static void expectOptions(NativeOptions o, String name, String[] settings,
                                      boolean disk, long maxAge, int stackDepth,
                                      int threadBufferSize, int globalBufferCount,
                                      String dumpPath, boolean dumpOnExit, long maxSize,
                                      long maxChunkSize, boolean sampleThreads) {
        eq(name, o.name);
        eq(settings, o.settings);
        eq(disk, o.disk);
        eq(maxAge, o.maxAge);
        eq(stackDepth, o.stackDepth);
        eq(threadBufferSize, o.threadBufferSize);
        eq(globalBufferCount, o.globalBufferCount);
        eq(dumpPath, o.dumpPath);
        eq(dumpOnExit, o.dumpOnExit);
        eq(maxSize, o.maxSize);
        eq(maxChunkSize, o.maxChunkSize);
        eq(sampleThreads, o.sampleThreads);
    }
}
