package zevhost;

import java.nio.ByteBuffer;

/**
 * The reference VM of {@code zev-host}, as seen from Java: what the VM's
 * recorder interface was asked (the journal), what it will answer (the
 * script), the memory it owns, the options it hands out, and the upcalls
 * that the VM makes into libzev. Every method is static and thread-safe;
 * the natives are bound by the host itself, so this class works only in a
 * JVM that {@code zev-host} created.
 *
 * <h2>Journal</h2>
 * Every call of a recorder-interface slot appends one line, in call order
 * across all threads. The journal starts with the lines of the library's
 * load (normally {@code register_upcalls()} and
 * {@code log(5, "Loaded ZEV library")}). Line format:
 * {@code name(arg1, arg2, ...)}, arguments separated by ", ":
 * <ul>
 * <li>ints and longs in decimal: {@code remove(7)}, {@code set_period(5, 20)};</li>
 * <li>booleans as {@code true}/{@code false};</li>
 * <li>strings double-quoted as given, without escaping: {@code set_repository("/tmp")};
 *     a null string as {@code null};</li>
 * <li>byte regions as lowercase hex with a {@code 0x} prefix: {@code 0x0102ff};
 *     an empty, null or negative-length region as {@code 0x};</li>
 * <li>out-address arguments are left out: {@code buffer()},
 *     {@code get_descriptor(3)};</li>
 * <li>a native's own JNIEnv as {@code env} when it is the calling thread's own,
 *     {@code WRONG_ENV} otherwise; its receiver as the simple class name of an
 *     instance ({@code VMZEV}) or as {@code class Process} for a static
 *     native's class; a null receiver as {@code null};</li>
 * <li>a Java array as its element type and length: {@code byte[16]};
 *     a class as {@code Class.getName()}: {@code java.lang.String};</li>
 * <li>a value that would need a JNI call while an exception is pending on
 *     the calling thread (or on a thread not attached to the VM) as {@code ?}.</li>
 * </ul>
 * The line of each slot, in slot order:
 * <pre>
 *  0 is_enabled()
 *  1 register_upcalls()
 *  2 get_options()
 *  4 recorder_command(0)
 *  5 prepare_shutdown()
 *  6 add(7, 0x010203, 3)                  id, the bytes, length
 *  7 remove(7)
 *  8 buffer()
 *  9 flush(env, VMZEV)
 * 10 can_write(env, VMZEV, byte[16], 0)   own arguments, array, offset
 * 11 write(0x0a0b, 4, 2)                  elements[offset..offset+length), offset, length
 * 12 set_threshold(5, 100)
 * 13 set_period(5, 20)
 * 14 add_const_pool(0x0102, 2, true)      the size bytes at the address, size, flag
 * 15 remove_const_pool(3)
 * 16 store_const_pool(3)
 * 17 init_buffer()
 * 18 descriptor_buffer()
 * 19 set_repository("/tmp")
 * 20 get_descriptor(3)
 * 21 get_period(5)
 * 22 class_id(java.lang.String)
 * 23 stack_trace_id(2)
 * 24 thread_id(env, VMZEV)
 * 25 getpid(env, class Process)
 * 26 counter_time(env, class Timing)
 * 27 timing_init(env, class Timing)
 * 28 log(5, "Loaded ZEV library")
 * 30 is_disabled_on_command_line()
 * 31 is_started()
 * 32 start_recorder()
 * 33 store_locale("en-US", 5, 0)
 * </pre>
 * The bytes of {@code write} are those it stored (see "events" below): when
 * {@code can_write} saw the array on the same thread just before, the range
 * is cut to the array's bounds. The journal keeps the newest 100,000 lines
 * (and at most 64 MiB of text); older lines are dropped and counted
 * ({@link #journalDropped()}). {@link #journaling(boolean)} switches it off
 * for benchmarks. With {@code zev-host --trace} each line is also printed to
 * standard output as it happens, prefixed with {@code "vm: "}.
 *
 * <h2>Script</h2>
 * Per key, a queue of answers consumed one per call ({@link #script}), then
 * a standing answer ({@link #answer}), then the default behaviour. A key is
 * a slot's name, or one of the extra keys below. A boolean slot answers
 * false for 0, that byte for 1..255, true for anything else. The default
 * behaviour of each slot:
 * <ul>
 * <li>{@code is_enabled}, {@code register_upcalls}, {@code flush},
 *     {@code can_write}: true. {@code register_upcalls} keeps the table
 *     whatever it answers.</li>
 * <li>{@code is_disabled_on_command_line}: false, true under {@code --disabled}.</li>
 * <li>{@code is_started}: the VM's state: false until {@code start_recorder}
 *     answered true, false again after {@code recorder_command(7)}. Scripting
 *     it doesn't change the state.</li>
 * <li>{@code is_enabled.delay}: the next {@code is_enabled} call decides its
 *     answer, then takes that many milliseconds to return it.</li>
 * <li>{@code start_recorder}: true; a true answer (scripted or not) marks the
 *     VM started.</li>
 * <li>{@code recorder_command}: 0; command 7 always marks the VM stopped.</li>
 * <li>{@code remove}: whether the id was added (and not removed since).
 *     {@code remove_const_pool}: whether the pool id was handed out and not
 *     removed since; {@code store_const_pool}: whether it is handed out.</li>
 * <li>{@code set_threshold}, {@code set_period}: false for a negative id or an
 *     id given to {@link #refuseId(int)}, true otherwise; a true answer
 *     remembers the value.</li>
 * <li>{@code get_period}: the remembered period, -1 when none.</li>
 * <li>{@code add_const_pool}: a new pool id (1, 2, ...); a scripted answer is
 *     the id (0: out of memory).</li>
 * <li>{@code set_repository}: true when the path is an existing writable
 *     directory.</li>
 * <li>{@code store_locale}: true for a non-null, non-empty locale.</li>
 * <li>{@code class_id}: one id per class object (1, 2, ...), stable for the
 *     process; 0 for null. {@code stack_trace_id}: a new id per call.
 *     {@code thread_id}: one id per calling thread, stable.</li>
 * <li>{@code getpid}: the process id. {@code counter_time}: a monotonic clock
 *     in nanoseconds. {@code timing_init}: 1000000000.</li>
 * <li>{@code buffer}, {@code init_buffer}, {@code descriptor_buffer}: fill in
 *     the start of the region of that name and answer its size. A scripted 0
 *     (or negative) sets the start address to null and answers 0; another
 *     scripted n answers the region's start and min(n, size).</li>
 * <li>{@code get_descriptor}: answers true and fills in the start of region
 *     "descriptor:&lt;id&gt;" (created on first use), its size, and the id as
 *     the int result. The answer is scripted under {@code get_descriptor};
 *     the length under {@code get_descriptor.length} (0 or negative: null
 *     address and length 0; n: min(n, size)); the int result under
 *     {@code get_descriptor.result}.</li>
 * <li>{@code get_options}: the record of {@link #setOptions}; not scriptable.</li>
 * </ul>
 * Extra keys:
 * <ul>
 * <li>{@code buffer.unfilled}, {@code init_buffer.unfilled},
 *     {@code descriptor_buffer.unfilled}: a non-zero answer leaves the out
 *     address untouched; the slot then answers its scripted length, else 0.</li>
 * <li>{@code get_descriptor.unfilled}: a non-zero answer leaves all three out
 *     arguments untouched (the slot still gives its answer).</li>
 * <li>{@code write.stamp}: the VM stores the answer's low byte at
 *     {@code elements[offset]} after copying (when the offset lies inside the
 *     array as far as the VM knows), so that Java sees whether the elements
 *     were pinned rather than copied.</li>
 * </ul>
 * Each call of a slot consumes one answer from each key it consults, whether
 * or not the answer is used.
 *
 * <h2>Memory</h2>
 * The VM's memory is real, owned by the VM and never moves; direct buffers
 * that libzev makes over it stay valid for the process. Regions:
 * {@code "buffer"} (64 KiB), {@code "init_buffer"} (8 KiB),
 * {@code "descriptor_buffer"} (4 KiB), all zero at start;
 * {@code "descriptor:<id>"} (64 bytes, byte i is (id + i) &amp; 0xff; exists
 * once {@code get_descriptor} was asked for that id); {@code "events"} (the
 * bytes that {@code write} stored, in order; the newest 8 MiB at least are
 * kept); {@code "add:<id>"} (the bytes of the last {@code add} for that id).
 *
 * <h2>Options</h2>
 * {@code get_options} answers the record of the last {@link #setOptions}
 * call; records already handed out stay valid. Before any call: name null,
 * settings {@code {"default"}}, disk false, maxAge 0, stackDepth 64,
 * threadBufferSize 8192, globalBufferCount 20, dumpPath null, dumpOnExit
 * false, maxSize 0, maxChunkSize 12 MiB (12582912), sampleThreads true.
 *
 * <h2>Upcalls</h2>
 * The upcall methods call the entries of the table that libzev registered,
 * as the VM does: by default each on a new native thread attached to the VM
 * as "VM Thread" and detached afterwards; with {@link #onCurrentThread(boolean)}
 * on the calling Java thread with its own JNIEnv. Each call runs in a local
 * frame of its own; afterwards the host reads and clears a pending
 * exception, reads and deletes the returned string, and answers an
 * {@link Answer}. Strings pass as modified UTF-8; null passes a null
 * pointer. They throw {@code IllegalStateException} when no table (or no
 * such entry) is registered.
 *
 * <h2>Command line</h2>
 * {@code zev-host [options] MainClass args...}: creates the JVM (class path
 * zev.jar, zevhost.jar, then each {@code -cp}), loads libzev with
 * {@code dlopen} and calls its {@code JNI_OnLoad} on the main thread with a
 * JavaVM whose {@code GetEnv} answers the recorder interface version, binds
 * every native of the recorder's classes to libzev's export of its JNI name,
 * then runs {@code MainClass.main}. Options: {@code -cp PATH}
 * ({@code -classpath}, {@code --classpath}, {@code --class-path});
 * {@code --lib PATH}, {@code --zev-jar PATH}, {@code --host-jar PATH} (the
 * build tree's by default); {@code --no-recorder} ({@code GetEnv} answers
 * JNI_EVERSION); {@code --null-recorder} (JNI_OK with a null table);
 * {@code --disabled} ({@code is_disabled_on_command_line} answers true);
 * {@code --trace}; {@code --verbose} (a report of the load on standard
 * output); {@code --help}; any other argument starting with "-" goes to the
 * JVM, but for an unknown one starting with "--" and holding no "=", which
 * is refused. Exit status: the program's ({@code System.exit(n)} exits n; 1 when
 * main threw, after the stack trace), 2 when the host could not start it
 * (for example "zev-host: libzev.so does not export
 * Java_tesmar_nuvrak_zev_VMZEV_flush" on standard error).
 */
