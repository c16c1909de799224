package zevtests;

import java.io.FileOutputStream;
import java.io.IOException;
import java.lang.instrument.ClassFileTransformer;
import java.lang.instrument.Instrumentation;
import java.security.ProtectionDomain;
import java.util.List;
import java.util.concurrent.CopyOnWriteArrayList;
import java.util.jar.Attributes;
import java.util.jar.JarOutputStream;
import java.util.jar.Manifest;

/**
 * A java.lang.instrument agent: a second tool environment in the JVM that
 * retransforms and redefines classes on its own, as another instrumenting
 * tool would. Its transformer only watches. Run as a program, it writes the
 * agent jar (a manifest naming this class, which the class path supplies).
 */
public final class RetransformAgent {
    private static volatile Instrumentation instrumentation;

    /** Names of the classes the agent's transformer saw being retransformed or redefined. */
    static final List<String> seen = new CopyOnWriteArrayList<>();

    private RetransformAgent() {
    }

    public static void premain(String args, Instrumentation inst) {
        inst.addTransformer(new ClassFileTransformer() {
            @Override
            public byte[] transform(ClassLoader loader, String name, Class<?> redefined,
                                    ProtectionDomain domain, byte[] bytes) {
                if (redefined != null) {
                    seen.add(name);
                }
                return null;
            }
        }, true);
        instrumentation = inst;
    }

    /** The agent's instrumentation; fails when the JVM runs without the agent. */
    static Instrumentation instrumentation() {
        Cases.check(instrumentation != null, "the JVM runs without -javaagent");
        return instrumentation;
    }

    public static void main(String[] args) throws IOException {
        Manifest manifest = new Manifest();
        Attributes main = manifest.getMainAttributes();
        main.put(Attributes.Name.MANIFEST_VERSION, "1.0");
        main.put(new Attributes.Name("Premain-Class"), RetransformAgent.class.getName());
        main.put(new Attributes.Name("Can-Retransform-Classes"), "true");
        main.put(new Attributes.Name("Can-Redefine-Classes"), "true");
        // The manifest is the whole jar.
        new JarOutputStream(new FileOutputStream(args[0]), manifest).close();
    }
}
