package zevtests;

import static zevtests.Cases.check;
import static zevtests.Cases.eq;
import static zevtests.Cases.expectThrows;

import java.util.Arrays;
import java.util.List;

import tesmar.nuvrak.zev.Logger;
import tesmar.nuvrak.zev.VMZEV;
import zevhost.FailureReport;
import zevhost.Vm;

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
        check(!Vm.checkedJniProbe(), "the JVM's own table before the injector is armed");
        System.out.println("probe 1 done");
        Vm.armFailures("0");
        Vm.disarmFailures();
        check(Vm.checkedJniProbe(), "the injector's table once it is armed");
        System.out.println("probe 2 done");
    }

    /**
     * Only the library's own calls count: the host's natives, JDK natives and
     * Java code run armed without a count; a native's calls are counted in
     * order, and failing one makes the VM's error surface from the native.
     */
    static void countsAndFailsTheLibrarysCallsOnly() throws Exception {
        VMZEV recorder = Natives.bound();
        long held = Vm.libraryAllocations();  // the binding's record
        Vm.armFailures("0");
        Vm.journal();
        Class.forName("java.util.concurrent.ConcurrentSkipListMap");
        "text".getBytes("UTF-16");
        System.identityHashCode(recorder);
        FailureReport none = Vm.disarmFailures();
        eq(0L, none.counted);

        byte[] data = {1, 2, 3, 4};
        Vm.armFailures("0");
        recorder.add(7, data, 1, 2);
        FailureReport counted = Vm.disarmFailures();
        eq(List.of("malloc", "GetByteArrayRegion"), Arrays.asList(counted.calls));
        eq(0L, counted.failed);

        Vm.armFailures("2");
        Throwable thrown = expectThrows(OutOfMemoryError.class, "injected by zev-host",
                                        () -> recorder.add(7, data, 1, 2));
        FailureReport failed = Vm.disarmFailures();
        eq(1L, failed.failed);
        eq(2L, failed.first);
        eq("GetByteArrayRegion", failed.function);
        check(failed.where.startsWith("Java_tesmar_nuvrak_zev_VMZEV_add+0x"), failed.where);
        check(thrown.getStackTrace().length > 0, "thrown through the native: " + thrown);

        // A failed allocation: the library's own error, made with the calls after it.
        Vm.armFailures("1,exhaust");
        expectThrows(OutOfMemoryError.class, "injected by zev-host",
                     () -> recorder.add(7, data, 1, 2));
        FailureReport exhausted = Vm.disarmFailures();
        eq("malloc", exhausted.function);
        eq(2L, exhausted.failed);  // malloc, then FindClass of the error to throw
        eq(held, Vm.libraryAllocations());

        Vm.armFailures("1,jni");
        expectThrows(OutOfMemoryError.class, "injected by zev-host",
                     () -> recorder.add(7, data, 1, 2));
        eq("GetByteArrayRegion", Vm.disarmFailures().function);

        recorder.add(7, data, 1, 2);
        eq(new byte[] {2, 3}, Vm.memory("add:7"));

        // A native's last call may be a jump that returns straight into Java:
        // still the library's, and said to be the native's.
        Vm.armFailures("0");
        expectThrows(NullPointerException.class, null, () -> Logger.output0(Logger.INFO, null));
        eq(List.of("FindClass", "ThrowNew"), Arrays.asList(Vm.disarmFailures().calls));
        Vm.armFailures("2");
        expectThrows(OutOfMemoryError.class, "injected by zev-host",
                     () -> Logger.output0(Logger.INFO, null));
        FailureReport last = Vm.disarmFailures();
        eq("ThrowNew", last.function);
        check(last.where.startsWith("Java_tesmar_nuvrak_zev_Logger_output0"), last.where);
        expectThrows(IllegalArgumentException.class, null, () -> Vm.armFailures("1,sometimes"));
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
