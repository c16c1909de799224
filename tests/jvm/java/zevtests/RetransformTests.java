package zevtests;

import static java.nio.charset.StandardCharsets.ISO_8859_1;

import java.io.InputStream;
import java.lang.instrument.ClassDefinition;
import java.lang.instrument.Instrumentation;
import java.net.URL;
import java.net.URLClassLoader;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.List;
import java.util.concurrent.CompletableFuture;

import tesmar.nuvrak.zev.ClassTransformer;
import tesmar.nuvrak.zev.VMZEV;
import tesmar.nuvrak.zev.ZEV;
import zevhost.Answer;
import zevhost.Vm;

/**
 * Retransformation through HotSpot with real class files: each subject's
 * say() answers "before" until a transformer rewrites that constant, so
 * each shows which bytes the JVM runs. The jar is also a java.lang.instrument
 * agent (premain), another tool that retransforms and redefines on its own.
 */
public final class RetransformTests extends Cases {
    public static final class Alpha { public static String say() { return "before"; } }
    public static final class Beta { public static String say() { return "before"; } }
    public static final class Gamma { public static String say() { return "before"; } }

    static final Class<?>[] ALL = {Alpha.class, Beta.class, Gamma.class};
    static final String SAME_LENGTH = "after!";
    static final String LONGER = "after a much longer rewrite";
    static final List<String> ORIGINAL = List.of("before", "before", "before");
    static final List<String> REWRITTEN = List.of(SAME_LENGTH, LONGER, "before");
    static final String SUCCESS = "log(5, \"RetransformClasses successful\")";
    static final String REFUSED = "log(1, \"retransform_classes != NULL: "
            + "Java_tesmar_nuvrak_zev_VMZEV_retransformClasses0 can only be called once\")";

    static volatile Instrumentation agent;

    public static void premain(String args, Instrumentation instrumentation) {
        agent = instrumentation;
    }

    /** Retransforms the class through the test agent's environment, whose hook throws first. */
    static native int retransformThrowing(Class<?> klass);

    // The library's log lines about a class.
    static String hooked(Class<?> k) { return "log(5, \"classFileLoadHook called for " + name(k) + "\")"; }
    static String noRecorder(Class<?> k) { return hookError("no recorder object for " + name(k)); }
    static String dropped(Class<?> k) {
        return hookError("released during the callback; what it returned for " + name(k) + " is dropped");
    }
    static String hookError(String text) { return "log(1, \"classFileLoadHook: " + text + "\")"; }
    static String name(Class<?> k) { return k.getName().replace('.', '/'); }

    /** Rewrites Alpha to the same length and Beta longer; answers null for the rest. */
    static final class Rewrites implements ClassTransformer {
        final List<Class<?>> calls = new ArrayList<>();

        @Override
        public synchronized byte[] transform(Class<?> klass, byte[] classFile) {
            calls.add(klass);
            String to = klass == Alpha.class ? SAME_LENGTH : klass == Beta.class ? LONGER : null;
            String bytes = new String(classFile, ISO_8859_1);
            check(bytes.contains("\1\0\6before"), "the callback got the class file");
            // The constant's CONSTANT_Utf8 entry: tag 1, two length bytes, the text.
            return to == null ? null
                : bytes.replace("\1\0\6before", "\1\0" + (char) to.length() + to).getBytes(ISO_8859_1);
        }
    }

    /** A freshly bound recorder with the transformer, and a cleared journal. */
    static VMZEV bind(ClassTransformer transformer) {
        ZEV.forget();
        VMZEV recorder = (VMZEV) ZEV.get();
        recorder.setTransformer(transformer);
        Vm.clearJournal();
        return recorder;
    }

    static List<String> sayings() {
        return List.of(Alpha.say(), Beta.say(), Gamma.say());
    }

    /** Releases, and expects every class to have its own bytes again. */
    static void restored() {
        released(Vm.release());
        eq(ORIGINAL, sayings());
    }

    static byte[] classFile(Class<?> klass) throws Exception {
        try (InputStream in = klass.getResourceAsStream("/" + name(klass) + ".class")) {
            return in.readAllBytes();
        }
    }

    /**
     * Arrays that publish no list; a list rewritten by the callback and held,
     * refusing a second one, while first-time loads pass by; the release
     * restores it.
     */
    static void listed() throws Exception {
        Rewrites rewrites = new Rewrites();
        VMZEV r = bind(rewrites);
        r.retransformClasses0(new Class<?>[0]);
        Class<?>[] nullLast = new Class<?>[41];  // more classes than a native's local frame holds
        Arrays.fill(nullLast, 0, 40, Alpha.class);
        thrown(OutOfMemoryError.class, "VMZEV_retransform", () -> r.retransformClasses0(nullLast));
        npe(() -> r.retransformClasses0(null));
        journal("log(1, \"NewGlobalRef returned NULL\")");

        r.retransformClasses0(ALL);
        eq(REWRITTEN, sayings());
        r.retransformClasses0(new Class<?>[] {Gamma.class});
        URL jar = RetransformTests.class.getProtectionDomain().getCodeSource().getLocation();
        new URLClassLoader(new URL[] {jar}, null).loadClass(Alpha.class.getName());  // a fresh Alpha
        journal(hooked(Alpha.class), hooked(Beta.class), hooked(Gamma.class), SUCCESS, REFUSED);
        eq(List.of(ALL), rewrites.calls);
        restored();
        journal();

        // A callback asking for another list, itself or through a thread it waits for.
        bind((klass, bytes) -> {
            ZEV.bound().retransformClasses0(new Class<?>[] {Alpha.class});
            CompletableFuture.runAsync(() -> ZEV.bound().retransformClasses0(ALL)).join();
            return rewrites.transform(klass, bytes);
        }).retransformClasses0(new Class<?>[] {Beta.class});
        journal(hooked(Beta.class), REFUSED, REFUSED, SUCCESS);
        restored();
    }