public final class Vm {
    private Vm() {
    }

    // ---- journal ----------------------------------------------------------

    /** The journal's lines since it was last cleared, oldest first. */
    public static native String[] journal();

    /** The journal's lines, oldest first, and clears it. */
    public static native String[] takeJournal();

    public static native void clearJournal();

    /** Switches journaling on (the default) or off; off, slots render nothing. */
    public static native void journaling(boolean on);

    /** How many lines the journal has dropped for its size limit, ever. */
    public static native long journalDropped();

    /** Prints each {@code log} line to standard output, prefixed with "vm: ", as --trace does. */
    public static native void echoLog(boolean on);

    // ---- script -----------------------------------------------------------

    /** Queues answers for the next calls of {@code op}, after those already queued. */
    public static native void script(String op, long... answers);

    /** The answer of {@code op} once its queue is empty. */
    public static native void answer(String op, long standing);

    /** Forgets every queued and standing answer and every refused id. */
    public static native void clearScript();

    /** Makes {@code set_threshold} and {@code set_period} refuse the id (by default). */
    public static native void refuseId(int id);

    // ---- memory -----------------------------------------------------------

    /**
     * A copy of a region's bytes; null for a descriptor or add id that has
     * nothing yet.
     *
     * @throws IllegalArgumentException for an unknown region name
     */
    public static native byte[] memory(String region);

