package zevtests;

import tesmar.nuvrak.zev.RecordingHandler;
import tesmar.nuvrak.zev.VMZEV;
import tesmar.nuvrak.zev.ZEV;
import zevhost.Vm;

/** Shared steps of the native and upcall tests: binding a recorder and reaching it. */
final class Natives {
    private Natives() {
    }

    /** A directory that the VM's default set_repository accepts. */
    static String repository() {
        return System.getProperty("java.io.tmpdir");
    }

    /** A new recorder bound as ZEV.get() binds one; the journal starts empty afterwards. */
    static VMZEV bound(RecordingHandler handler) {
        VMZEV recorder = new VMZEV();
        recorder.setHandler(handler);
        Cases.check(recorder.bind() != null, "bound");
        Vm.clearJournal();
        return recorder;
    }

    static VMZEV bound() {
        return bound(new UpcallHandler());
    }

    /** Expects a NullPointerException with no message of substance. */
    static void expectNullPointer(Runnable action) {
        Throwable t = Cases.expectThrows(NullPointerException.class, null, action);
        Cases.check(t.getMessage() == null || t.getMessage().isEmpty(),
                    "NullPointerException without a message, got " + t.getMessage());
    }

    /**
     * Expects a VM request to reach this recorder object, which must be the
     * one the library holds; the journal starts empty afterwards.
     */
    static void expectRequestsReach(VMZEV recorder) {
        UpcallHandler handler = new UpcallHandler();
        recorder.setHandler(handler);
        ZEV.setBootstrap(() -> recorder);
        Cases.eq("checked", Vm.checkRecording("reach", 1, false).value);
        Cases.eq(1, handler.take().size());
        Vm.clearJournal();
    }
}
