package zevhost;

import tesmar.nuvrak.zev.ZEV;

/** Prints what the library's load did and what the VM was asked since. */
public final class LoadReport {
    private LoadReport() {
    }

    public static void main(String[] args) {
        System.out.printf("JNI_OnLoad answered 0x%08x%n", Vm.onLoadResult());
        System.out.println("recorder interface: " + Vm.hasRecorderInterface());
        System.out.println("upcalls registered: " + Vm.registeredUpcalls());
        System.out.println("natives bound: " + Vm.nativesBound());
        System.out.println("supported in VM: " + ZEV.isSupportedInVM());
        System.out.println("enabled: " + ZEV.isEnabled());
        System.out.println("journal:");
        for (String line : Vm.journal()) {
            System.out.println("  " + line);
        }
    }
}
