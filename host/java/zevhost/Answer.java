package zevhost;

/**
 * What one upcall answered, read as the VM reads it: the returned string
 * (then deleted), the boolean of {@code finish_chunk}, the code of
 * {@code release_bindings}, and the exception left pending (then cleared).
 */
public final class Answer {
    /** The entry called: start_recording, stop_recording, check_recording,
     *  dump_recording, finish_chunk, new_chunk or release_bindings. */
    public final String entry;
    /** The text of the returned jstring; null when the entry returned null
     *  or returns no string. */
    public final String value;
    /** finish_chunk's answer; false for the other entries. */
    public final boolean bool;
    /** release_bindings' answer (a JVMTI error, or 0); 0 for the other entries. */
    public final int code;
    /** The exception pending after the entry, as Throwable.toString() renders it
     *  ("java.lang.IllegalStateException: message", "java.lang.OutOfMemoryError");
     *  null when none was pending. */
    public final String pending;
    /** The name of the thread the entry ran on ("VM Thread", or the calling
     *  Java thread's name under {@link Vm#onCurrentThread(boolean)}). */
    public final String thread;

    Answer(String entry, String value, boolean bool, int code, String pending, String thread) {
        this.entry = entry;
        this.value = value;
        this.bool = bool;
        this.code = code;
        this.pending = pending;
        this.thread = thread;
    }

    /**
     * One line for transcripts: the entry, "->", its result (the string
     * quoted, or null; true/false for finish_chunk; the code for
     * release_bindings; "void" for new_chunk), then " pending " and the
     * exception if one was pending, then " on " and the thread's name:
     * {@code check_recording -> "0 recording(s) running" on VM Thread}.
     */
    @Override
    public String toString() {
        String result;
        switch (entry) {
            case "finish_chunk":
                result = String.valueOf(bool);
                break;
            case "release_bindings":
                result = String.valueOf(code);
                break;
            case "new_chunk":
                result = "void";
                break;
            default:
                result = value == null ? "null" : "\"" + value + "\"";
                break;
        }
        return entry + " -> " + result + (pending == null ? "" : " pending " + pending)
                + " on " + thread;
    }
}
