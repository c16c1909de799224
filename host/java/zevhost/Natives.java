package zevhost;

import java.io.File;
import java.io.IOException;
import java.lang.reflect.Method;
import java.lang.reflect.Modifier;
import java.net.URISyntaxException;
import java.net.URL;
import java.security.CodeSource;
import java.util.ArrayList;
import java.util.Enumeration;
import java.util.List;
import java.util.TreeSet;
import java.util.jar.JarEntry;
import java.util.jar.JarFile;

/**
 * What the host binds to libzev: every native method that a class of the
 * recorder's package declares, with its JNI descriptor and symbol names.
 * Called by the host at start-up, before any recorder class is initialised.
 */
final class Natives {
    private static final String PACKAGE = "tesmar.nuvrak.zev";

    private Natives() {
    }

    /**
     * Five strings per native: the class's internal name, the method name, its
     * descriptor, the short JNI symbol and the long (overloaded) JNI symbol.
     */
    static String[] recorderNatives() throws IOException, ClassNotFoundException,
                                             URISyntaxException {
        List<String> out = new ArrayList<>();
        ClassLoader loader = Natives.class.getClassLoader();
        for (String name : recorderClassNames()) {
            Class<?> klass = Class.forName(name, false, loader);
            for (Method m : klass.getDeclaredMethods()) {
                if (!Modifier.isNative(m.getModifiers())) {
                    continue;
                }
                String internal = name.replace('.', '/');
                String descriptor = descriptor(m);
                String shortName = "Java_" + mangle(internal) + "_" + mangle(m.getName());
                String args = descriptor.substring(1, descriptor.indexOf(')'));
                out.add(internal);
                out.add(m.getName());
                out.add(descriptor);
                out.add(shortName);
                out.add(shortName + "__" + mangle(args));
            }
        }
        return out.toArray(new String[0]);
    }

    /** The classes of the recorder's package, from wherever ZEV was loaded. */
    private static TreeSet<String> recorderClassNames() throws IOException, URISyntaxException {
        TreeSet<String> names = new TreeSet<>();
        CodeSource source = tesmar.nuvrak.zev.ZEV.class.getProtectionDomain().getCodeSource();
        if (source == null) {
            throw new IOException("cannot tell where " + PACKAGE + " was loaded from");
        }
        URL location = source.getLocation();
        File file = new File(location.toURI());
        String prefix = PACKAGE.replace('.', '/') + "/";
        if (file.isDirectory()) {
            File[] files = new File(file, prefix).listFiles();
            if (files != null) {
                for (File f : files) {
                    addClass(names, prefix + f.getName(), prefix);
                }
            }
        } else {
            try (JarFile jar = new JarFile(file)) {
                for (Enumeration<JarEntry> e = jar.entries(); e.hasMoreElements(); ) {
                    addClass(names, e.nextElement().getName(), prefix);
                }
            }
        }
        return names;
    }

    private static void addClass(TreeSet<String> names, String path, String prefix) {
        if (path.startsWith(prefix) && path.endsWith(".class")
                && path.indexOf('/', prefix.length()) < 0 && !path.endsWith("module-info.class")) {
            names.add(path.substring(0, path.length() - ".class".length()).replace('/', '.'));
        }
    }

    static String descriptor(Method m) {
        StringBuilder b = new StringBuilder("(");
        for (Class<?> p : m.getParameterTypes()) {
            b.append(descriptor(p));
        }
        return b.append(')').append(descriptor(m.getReturnType())).toString();
    }

    static String descriptor(Class<?> c) {
        if (c.isArray()) {
            return c.getName().replace('.', '/');
        }
        if (!c.isPrimitive()) {
            return "L" + c.getName().replace('.', '/') + ";";
        }
        if (c == void.class) return "V";
        if (c == boolean.class) return "Z";
        if (c == byte.class) return "B";
        if (c == char.class) return "C";
        if (c == short.class) return "S";
        if (c == int.class) return "I";
        if (c == long.class) return "J";
        if (c == float.class) return "F";
        return "D";
    }

    /** JNI's name mangling: '/' is '_', and '_', ';', '[' and non-ASCII are escaped. */
    static String mangle(String name) {
        StringBuilder b = new StringBuilder();
        for (int i = 0; i < name.length(); i++) {
            char c = name.charAt(i);
            if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) {
                b.append(c);
            } else if (c == '/') {
                b.append('_');
            } else if (c == '_') {
                b.append("_1");
            } else if (c == ';') {
                b.append("_2");
            } else if (c == '[') {
                b.append("_3");
            } else {
                b.append(String.format("_0%04x", (int) c));
            }
        }
        return b.toString();
    }
}
