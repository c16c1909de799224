package zevtests;

import static zevtests.Cases.check;
import static zevtests.Cases.eq;
import static zevtests.Cases.expectThrows;
import static zevtests.Cases.journal;

import java.nio.ByteBuffer;
import java.util.concurrent.atomic.AtomicInteger;

import tesmar.nuvrak.zev.NativeOptions;
import tesmar.nuvrak.zev.VMZEV;
import zevhost.Vm;

/** Binding the recorder object with VMZEV.init, and reading the VM's options. */
public final class BindingTests {
    public static void main(String[] args) throws Throwable {
        Cases.run(BindingTests.class, args);
    }

    /**
     * Null arguments reach nothing and bind nothing. Each refusal of the VM
     * leaves the binding in place (requests reach the object) until the VM
     * releases it. A proper init hands the locale and repository to the VM
     * and answers its initial buffer.
     */
    static void initBindsEvenWhenTheVmRefuses() {
        String repository = Natives.repository();
        VMZEV recorder = new VMZEV();
        Vm.clearJournal();
        Natives.expectNullPointer(() -> recorder.init(null, 0, repository));
        Natives.expectNullPointer(() -> recorder.init("en-US", 0, null));
        journal();

        Vm.script("store_locale", 0);
        refused(Exception.class, "Failed to store locale", repository,
                "store_locale(\"en-US\", 5, 1)");
        // The repository is named in the message, cut to fit.
        String missing = "/nonexistent/zev-repository/" + "r".repeat(60);
        refused(Exception.class, ("Could not set repository " + missing).substring(0, 63),
                missing, "store_locale(\"en-US\", 5, 1)", "set_repository(\"" + missing + "\")");
        // The VM answers a length but never writes the address.
        Vm.script("init_buffer.unfilled", 1);
        Vm.script("init_buffer", 4096);
        refused(OutOfMemoryError.class, "VMZEV_init", repository, "store_locale(\"en-US\", 5, 1)",
                "set_repository(\"" + repository + "\")", "init_buffer()");

        // The locale's length is its modified UTF-8 length, not its char count.
        ByteBuffer initial = recorder.init("de-\u00c4\u00d6", 3, repository);
        journal("store_locale(\"de-\u00c4\u00d6\", 7, 3)", "set_repository(\"" + repository + "\")",
                "init_buffer()");
        check(Vm.isVmMemory(initial, "init_buffer"), "exactly over the VM's init_buffer");
        eq(8192, initial.capacity());
        initial.put(10, (byte) 77);
        eq((byte) 77, Vm.memory("init_buffer")[10]);
        Natives.expectRequestsReach(recorder);
    }

    private static void refused(Class<? extends Throwable> type, String message,
                                String repository, String... journalLines) {
        VMZEV recorder = new VMZEV();
        expectThrows(type, message, () -> recorder.init("en-US", 1, repository));
        journal(journalLines);
        Natives.expectRequestsReach(recorder);
        eq(0, Vm.release().code);
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

    /** Every field of the VM's options record, nulls and extremes included (many settings: the sweep). */
    static void optionsCarryEveryField() {
        VMZEV recorder = Natives.bound();
        roundTrip(recorder, "nightly", new String[] {"default", null, "profile-\u00fc"}, true, -1L,
                  -5, 16384, 7, "/tmp/dump.zev", true, 1L << 40, Long.MIN_VALUE, false);
        roundTrip(recorder, null, new String[0], false, Long.MAX_VALUE, Integer.MAX_VALUE,
                  Integer.MIN_VALUE, 0, null, false, 0L, 0L, true);
    }

    /** Sets the VM's options to the fields and expects options() to answer them all. */
    private static void roundTrip(VMZEV recorder, Object... f) {
        Vm.setOptions((String) f[0], (String[]) f[1], (boolean) f[2], (long) f[3], (int) f[4],
                      (int) f[5], (int) f[6], (String) f[7], (boolean) f[8], (long) f[9],
                      (long) f[10], (boolean) f[11]);
        NativeOptions o = recorder.options();
        journal("get_options()");
        eq(f, new Object[] {o.name, o.settings, o.disk, o.maxAge, o.stackDepth,
                            o.threadBufferSize, o.globalBufferCount, o.dumpPath, o.dumpOnExit,
                            o.maxSize, o.maxChunkSize, o.sampleThreads});
    }
}
