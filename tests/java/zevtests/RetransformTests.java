package zevtests;

import static zevtests.Cases.check;
import static zevtests.Cases.eq;
import static zevtests.Cases.expectThrows;
import static zevtests.Cases.journal;

import java.lang.instrument.ClassDefinition;
import java.lang.instrument.Instrumentation;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.List;
import java.util.Map;
import java.util.concurrent.ConcurrentHashMap;
import java.util.concurrent.CopyOnWriteArrayList;
import java.util.concurrent.atomic.AtomicBoolean;
import java.util.concurrent.atomic.AtomicLong;

import tesmar.nuvrak.zev.ClassTransformer;
import tesmar.nuvrak.zev.VMZEV;
import tesmar.nuvrak.zev.ZEV;
import zevhost.Answer;
import zevhost.Vm;
import zevtests.subjects.Alpha;
import zevtests.subjects.Beta;
import zevtests.subjects.Delta;
import zevtests.subjects.Fresh;
import zevtests.subjects.Gamma;

/**
 * Class retransformation with the JVM's own JVMTI and real class files: the
 * subjects' say() answers "before" until a transformer rewrites that string
 * constant, so each class shows which bytes the JVM runs.
 */
public final class RetransformTests {
    public static void main(String[] args) throws Throwable {
        Cases.run(RetransformTests.class, args);
    }

    static final String SAME_LENGTH = "after!";
    static final String LONGER = "after a much longer rewrite";

    static final String SUCCESS = "log(5, \"RetransformClasses successful\")";
    static final String REFUSED = "log(1, \"retransform_classes != NULL: "
            + "Java_tesmar_nuvrak_zev_VMZEV_retransformClasses0 can only be called once\")";

    static String hooked(Class<?> klass) {
        return "log(5, \"classFileLoadHook called for " + klass.getName().replace('.', '/') + "\")";
    }

    /** Rewrites "before" per class as told; answers null for classes it has no rewrite for. */
    static final class Rewrites implements ClassTransformer {
        final Map<Class<?>, String> to = new ConcurrentHashMap<>();
        final List<Class<?>> calls = new CopyOnWriteArrayList<>();
        final List<byte[]> handed = new CopyOnWriteArrayList<>();

        Rewrites with(Class<?> klass, String value) {
            to.put(klass, value);
            return this;
        }

        @Override
        public byte[] transform(Class<?> klass, byte[] classBytes) {
            calls.add(klass);
            handed.add(classBytes);
            String value = to.get(klass);
            return value == null ? null : RetransformBytes.replaceUtf8(classBytes, "before", value);
        }
    }

    /** A freshly bound recorder with the transformer, and a cleared journal. */
    static VMZEV bind(ClassTransformer transformer) {
        ZEV.forget();
        VMZEV recorder = (VMZEV) ZEV.get();
        check(recorder != null, "ZEV.get() bound a recorder");
        recorder.setTransformer(transformer);
        Vm.clearJournal();
        return recorder;
    }

    static void release() {
        Answer answer = Vm.release();
        eq(0, answer.code);
        eq(null, answer.pending);
    }

    static List<String> sayings(Class<?>... classes) {
        List<String> result = new ArrayList<>();
        for (Class<?> klass : classes) {
            result.add(say(klass));
        }
        return result;
    }

    static String say(Class<?> klass) {
        if (klass == Alpha.class) {
            return Alpha.say();
        } else if (klass == Beta.class) {
            return Beta.say();
        } else if (klass == Gamma.class) {
            return Gamma.say();
        } else if (klass == Delta.class) {
            return Delta.say();
        }
        throw new IllegalArgumentException(klass.getName());
    }

    // ---- cases -------------------------------------------------------------

