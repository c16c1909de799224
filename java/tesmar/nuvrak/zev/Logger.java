package tesmar.nuvrak.zev;

/** The recorder's log, written through the VM. */
public final class Logger {
    public static final int ERROR = 1;
    public static final int INFO = 5;

    private Logger() {
    }

    public static native void output0(int level, String message);

    public static void log(int level, String message) {
        output0(level, message);
    }
}
