package zevbench;

import java.io.ByteArrayOutputStream;
import java.io.DataOutputStream;
import java.io.IOException;
import java.nio.charset.StandardCharsets;
import java.util.ArrayList;
import java.util.List;

/**
 * Class files made on the spot, so that a benchmark can define as many new
 * classes as it likes, and the one-constant patch that both retransformation
 * benchmarks apply.
 */
final class ClassBytes {
    /** What {@code value()} of a generated class answers before the patch. */
    static final String ORIGINAL = "zevbench-constant-A";
    /** What it answers after the patch. */
    static final String PATCHED = "zevbench-constant-B";

    private static final byte[] NEEDLE = ORIGINAL.getBytes(StandardCharsets.UTF_8);

    private ClassBytes() {
    }

    /**
     * A public class with the binary name {@code name} and one method,
     * {@code public static String value()}, that answers {@link #ORIGINAL}.
     */
    static byte[] make(String name) {
        try {
            ByteArrayOutputStream bytes = new ByteArrayOutputStream(256);
            DataOutputStream out = new DataOutputStream(bytes);
            out.writeInt(0xCAFEBABE);
            out.writeShort(0);
            out.writeShort(52);
            out.writeShort(10);                 // constant pool entries 1..9
            utf8(out, name.replace('.', '/')); // 1
            out.writeByte(7);                  // 2: Class #1
            out.writeShort(1);
            utf8(out, "java/lang/Object");     // 3
            out.writeByte(7);                  // 4: Class #3
            out.writeShort(3);
            utf8(out, ORIGINAL);               // 5
            out.writeByte(8);                  // 6: String #5
            out.writeShort(5);
            utf8(out, "value");                // 7
            utf8(out, "()Ljava/lang/String;"); // 8
            utf8(out, "Code");                 // 9
            out.writeShort(0x0021);            // public super
            out.writeShort(2);
            out.writeShort(4);
            out.writeShort(0);                 // interfaces
            out.writeShort(0);                 // fields
            out.writeShort(1);                 // methods
            out.writeShort(0x0009);            // public static
            out.writeShort(7);
            out.writeShort(8);
            out.writeShort(1);
            out.writeShort(9);                 // Code
            out.writeInt(15);
            out.writeShort(1);                 // max_stack
            out.writeShort(0);                 // max_locals
            out.writeInt(3);
            out.writeByte(0x12);               // ldc #6
            out.writeByte(6);
            out.writeByte(0xb0);               // areturn
            out.writeShort(0);                 // exception table
            out.writeShort(0);                 // code attributes
            out.writeShort(0);                 // class attributes
            out.flush();
            return bytes.toByteArray();
        } catch (IOException e) {
            throw new AssertionError(e);
        }
    }

    private static void utf8(DataOutputStream out, String text) throws IOException {
        out.writeByte(1);
        out.writeUTF(text);
    }

    /**
     * A copy of the class file with {@link #ORIGINAL} turned into
     * {@link #PATCHED}; null when the constant isn't there.
     */
    static byte[] patch(byte[] classFile) {
        int last = classFile.length - NEEDLE.length;
        outer:
        for (int i = 0; i <= last; i++) {
            for (int j = 0; j < NEEDLE.length; j++) {
                if (classFile[i + j] != NEEDLE[j]) {
                    continue outer;
                }
            }
            byte[] copy = classFile.clone();
            copy[i + NEEDLE.length - 1] = 'B';
            return copy;
        }
        return null;
    }

    /** Defines classes in a loader of their own. */
    static final class Loader extends ClassLoader {
        Loader() {
            super(ClassBytes.class.getClassLoader());
        }

        Class<?> define(String name, byte[] classFile) {
            return defineClass(name, classFile, 0, classFile.length);
        }
    }

    private static int nextBatch;

    /** The class files of {@code count} classes with names never used before. */
    static List<Object[]> batch(int count) {
        int id = nextBatch++;
        List<Object[]> classes = new ArrayList<>(count);
        for (int i = 0; i < count; i++) {
            String name = "zevbench.gen.B" + id + "C" + i;
            classes.add(new Object[] {name, make(name)});
        }
        return classes;
    }

    /** Defines a batch in a new loader; answers the classes. */
    static Class<?>[] define(List<Object[]> batch) {
        Loader loader = new Loader();
        Class<?>[] classes = new Class<?>[batch.size()];
        for (int i = 0; i < classes.length; i++) {
            Object[] entry = batch.get(i);
            classes[i] = loader.define((String) entry[0], (byte[]) entry[1]);
        }
        return classes;
    }

    /** What a generated class's {@code value()} answers. */
    static String value(Class<?> klass) {
        try {
            return (String) klass.getMethod("value").invoke(null);
        } catch (ReflectiveOperationException e) {
            throw new AssertionError(e);
        }
    }
}
