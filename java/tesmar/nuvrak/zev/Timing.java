package tesmar.nuvrak.zev;

/** The VM's event time counter. */
public final class Timing {
    private Timing() {
    }

    /** Sets up the counter; answers its frequency in ticks per second. */
    public static native long init();

    public static native long counterTime();
}