    /**
     * The start address of "buffer", "init_buffer", "descriptor_buffer" or
     * "descriptor:&lt;id&gt;" (0 for a descriptor not handed out yet).
     */
    public static native long address(String region);

    /**
     * Whether a direct buffer lies exactly over what the region's slot last
     * handed out: the region's start address, and a capacity equal to the
     * length the slot last answered (the region's size unless scripted).
     * False for null or a non-direct buffer.
     */
    public static native boolean isVmMemory(ByteBuffer direct, String region);

    /** Forgets the bytes that {@code write} stored ("events"). */
    public static native void clearEvents();

    // ---- options ----------------------------------------------------------

    /**
     * What {@code get_options} answers from now on. The strings are copied
     * into VM memory; null strings (and null settings elements) stay null
     * pointers; a null settings array is an empty one.
     */
    public static native void setOptions(String name, String[] settings, boolean disk,
                                         long maxAge, int stackDepth, int threadBufferSize,
                                         int globalBufferCount, String dumpPath,
                                         boolean dumpOnExit, long maxSize, long maxChunkSize,
                                         boolean sampleThreads);

    // ---- upcalls ----------------------------------------------------------

    /** Entry 0 with {@code settings.length} as the count (0 for null). */
    public static Answer startRecording(String name, String[] settings, boolean disk, long delay,
                                        long duration, String fileName, boolean dumpOnExit,
                                        long maxAge, long maxSize, boolean verbose) {
        return startRecordingRaw(name, settings == null ? 0 : settings.length, settings, disk,
                                 delay, duration, fileName, dumpOnExit, maxAge, maxSize, verbose);
    }

