package zevfuzz;

import tesmar.nuvrak.zev.RecordingHandler;
import tesmar.nuvrak.zev.VMZEV;
import tesmar.nuvrak.zev.ZEV;

/**
 * The Java side of the fuzz targets: the recorder's bootstrap and a handler
 * that keeps nothing but the strings of the last call, so that the fuzzer can
 * compare them with what its VM sent. The fuzzer sets the static fields
 * before each call and reads them after; one call at a time.
 */
public final class Fuzz implements RecordingHandler {
    /** How the handler answers: 0 a string, 1 null, 2 by throwing. */
    public static volatile int answer;
    /** How ZEV.get() answers: 0 the bound recorder (binding one first), 1 null, 2 by throwing. */
    public static volatile int bootstrap;
    /** The repository a new binding asks for; null: the temporary directory. */
    public static volatile String repository;
    /** The recorder the library has bound, or null. */
    public static volatile VMZEV current;

    /** Calls that reached the handler, and the strings of the last one. */
    public static volatile int calls;
    public static volatile String name;
    public static volatile String fileName;
    public static volatile String[] settings;
    /** What a check made on the Java side found wrong, or null. */
    public static volatile String violation;

    private static final Fuzz HANDLER = new Fuzz();

    private Fuzz() {
    }

    public static void install() {
        ZEV.setBootstrap(Fuzz::get);
    }

    /** After the VM's release: the next bootstrap binds a new recorder. */
    public static void released() {
        current = null;
    }

    private static ZEV get() {
        switch (bootstrap) {
        case 1:
            return null;
        case 2:
            throw new IllegalStateException("bootstrap refused");
        default:
            break;
        }
        VMZEV recorder = current;
        if (recorder != null) {
            return recorder;
        }
        recorder = new VMZEV();
        recorder.setHandler(HANDLER);
        // init binds before it asks the VM for anything: a refused locale or
        // repository leaves this object bound all the same.
        current = recorder;
        String wanted = repository != null ? repository : System.getProperty("java.io.tmpdir");
        try {
            recorder.init("en", 0, wanted);
        } catch (Exception e) {
            checkCut("Could not set repository " + wanted, e.getMessage());
        }
        return recorder;
    }

    /** A message cut for length must be a prefix of the whole text, whole characters only. */
    private static void checkCut(String whole, String message) {
        if (message == null || !message.startsWith("Could not set repository ")) {
            return;
        }
        boolean prefix = whole.startsWith(message);
        boolean splitsPair = prefix && !message.isEmpty() && message.length() < whole.length()
                && Character.isHighSurrogate(message.charAt(message.length() - 1));
        if (!prefix || splitsPair) {
            violation = "exception message not cut on a whole character: \"" + message + "\" of \""
                    + whole + "\"";
        }
    }

    private static String note(String name, String fileName, String[] settings) {
        Fuzz.name = name;
        Fuzz.fileName = fileName;
        Fuzz.settings = settings;
        calls++;
        switch (answer) {
        case 1:
            return null;
        case 2:
            throw new IllegalStateException("handler refused");
        default:
            return "answered " + name;
        }
    }

    @Override
    public String startRecording(String name, String[] settings, boolean disk, long delay,
                                 long duration, String fileName, boolean dumpOnExit, long maxAge,
                                 long maxSize, boolean verbose) {
        return note(name, fileName, settings);
    }

    @Override
    public String stopRecording(String name, long id, boolean discard, String fileName,
                                boolean verbose) {
        return note(name, fileName, null);
    }

    @Override
    public String checkRecording(String name, long id, boolean verbose) {
        return note(name, null, null);
    }

    @Override
    public String dumpRecording(String name, long id, String fileName, boolean verbose) {
        return note(name, fileName, null);
    }

    @Override
    public void finishChunk(String chunkPath, long startTime, long endTime, boolean finalChunk) {
        note(null, chunkPath, null);
    }

    @Override
    public void onNewChunk() {
        note(null, null, null);
    }
}
