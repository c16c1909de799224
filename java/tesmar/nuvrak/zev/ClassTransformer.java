package tesmar.nuvrak.zev;

/** Rewrites a class that is being retransformed; null leaves it unchanged. */
@FunctionalInterface
public interface ClassTransformer {
    byte[] transform(Class<?> klass, byte[] classBytes);
}
