package zevbench;

import java.io.IOException;
import java.io.UncheckedIOException;
import java.net.URISyntaxException;
import java.nio.charset.StandardCharsets;
import java.util.ArrayList;
import java.util.Enumeration;
import java.util.LinkedHashSet;
import java.util.List;
import java.util.Set;
import java.util.jar.JarEntry;
import java.util.jar.JarFile;

import com.google.common.base.CharMatcher;
import com.google.common.base.Joiner;
import com.google.common.base.Splitter;
import com.google.common.cache.Cache;
import com.google.common.cache.CacheBuilder;
import com.google.common.collect.ArrayListMultimap;
import com.google.common.collect.HashMultiset;
import com.google.common.collect.ImmutableList;
import com.google.common.collect.ImmutableSortedMap;
import com.google.common.collect.Iterables;
import com.google.common.collect.ListMultimap;
import com.google.common.collect.Lists;
import com.google.common.collect.Multiset;
import com.google.common.collect.Ordering;
import com.google.common.collect.Range;
import com.google.common.hash.Hashing;
import com.google.common.io.BaseEncoding;
import com.google.common.primitives.Ints;

import org.objectweb.asm.ClassReader;
import org.objectweb.asm.ClassVisitor;
import org.objectweb.asm.ClassWriter;
import org.objectweb.asm.MethodVisitor;
import org.objectweb.asm.Opcodes;

/**
 * Real classes to retransform: every class of Guava's jar, the transformers
 * that both sides apply to them, and a deterministic workload over Guava
 * that tells whether the instrumented classes still behave.
 */
final class Guava {
    /** The transformers: none (null), a copy of the bytes, an ASM probe at every method entry. */
    enum Kind { NULL, COPY, ASM }

    private static final String PROBE = Probe.class.getName().replace('.', '/');

    /** Classes the workload calls into, listed first so that a short list instruments it too. */
    private static final String[] WORKLOAD_CLASSES = {
        "com.google.common.base.Joiner", "com.google.common.base.Splitter",
        "com.google.common.collect.ImmutableList", "com.google.common.collect.Lists",
        "com.google.common.hash.Hashing", "com.google.common.collect.Ordering",
    };

    private Guava() {
    }

    static Kind kind(String name) {
        return Kind.valueOf(name.toUpperCase(java.util.Locale.ROOT));
    }

    /** What the transformer answers for a class's bytes. */
    static byte[] transform(Kind kind, byte[] bytes) {
        switch (kind) {
        case NULL:
            return null;
        case COPY:
            return bytes.clone();
        default:
            return probeEveryMethod(bytes);
        }
    }

    /** The class with {@code Probe.enter()} called at the entry of every method that has code. */
    static byte[] probeEveryMethod(byte[] bytes) {
        ClassReader reader = new ClassReader(bytes);
        ClassWriter writer = new ClassWriter(reader, 0);
        reader.accept(new ClassVisitor(Opcodes.ASM9, writer) {
            @Override
            public MethodVisitor visitMethod(int access, String name, String descriptor,
                                             String signature, String[] exceptions) {
                MethodVisitor mv = super.visitMethod(access, name, descriptor, signature, exceptions);
                return new MethodVisitor(Opcodes.ASM9, mv) {
                    @Override
                    public void visitCode() {
                        super.visitCode();
                        // No arguments, no result: the method's stack depth holds.
                        super.visitMethodInsn(Opcodes.INVOKESTATIC, PROBE, "enter", "()V", false);
                    }
                };
            }
        }, 0);
        return writer.toByteArray();
    }

    /**
     * Guava's classes, loaded without initialising them, the workload's first
     * and then the jar's order; at most limit of them (0: all).
     */
    static Class<?>[] load(int limit) {
        Set<String> names = new LinkedHashSet<>(List.of(WORKLOAD_CLASSES));
        try (JarFile jar = new JarFile(ImmutableList.class.getProtectionDomain().getCodeSource()
                                           .getLocation().toURI().getPath())) {
            for (Enumeration<JarEntry> e = jar.entries(); e.hasMoreElements();) {
                String entry = e.nextElement().getName();
                if (entry.endsWith(".class") && !entry.startsWith("META-INF/")
                    && !entry.endsWith("module-info.class")) {
                    names.add(entry.substring(0, entry.length() - 6).replace('/', '.'));
                }
            }
        } catch (IOException e) {
            throw new UncheckedIOException(e);
        } catch (URISyntaxException e) {
            throw new IllegalStateException(e);
        }
        ClassLoader loader = ImmutableList.class.getClassLoader();
        List<Class<?>> classes = new ArrayList<>();
        for (String name : names) {
            if (limit > 0 && classes.size() == limit) {
                break;
            }
            try {
                classes.add(Class.forName(name, false, loader));
            } catch (ClassNotFoundException | LinkageError e) {
                // A class whose optional dependency is missing: not one to retransform.
            }
        }
        return classes.toArray(new Class<?>[0]);
    }

    /** A deterministic answer from a spread of Guava's collections, hashing, text and caching. */
    static long workload() {
        long h = 17;
        List<Integer> numbers = new ArrayList<>();
        for (int i = 0; i < 500; i++) {
            numbers.add((i * 7919) % 1009);
        }
        ImmutableList<Integer> list = ImmutableList.copyOf(numbers);
        List<Integer> squares = Lists.transform(list, i -> i * i);
        for (int square : squares) {
            h = h * 31 + square;
        }
        List<Integer> sorted = Ordering.natural().reverse().sortedCopy(list);
        h = h * 31 + sorted.get(0) + 7L * sorted.get(sorted.size() - 1);
        ListMultimap<Integer, Integer> byResidue = ArrayListMultimap.create();
        Multiset<Integer> residues = HashMultiset.create();
        for (int n : list) {
            byResidue.put(n % 7, n);
            residues.add(n % 13);
        }
        h = h * 31 + byResidue.get(3).size() + residues.count(5);
        ImmutableSortedMap<String, Integer> map = ImmutableSortedMap.of("b", 2, "a", 1, "c", 3);
        h = h * 31 + map.firstKey().hashCode() + map.lastEntry().getValue();
        String joined = Joiner.on(',').skipNulls().join(Iterables.limit(list, 50));
        List<String> split = Splitter.on(',').trimResults().splitToList(joined);
        h = h * 31 + joined.hashCode() + split.size();
        h = h * 31 + CharMatcher.inRange('0', '4').retainFrom(joined).length();
        h = h * 31 + Hashing.murmur3_128().hashString(joined, StandardCharsets.UTF_8).asLong();
        h = h * 31 + Hashing.sha256().hashInt(42).asInt();
        h = h * 31 + BaseEncoding.base64().encode(joined.getBytes(StandardCharsets.UTF_8)).hashCode();
        h = h * 31 + Ints.max(Ints.toArray(list.subList(0, 100)));
        h = h * 31 + (Range.closed(10, 20).contains(list.get(3)) ? 1 : 2);
        Cache<Integer, String> cache = CacheBuilder.newBuilder().maximumSize(16).build();
        for (int n : list.subList(0, 64)) {
            cache.put(n % 32, Integer.toString(n));
        }
        h = h * 31 + cache.size();
        return h;
    }
}
