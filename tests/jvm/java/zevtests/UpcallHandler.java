package zevtests;

import java.util.ArrayList;
import java.util.Arrays;
import java.util.List;
import java.util.stream.Collectors;

import tesmar.nuvrak.zev.RecordingHandler;

/**
 * A recording handler that writes down every call it gets, with its
 * arguments, and answers a fixed text per method; or, when throwing, throws
 * instead of answering. A quiet one keeps nothing, so that any growth while
 * it answers is the library's.
 */
class UpcallHandler implements RecordingHandler {
    private final List<String> calls = new ArrayList<>();
    private final boolean quiet;
    volatile boolean throwing;

    UpcallHandler() {
        this(false);
    }

    UpcallHandler(boolean quiet) {
        this.quiet = quiet;
    }

    /** The calls since the last take, and forgets them. */
    synchronized List<String> take() {
        List<String> taken = new ArrayList<>(calls);
        calls.clear();
        return taken;
    }

    @Override
    public String startRecording(String name, String[] settings, boolean disk, long delay,
                                 long duration, String fileName, boolean dumpOnExit, long maxAge,
                                 long maxSize, boolean verbose) {
        return answer("startRecording", "started \u00e9t\u00e9 \u20ac", show(name),
                      showAll(settings), disk, delay, duration, show(fileName), dumpOnExit,
                      maxAge, maxSize, verbose);
    }

    @Override
    public String stopRecording(String name, long id, boolean discard, String fileName,
                                boolean verbose) {
        return answer("stopRecording", "stopped", show(name), id, discard, show(fileName),
                      verbose);
    }

    @Override
    public String checkRecording(String name, long id, boolean verbose) {
        return answer("checkRecording", "checked", show(name), id, verbose);
    }

    @Override
    public String dumpRecording(String name, long id, String fileName, boolean verbose) {
        return answer("dumpRecording", "dumped", show(name), id, show(fileName), verbose);
    }

    @Override
    public void finishChunk(String chunkPath, long startTime, long endTime, boolean finalChunk) {
        answer("finishChunk", null, show(chunkPath), startTime, endTime, finalChunk);
    }

    @Override
    public void onNewChunk() {
        answer("onNewChunk", null);
    }

    /** Notes the call as "method(arg, ...)", then answers the text or throws. */
    private String answer(String method, String text, Object... args) {
        if (!quiet) {
            String call = method + Arrays.toString(args).replaceFirst("^\\[(.*)\\]$", "($1)");
            synchronized (this) {
                calls.add(call);
            }
        }
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
        return settings == null ? "null" : settings.getClass().getSimpleName()
               + Arrays.stream(settings).map(UpcallHandler::show).collect(Collectors.toList());
    }
}
