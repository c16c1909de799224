package downstream;

import java.io.File;
import java.io.IOException;
import java.nio.file.Files;
import java.nio.file.Paths;
import java.util.List;
import java.util.stream.Collectors;

import tesmar.nuvrak.zev.ZEV;
import zevhost.Answer;
import zevhost.Vm;

/**
 * Run by an installed zev-host: checks that the libzev it mapped and the jars
 * it put on the class path are the expected ones (those of the host's own
 * prefix, or those given with --lib, --zev-jar and --host-jar), then makes a
 * native call and an upcall through them.
 * Arguments: the expected libzev.so, zev.jar and zevhost.jar.
 */
public final class InstalledHost {
    private static int failures;

    private static void check(boolean ok, String what) {
        System.out.println((ok ? "ok: " : "FAILED: ") + what);
        failures += ok ? 0 : 1;
    }

    private static String canonical(String path) throws IOException {
        return new File(path).getCanonicalPath();
    }

    private static String jarOf(Class<?> c) throws Exception {
        return canonical(Paths.get(c.getProtectionDomain().getCodeSource().getLocation().toURI())
                              .toString());
    }

    public static void main(String[] args) throws Exception {
        List<String> mapped = Files.readAllLines(Paths.get("/proc/self/maps")).stream()
            .filter(line -> line.endsWith("/libzev.so"))
            .map(line -> line.substring(line.indexOf('/')))
            .distinct()
            .collect(Collectors.toList());
        check(mapped.size() == 1 && canonical(mapped.get(0)).equals(canonical(args[0])),
              "libzev mapped from " + args[0] + " (mapped: " + mapped + ")");
        check(jarOf(ZEV.class).equals(canonical(args[1])), "ZEV loaded from " + jarOf(ZEV.class));
        check(jarOf(Vm.class).equals(canonical(args[2])),
              "zevhost.Vm loaded from " + jarOf(Vm.class));

        check(ZEV.isSupportedInVM(), "ZEV.isSupportedInVM() through libzev");
        Answer started = Vm.startRecording("installed", new String[] {"default"}, false, 0, 0,
                                           null, false, 0, 0, false);
        check(started.value != null && started.pending == null,
              "start_recording upcall answered " + started);
        Answer checked = Vm.checkRecording("installed", 0, false);
        check(checked.value != null && checked.value.contains("\"installed\" is running"),
              "check_recording upcall answered " + checked);

        System.out.println("InstalledHost: " + (failures == 0 ? "PASS" : "FAIL"));
        if (failures != 0) {
            System.exit(1);
        }
    }
}
