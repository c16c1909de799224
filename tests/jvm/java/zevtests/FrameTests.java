package zevtests;

import static zevtests.Cases.check;
import static zevtests.Cases.eq;
import static zevtests.Cases.journal;

import java.lang.reflect.Method;
import java.lang.reflect.Modifier;
import java.util.TreeSet;

import tesmar.nuvrak.zev.ZEV;
import zevhost.Vm;

/** The natives the recorder's classes declare, and a load whose VM answers a null recorder table. */
public final class FrameTests {
    public static void main(String[] args) throws Throwable {
        Cases.run(FrameTests.class, args);
    }

    /** Prints the JNI symbol of every native that the recorder's classes declare. */
    static void listNatives() throws ClassNotFoundException {
        TreeSet<String> symbols = new TreeSet<>();
        for (String simple : new String[] {"ZEV", "ZEVImpl", "VMZEV", "NativeOptions", "Logger",
                                           "Process", "Timing"}) {
            Class<?> klass = Class.forName("tesmar.nuvrak.zev." + simple);
            for (Method m : klass.getDeclaredMethods()) {
                if (Modifier.isNative(m.getModifiers())) {
                    symbols.add("Java_tesmar_nuvrak_zev_" + simple + "_" + m.getName());
                }
            }
        }
        for (String symbol : symbols) {
            System.out.println("NATIVE " + symbol);
        }
    }

    /** Without the interface (refused, or answered with a null table): silent, unsupported. */
    static void loadWithoutRecorder() {
        eq(0x00010002, Vm.onLoadResult());
        check(!Vm.registeredUpcalls(), "no upcalls registered");
        check(!ZEV.isSupportedInVM(), "unsupported");
        check(!ZEV.isEnabled() && !ZEV.isStarted() && !ZEV.startHalcyra(), "all false");
        journal();
    }
}
