package zevtests;

import java.util.ArrayList;
import java.util.List;

import tesmar.nuvrak.zev.RecordingHandler;
import tesmar.nuvrak.zev.VMZEV;
import tesmar.nuvrak.zev.ZEV;

/**
 * A ZEV.get() that counts its calls and the threads they came on, and
 * answers as told: binds a recorder once (until forgotten), answers null,
 * throws, or answers a recorder it never bound.
 */
final class UpcallBootstrap implements ZEV.Bootstrap {
    enum Mode { BIND, NULL, THROW, UNBOUND }

    private final RecordingHandler handler;
    private final List<String> threads = new ArrayList<>();
    private Mode mode = Mode.BIND;
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

    synchronized void mode(Mode m) {
        mode = m;
    }

    /** The recorder bound by the last binding call, or null. */
    synchronized VMZEV bound() {
        return bound;
    }

    /** Forgets the bound recorder, as Java does once the VM has released it. */
    synchronized void forget() {
        bound = null;
    }

    /** Every call so far. */
    synchronized int calls() {
        return calls;
    }

    /** The threads of the calls since the last take, and forgets them. */
    synchronized List<String> takeThreads() {
        List<String> taken = new ArrayList<>(threads);
        threads.clear();
        return taken;
    }

    // Synchronized: two VM threads must never bind at the same time.
    @Override
    public synchronized ZEV get() {
        calls++;
        threads.add(Thread.currentThread().getName());
        switch (mode) {
            case NULL:
                return null;
            case THROW:
                throw new IllegalStateException("no recorder here");
            case UNBOUND:
                return new VMZEV();
            default:
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
}