    /**
     * Same-length and longer rewrites take effect, a null answer leaves its
     * class alone, classes loaded for the first time never reach the
     * callback, and the release brings the original bytes back; a new list
     * works afterwards.
     */
    static void rewritesListedClassesUntilRelease() {
        eq(Arrays.asList("before", "before", "before"), sayings(Alpha.class, Beta.class, Gamma.class));
        Rewrites rewrites = new Rewrites().with(Alpha.class, SAME_LENGTH).with(Beta.class, LONGER)
                .with(Delta.class, LONGER);
        VMZEV recorder = bind(rewrites);

        recorder.retransformClasses0(new Class<?>[] {Alpha.class, Beta.class, Gamma.class});
        journal(hooked(Alpha.class), hooked(Beta.class), hooked(Gamma.class), SUCCESS);
        eq(Arrays.asList(Alpha.class, Beta.class, Gamma.class), rewrites.calls);
        for (byte[] bytes : rewrites.handed) {
            check(RetransformBytes.holdsUtf8(bytes, "before"), "the callback got the class file");
        }
        eq(Arrays.asList(SAME_LENGTH, LONGER, "before"), sayings(Alpha.class, Beta.class, Gamma.class));

        // Delta is loaded for the first time now, with the hook enabled.
        eq("before", Delta.say());
        eq(3, rewrites.calls.size());
        journal();

        release();
        journal();
        eq(Arrays.asList("before", "before", "before"), sayings(Alpha.class, Beta.class, Gamma.class));
        eq(3, rewrites.calls.size());

        Rewrites again = new Rewrites().with(Gamma.class, LONGER);
        bind(again).retransformClasses0(new Class<?>[] {Gamma.class});
        journal(hooked(Gamma.class), SUCCESS);
        eq(Arrays.asList(LONGER, "before"), sayings(Gamma.class, Alpha.class));
        release();
        eq("before", Gamma.say());
    }

    /** One list at a time: a second call is refused quietly until the release. */
    static void aSecondListIsRefusedUntilRelease() {
        Rewrites rewrites = new Rewrites().with(Alpha.class, SAME_LENGTH).with(Beta.class, LONGER);
        VMZEV recorder = bind(rewrites);
        recorder.retransformClasses0(new Class<?>[] {Alpha.class});
        journal(hooked(Alpha.class), SUCCESS);

        recorder.retransformClasses0(new Class<?>[] {Beta.class});
        journal(REFUSED);
        recorder.retransformClasses0(new Class<?>[] {Alpha.class, Beta.class});
        journal(REFUSED);
        eq(Arrays.asList(Alpha.class), rewrites.calls);
        eq(Arrays.asList(SAME_LENGTH, "before"), sayings(Alpha.class, Beta.class));

        release();
        eq(Arrays.asList("before", "before"), sayings(Alpha.class, Beta.class));
        bind(rewrites).retransformClasses0(new Class<?>[] {Beta.class});
        journal(hooked(Beta.class), SUCCESS);
        eq(Arrays.asList("before", LONGER), sayings(Alpha.class, Beta.class));
        release();
        eq("before", Beta.say());
    }

    /**
     * A transformer that asks for another list from inside the callback, on
     * its own thread or by waiting for another: refused like any second call.
     */
    static void aCallbackAskingForAnotherListIsRefused() {
        Rewrites rewrites = new Rewrites().with(Alpha.class, SAME_LENGTH).with(Beta.class, LONGER);
        VMZEV[] recorder = new VMZEV[1];
        recorder[0] = bind((klass, bytes) -> {
            if (klass == Alpha.class) {
                recorder[0].retransformClasses0(new Class<?>[] {Beta.class});
                Thread other = new Thread(() -> recorder[0].retransformClasses0(new Class<?>[] {Gamma.class}));
                other.start();
                try {
                    other.join();
                } catch (InterruptedException e) {
                    throw new IllegalStateException(e);
                }
            }
            return rewrites.transform(klass, bytes);
        });
        recorder[0].retransformClasses0(new Class<?>[] {Alpha.class});
        journal(hooked(Alpha.class), REFUSED, REFUSED, SUCCESS);
        eq(Arrays.asList(Alpha.class), rewrites.calls);
        eq(Arrays.asList(SAME_LENGTH, "before", "before"), sayings(Alpha.class, Beta.class, Gamma.class));
        release();
        eq("before", Alpha.say());
    }