    /**
     * Entry 0 with the count and the array as given: a null array passes a
     * null pointer, a null element a null pointer. Where the count exceeds
     * the array, the entry reads null pointers beyond it (a count beyond the array
     * and above 1048576 throws IllegalArgumentException).
     */
    public static native Answer startRecordingRaw(String name, int count, String[] settings,
                                                  boolean disk, long delay, long duration,
                                                  String fileName, boolean dumpOnExit,
                                                  long maxAge, long maxSize, boolean verbose);

    /** Entry 1. */
    public static native Answer stopRecording(String name, long id, boolean discard,
                                              String fileName, boolean verbose);

    /** Entry 2. */
    public static native Answer checkRecording(String name, long id, boolean verbose);

    /** Entry 3. */
    public static native Answer dumpRecording(String name, long id, String fileName,
                                              boolean verbose);

    /** Entry 4; a null path passes a null pointer. */
    public static native Answer finishChunk(String path, long start, long end, boolean finalChunk);

    /** Entry 5. */
    public static native Answer newChunk();

    /** Entry 6, counted by {@link #releaseCount()}. */
    public static native Answer release();

    /**
     * Makes the upcall methods run the entry on the calling Java thread
     * (true) or on a new VM thread (false, the default), for every thread.
     */
    public static native void onCurrentThread(boolean on);

    /**
     * Makes the upcall methods and {@link #setOptions} hand the library each
     * string as bytes, one per char (its low 8 bits), rather than as modified
     * UTF-8 (false, the default), for every thread: "r\u00e9sum\u00e9" then
     * passes the Latin-1 bytes 72 e9 73 75 6d e9, "\u00c0\u0080" the bytes
     * C0 80. A char 0 ends the string there.
     */
    public static native void rawStrings(boolean on);

    /**
     * Makes the upcall methods call each entry with an exception pending on
     * the thread (a {@code java.lang.IllegalStateException: pending before
     * the upcall}), which a VM must never do, for every thread; the answer's
     * pending exception is what was pending when the entry returned.
     */
    public static native void exceptionPendingOnEntry(boolean on);

    // ---- request loops ----------------------------------------------------

    /**
     * Makes upcalls natively, with no Java per request: {@code threads} native
     * threads, each attached once as "VM Thread &lt;i&gt;", each making
     * {@code requestsPerThread} upcalls of {@code kind}, each in a local frame
     * of its own, followed by what the VM does with the result (the returned
     * string deleted, a pending exception cleared and counted). Kinds:
     * "start" (start_recording: name "loop", settings {"default", "profile"},
     * file "loop.zev"), "check" (check_recording "loop", id 0), "stop"
     * (stop_recording "loop", id 0, no file), "dump" (dump_recording "loop",
     * id 0, file "loop.zev"), "finish" (finish_chunk "/tmp/zev-loop.chunk",
     * 0, 1, false), "new_chunk", and "mixed" (start, check, stop, dump, finish
     * in turn). Booleans and longs not named are false and 0.
     *
     * @return {answered (non-null or true; new_chunk without exception),
     *         null answers (null or false without exception), exceptions,
     *         elapsed nanoseconds from start until the last thread finished}
     * @throws IllegalArgumentException for an unknown kind, threads outside
     *         1..1024 or negative requests
     * @throws IllegalStateException when no upcall table is registered
     */
    public static long[] requestLoop(int threads, long requestsPerThread, String kind) {
        return joinRequestLoop(startRequestLoop(threads, requestsPerThread, kind));
    }

    /** Starts {@link #requestLoop} without waiting; answers its handle. */
    public static native long startRequestLoop(int threads, long requestsPerThread, String kind);

    /**
     * Waits for a loop and answers as {@link #requestLoop} does. A handle
     * joins once; the host joins loops left running before the VM ends.
     *
     * @throws IllegalArgumentException for an unknown handle
     */
    public static native long[] joinRequestLoop(long handle);

    // ---- process and load facts -------------------------------------------

    /** The process's resident set in bytes, from /proc/self/statm; -1 if unreadable. */
    public static native long residentBytes();

    /**
     * The address of the VM's recorder interface (the table GetEnv hands the
     * library), for native code of a program's own that plays further parts
     * of the VM, such as the benchmarks' baselines; 0 with --no-recorder.
     */
    public static native long recorderInterfaceAddress();

    /** The address of the upcall table the library registered; 0 if none. */
    public static native long registeredUpcallsAddress();

    /** How many times {@link #release()} reached the release entry. */
    public static native int releaseCount();

    /** False when the host runs with --no-recorder or --null-recorder. */
    public static native boolean hasRecorderInterface();

    /** Whether libzev registered an upcall table. */
    public static native boolean registeredUpcalls();

    /** What libzev's JNI_OnLoad answered. */
    public static native int onLoadResult();

    /** How many recorder natives the host bound to libzev's exports. */
    public static native int nativesBound();
}