    /**
     * Another tool's retransformations and redefinitions reach the callback
     * for listed classes only; a hook that finds no recorder object leaves
     * the class alone. A throwing callback fails the whole retransformation,
     * leaving the list held with the hook disabled until the release.
     */
    static void otherAgent() throws Exception {
        Rewrites rewrites = new Rewrites();
        bind(rewrites).retransformClasses0(new Class<?>[] {Alpha.class});
        agent.retransformClasses(Beta.class);
        agent.redefineClasses(new ClassDefinition(Gamma.class, classFile(Gamma.class)));
        agent.retransformClasses(Alpha.class);
        agent.redefineClasses(new ClassDefinition(Alpha.class, classFile(Alpha.class)));
        journal(hooked(Alpha.class), SUCCESS, hooked(Alpha.class), hooked(Alpha.class));
        eq(List.of(Alpha.class, Alpha.class, Alpha.class), rewrites.calls);
        eq(List.of(SAME_LENGTH, "before", "before"), sayings());

        Vm.script("start_recorder", 0);
        check(!ZEV.startHalcyra(), "a failed start drops the recorder object");
        Vm.clearJournal();
        agent.retransformClasses(Alpha.class);
        journal(noRecorder(Alpha.class));
        eq(ORIGINAL, sayings());
        released(Vm.release());

        VMZEV thrower = bind((klass, bytes) -> {
            throw new IllegalStateException("the transformer refuses " + klass);
        });
        thrown(Exception.class, "VMZEV_retransform",
               () -> thrower.retransformClasses0(new Class<?>[] {Alpha.class, Beta.class}));
        thrower.retransformClasses0(new Class<?>[] {Beta.class});
        agent.retransformClasses(Alpha.class, Beta.class);
        journal(hooked(Alpha.class), "log(1, \"retransformCallback threw an exception\")",
                "log(1, \"RetransformClasses returned 62\")", REFUSED);
        released(Vm.release());
        bind(rewrites).retransformClasses0(new Class<?>[] {Beta.class});
        eq(List.of("before", LONGER, "before"), sayings());
        restored();
    }

    /**
     * A release from inside the callback for Beta, during retransformClasses0
     * ("ours") or another agent's retransformation of Alpha and Beta
     * ("agent"), made on the callback's own thread ("same") or on a VM thread
     * that the callback waits for ("other"). It never waits, and Beta's bytes
     * are dropped. During retransformClasses0 it answers 0: the restore runs
     * once retransformClasses0's retransformation is done. During another
     * agent's it answers 113 and the list stays held: a restore inside that
     * redefinition would nest in it (HotSpot then frees what the outer one
     * still uses), so the next release restores.
     */
    static void releaseInCallback(String[] how) throws Exception {
        boolean ours = how[0].equals("ours");
        Vm.onCurrentThread(how[1].equals("same"));
        Rewrites rewrites = new Rewrites();
        if (!ours) {
            bind(rewrites).retransformClasses0(ALL);
            eq(REWRITTEN, sayings());
        }
        List<Answer> answers = new ArrayList<>();
        ClassTransformer releasing = (klass, bytes) -> {
            byte[] rewritten = rewrites.transform(klass, bytes);
            if (klass == Beta.class) {
                answers.add(Vm.release());
            }
            return rewritten;
        };
        if (ours) {
            bind(releasing).retransformClasses0(ALL);
            journal(hooked(Alpha.class), hooked(Beta.class), dropped(Beta.class),
                    noRecorder(Gamma.class), SUCCESS);
        } else {
            ZEV.bound().setTransformer(releasing);
            Vm.clearJournal();
            agent.retransformClasses(Alpha.class, Beta.class);
            journal(hooked(Alpha.class), hooked(Beta.class),
                    "log(1, \"releaseBindings: another agent is retransforming a listed class; "
                            + "the retransformed classes stay listed\")",
                    dropped(Beta.class));
        }
        eq(List.of(ours ? 0 : 113), answers.stream().map(a -> a.code).toList());
        eq(ours ? ORIGINAL : List.of(SAME_LENGTH, "before", "before"), sayings());
        restored();  // ours: nothing left to restore

        bind(rewrites).retransformClasses0(new Class<?>[] {Beta.class});  // no list was left held
        journal(hooked(Beta.class), SUCCESS);
        restored();
    }

    /**
     * Entered with an exception pending. Another agent's hook leaves one, and
     * HotSpot calls the library's hook with it: no JNI call but
     * ExceptionCheck, a level-1 line, and the class keeps its bytes. A release
     * entered with one while a list is held lets go of the binding (a new
     * init binds) but restores nothing, and says so: 113 and a level-1 line.
     * The next release restores.
     */
    static void pendingOnEntry() {
        bind(new Rewrites()).retransformClasses0(ALL);
        Vm.clearJournal();
        check(retransformThrowing(Alpha.class) != 0, "the other agent's retransformation fails");
        journal(hookError("an exception is pending; " + name(Alpha.class) + " keeps its bytes"));
        eq(REWRITTEN, sayings());

        Vm.exceptionPendingOnEntry(true);
        Answer answer = Vm.release();
        Vm.exceptionPendingOnEntry(false);
        eq(List.of(113, UpcallTests.PENDING), List.of(answer.code, answer.pending));
        journal("log(1, \"releaseBindings: called with an exception pending; "
                + "the retransformed classes stay listed\")");
        eq(REWRITTEN, sayings());
        bind(null).retransformClasses0(new Class<?>[] {Gamma.class});  // "invariant" if still bound
        journal(REFUSED);
        eq(REWRITTEN, sayings());
        restored();
    }
}
