package zevtests;

import java.lang.reflect.InvocationTargetException;
import java.lang.reflect.Method;
import java.lang.reflect.Proxy;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.List;
import java.util.Map;
import java.util.Objects;
import java.util.stream.Collectors;

import tesmar.nuvrak.zev.RecordingHandler;
import tesmar.nuvrak.zev.VMZEV;
import tesmar.nuvrak.zev.ZEV;
import zevhost.Answer;
import zevhost.Vm;

/**
 * What the groups share: running one case (zevtests.Cases Group name
 * arguments...: the static method of zevtests.GroupTests, handed the
 * arguments if it takes any; "PASS name" when it returns, an AssertionError
 * that ends the host otherwise), the checks, and a recorder whose handler
 * writes down every call. Each group extends it for the names.
 */
public class Cases {
    interface Action {
        void run() throws Throwable;
    }

    public static void main(String[] args) throws Throwable {
        for (Method m : Class.forName("zevtests." + args[0] + "Tests").getDeclaredMethods()) {
            if (m.getName().equals(args[1])) {
                String[] rest = Arrays.copyOfRange(args, 2, args.length);
                invoke(m, null, m.getParameterCount() == 0 ? new Object[0] : new Object[] {rest});
                System.out.println("PASS " + args[1]);
                return;
            }
        }
        throw new IllegalArgumentException("no case " + args[1] + " in " + args[0] + "Tests");
    }

    /** Calls the method, throwing what it throws. */
    static void invoke(Method m, Object receiver, Object[] args) throws Throwable {
        try {
            m.invoke(receiver, args);
        } catch (InvocationTargetException e) {
            throw e.getCause();
        }
    }

    static void check(boolean condition, String what) {
        if (!condition) {
            throw new AssertionError(what);
        }
    }

    static void eq(Object expected, Object actual) {
        check(Objects.deepEquals(expected, actual), "expected " + Arrays.deepToString(
              new Object[] {expected}) + " but was " + Arrays.deepToString(new Object[] {actual}));
    }

    /** Expects exactly these journal lines since the last take, and clears them. */
    static void journal(String... expected) {
        eq(Arrays.asList(expected), Arrays.asList(Vm.takeJournal()));
    }

    /** Expects the action to throw exactly the type, with the message unless it is null. */
    static Throwable thrown(Class<? extends Throwable> type, String message, Action action) {
        try {
            action.run();
        } catch (Throwable t) {
            check(t.getClass() == type, "expected " + type.getName() + " but got " + t);
            check(message == null || message.equals(t.getMessage()),
                  "expected message <" + message + "> but was <" + t.getMessage() + ">");
            return t;
        }
        throw new AssertionError("expected " + type.getName());
    }

    /** The library's NullPointerException: an empty message. */
    static void npe(Action action) {
        thrown(NullPointerException.class, "", action);
    }

    static String quoted(Object value) {
        if (value instanceof String[]) {
            return "String[]" + Arrays.stream((String[]) value).map(Cases::quoted)
                .collect(Collectors.joining(", ", "[", "]"));
        }
        return value instanceof String ? "\"" + value + "\"" : String.valueOf(value);
    }

    static final String STARTED = "started \u00e9t\u00e9 \u20ac";
    private static final Map<String, String> ANSWERS = Map.of("startRecording", STARTED,
        "stopRecording", "stopped", "checkRecording", "checked", "dumpRecording", "dumped");

    /**
     * The Java side of a recorder, installed as ZEV.get(): it counts its
     * calls and binds one VMZEV (again once forgotten), whose handler notes
     * each call as "method(args)" and answers, or throws while throwing.
     */
    static final class Recorder implements ZEV.Bootstrap {
        private final List<String> calls = new ArrayList<>();
        volatile boolean throwing;
        int gets;
        VMZEV bound;
        final RecordingHandler handler = (RecordingHandler) Proxy.newProxyInstance(
            Cases.class.getClassLoader(), new Class<?>[] {RecordingHandler.class}, (p, m, a) -> {
                String shown = a == null ? ""
                    : Arrays.stream(a).map(Cases::quoted).collect(Collectors.joining(", "));
                synchronized (this) {
                    calls.add(m.getName() + "(" + shown + ")");
                }
                if (throwing) {
                    throw new IllegalStateException(m.getName() + " refused");
                }
                return ANSWERS.get(m.getName());
            });

        Recorder() {
            ZEV.setBootstrap(this);
        }

        @Override
        public synchronized ZEV get() {
            gets++;
            return bound != null ? bound : bind();
        }

        /** A new recorder object with the handler, bound through VMZEV.init (null if refused). */
        synchronized VMZEV bind() {
            VMZEV recorder = new VMZEV();
            recorder.setHandler(handler);
            bound = recorder.bind() != null ? recorder : null;
            return bound;
        }

        /** Binds a new recorder object now, and clears the journal. */
        VMZEV bound() {
            check(bind() != null, "bound");
            Vm.clearJournal();
            return bound;
        }

        /** The calls since the last take. */
        synchronized List<String> take() {
            List<String> taken = new ArrayList<>(calls);
            calls.clear();
            return taken;
        }
    }

    /** Expects a release that answered 0 with nothing pending. */
    static void released(Answer answer) {
        eq(List.of(0, "null"), List.of(answer.code, String.valueOf(answer.pending)));
    }

    /** Expects a VM request to reach this recorder object: the one the library holds. */
    static void reaches(VMZEV recorder) {
        Recorder probe = new Recorder();
        probe.bound = recorder;
        recorder.setHandler(probe.handler);
        eq("checked", Vm.checkRecording("reach", 1, false).value);
        eq(List.of("checkRecording(\"reach\", 1, false)"), probe.take());
        Vm.clearJournal();
    }
}
