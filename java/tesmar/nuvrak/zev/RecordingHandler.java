package tesmar.nuvrak.zev;

/**
 * What the recorder does with the VM's requests. The VM's upcalls reach a
 * {@link VMZEV}, which hands each one to its handler.
 */
public interface RecordingHandler {
    String startRecording(String name, String[] settings, boolean disk, long delay, long duration,
                          String fileName, boolean dumpOnExit, long maxAge, long maxSize,
                          boolean verbose);

    String stopRecording(String name, long id, boolean discard, String fileName, boolean verbose);

    String checkRecording(String name, long id, boolean verbose);

    String dumpRecording(String name, long id, String fileName, boolean verbose);

    default void finishChunk(String chunkPath, long startTime, long endTime, boolean finalChunk) {
    }

    default void onNewChunk() {
    }
}