    /**
     * Arrays that publish no list: empty (silent), holding a null (out of
     * memory, nothing left behind) and null itself; a good list works after
     * each of them.
     */
    static void arraysThatPublishNoList() {
        Rewrites rewrites = new Rewrites().with(Alpha.class, SAME_LENGTH).with(Beta.class, LONGER);
        VMZEV recorder = bind(rewrites);

        recorder.retransformClasses0(new Class<?>[0]);
        journal();

        expectThrows(OutOfMemoryError.class, "VMZEV_retransform",
                     () -> recorder.retransformClasses0(new Class<?>[] {Alpha.class, null, Beta.class}));
        journal("log(1, \"NewGlobalRef returned NULL\")");

        expectThrows(NullPointerException.class, "", () -> recorder.retransformClasses0(null));
        journal();
        eq(0, rewrites.calls.size());
        eq(Arrays.asList("before", "before"), sayings(Alpha.class, Beta.class));

        recorder.retransformClasses0(new Class<?>[] {Alpha.class, Beta.class});
        journal(hooked(Alpha.class), hooked(Beta.class), SUCCESS);
        eq(Arrays.asList(SAME_LENGTH, LONGER), sayings(Alpha.class, Beta.class));
        release();
        eq(Arrays.asList("before", "before"), sayings(Alpha.class, Beta.class));
    }

    /**
     * A callback that throws: the hook logs it and leaves the exception to
     * the JVM, which fails the whole retransformation (OpenJDK 17 answers
     * JVMTI_ERROR_FAILS_VERIFICATION, 62) and clears it; Java sees the
     * library's own exception. The list stays held with the hook disabled
     * until the release.
     */
    static void aThrowingCallbackFailsTheRetransformation() throws Exception {
        Instrumentation inst = RetransformAgent.instrumentation();
        Rewrites rewrites = new Rewrites().with(Alpha.class, SAME_LENGTH).with(Beta.class, LONGER);
        VMZEV recorder = bind((klass, bytes) -> {
            if (klass == Alpha.class) {
                throw new IllegalStateException("the transformer refuses Alpha");
            }
            return rewrites.transform(klass, bytes);
        });
        expectThrows(Exception.class, "VMZEV_retransform",
                () -> recorder.retransformClasses0(new Class<?>[] {Alpha.class, Beta.class}));
        journal(hooked(Alpha.class), "log(1, \"retransformCallback threw an exception\")",
                "log(1, \"RetransformClasses returned 62\")");
        eq(Arrays.asList("before", "before"), sayings(Alpha.class, Beta.class));

        // Held and disabled: refused, and another tool's retransformation passes by.
        recorder.retransformClasses0(new Class<?>[] {Beta.class});
        journal(REFUSED);
        inst.retransformClasses(Alpha.class, Beta.class);
        journal();
        eq(0, rewrites.calls.size());

        release();
        journal();
        eq(Arrays.asList("before", "before"), sayings(Alpha.class, Beta.class));
        bind(rewrites).retransformClasses0(new Class<?>[] {Alpha.class, Beta.class});
        journal(hooked(Alpha.class), hooked(Beta.class), SUCCESS);
        eq(Arrays.asList(SAME_LENGTH, LONGER), sayings(Alpha.class, Beta.class));
        release();
        eq(Arrays.asList("before", "before"), sayings(Alpha.class, Beta.class));
    }

    /**
     * Another tool's retransformations and redefinitions reach the callback
     * for listed classes only; and once the release has dropped the
     * recorder object, a listed class being retransformed keeps its own bytes.
     */
    static void otherToolsReachTheCallbackForListedClassesOnly() throws Exception {
        Instrumentation inst = RetransformAgent.instrumentation();
        Rewrites rewrites = new Rewrites().with(Alpha.class, SAME_LENGTH).with(Beta.class, LONGER)
                .with(Gamma.class, LONGER);
        VMZEV recorder = bind(rewrites);
        recorder.retransformClasses0(new Class<?>[] {Alpha.class});
        journal(hooked(Alpha.class), SUCCESS);
        RetransformAgent.seen.clear();

        inst.retransformClasses(Beta.class);
        inst.redefineClasses(new ClassDefinition(Gamma.class, RetransformBytes.classFile(Gamma.class)));
        eq(Arrays.asList("zevtests/subjects/Beta", "zevtests/subjects/Gamma"), RetransformAgent.seen);
        eq(Arrays.asList(Alpha.class), rewrites.calls);
        journal();
        eq(Arrays.asList(SAME_LENGTH, "before", "before"), sayings(Alpha.class, Beta.class, Gamma.class));

        // The listed class goes through the callback whoever retransforms it.
        inst.retransformClasses(Alpha.class);
        journal(hooked(Alpha.class));
        inst.redefineClasses(new ClassDefinition(Alpha.class, RetransformBytes.classFile(Alpha.class)));
        journal(hooked(Alpha.class));
        eq(Arrays.asList(Alpha.class, Alpha.class, Alpha.class), rewrites.calls);
        eq(SAME_LENGTH, Alpha.say());

        // A failed start drops the recorder object while the list is held.
        Vm.script("start_recorder", 0);
        check(!ZEV.startHalcyra(), "the start failed");
        Vm.clearJournal();
        inst.retransformClasses(Alpha.class);
        journal("log(1, \"classFileLoadHook: no recorder object for zevtests/subjects/Alpha\")");
        eq(3, rewrites.calls.size());
        eq("before", Alpha.say());

        release();
        journal();
        RetransformAgent.seen.clear();
        inst.retransformClasses(Alpha.class);
        eq(Arrays.asList("zevtests/subjects/Alpha"), RetransformAgent.seen);
        journal();
        eq(3, rewrites.calls.size());
        eq("before", Alpha.say());
    }

