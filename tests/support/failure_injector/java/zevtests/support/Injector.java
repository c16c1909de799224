package zevtests.support;

/**
 * The failure injector of the tests' host ({@code zev-host-test}, the
 * launcher of {@code zev-host} with the injector around the library; the
 * installed host has none). Its natives are bound by that host, so this
 * class works only in a JVM that {@code zev-host-test} created.
 *
 * <h2>Failure injection</h2>
 * The host makes the library's own calls into the VM fail as they fail in a
 * VM under memory pressure: {@link #armFailures(String)} before one library
 * call (a native, an upcall, a retransformation with its hooks),
 * {@link #disarmFailures()} after it. While armed, the host counts the
 * fallible calls that libzev itself makes (calls made by the host, by Java
 * code or by the JDK's natives are not counted): JNI functions, through a
 * JNI function table of the host's own (installed with JVMTI's
 * {@code SetJNIFunctionTable} on first use, forwarding to the table before
 * it, so that {@code -Xcheck:jni} keeps checking every call); libzev's
 * {@code malloc}, {@code calloc} and {@code realloc}; and the JVMTI
 * functions of the environment the host hands libzev. A call is the
 * library's when it returns into libzev's code, or when it is the last call
 * of a way into libzev (a native, whose last call returns into the JVM's
 * generated code with the native as the thread's innermost frame; an
 * upcall, the class-file hook or {@code JNI_OnLoad}, each of which the host
 * calls through an entry of its own). It fails the k-th counted call, or the
 * k-th and every later one. A failed JNI function answers null (or a
 * negative code) with a preallocated
 * {@code java.lang.OutOfMemoryError: injected by zev-host} pending;
 * {@code Call*Method} throws it instead of running Java; the array-region
 * and element functions throw it without copying; with {@code quiet-refs},
 * {@code NewGlobalRef}, {@code NewLocalRef} and {@code NewWeakGlobalRef}
 * answer null with nothing pending. A failed allocation answers null; a
 * failed JVMTI function answers {@code JVMTI_ERROR_OUT_OF_MEMORY}
 * ({@code AddCapabilities}: {@code JVMTI_ERROR_NOT_AVAILABLE}; the JVMTI
 * {@code GetEnv} itself: {@code JNI_ENOMEM}). The host hands libzev the
 * JVM's JVMTI environment behind a table of its own, which forwards the
 * functions libzev calls ({@code AddCapabilities}, {@code SetEventCallbacks},
 * {@code SetEventNotificationMode}, {@code GetObjectHashCode},
 * {@code RetransformClasses}, {@code Allocate}, {@code Deallocate},
 * {@code DisposeEnvironment}); any other answers
 * {@code JVMTI_ERROR_NOT_AVAILABLE} with a line on standard error.
 * <p>
 * The plan is "K" followed by comma-separated words: {@code once} (the
 * default) or {@code exhaust}; {@code quiet-refs}; {@code jni},
 * {@code alloc}, {@code jvmti} to count only those kinds (all by default);
 * {@code trace} to print "zev-host: failing NewStringUTF (call 3) in
 * function+0x1c (libzev.so+0x2f1c)" on standard error for each failed
 * call; {@code stall=FUNCTION:MILLIS} to hold the library's first counted
 * call of that function ("NewLocalRef", "CallObjectMethodV", "malloc", ...)
 * for MILLIS milliseconds before it goes on, as a VM holds a thread in a
 * transition while a safepoint lasts. K = 0 counts without failing.
 * {@code zev-host-test --fail PLAN} arms a plan for the whole run and prints
 * the report when the program ends.
 */
public final class Injector {
    private Injector() {}

    /**
     * Arms the failure injector with a plan (see the class comment), after
     * resetting its counts.
     *
     * @throws IllegalArgumentException for a plan that doesn't parse
     * @throws IllegalStateException when the JNI table can't be installed
     */
    public static native void armFailures(String plan);

    /**
     * Arms a plan that fails nothing and holds the library's next counted
     * call of {@code function} for {@code millis} milliseconds.
     */
    public static void armStall(String function, long millis) {
        armFailures("0,stall=" + function + ":" + millis);
    }

    /** Disarms the injector and reports what it counted, failed and held since it was armed. */
    public static native FailureReport disarmFailures();

    /** The calls the armed stall has held so far, one being held now included. */
    public static native long stalledSoFar();

    /**
     * The global references that libzev made and has not deleted, counted
     * from the first {@link #armFailures(String)} of the run (or from the
     * start under {@code --fail}).
     */
    public static native long libraryGlobalRefs();

    /** The blocks that libzev allocated with malloc, calloc or realloc and has not freed. */
    public static native long libraryAllocations();

    /**
     * The JVMTI environments that the host handed libzev (through
     * {@code GetEnv} of a JVMTI version) and libzev has not disposed of.
     */
    public static native long libraryJvmtiEnvironments();

    /**
     * The injector's self-check: makes one JNI call with an exception
     * pending, the misuse that {@code -Xcheck:jni} reports, through the
     * JNI table in force, then clears the exception. Answers whether that
     * table is the injector's.
     */
    public static native boolean checkedJniProbe();
}
