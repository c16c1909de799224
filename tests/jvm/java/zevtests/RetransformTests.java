package zevtests;

import static java.nio.charset.StandardCharsets.ISO_8859_1;
import static zevtests.Cases.check;
import static zevtests.Cases.eq;
import static zevtests.Cases.expectThrows;
import static zevtests.Cases.journal;

import java.io.IOException;
import java.io.InputStream;
import java.lang.instrument.ClassDefinition;
import java.lang.instrument.Instrumentation;
import java.util.ArrayList;
import java.util.List;
import java.util.concurrent.CompletableFuture;
import java.util.concurrent.CopyOnWriteArrayList;

import tesmar.nuvrak.zev.ClassTransformer;
import tesmar.nuvrak.zev.VMZEV;
import tesmar.nuvrak.zev.ZEV;
import zevhost.Answer;
import zevhost.Vm;

/**
 * Class retransformation with the JVM's own JVMTI and real class files: the
 * subjects' say() answers "before" until a transformer rewrites that string
 * constant, so each class shows which bytes the JVM runs.
 */
public final class RetransformTests {
    public static void main(String[] args) throws Throwable {
        Cases.run(RetransformTests.class, args);
    }

    public static final class Alpha { public static String say() { return "before"; } }
    public static final class Beta { public static String say() { return "before"; } }
    public static final class Gamma { public static String say() { return "before"; } }

    static final Class<?>[] ALL = {Alpha.class, Beta.class, Gamma.class};
    static final List<String> ORIGINAL = List.of("before", "before", "before");
    static final String SAME_LENGTH = "after!";
    static final String LONGER = "after a much longer rewrite";
    static final String SUCCESS = "log(5, \"RetransformClasses successful\")";
    static final String REFUSED = "log(1, \"retransform_classes != NULL: "
            + "Java_tesmar_nuvrak_zev_VMZEV_retransformClasses0 can only be called once\")";

    static String internalName(Class<?> klass) {
        return klass.getName().replace('.', '/');
    }

    static String hooked(Class<?> klass) {
        return "log(5, \"classFileLoadHook called for " + internalName(klass) + "\")";
    }

    /** Rewrites Alpha to the same length and Beta longer; answers null for the rest. */
    static final class Rewrites implements ClassTransformer {
        final List<Class<?>> calls = new CopyOnWriteArrayList<>();

