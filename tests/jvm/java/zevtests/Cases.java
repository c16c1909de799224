package zevtests;

import java.lang.reflect.InvocationTargetException;
import java.lang.reflect.Method;
import java.util.Arrays;
import java.util.List;
import java.util.Objects;

import zevhost.Vm;

/**
 * Runs one case of a test class: {@code Cases.run(MyTests.class, args)} calls
 * the static method named by args[0] and prints "PASS name" when it returns.
 * A failed check throws, which ends the host with a non-zero status.
 */
public final class Cases {
    private Cases() {
    }

    public static void run(Class<?> tests, String[] args) throws Throwable {
        if (args.length != 1) {
            throw new IllegalArgumentException("usage: " + tests.getName() + " caseName");
        }
        Method method = tests.getDeclaredMethod(args[0]);
        method.setAccessible(true);
        try {
            method.invoke(null);
        } catch (InvocationTargetException e) {
            throw e.getCause();
        }
        System.out.println("PASS " + args[0]);
    }

    public static void check(boolean condition, String what) {
        if (!condition) {
            throw new AssertionError(what);
        }
    }

    public static void eq(Object expected, Object actual) {
        if (!Objects.deepEquals(expected, actual)) {
            throw new AssertionError("expected <" + show(expected) + "> but was <" + show(actual) + ">");
        }
    }

    /** Expects exactly these journal lines since the last take, and clears them. */
    public static void journal(String... expected) {
        eq(Arrays.asList(expected), Arrays.asList(Vm.takeJournal()));
    }

    /** Runs the action and expects it to throw exactly the class, with the message. */
    public static Throwable expectThrows(Class<? extends Throwable> type, String message,
                                         Runnable action) {
        try {
            action.run();
        } catch (Throwable t) {
            if (t.getClass() != type) {
                throw new AssertionError("expected " + type.getName() + " but got " + t, t);
            }
            if (message != null) {
                eq(message, t.getMessage());
            }
            return t;
        }
        throw new AssertionError("expected " + type.getName() + " to be thrown");
    }

    private static String show(Object value) {
        if (value instanceof Object[]) {
            return Arrays.deepToString((Object[]) value);
        }
        if (value instanceof byte[]) {
            return Arrays.toString((byte[]) value);
        }
        if (value instanceof List) {
            StringBuilder lines = new StringBuilder();
            for (Object line : (List<?>) value) {
                lines.append("\n    ").append(line);
            }
            return lines.toString();
        }
        return String.valueOf(value);
    }
}
