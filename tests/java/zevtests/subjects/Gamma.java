package zevtests.subjects;

/** A class that retransformation tests rewrite: say() shows which bytes are installed. */
public final class Gamma {
    private Gamma() {
    }

    public static String say() {
        return "before";
    }
}
