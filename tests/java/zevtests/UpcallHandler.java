package zevtests;

import java.util.ArrayList;
import java.util.Arrays;
import java.util.List;

import tesmar.nuvrak.zev.RecordingHandler;

/**
 * A recording handler that writes down every call it gets, with its
 * arguments and thread, and answers a fixed text per method; or, when
 * throwing, throws instead of answering.
 */
final class UpcallHandler implements RecordingHandler {
    private final List<String> calls = new ArrayList<>();
    private final List<String> threads = new ArrayList<>();
    private volatile boolean throwing;

    void throwing(boolean on) {
        throwing = on;
    }

    /** The calls since the last take, and forgets them. */
    synchronized List<String> take() {
        List<String> taken = new ArrayList<>(calls);
        calls.clear();
        return taken;
    }

    /** The threads of the calls since the last take, and forgets them. */
    synchronized List<String> takeThreads() {
        List<String> taken = new ArrayList<>(threads);
        threads.clear();
        return taken;
    }

    @Override
    public String startRecording(String name, String[] settings, boolean disk, long delay,
                                 long duration, String fileName, boolean dumpOnExit, long maxAge,
                                 long maxSize, boolean verbose) {
        note("startRecording(" + show(name) + ", " + showAll(settings) + ", " + disk + ", "
             + delay + ", " + duration + ", " + show(fileName) + ", " + dumpOnExit + ", "
             + maxAge + ", " + maxSize + ", " + verbose + ")");
        return answer("startRecording", "started \u00e9t\u00e9 \u20ac");
    }

    @Override
    public String stopRecording(String name, long id, boolean discard, String fileName,
                                boolean verbose) {
        note("stopRecording(" + show(name) + ", " + id + ", " + discard + ", " + show(fileName)
             + ", " + verbose + ")");
        return answer("stopRecording", "stopped");
    }

    @Override
    public String checkRecording(String name, long id, boolean verbose) {
        note("checkRecording(" + show(name) + ", " + id + ", " + verbose + ")");
        return answer("checkRecording", "checked");
    }

    @Override
    public String dumpRecording(String name, long id, String fileName, boolean verbose) {
        note("dumpRecording(" + show(name) + ", " + id + ", " + show(fileName) + ", " + verbose
             + ")");
        return answer("dumpRecording", "dumped");
    }

    @Override
    public void finishChunk(String chunkPath, long startTime, long endTime, boolean finalChunk) {
        note("finishChunk(" + show(chunkPath) + ", " + startTime + ", " + endTime + ", "
             + finalChunk + ")");
        answer("finishChunk", null);
    }

    @Override
    public void onNewChunk() {
        note("onNewChunk()");
        answer("onNewChunk", null);
    }

    private synchronized void note(String call) {
        calls.add(call);
        threads.add(Thread.currentThread().getName());
    }

    private String answer(String method, String text) {
        if (throwing) {
            throw new IllegalStateException(method + " refused");
        }
        return text;
    }

    private static String show(String s) {
        return s == null ? "null" : "\"" + s + "\"";
    }

    /** The array's class and elements, so that a wrong element type or length shows. */
    private static String showAll(String[] settings) {
        if (settings == null) {
            return "null";
        }
        String[] shown = new String[settings.length];
        for (int i = 0; i < settings.length; i++) {
            shown[i] = show(settings[i]);
        }
        return settings.getClass().getSimpleName() + Arrays.toString(shown);
    }
}
