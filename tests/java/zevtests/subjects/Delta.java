package zevtests.subjects;

/** A class that retransformation tests rewrite: say() shows which bytes are installed. */
public final class Delta {
    private Delta() {
    }

    public static String say() {
        return "before";
    }
}
