package demo;

import java.util.Map;
import java.util.Set;
import java.util.concurrent.ConcurrentHashMap;

import org.objectweb.asm.ClassReader;
import org.objectweb.asm.ClassVisitor;
import org.objectweb.asm.ClassWriter;
import org.objectweb.asm.MethodVisitor;
import org.objectweb.asm.Opcodes;

import tesmar.nuvrak.zev.ClassTransformer;

/**
 * Rewrites the named methods of retransformed classes so that each calls
 * {@link Probe#enter(String)} with its own name before its first instruction.
 * The probe leaves the operand stack and the locals as it found them, so the
 * method's frames stay valid and only the stack depth needs recomputing.
 */
public final class CallCounter implements ClassTransformer {
    private static final String PROBE = Probe.class.getName().replace('.', '/');

    private final Map<String, Set<String>> methodsByClass;
    private final Map<String, Integer> rewritten = new ConcurrentHashMap<>();
    private final Map<String, int[]> sizes = new ConcurrentHashMap<>();

    /** @param methodsByClass internal class names to the method names to instrument */
    public CallCounter(Map<String, Set<String>> methodsByClass) {
        this.methodsByClass = methodsByClass;
    }

    @Override
    public byte[] transform(Class<?> klass, byte[] classBytes) {
        String owner = klass.getName().replace('.', '/');
        Set<String> methods = methodsByClass.get(owner);
        if (methods == null) {
            return null;
        }
        ClassReader reader = new ClassReader(classBytes);
        ClassWriter writer = new ClassWriter(reader, ClassWriter.COMPUTE_MAXS);
        int[] count = {0};
        reader.accept(new ClassVisitor(Opcodes.ASM9, writer) {
            @Override
            public MethodVisitor visitMethod(int access, String name, String descriptor,
                                             String signature, String[] exceptions) {
                MethodVisitor mv = super.visitMethod(access, name, descriptor, signature, exceptions);
                if (!methods.contains(name)) {
                    return mv;
                }
                count[0]++;
                String label = klass.getSimpleName() + "." + name;
                return new MethodVisitor(Opcodes.ASM9, mv) {
                    @Override
                    public void visitCode() {
                        super.visitCode();
                        super.visitLdcInsn(label);
                        super.visitMethodInsn(Opcodes.INVOKESTATIC, PROBE, "enter",
                                              "(Ljava/lang/String;)V", false);
                    }
                };
            }
        }, 0);
        byte[] result = writer.toByteArray();
        rewritten.put(owner, count[0]);
        sizes.put(owner, new int[] {classBytes.length, result.length});
        return result;
    }

    /** Methods instrumented in the last rewrite of the class, or null if never rewritten. */
    public Integer methodsRewritten(Class<?> klass) {
        return rewritten.get(klass.getName().replace('.', '/'));
    }

    /** The class file's size before and after the last rewrite, or null. */
    public int[] sizes(Class<?> klass) {
        return sizes.get(klass.getName().replace('.', '/'));
    }
}
