package zevtests;

import java.nio.ByteBuffer;

import tesmar.nuvrak.zev.RecordingHandler;
import tesmar.nuvrak.zev.VMZEV;
import zevhost.Vm;

/** Shared steps of the native tests: binding a recorder and reading what Java saw. */
final class Natives {
    private Natives() {
    }

    /** A directory that the VM's default set_repository accepts. */
    static String repository() {
        return System.getProperty("java.io.tmpdir");
    }

    /** A new recorder bound to the library; the journal starts empty afterwards. */
    static VMZEV bound() {
        VMZEV recorder = new VMZEV();
        ByteBuffer initial = recorder.init("en-US", 0, repository());
        Cases.check(Vm.isVmMemory(initial, "init_buffer"), "init answers the VM's init_buffer");
        Vm.clearJournal();
        return recorder;
    }

    /** Expects a NullPointerException with no message of substance. */
    static void expectNullPointer(Runnable action) {
        Throwable t = Cases.expectThrows(NullPointerException.class, null, action);
        Cases.check(t.getMessage() == null || t.getMessage().isEmpty(),
                    "NullPointerException without a message, got " + t.getMessage());
    }

    /**
     * A handler whose check answers "<name> checked", so that a VM request
     * shows which recorder object it reached.
     */
    static RecordingHandler named(String name) {
        return new RecordingHandler() {
            @Override
            public String startRecording(String recording, String[] settings, boolean disk,
                                         long delay, long duration, String fileName,
                                         boolean dumpOnExit, long maxAge, long maxSize,
                                         boolean verbose) {
                return name + " started";
            }

            @Override
            public String stopRecording(String recording, long id, boolean discard,
                                        String fileName, boolean verbose) {
                return name + " stopped";
            }

            @Override
            public String checkRecording(String recording, long id, boolean verbose) {
                return name + " checked";
            }

            @Override
            public String dumpRecording(String recording, long id, String fileName,
                                        boolean verbose) {
                return name + " dumped";
            }
        };
    }

    /** Expects a VM check request to reach the recorder that answers as the name. */
    static void expectRequestsReach(String name) {
        zevhost.Answer answer = Vm.checkRecording(null, 0, false);
        Cases.eq(null, answer.pending);
        Cases.eq(name + " checked", answer.value);
    }
}