        @Override
        public byte[] transform(Class<?> klass, byte[] classFile) {
            calls.add(klass);
            String to = klass == Alpha.class ? SAME_LENGTH : klass == Beta.class ? LONGER : null;
            if (to == null) {
                return null;
            }
            // The constant's CONSTANT_Utf8 entry: tag 1, two length bytes, the text.
            String bytes = new String(classFile, ISO_8859_1);
            check(bytes.contains("\1\0\6before"), "the callback got the class file");
            String entry = "\1\0" + (char) to.length() + to;
            return bytes.replace("\1\0\6before", entry).getBytes(ISO_8859_1);
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

    static void release() {
        Answer answer = Vm.release();
        eq(0, answer.code);
        eq(null, answer.pending);
    }

    static List<String> sayings(Class<?>... classes) throws ReflectiveOperationException {
        List<String> result = new ArrayList<>();
        for (Class<?> klass : classes) {
            result.add((String) klass.getMethod("say").invoke(null));
        }
        return result;
    }

    static byte[] classFile(Class<?> klass) throws IOException {
        try (InputStream in = klass.getResourceAsStream("/" + internalName(klass) + ".class")) {
            return in.readAllBytes();
        }
    }

    /** A first-time load: the class file defined once more, by a loader of its own. */
    static void loadFreshCopy(Class<?> klass) throws IOException {
        byte[] bytes = classFile(klass);
        new ClassLoader(null) {
            Class<?> define() {
                return defineClass(klass.getName(), bytes, 0, bytes.length);
            }
        }.define();
    }

    static Instrumentation agent() {
        check(RetransformAgent.instrumentation != null, "the JVM runs with the agent");
        return RetransformAgent.instrumentation;
    }

    // ---- cases -------------------------------------------------------------

    /**
     * Arrays that publish no list; then a list rewritten by the callback
     * (same length, longer, null answer) and held, refusing a second one, while
     * first-time loads pass by; the release restores it; and a callback that
     * asks for another list, on its own thread or by waiting for another, is
     * refused like any second call.
     */
    static void aListRewritesItsClassesUntilTheRelease() throws Exception {
        Rewrites rewrites = new Rewrites();
        VMZEV recorder = bind(rewrites);
        recorder.retransformClasses0(new Class<?>[0]);
        journal();
        expectThrows(OutOfMemoryError.class, "VMZEV_retransform",
                     () -> recorder.retransformClasses0(new Class<?>[] {Alpha.class, null}));
        journal("log(1, \"NewGlobalRef returned NULL\")");
        expectThrows(NullPointerException.class, "", () -> recorder.retransformClasses0(null));
        journal();

        recorder.retransformClasses0(ALL);
        journal(hooked(Alpha.class), hooked(Beta.class), hooked(Gamma.class), SUCCESS);
        eq(List.of(SAME_LENGTH, LONGER, "before"), sayings(ALL));
        recorder.retransformClasses0(new Class<?>[] {Gamma.class});
        journal(REFUSED);
        loadFreshCopy(Alpha.class);
        journal();
        eq(List.of(ALL), rewrites.calls);
        release();
        journal();
        eq(ORIGINAL, sayings(ALL));

        VMZEV[] again = new VMZEV[1];
        again[0] = bind((klass, bytes) -> {
            again[0].retransformClasses0(new Class<?>[] {Alpha.class});
            Class<?>[] gamma = {Gamma.class};
            CompletableFuture.runAsync(() -> again[0].retransformClasses0(gamma)).join();
            return rewrites.transform(klass, bytes);
        });
        again[0].retransformClasses0(new Class<?>[] {Beta.class});
        journal(hooked(Beta.class), REFUSED, REFUSED, SUCCESS);
        eq(List.of("before", LONGER, "before"), sayings(ALL));
        release();
        eq(ORIGINAL, sayings(ALL));
    }

    /**
     * A release from inside the callback, on the retransforming thread itself
     * or on a thread that the callback waits for, answers at once and leaves
     * the restore to the retransforming thread: the classes after the release
     * find no recorder, and when retransformClasses0 returns every class has
     * its own bytes again and no list is held.
     */
    static void aReleaseFromTheCallbackNeverWaitsForIt() throws Exception {
        for (boolean sameThread : new boolean[] {true, false}) {
            Rewrites rewrites = new Rewrites();
            List<Answer> answers = new CopyOnWriteArrayList<>();
            VMZEV recorder = bind((klass, bytes) -> {
                byte[] rewritten = rewrites.transform(klass, bytes);
                if (sameThread) {
                    Vm.onCurrentThread(true);
                    answers.add(Vm.release());
                    Vm.onCurrentThread(false);
                } else {
                    answers.add(CompletableFuture.supplyAsync(Vm::release).join());
                }
                return rewritten;
            });
            recorder.retransformClasses0(ALL);
            eq(1, answers.size());
            eq(0, answers.get(0).code);
            eq(null, answers.get(0).pending);
            journal(hooked(Alpha.class), noRecorder(Beta.class), noRecorder(Gamma.class), SUCCESS);
            eq(ORIGINAL, sayings(ALL));

            bind(rewrites).retransformClasses0(new Class<?>[] {Beta.class});
            journal(hooked(Beta.class), SUCCESS);
            eq(List.of("before", LONGER, "before"), sayings(ALL));
            release();
            eq(ORIGINAL, sayings(ALL));
        }
    }

    static String noRecorder(Class<?> klass) {
        return "log(1, \"classFileLoadHook: no recorder object for " + internalName(klass) + "\")";
    }

    /**
     * Another tool's retransformations and redefinitions reach the callback
     * for listed classes only; a hook finding no recorder object leaves the
     * class alone; and a throwing callback fails the whole retransformation
     * (OpenJDK 17 answers 62), leaving the list held with the hook disabled
     * until the release.
     */
    static void otherToolsAndFailingHooks() throws Exception {
        Instrumentation inst = agent();
        Rewrites rewrites = new Rewrites();
        bind(rewrites).retransformClasses0(new Class<?>[] {Alpha.class});
        journal(hooked(Alpha.class), SUCCESS);
        inst.retransformClasses(Beta.class);
        inst.redefineClasses(new ClassDefinition(Gamma.class, classFile(Gamma.class)));
        journal();
        inst.retransformClasses(Alpha.class);
        inst.redefineClasses(new ClassDefinition(Alpha.class, classFile(Alpha.class)));
        journal(hooked(Alpha.class), hooked(Alpha.class));
        eq(List.of(Alpha.class, Alpha.class, Alpha.class), rewrites.calls);
        eq(List.of(SAME_LENGTH, "before", "before"), sayings(ALL));

        Vm.script("start_recorder", 0);
        check(!ZEV.startHalcyra(), "a failed start drops the recorder object");
        Vm.clearJournal();
        inst.retransformClasses(Alpha.class);
        journal(noRecorder(Alpha.class));
        eq(3, rewrites.calls.size());
        eq("before", Alpha.say());
        release();
        journal();

        VMZEV thrower = bind((klass, bytes) -> {
            throw new IllegalStateException("the transformer refuses " + klass);
        });
        expectThrows(Exception.class, "VMZEV_retransform",
                     () -> thrower.retransformClasses0(new Class<?>[] {Alpha.class, Beta.class}));
        journal(hooked(Alpha.class), "log(1, \"retransformCallback threw an exception\")",
                "log(1, \"RetransformClasses returned 62\")");
        thrower.retransformClasses0(new Class<?>[] {Beta.class});
        journal(REFUSED);
        inst.retransformClasses(Alpha.class, Beta.class);
        journal();
        release();
        journal();
        eq(ORIGINAL, sayings(ALL));
        bind(rewrites).retransformClasses0(new Class<?>[] {Beta.class});
        journal(hooked(Beta.class), SUCCESS);
        release();
    }
}
