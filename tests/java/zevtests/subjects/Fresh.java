package zevtests.subjects;

/** A class that retransformation tests rewrite: say() shows which bytes are installed. */
public final class Fresh {
    private Fresh() {
    }

    public static String say() {
        return "before";
    }
}
