package tesmar.nuvrak.zev;

import java.util.ArrayList;
import java.util.LinkedHashMap;
import java.util.List;
import java.util.Map;

/** The default handler: keeps the recordings it was asked for, in memory. */
public class Recordings implements RecordingHandler {
    private final Map<Long, String> running = new LinkedHashMap<>();
    private final List<String> chunks = new ArrayList<>();
    private long nextId = 1;

    @Override
    public synchronized String startRecording(String name, String[] settings, boolean disk,
                                              long delay, long duration, String fileName,
                                              boolean dumpOnExit, long maxAge, long maxSize,
                                              boolean verbose) {
        long id = nextId++;
        String label = name == null ? "Recording-" + id : name;
        running.put(id, label);
        return "Started recording " + id + " \"" + label + "\" with " + settings.length
                + " setting(s)" + (fileName == null ? "" : " to " + fileName);
    }

    @Override
    public synchronized String stopRecording(String name, long id, boolean discard, String fileName,
                                             boolean verbose) {
        Long key = find(name, id);
        if (key == null) {
            return "No recording " + describe(name, id);
        }
        String label = running.remove(key);
        return "Stopped recording " + key + " \"" + label + "\"" + (discard ? " (discarded)" : "");
    }

    @Override
    public synchronized String checkRecording(String name, long id, boolean verbose) {
        if (name == null && id <= 0) {
            return running.size() + " recording(s) running";
        }
        Long key = find(name, id);
        return key == null ? "No recording " + describe(name, id)
                           : "Recording " + key + " \"" + running.get(key) + "\" is running";
    }

    @Override
    public synchronized String dumpRecording(String name, long id, String fileName,
                                             boolean verbose) {
        Long key = find(name, id);
        if (key == null) {
            return "No recording " + describe(name, id);
        }
        return "Dumped recording " + key + " to " + (fileName == null ? "the repository" : fileName);
    }

    @Override
    public synchronized void finishChunk(String chunkPath, long startTime, long endTime,
                                         boolean finalChunk) {
        chunks.add(chunkPath);
    }

    public synchronized List<String> finishedChunks() {
        return new ArrayList<>(chunks);
    }

    private Long find(String name, long id) {
        for (Map.Entry<Long, String> e : running.entrySet()) {
            if (e.getKey() == id || e.getValue().equals(name)) {
                return e.getKey();
            }
        }
        return null;
    }

    private static String describe(String name, long id) {
        return name != null ? "\"" + name + "\"" : String.valueOf(id);
    }
}
