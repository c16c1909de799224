package zevtests;

import java.io.ByteArrayOutputStream;
import java.io.DataInputStream;
import java.io.DataOutputStream;
import java.io.IOException;
import java.io.InputStream;
import java.io.UncheckedIOException;

/**
 * Class-file surgery for the retransformation tests: replaces a CONSTANT_Utf8
 * entry of the constant pool, rewriting its length, so that a string constant
 * changes while the class keeps its shape (what retransformation allows).
 */
final class RetransformBytes {
    private RetransformBytes() {
    }

    /** The class file of a class on our class path. */
    static byte[] classFile(Class<?> klass) {
        String resource = "/" + klass.getName().replace('.', '/') + ".class";
        try (InputStream in = klass.getResourceAsStream(resource)) {
            return in.readAllBytes();
        } catch (IOException e) {
            throw new UncheckedIOException(e);
        }
    }

    /**
     * The class file with every CONSTANT_Utf8 entry equal to {@code from}
     * replaced by {@code to}; fails when there is none.
     */
    static byte[] replaceUtf8(byte[] classFile, String from, String to) {
        try {
            DataInputStream in = new DataInputStream(new java.io.ByteArrayInputStream(classFile));
            ByteArrayOutputStream bytes = new ByteArrayOutputStream(classFile.length + to.length());
            DataOutputStream out = new DataOutputStream(bytes);
            out.writeInt(in.readInt());     // magic
            out.writeInt(in.readInt());     // minor, major
            int count = in.readUnsignedShort();
            out.writeShort(count);
            int replaced = 0;
            for (int i = 1; i < count; i++) {
                int tag = in.readUnsignedByte();
                out.writeByte(tag);
                switch (tag) {
                    case 1: {
                        String value = in.readUTF();
                        if (value.equals(from)) {
                            value = to;
                            replaced++;
                        }
                        out.writeUTF(value);
                        break;
                    }
                    case 7: case 8: case 16: case 19: case 20:
                        copy(in, out, 2);
                        break;
                    case 15:
                        copy(in, out, 3);
                        break;
                    case 3: case 4: case 9: case 10: case 11: case 12: case 17: case 18:
                        copy(in, out, 4);
                        break;
                    case 5: case 6:
                        copy(in, out, 8);
                        i++;  // takes two entries
                        break;
                    default:
                        throw new IllegalArgumentException("constant pool tag " + tag);
                }
            }
            if (replaced == 0) {
                throw new IllegalArgumentException("no constant \"" + from + "\"");
            }
            in.transferTo(out);
            return bytes.toByteArray();
        } catch (IOException e) {
            throw new UncheckedIOException(e);
        }
    }

    private static void copy(DataInputStream in, DataOutputStream out, int n) throws IOException {
        byte[] buffer = new byte[n];
        in.readFully(buffer);
        out.write(buffer);
    }

    /** Whether the class file holds the string as a CONSTANT_Utf8 entry. */
    static boolean holdsUtf8(byte[] classFile, String value) {
        try {
            replaceUtf8(classFile, value, value);
            return true;
        } catch (IllegalArgumentException e) {
            return false;
        }
    }
}
