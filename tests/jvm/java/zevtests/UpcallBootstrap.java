package zevtests;

import tesmar.nuvrak.zev.RecordingHandler;
import tesmar.nuvrak.zev.VMZEV;
import tesmar.nuvrak.zev.ZEV;

/** A ZEV.get() that counts its calls and binds a recorder once (until forgotten). */
final class UpcallBootstrap implements ZEV.Bootstrap {
    private final RecordingHandler handler;
    private int calls;
    private VMZEV bound;

    /** Installs a bootstrap whose recorders hand requests to the handler. */
    static UpcallBootstrap install(RecordingHandler handler) {
        UpcallBootstrap bootstrap = new UpcallBootstrap(handler);
        ZEV.setBootstrap(bootstrap);
        return bootstrap;
    }

    private UpcallBootstrap(RecordingHandler handler) {
        this.handler = handler;
    }

    /** The recorder bound by the last binding call, or null. */
    synchronized VMZEV bound() {
        return bound;
    }

    /** Forgets the bound recorder, as Java does once the VM has released it. */
    synchronized void forget() {
        bound = null;
    }

    synchronized int calls() {
        return calls;
    }

    // Synchronized: two VM threads must never bind at the same time.
    @Override
    public synchronized ZEV get() {
        calls++;
        if (bound == null) {
            VMZEV recorder = new VMZEV();
            recorder.setHandler(handler);
            if (recorder.bind() == null) {
                return null;
            }
            bound = recorder;
        }
        return bound;
    }
}
