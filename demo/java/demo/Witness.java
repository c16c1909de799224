package demo;

import java.util.Arrays;
import java.util.concurrent.atomic.AtomicInteger;

import tesmar.nuvrak.zev.RecordingHandler;
import tesmar.nuvrak.zev.Recordings;

/**
 * The recorder's handler for the demo: prints each request as it reaches
 * Java (with the thread it arrived on) and hands it to the default
 * {@link Recordings}. A dump of the recording named "explode" throws, to show
 * what the VM gets back from a failing handler.
 */
public final class Witness implements RecordingHandler {
    private final Recordings recordings = new Recordings();
    private final AtomicInteger reached = new AtomicInteger();
    private volatile boolean quiet;

    public int reached() {
        return reached.get();
    }

    /** Stops printing (for request loops); requests are still counted. */
    public void quiet(boolean on) {
        quiet = on;
    }

    public Recordings recordings() {
        return recordings;
    }

    private void saw(String call) {
        reached.incrementAndGet();
        if (!quiet) {
            System.out.println("    java| " + call + " on " + Thread.currentThread().getName());
        }
    }

    private static String q(String s) {
        return s == null ? "null" : "\"" + s + "\"";
    }

    @Override
    public String startRecording(String name, String[] settings, boolean disk, long delay,
                                 long duration, String fileName, boolean dumpOnExit, long maxAge,
                                 long maxSize, boolean verbose) {
        saw("startRecording(" + q(name) + ", " + Arrays.toString(settings) + ", disk=" + disk
                + ", duration=" + duration + ", " + q(fileName) + ")");
        return recordings.startRecording(name, settings, disk, delay, duration, fileName,
                                         dumpOnExit, maxAge, maxSize, verbose);
    }

    @Override
    public String stopRecording(String name, long id, boolean discard, String fileName,
                                boolean verbose) {
        saw("stopRecording(" + q(name) + ", " + id + ", discard=" + discard + ")");
        return recordings.stopRecording(name, id, discard, fileName, verbose);
    }

    @Override
    public String checkRecording(String name, long id, boolean verbose) {
        saw("checkRecording(" + q(name) + ", " + id + ")");
        return recordings.checkRecording(name, id, verbose);
    }

    @Override
    public String dumpRecording(String name, long id, String fileName, boolean verbose) {
        saw("dumpRecording(" + q(name) + ", " + id + ", " + q(fileName) + ")");
        if ("explode".equals(name)) {
            throw new IllegalStateException("cannot dump \"explode\"");
        }
        return recordings.dumpRecording(name, id, fileName, verbose);
    }

    @Override
    public void finishChunk(String chunkPath, long startTime, long endTime, boolean finalChunk) {
        saw("finishChunk(" + q(chunkPath) + ", span " + (endTime - startTime) + " ns, final="
                + finalChunk + ")");
        recordings.finishChunk(chunkPath, startTime, endTime, finalChunk);
    }

    @Override
    public void onNewChunk() {
        saw("onNewChunk()");
        recordings.onNewChunk();
    }
}
