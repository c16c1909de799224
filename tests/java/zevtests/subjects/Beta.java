package zevtests.subjects;

/** A class that retransformation tests rewrite: say() shows which bytes are installed. */
public final class Beta {
    private Beta() {
    }

    public static String say() {
        return "before";
    }
}
