package zevbench;

import java.io.File;
import java.net.URISyntaxException;

import zevhost.Vm;

/**
 * The VM's own versions of what libzev does on its hot paths, so that a
 * benchmark can set libzev beside them in the same process. Each makes the
 * same recorder-interface calls that libzev makes, or the same request with
 * plain JNI; none goes through libzev. Natives of libzevbench.so, which lies
 * beside zevbench.jar and is loaded with this class.
 */
public final class Baseline {
    static {
        System.load(new File(jarDirectory(), "libzevbench.so").getPath());
        bind(Vm.recorderInterfaceAddress(), Vm.registeredUpcallsAddress());
    }

    private static File jarDirectory() {
        try {
            return new File(Baseline.class.getProtectionDomain().getCodeSource().getLocation()
                                    .toURI()).getParentFile();
        } catch (URISyntaxException e) {
            throw new IllegalStateException(e);
        }
    }

    /** Hands the natives the VM's table and the upcalls the library registered with it. */
    private static native void bind(long recorderInterface, long upcalls);

    public Baseline() {
    }

    /** {@code counter_time} with this class as the receiver, as {@code Timing.counterTime}. */
    public static native long counterTime();

    /** {@code thread_id} with this object as the receiver, as {@code VMZEV.threadID}. */
    public native long threadID();

    /** {@code get_period}, as {@code VMZEV.getPeriod}. */
    public native long getPeriod(int id);

    /**
     * {@code can_write}, then {@code write} over the pinned elements, as
     * {@code VMZEV.write}.
     */
    public native void write(byte[] data, int offset, int length);

    /**
     * Makes {@code requests} start-recording requests on one new thread
     * attached as "VM Thread", each with plain JNI: the request of
     * {@link Vm#requestLoop}'s "start" kind (name "loop", settings
     * {"default", "profile"}, file "loop.zev") converted, the recorder's
     * {@code startRecording} called, every local reference deleted.
     *
     * @return {answered, null answers, exceptions, elapsed nanoseconds, the
     *         thread's CPU nanoseconds}, both times around the requests alone
     */
    public static native long[] startRecordingLoop(Object recorder, long requests);

    /**
     * The same requests, made the same way, through libzev's start_recording
     * entry instead: what the VM does with each answer (an exception cleared
     * and counted, the string deleted) included.
     *
     * @return as {@link #startRecordingLoop}
     */
    public static native long[] entryLoop(long requests);

    /**
     * Starts one thread attached as "VM Thread" that makes the "start"
     * requests through libzev's start_recording entry, {@code steps[i]} of
     * them in step i, and after each step waits, still attached, until
     * {@link #resume()}. After the last step it detaches. One loop at a time;
     * call {@link #awaitPause()} until it answers null.
     */
    public static native void startPausingLoop(long[] steps);

    /**
     * Waits for the next step to finish. Answers {answered, null answers,
     * exceptions} so far while the thread waits attached, or null once it
     * has ended.
     */
    public static native long[] awaitPause();

    /** Lets the paused loop go on. */
    public static native void resume();
}
