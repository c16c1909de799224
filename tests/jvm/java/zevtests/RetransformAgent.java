package zevtests;

import java.io.FileOutputStream;
import java.io.IOException;
import java.lang.instrument.Instrumentation;
import java.util.jar.Attributes;
import java.util.jar.JarOutputStream;
import java.util.jar.Manifest;

/**
 * A java.lang.instrument agent: a second tool environment in the JVM that
 * retransforms and redefines classes on its own, as another instrumenting
 * tool would. Run as a program, it writes the agent jar: only a manifest
 * naming this class, which the class path supplies.
 */
public final class RetransformAgent {
    static volatile Instrumentation instrumentation;

    private RetransformAgent() {
    }

    public static void premain(String args, Instrumentation inst) {
        instrumentation = inst;
    }

    public static void main(String[] args) throws IOException {
        Manifest manifest = new Manifest();
        Attributes main = manifest.getMainAttributes();
        main.put(Attributes.Name.MANIFEST_VERSION, "1.0");
        main.put(new Attributes.Name("Premain-Class"), RetransformAgent.class.getName());
        main.put(new Attributes.Name("Can-Retransform-Classes"), "true");
        main.put(new Attributes.Name("Can-Redefine-Classes"), "true");
        new JarOutputStream(new FileOutputStream(args[0]), manifest).close();
    }
}
