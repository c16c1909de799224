package zevtests;

import static zevtests.Cases.check;
import static zevtests.Cases.eq;
import static zevtests.Cases.expectThrows;

import java.util.Arrays;
import java.util.Collections;
import java.util.List;

import tesmar.nuvrak.zev.Logger;
import tesmar.nuvrak.zev.VMZEV;
import zevhost.Answer;
import zevhost.Vm;
import zevtests.support.FailureReport;
import zevtests.support.Injector;

/** The host's failure injector: what it counts, what a failed call does, what it leaves alone. */
public final class FailureInjectorTests {
    public static void main(String[] args) throws Throwable {
        Cases.run(FailureInjectorTests.class, args);
    }

    /**
     * The JVM keeps checking calls that pass through the injector's table:
     * the probe's misuse is reported before the table is installed and after.
     */
    static void checkedJniStillChecks() {
        check(!Injector.checkedJniProbe(), "the JVM's own table before the injector is armed");
        System.out.println("probe 1 done");
        Injector.armFailures("0");
        Injector.disarmFailures();
        check(Injector.checkedJniProbe(), "the injector's table once it is armed");
        System.out.println("probe 2 done");
    }

    /**
     * Only the library's own calls count: the host's natives, JDK natives and
     * Java code run armed without a count; a native's calls are counted in
     * order, and failing one makes the VM's error surface from the native.
     */
    static void countsAndFailsTheLibrarysCallsOnly() throws Exception {
        VMZEV recorder = Natives.bound();
        long held = Injector.libraryAllocations();  // the binding's record
        Injector.armFailures("0");
        Vm.journal();
        Class.forName("java.util.concurrent.ConcurrentSkipListMap");
        "text".getBytes("UTF-16");
        System.identityHashCode(recorder);
        FailureReport none = Injector.disarmFailures();
        eq(0L, none.counted);

        byte[] data = {1, 2, 3, 4};
        Injector.armFailures("0");
        recorder.add(7, data, 1, 2);
        FailureReport counted = Injector.disarmFailures();
        eq(List.of("malloc", "GetByteArrayRegion"), Arrays.asList(counted.calls));
        eq(0L, counted.failed);

        Injector.armFailures("2");
        Throwable thrown = expectThrows(OutOfMemoryError.class, "injected by zev-host",
                                        () -> recorder.add(7, data, 1, 2));
        FailureReport failed = Injector.disarmFailures();
        eq(1L, failed.failed);
        eq(2L, failed.first);
        eq("GetByteArrayRegion", failed.function);
        check(failed.where.startsWith("Java_tesmar_nuvrak_zev_VMZEV_add+0x"), failed.where);
        check(thrown.getStackTrace().length > 0, "thrown through the native: " + thrown);

        // A failed allocation: the library's own error, made with the calls after it.
        Injector.armFailures("1,exhaust");
        expectThrows(OutOfMemoryError.class, "injected by zev-host",
                     () -> recorder.add(7, data, 1, 2));
        FailureReport exhausted = Injector.disarmFailures();
        eq("malloc", exhausted.function);
        eq(2L, exhausted.failed);  // malloc, then FindClass of the error to throw
        eq(held, Injector.libraryAllocations());

        Injector.armFailures("1,jni");
        expectThrows(OutOfMemoryError.class, "injected by zev-host",
                     () -> recorder.add(7, data, 1, 2));
        eq("GetByteArrayRegion", Injector.disarmFailures().function);

        recorder.add(7, data, 1, 2);
        eq(new byte[] {2, 3}, Vm.memory("add:7"));

        // A native's last call may be a jump that returns straight into Java:
        // still the library's, and said to be the native's.
        Injector.armFailures("0");
        expectThrows(NullPointerException.class, null, () -> Logger.output0(Logger.INFO, null));
        eq(List.of("FindClass", "ThrowNew"), Arrays.asList(Injector.disarmFailures().calls));
        Injector.armFailures("2");
        expectThrows(OutOfMemoryError.class, "injected by zev-host",
                     () -> Logger.output0(Logger.INFO, null));
        FailureReport last = Injector.disarmFailures();
        eq("ThrowNew", last.function);
        check(last.where.startsWith("Java_tesmar_nuvrak_zev_Logger_output0"), last.where);
        expectThrows(IllegalArgumentException.class, null, () -> Injector.armFailures("1,sometimes"));
    }

    /**
     * A stall holds the library's first counted call of its function for the
     * time asked, on whichever thread makes it, and changes nothing else: the
     * same calls, the same answer, nothing failed.
     */
    static void aStallHoldsOneCall() {
        UpcallHandler handler = new UpcallHandler();
        UpcallBootstrap.install(handler);
        Vm.checkRecording("s", 1, false);  // binds through the bootstrap
        Injector.armFailures("0");
        Answer plain = Vm.checkRecording("s", 1, false);
        FailureReport counted = Injector.disarmFailures();
        check(Arrays.asList(counted.calls).contains("NewLocalRef"),
              "a request takes a local reference to the recorder: " + Arrays.toString(counted.calls));

        long millis = 1500;
        Injector.armStall("NewLocalRef", millis);
        long start = System.nanoTime();
        Answer held = Vm.checkRecording("s", 1, false);
        long took = (System.nanoTime() - start) / 1_000_000;
        FailureReport stalled = Injector.disarmFailures();
        check(took >= millis, "the request took " + took + " ms");
        eq(1L, stalled.stalled);
        eq(0L, stalled.failed);
        eq(Arrays.asList(counted.calls), Arrays.asList(stalled.calls));
        eq(plain.toString(), held.toString());
        eq(Collections.nCopies(3, "checkRecording(\"s\", 1, false)"), handler.take());

        // Held once: the next request goes through at once.
        Injector.armStall("NewLocalRef", 100);
        Vm.checkRecording("s", 1, false);
        Vm.checkRecording("s", 1, false);
        eq(1L, Injector.disarmFailures().stalled);
        handler.take();
        // A function the library does not call holds nothing.
        Injector.armStall("NewWeakGlobalRef", 60_000);
        Vm.checkRecording("s", 1, false);
        eq(0L, Injector.disarmFailures().stalled);
        expectThrows(IllegalArgumentException.class, null,
                     () -> Injector.armFailures("0,stall=NewLocalRef"));
        expectThrows(IllegalArgumentException.class, null, () -> Injector.armFailures("0,stall=:5"));
    }

    /**
     * zev-host carries no injector: its Java API has no way to arm one, and
     * the injector's classes are not on its class path.
     */
    static void noInjectorInTheProduct() throws Exception {
        for (java.lang.reflect.Method m : Vm.class.getDeclaredMethods()) {
            check(!m.getName().contains("Failure") && !m.getName().startsWith("library")
                  && !m.getName().equals("checkedJniProbe"), "zevhost.Vm has " + m);
        }
        try {
            Class.forName("zevtests.support.Injector");
            check(false, "zevtests.support.Injector is on zev-host's class path");
        } catch (ClassNotFoundException expected) {
            // as it should be
        }
    }

    /** Under --fail 1,jni from the start, the first JNI call the library makes fails. */
    static void armedForTheWholeRun() {
        Throwable t = expectThrows(OutOfMemoryError.class, "injected by zev-host",
                                   () -> Logger.output0(Logger.INFO, "never logged"));
        System.out.println("caught " + t);
        Logger.output0(Logger.INFO, "logged");
        List<String> journal = Arrays.asList(Vm.takeJournal());
        check(journal.contains("log(5, \"logged\")") && !journal.toString().contains("never"),
              "only the second line reached the VM: " + journal);
    }
}