    static final byte[] FRESH = RetransformBytes.classFile(Fresh.class);

    /** Defines one fresh copy of Fresh: a first-time load through the hook. */
    static final class FreshLoader extends ClassLoader {
        FreshLoader() {
            super(null);
        }

        Class<?> define() {
            return defineClass(Fresh.class.getName(), FRESH, 0, FRESH.length);
        }
    }

    /**
     * Release against running hooks: while one thread defines fresh classes
     * and another has the agent retransform the listed ones over and over,
     * the main thread publishes lists and the VM releases them. Every hook
     * either rewrites through a live recorder or leaves the class alone; at
     * the end every class has its own bytes back.
     */
    static void releaseWhileHooksRun() throws Throwable {
        Instrumentation inst = RetransformAgent.instrumentation();
        Class<?>[] listed = {Alpha.class, Beta.class, Gamma.class};
        Rewrites rewrites = new Rewrites().with(Alpha.class, SAME_LENGTH).with(Beta.class, LONGER)
                .with(Gamma.class, LONGER);
        AtomicBoolean stop = new AtomicBoolean();
        AtomicLong defined = new AtomicLong();
        AtomicLong retransformed = new AtomicLong();
        AtomicLong withoutRecorder = new AtomicLong();
        List<Throwable> failures = new CopyOnWriteArrayList<>();

        Thread loader = new Thread(() -> {
            try {
                while (!stop.get()) {
                    check(new FreshLoader().define() != Fresh.class, "a new class");
                    defined.incrementAndGet();
                }
            } catch (Throwable t) {
                failures.add(t);
            }
        }, "fresh classes");
        Thread retransformer = new Thread(() -> {
            try {
                while (!stop.get()) {
                    inst.retransformClasses(listed);
                    retransformed.incrementAndGet();
                }
            } catch (Throwable t) {
                failures.add(t);
            }
        }, "agent retransformation");
        loader.start();
        retransformer.start();

        int cycles = 60;
        try {
            for (int i = 0; i < cycles && failures.isEmpty(); i++) {
                bind(rewrites).retransformClasses0(listed);
                Answer answer = Vm.release();
                eq(0, answer.code);
                eq(null, answer.pending);
                for (String line : Vm.takeJournal()) {
                    if (line.contains("no recorder object")) {
                        withoutRecorder.incrementAndGet();
                    }
                }
            }
        } finally {
            stop.set(true);
            loader.join();
            retransformer.join();
        }
        if (!failures.isEmpty()) {
            throw failures.get(0);
        }
        check(defined.get() > 0 && retransformed.get() > 0, "both threads ran");
        check(rewrites.calls.size() >= cycles * listed.length, "every list went through the callback");
        System.out.println("defined " + defined + ", agent retransformations " + retransformed
                           + ", callbacks " + rewrites.calls.size() + ", hooks without a recorder "
                           + withoutRecorder);
        eq(Arrays.asList("before", "before", "before"), sayings(listed));

        // Quiet again: the hook is off and no list is held.
        inst.retransformClasses(listed);
        new FreshLoader().define();
        journal();
        eq(Arrays.asList("before", "before", "before"), sayings(listed));
    }
}
