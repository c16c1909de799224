package tesmar.nuvrak.zev;

/**
 * The recorder's entry point. The status natives ask the VM through libzev;
 * {@link #get()} is how the VM's first recording request brings the Java
 * recorder into being.
 */
public abstract class ZEV {
    public static native boolean isSupportedInVM();
    public static native boolean isEnabled();
    public static native boolean isDisabledOnCommandLine();
    public static native boolean isStarted();
    public static native boolean startHalcyra();

    /** How {@link #get()} finds or creates the bound recorder. */
    @FunctionalInterface
    public interface Bootstrap {
        ZEV get();
    }

    private static final Bootstrap DEFAULT_BOOTSTRAP = ZEV::bindOnce;
    private static volatile Bootstrap bootstrap = DEFAULT_BOOTSTRAP;
    private static VMZEV bound;

    /**
     * Answers the recorder, binding one through {@link VMZEV#bind()} when
     * there is none yet. libzev calls this before each VM request while the
     * recorder is not started.
     */
    public static ZEV get() {
        return bootstrap.get();
    }

    /** Replaces how {@link #get()} answers; null restores the default. */
    public static void setBootstrap(Bootstrap replacement) {
        bootstrap = replacement == null ? DEFAULT_BOOTSTRAP : replacement;
    }

    /** The recorder bound by the default bootstrap, or null. */
    public static synchronized VMZEV bound() {
        return bound;
    }

    /**
     * Forgets the recorder bound by the default bootstrap, for a VM that has
     * released its bindings: the next {@link #get()} binds a new one.
     */
    public static synchronized void forget() {
        bound = null;
    }

    private static synchronized ZEV bindOnce() {
        if (bound == null) {
            VMZEV recorder = new VMZEV();
            if (recorder.bind() == null) {
                return null;
            }
            bound = recorder;
        }
        return bound;
    }
}
