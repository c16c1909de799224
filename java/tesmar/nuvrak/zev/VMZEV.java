package tesmar.nuvrak.zev;

import java.nio.ByteBuffer;
import java.util.Locale;

/**
 * The recorder over the VM's recorder interface. Its natives are libzev's;
 * the VM's requests come back through libzev's upcalls to the methods at the
 * end of this class, which hand them to a pluggable {@link RecordingHandler},
 * and retransformed classes go through a pluggable {@link ClassTransformer}.
 */
public class VMZEV extends ZEVImpl {
    private volatile RecordingHandler handler = new Recordings();
    private volatile ClassTransformer transformer;
    private volatile ByteBuffer initialBuffer;

    public VMZEV() {
    }

    // ---- binding --------------------------------------------------------

    /** Binds this object to libzev; answers the VM's initial buffer. */
    public native ByteBuffer init(String locale, int localeArgument, String repository);

    /** The VM's recording options. */
    public native NativeOptions options();

    /**
     * Binds with the default locale and the repository named by the system
     * property zev.repository (the temporary directory by default).
     */
    public ByteBuffer bind() {
        String repository = System.getProperty("zev.repository",
                                               System.getProperty("java.io.tmpdir"));
        initialBuffer = init(Locale.getDefault().toLanguageTag(), 0, repository);
        return initialBuffer;
    }

    public ByteBuffer initialBuffer() {
        return initialBuffer;
    }

    // ---- data and control ----------------------------------------------

    public native boolean flush();
    public native long threadID();
    public native boolean remove(int id);
    public native boolean removeConstPool(int id);
    public native boolean storeConstPool(int id);
    public native long getPeriod(int id);
    public native long stackTraceID(int skip);
    public native long classID0(Class<?> klass);
    public native int start(boolean toDisk);
    public native int stop();
    public native int rotate();
    public native void add(int id, byte[] data, int offset, int length);
    public native void addConstPool(ByteBuffer pool, int size, boolean flag);
    public native ByteBuffer buffer();
    public native int descriptors(int id, Object[] buffers);
    public native void write(byte[] data, int offset, int length);
    public native void setThreshold(int id, long value);
    public native void setPeriod(int id, long value);
    public native void shutdown();

    // ---- instrumentation -----------------------------------------------

    /** Retransforms the classes through the transformer; one list until the VM releases it. */
    public native void retransformClasses0(Class<?>[] classes);

    public void setTransformer(ClassTransformer transformer) {
        this.transformer = transformer;
    }

    public void setHandler(RecordingHandler handler) {
        this.handler = handler;
    }

    public RecordingHandler handler() {
        return handler;
    }

    // ---- called by libzev ----------------------------------------------

    String startRecording(String name, String[] settings, boolean disk, long delay, long duration,
                          String fileName, boolean dumpOnExit, long maxAge, long maxSize,
                          boolean verbose) {
        return handler.startRecording(name, settings, disk, delay, duration, fileName, dumpOnExit,
                                      maxAge, maxSize, verbose);
    }

    String stopRecording(String name, long id, boolean discard, String fileName, boolean verbose) {
        return handler.stopRecording(name, id, discard, fileName, verbose);
    }

    String checkRecording(String name, long id, boolean verbose) {
        return handler.checkRecording(name, id, verbose);
    }

    String dumpRecording(String name, long id, String fileName, boolean verbose) {
        return handler.dumpRecording(name, id, fileName, verbose);
    }

    void finishChunk(String chunkPath, long startTime, long endTime, boolean finalChunk) {
        handler.finishChunk(chunkPath, startTime, endTime, finalChunk);
    }

    void onNewChunk() {
        handler.onNewChunk();
    }

    byte[] retransformCallback(Class<?> klass, byte[] classBytes) {
        ClassTransformer t = transformer;
        return t == null ? null : t.transform(klass, classBytes);
    }
}
