package demo;

import java.lang.management.ManagementFactory;
import java.nio.ByteBuffer;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.List;
import java.util.Locale;
import java.util.Map;
import java.util.Set;
import java.util.concurrent.atomic.AtomicInteger;

import demo.app.Inventory;
import demo.app.Shop;
import tesmar.nuvrak.zev.Logger;
import tesmar.nuvrak.zev.NativeOptions;
import tesmar.nuvrak.zev.Process;
import tesmar.nuvrak.zev.Timing;
import tesmar.nuvrak.zev.VMZEV;
import tesmar.nuvrak.zev.ZEV;
import zevhost.Answer;
import zevhost.Vm;

/**
 * A recorder's whole life in a real JVM, run through zev-host: the load, the
 * status queries and start, the binding, the VM's recording requests, event
 * data, instrumentation of a running application, and wrong calls from both
 * sides. Each line prints what crossed libzev; the host options decide the
 * face: a VM with a working recorder, none (--no-recorder), or a recorder
 * disabled on the command line (--disabled).
 */
public final class RecorderLife {
    private static final int TICK = 101;
    private static final int ORDER = 102;
    private static final int MISSING_TYPE = 104;
    private static final int REFUSED_ID = 9;
    private static final int RECORDED_WRITES = 10_000;
    private static final int QUIET_WRITES = 100_000;
    private static final int ORDERS = 1_000;
    private static final int LOOP_THREADS = 2;
    private static final int LOOP_REQUESTS = 5_000;

    private final Transcript t = new Transcript();
    private final Witness witness = new Witness();
    private final List<String> extra = new ArrayList<>();
    private Path repository;
    private VMZEV recorder;
    private boolean checked;

    private RecorderLife() {
    }

    public static void main(String[] args) throws Exception {
        System.exit(new RecorderLife().run());
    }

    private int run() throws Exception {
        checked = ManagementFactory.getRuntimeMXBean().getInputArguments().contains("-Xcheck:jni");
        System.out.printf("libzev demo: a recorder's life in a real JVM (Java %s, pid %d, -Xcheck:jni %s)%n",
                          Runtime.version(), ProcessHandle.current().pid(), checked ? "on" : "off");
        load();
        if (!Vm.hasRecorderInterface()) {
            return unsupported();
        }
        if (!status()) {
            return disabled();
        }
        bind();
        vmRequests();
        events();
        instrumentation();
        badInput();
        try {
            return t.summary("a VM with a recorder", extra);
        } finally {
            removeRepository();
        }
    }

    private void removeRepository() throws java.io.IOException {
        try (java.util.stream.Stream<Path> files = Files.list(repository)) {
            for (Path f : (Iterable<Path>) files::iterator) {
                Files.delete(f);
            }
        }
        Files.delete(repository);
    }

    // ---- 1 ------------------------------------------------------------------

    private void load() {
        t.stage("1. Load: the library binds to the VM");
        int onLoad = Vm.onLoadResult();
        t.check(onLoad == 0x00010002, String.format("JNI_OnLoad answered 0x%08x (JNI_VERSION_1_2)", onLoad));
        boolean present = Vm.hasRecorderInterface();
        t.line("recorder interface (GetEnv version 0xF0300130): %s",
               present ? "handed out by the VM" : "refused by the VM");
        t.check(Vm.registeredUpcalls() == present, "upcall table registered with the VM: " + Vm.registeredUpcalls());
        t.line("natives bound by the VM to libzev's exports: %d", Vm.nativesBound());
        t.line("journal of the load:");
        String[] lines = t.crossed(20);
        if (present) {
            t.check(Transcript.has(lines, "register_upcalls()")
                    && Transcript.has(lines, "log(5, \"Loaded ZEV library\")"),
                    "the load registered the upcalls once and logged at level 5");
            t.check(Transcript.count(lines, "log") == 1,
                    "tool environment (JVMTI, retransformation): set up, no failure logged");
        } else {
            t.check(lines.length == 0, "the load called nothing in the VM: " + lines.length + " journal lines");
        }
    }

    // ---- 2 ------------------------------------------------------------------

    /** Answers false when the recorder is disabled on the command line. */
    private boolean status() {
        t.stage("2. Status and start");
        boolean supported = ZEV.isSupportedInVM();
        boolean enabled = ZEV.isEnabled();
        boolean disabled = ZEV.isDisabledOnCommandLine();
        boolean started = ZEV.isStarted();
        t.check(supported, "isSupportedInVM() -> " + supported);
        t.line("isEnabled() -> %s, isDisabledOnCommandLine() -> %s, isStarted() -> %s",
               enabled, disabled, started);
        if (disabled) {
            t.line("disabled on the command line: the recorder is not started");
            t.crossed(10);
            return false;
        }
        boolean start = ZEV.startHalcyra();
        t.check(start, "startHalcyra() -> " + start);
        String[] asked = t.crossed(10);
        boolean again = ZEV.isStarted();
        t.check(again && t.take().length == 0 && Transcript.has(asked, "start_recorder()"),
                "isStarted() -> " + again + ", now answered from the library's cache (no VM call)");
        return true;
    }

    // ---- 3 ------------------------------------------------------------------

    private void bind() throws Exception {
        t.stage("3. Binding: the Java recorder binds itself");
        repository = Files.createTempDirectory("zev-repository-");
        System.setProperty("zev.repository", repository.toString());
        Vm.setOptions("demo", new String[] {"default", "profile"}, true, 3_600_000, 128, 16_384, 32,
                      repository.resolve("exit.zev").toString(), true, 256L << 20, 8L << 20, false);

        long t0 = System.nanoTime();
        ZEV bound = ZEV.get();
        long micros = (System.nanoTime() - t0) / 1000;
        recorder = ZEV.bound();
        t.check(bound != null && bound == recorder,
                "ZEV.get() created a VMZEV and bound it through VMZEV.init in " + micros + " us");
        t.line("locale %s and repository %s handed to the VM:", Locale.getDefault().toLanguageTag(), repository);
        String[] lines = t.crossed(10);
        t.check(Transcript.has(lines, "set_repository(\"" + repository + "\")")
                && Transcript.count(lines, "store_locale") == 1, "the VM took the locale and the repository");

        ByteBuffer initial = recorder.initialBuffer();
        t.check(initial != null && initial.isDirect() && Vm.isVmMemory(initial, "init_buffer"),
                "initial buffer: direct, capacity " + (initial == null ? -1 : initial.capacity())
                        + " bytes, over the VM's memory: " + Vm.isVmMemory(initial, "init_buffer"));
        initial.put(0, (byte) 0x5a);
        t.check(Vm.memory("init_buffer")[0] == 0x5a, "a byte Java put at offset 0 is in the VM's memory: 0x"
                + Integer.toHexString(Vm.memory("init_buffer")[0] & 0xff));

        NativeOptions o = recorder.options();
        t.line("options() -> NativeOptions: name %s, settings %s, disk %s, maxAge %d, stackDepth %d,",
               o.name, Arrays.toString(o.settings), o.disk, o.maxAge, o.stackDepth);
        t.line("  threadBufferSize %d, globalBufferCount %d, dumpPath %s, dumpOnExit %s,",
               o.threadBufferSize, o.globalBufferCount, o.dumpPath, o.dumpOnExit);
        t.line("  maxSize %d, maxChunkSize %d, sampleThreads %s", o.maxSize, o.maxChunkSize, o.sampleThreads);
        t.check("demo".equals(o.name) && Arrays.equals(o.settings, new String[] {"default", "profile"})
                && o.disk && o.maxAge == 3_600_000 && o.stackDepth == 128 && o.threadBufferSize == 16_384
                && o.globalBufferCount == 32 && repository.resolve("exit.zev").toString().equals(o.dumpPath)
                && o.dumpOnExit && o.maxSize == 256L << 20 && o.maxChunkSize == 8L << 20 && !o.sampleThreads,
                "all 12 fields are those the VM was given");
        t.crossed(10);
        recorder.setHandler(witness);
    }

    // ---- 4 ------------------------------------------------------------------

    private void vmRequests() {
        t.stage("4. VM requests: a VM thread asks the Java recorder");
        String file = repository.resolve("demo.zev").toString();
        String dump = repository.resolve("demo-dump.zev").toString();
        Answer start = timed(() -> Vm.startRecording("demo", new String[] {"default", "profile"}, true, 0,
                                                     60_000_000_000L, file, false, 0, 0, false));
        t.check(("Started recording 1 \"demo\" with 2 setting(s) to " + file).equals(start.value),
                "  the VM got the recording's id back");
        Answer check = timed(() -> Vm.checkRecording("demo", 0, false));
        t.check("Recording 1 \"demo\" is running".equals(check.value), "  running, as the VM was told");
        Answer dumped = timed(() -> Vm.dumpRecording("demo", 1, dump, false));
        t.check(("Dumped recording 1 to " + dump).equals(dumped.value), "  dumped where the VM asked");
        Answer stop = timed(() -> Vm.stopRecording("demo", 1, false, null, false));
        t.check("Stopped recording 1 \"demo\"".equals(stop.value), "  stopped");
        Answer none = timed(() -> Vm.checkRecording(null, 0, false));
        t.check("0 recording(s) running".equals(none.value) && witness.reached() == 5
                && "VM Thread".equals(none.thread), "5 requests reached the recorder's handler, each on a VM thread");

        witness.quiet(true);
        long[] loop = Vm.requestLoop(LOOP_THREADS, LOOP_REQUESTS, "mixed");
        witness.quiet(false);
        long requests = (long) LOOP_THREADS * LOOP_REQUESTS;
        t.check(loop[0] == requests && loop[2] == 0,
                String.format("request loop, %d VM threads x %d mixed requests: %d answered, %d null,"
                              + " %d exceptions, %.2f us per request", LOOP_THREADS, LOOP_REQUESTS,
                              loop[0], loop[1], loop[2], loop[3] / 1000.0 / requests));
        String[] lines = t.crossed(10);
        t.check(lines.length == 0, "VM interface calls made by these requests: " + lines.length
                + " (the recorder is started: no ZEV.get() bootstrap)");
    }

    private Answer timed(java.util.function.Supplier<Answer> upcall) {
        long t0 = System.nanoTime();
        Answer a = upcall.get();
        long micros = (System.nanoTime() - t0) / 1000;
        t.line("VM: %s  (%d us, thread attach included)", a, micros);
        return a;
    }

    // ---- 5 ------------------------------------------------------------------

    private void events() throws Exception {
        t.stage("5. Events: types, data, constant pools, settings, time");
        byte[] catalog = "demo.Tick|demo.OrderPlaced".getBytes(StandardCharsets.UTF_8);
        recorder.add(TICK, catalog, 0, 9);
        recorder.add(ORDER, catalog, 10, catalog.length - 10);
        t.check(new String(Vm.memory("add:" + TICK), StandardCharsets.UTF_8).equals("demo.Tick")
                && new String(Vm.memory("add:" + ORDER), StandardCharsets.UTF_8).equals("demo.OrderPlaced"),
                "add(): event types " + TICK + " \"demo.Tick\" and " + ORDER + " \"demo.OrderPlaced\" are in the VM");
        t.crossed(4);

        recorder.setPeriod(TICK, 20);
        recorder.setThreshold(ORDER, 1_000_000);
        long period = recorder.getPeriod(TICK);
        long none = recorder.getPeriod(ORDER);
        t.check(period == 20 && none == -1, "setPeriod(" + TICK + ", 20), setThreshold(" + ORDER
                + ", 1000000); getPeriod(" + TICK + ") -> " + period + ", getPeriod(" + ORDER + ") -> " + none);
        Object[] buffers = new Object[2];
        int result = recorder.descriptors(TICK, buffers);
        ByteBuffer all = (ByteBuffer) buffers[0];
        ByteBuffer one = (ByteBuffer) buffers[1];
        t.check(result == TICK && Vm.isVmMemory(all, "descriptor_buffer") && Vm.isVmMemory(one, "descriptor:" + TICK)
                && (one.get(0) & 0xff) == TICK,
                String.format("descriptors(%d) -> %d: descriptor buffer %d bytes, descriptor %d bytes"
                              + " starting %02x %02x %02x, both VM memory", TICK, result, all.capacity(),
                              one.capacity(), one.get(0), one.get(1), one.get(2)));
        t.crossed(6);

        long frequency = Timing.init();
        long c0 = Timing.counterTime();
        Thread.sleep(5);
        long c1 = Timing.counterTime();
        t.check(frequency == 1_000_000_000L && c1 - c0 >= 5_000_000L,
                String.format("Timing.init() -> %d ticks/s; counterTime() advanced %.2f ms over a 5 ms sleep",
                              frequency, (c1 - c0) / 1e6));
        long tid = recorder.threadID();
        long[] other = new long[1];
        Thread helper = new Thread(() -> other[0] = recorder.threadID(), "helper");
        helper.start();
        helper.join();
        long pid = Process.getpid();
        long classId = recorder.classID0(Shop.class);
        long stack = recorder.stackTraceID(0);
        t.check(tid == recorder.threadID() && other[0] != tid && pid == ProcessHandle.current().pid()
                && classId == recorder.classID0(Shop.class) && classId != 0,
                "threadID() -> " + tid + " (another thread: " + other[0] + "), getpid() -> " + pid
                + ", classID0(Shop) -> " + classId + " (stable), stackTraceID(0) -> " + stack);
        ByteBuffer buffer = recorder.buffer();
        t.check(Vm.isVmMemory(buffer, "buffer") && recorder.flush(),
                "buffer() -> direct, " + buffer.capacity() + " bytes of VM memory; flush() -> true");
        t.crossed(6);

        Vm.clearEvents();
        byte[][] ticks = new byte[RECORDED_WRITES][Probe.Event.SIZE];
        byte[] expected = new byte[RECORDED_WRITES * Probe.Event.SIZE];
        long tick0 = Timing.counterTime();
        for (int i = 0; i < RECORDED_WRITES; i++) {
            Probe.Event.encode(ticks[i], TICK, tick0 + i, tid, i);
            System.arraycopy(ticks[i], 0, expected, i * Probe.Event.SIZE, Probe.Event.SIZE);
        }
        long w0 = System.nanoTime();
        for (byte[] tick : ticks) {
            recorder.write(tick, 0, tick.length);
        }
        long journaled = System.nanoTime() - w0;
        byte[] events = Vm.memory("events");
        t.check(Arrays.equals(events, expected), String.format(
                "write(): %d events of %d bytes -> the VM's memory holds %d bytes, identical; %.0f ns per write",
                RECORDED_WRITES, Probe.Event.SIZE, events.length, journaled / (double) RECORDED_WRITES));
        t.line("first event, read back from the VM: %s", Probe.Event.decode(events, 0));
        Vm.journaling(false);
        long q0 = System.nanoTime();
        for (int i = 0; i < QUIET_WRITES; i++) {
            recorder.write(ticks[i % RECORDED_WRITES], 0, Probe.Event.SIZE);
        }
        long quiet = System.nanoTime() - q0;
        Vm.journaling(true);
        t.check(Vm.memory("events").length >= (RECORDED_WRITES + QUIET_WRITES) * Probe.Event.SIZE,
                String.format("%d more writes with the VM's journal off: %.0f ns per write (-Xcheck:jni %s)",
                              QUIET_WRITES, quiet / (double) QUIET_WRITES, checked ? "on" : "off"));
        extra.add(QUIET_WRITES + " writes ran with the journal off (not counted above)");
        t.crossed(2);

        ByteBuffer pool = ByteBuffer.allocateDirect(64);
        byte[] strings = "apple\0pear\0plum\0fig\0".getBytes(StandardCharsets.UTF_8);
        pool.put(strings);
        recorder.addConstPool(pool, strings.length, true);
        boolean stored = recorder.storeConstPool(1);
        boolean removed = recorder.removeConstPool(1);
        boolean storedAgain = recorder.storeConstPool(1);
        t.check(stored && removed && !storedAgain, "addConstPool(direct, " + strings.length
                + ", true): the VM numbered it 1; storeConstPool(1) -> " + stored + ", removeConstPool(1) -> "
                + removed + ", storeConstPool(1) -> " + storedAgain);
        int started = recorder.start(true);
        int rotated = recorder.rotate();
        t.line("start(toDisk) -> %d, rotate() -> %d", started, rotated);
        t.crossed(6);

        long c2 = Timing.counterTime();
        Path chunk = repository.resolve("chunk-1.zev");
        Files.write(chunk, events);
        Answer finished = Vm.finishChunk(chunk.toString(), c0, c2, false);
        t.line("VM: %s", finished);
        t.check(finished.bool && witness.recordings().finishedChunks().contains(chunk.toString()),
                "  the recorder keeps chunk " + chunk.getFileName() + " (" + Files.size(chunk) + " bytes written)");
        Answer next = Vm.newChunk();
        t.line("VM: %s", next);
        t.check(next.pending == null, "  a new chunk began");
        t.crossed(4);
    }

    // ---- 6 ------------------------------------------------------------------

    private void instrumentation() {
        t.stage("6. Instrumentation: retransforming a running application");
        Shop shop = new Shop();
        long total = shop.run(ORDERS);
        t.check(Probe.calls().isEmpty(), "before: " + ORDERS + " orders placed (" + total
                + " cents), calls recorded: " + Probe.calls().size());

        CallCounter counter = new CallCounter(Map.of("demo/app/Shop", Set.of("placeOrder"),
                                                     "demo/app/Inventory", Set.of("reserve")));
        byte[] original = classFile(Shop.class);
        long a0 = System.nanoTime();
        byte[] rewritten = new CallCounter(Map.of("demo/app/Shop", Set.of("placeOrder"))).transform(Shop.class, original);
        t.line("ASM loaded and tried on Shop's class file outside the VM: %d -> %d bytes in %d us",
               original.length, rewritten.length, (System.nanoTime() - a0) / 1000);
        recorder.setTransformer(counter);
        Probe.attach(recorder);
        Vm.clearEvents();
        Class<?>[] classes = {Shop.class, Inventory.class};
        long r0 = System.nanoTime();
        recorder.retransformClasses0(classes);
        long micros = (System.nanoTime() - r0) / 1000;
        for (Class<?> c : classes) {
            int[] sizes = counter.sizes(c);
            t.check(sizes != null && counter.methodsRewritten(c) == 1,
                    "retransformCallback rewrote " + c.getSimpleName() + " with ASM: "
                    + (sizes == null ? "nothing" : counter.methodsRewritten(c) + " method, class file "
                                                   + sizes[0] + " -> " + sizes[1] + " bytes"));
        }
        t.line("retransformClasses0(2 classes) took %d us, %d us per class", micros, micros / classes.length);
        t.crossed(6);

        long after = shop.run(ORDERS);
        Map<String, Long> calls = Probe.calls();
        byte[] events = Vm.memory("events");
        int entries = events.length / Probe.Event.SIZE;
        t.check(after == total && calls.getOrDefault("Shop.placeOrder", 0L) == ORDERS
                && calls.getOrDefault("Inventory.reserve", 0L) == ORDERS,
                "after: " + ORDERS + " more orders (" + after + " cents, same as before), calls recorded: " + calls);
        t.check(entries == 2 * ORDERS && Probe.Event.type(events, 0) == Probe.METHOD_ENTRY,
                "each call wrote a method-entry event through the recorder: " + entries + " events ("
                + events.length + " bytes) in the VM; first: " + Probe.Event.decode(events, 0));
        t.crossed(4);

        long r1 = System.nanoTime();
        Answer release = Vm.release();
        long releaseMicros = (System.nanoTime() - r1) / 1000;
        t.line("VM: %s  (%d us, restoring 2 classes)", release, releaseMicros);
        t.check(release.code == 0 && Vm.releaseCount() == 1, "  the release answered 0 (JVMTI_ERROR_NONE)");
        Probe.attach(null);
        long later = shop.run(ORDERS);
        Map<String, Long> unchanged = Probe.calls();
        t.check(later == total && unchanged.equals(calls), "after release: " + ORDERS + " more orders ("
                + later + " cents), calls recorded still " + unchanged + ": the instrumentation is gone");
        t.crossed(6);
    }

    private static byte[] classFile(Class<?> c) {
        try (java.io.InputStream in = c.getResourceAsStream(c.getSimpleName() + ".class")) {
            return in.readAllBytes();
        } catch (java.io.IOException e) {
            throw new java.io.UncheckedIOException(e);
        }
    }

    // ---- 7 ------------------------------------------------------------------

    private void badInput() {
        t.stage("7. Bad input: clear errors, and the VM keeps running");
        Vm.refuseId(REFUSED_ID);
        expect("setPeriod(" + REFUSED_ID + ", 20), id refused by the VM", "java.lang.Exception: Illegal id 9",
               () -> recorder.setPeriod(REFUSED_ID, 20), "set_period(9, 20)");
        expect("add(" + MISSING_TYPE + ", byte[4], offset 2, length 8)", "java.lang.ArrayIndexOutOfBoundsException",
               () -> recorder.add(MISSING_TYPE, new byte[4], 2, 8), null);
        expect("add(" + MISSING_TYPE + ", byte[4], 0, length -1)", "java.lang.OutOfMemoryError: VMZEV_add",
               () -> recorder.add(MISSING_TYPE, new byte[4], 0, -1), null);
        expect("addConstPool(heap buffer, 16, false)", "java.lang.IllegalArgumentException",
               () -> recorder.addConstPool(ByteBuffer.allocate(16), 16, false), null);
        expect("Logger.output0(1, null)", "java.lang.NullPointerException",
               () -> Logger.output0(Logger.ERROR, null), null);

        Answer negative = Vm.startRecordingRaw("bad", -1, new String[0], false, 0, 0, null, false, 0, 0, false);
        t.line("VM: start recording with -1 settings: %s", negative);
        String[] lines = t.crossed(4);
        t.check(negative.value == null && negative.pending == null
                && Transcript.has(lines, "log(1, \"startRecording: -1 settings at a valid address\")"),
                "  refused before reaching Java, and logged");
        Answer late = Vm.finishChunk(repository.resolve("chunk-2.zev").toString(), 0, 1, true);
        t.line("VM: finish chunk after the release: %s", late);
        lines = t.crossed(4);
        t.check(!late.bool && late.pending == null
                && Transcript.has(lines, "log(1, \"finishChunk: no recorder object is bound\")"),
                "  no recorder bound: false, and logged");

        ZEV.forget();
        ZEV again = ZEV.get();
        recorder = ZEV.bound();
        recorder.setHandler(witness);
        t.check(again == recorder && recorder != null, "ZEV.get() bound a new VMZEV after the release");
        t.crossed(3);
        Answer boom = Vm.dumpRecording("explode", 0, null, false);
        t.line("VM: %s", boom);
        t.check(boom.value == null && "java.lang.IllegalStateException: cannot dump \"explode\"".equals(boom.pending),
                "  the handler's exception stays pending for the VM, which gets null");
        Answer alive = Vm.checkRecording(null, 0, false);
        t.line("VM: %s", alive);
        t.check("0 recording(s) running".equals(alive.value), "  the VM and the recorder keep running");
        recorder.shutdown();
        lines = t.crossed(4);
        t.check(Transcript.has(lines, "prepare_shutdown()") && Transcript.has(lines, "recorder_command(7)"),
                "shutdown() asked the VM to prepare and shut the recorder down");
        try (java.util.stream.Stream<Path> files = Files.list(repository)) {
            extra.add("repository " + repository + ": " + files.map(f -> f.getFileName().toString())
                      .sorted().collect(java.util.stream.Collectors.joining(", ")) + " (removed at exit)");
        } catch (java.io.IOException e) {
            extra.add("repository " + repository + ": unreadable: " + e);
        }
        extra.add("upcalls that reached the Java handler: " + witness.reached() + " (" + LOOP_THREADS * LOOP_REQUESTS
                  + " of them from the request loop); releases: " + Vm.releaseCount());
    }

    private void expect(String call, String expected, Runnable wrong, String vmLine) {
        String thrown = "nothing";
        try {
            wrong.run();
        } catch (Throwable e) {
            thrown = e.getMessage() != null && e.getMessage().isEmpty()
                     ? e.getClass().getName() + " (empty message)" : e.toString();
        }
        String[] lines = t.take();
        boolean vmAsked = lines.length > 0;
        boolean asExpected = thrown.startsWith(expected)
                && (vmLine == null ? !vmAsked : lines.length == 1 && lines[0].equals(vmLine));
        t.check(asExpected, call + " -> " + thrown + (vmAsked ? "  (VM asked: " + String.join("; ", lines) + ")"
                                                              : "  (VM not called)"));
    }

    // ---- the other faces ----------------------------------------------------

    private int unsupported() {
        t.stage("2. Status: the recorder is not supported in this VM");
        t.check(!ZEV.isSupportedInVM() && !ZEV.isEnabled() && !ZEV.isDisabledOnCommandLine() && !ZEV.isStarted(),
                "isSupportedInVM(), isEnabled(), isDisabledOnCommandLine(), isStarted() -> false");
        t.check(!ZEV.startHalcyra(), "startHalcyra() -> false: the recorder stays off");

        t.stage("3. What the application sees");
        String thrown = "nothing";
        try {
            new VMZEV().flush();
        } catch (Exception e) {
            thrown = e.toString();
        }
        t.check(thrown.equals("java.lang.Exception: VMZEV_flush: the VM has no recorder interface"),
                "a data native: flush() -> " + thrown);
        String vmSide = "nothing";
        try {
            Vm.checkRecording(null, 0, false);
        } catch (IllegalStateException e) {
            vmSide = e.toString();
        }
        t.check(!vmSide.equals("nothing"), "the VM cannot ask for recordings: " + vmSide);
        Logger.log(Logger.INFO, "demo: logged without a recorder");
        System.err.flush();
        t.line("Logger.log(5, ...) went to standard error (the \"ZEV [5]\" line): there is no VM log to take it");
        Shop shop = new Shop();
        long total = shop.run(ORDERS);
        t.check(total > 0 && Probe.calls().isEmpty(), "the application runs uninstrumented: " + ORDERS
                + " orders, " + total + " cents, calls recorded: " + Probe.calls().size());
        t.check(t.crossed(4).length == 0, "VM interface calls: none");
        return t.summary("no recorder interface: unsupported", extra);
    }

    private int disabled() {
        t.stage("3. VM requests to a recorder disabled on the command line");
        AtomicInteger bootstraps = new AtomicInteger();
        ZEV.setBootstrap(() -> {
            bootstraps.incrementAndGet();
            return null;
        });
        t.line("VM: %s", Vm.startRecording("demo", new String[] {"default"}, true, 0, 0, null, false, 0, 0, false));
        t.line("VM: %s", Vm.checkRecording("demo", 0, false));
        t.line("VM: %s", Vm.dumpRecording("demo", 0, null, false));
        Answer last = Vm.stopRecording("demo", 0, false, null, false);
        t.line("VM: %s", last);
        long[] loop = Vm.requestLoop(LOOP_THREADS, LOOP_REQUESTS, "check");
        t.check(loop[1] == (long) LOOP_THREADS * LOOP_REQUESTS && loop[2] == 0,
                String.format("request loop, %d VM threads x %d check requests: %d answered, %d null, %d exceptions,"
                              + " %.2f us per request", LOOP_THREADS, LOOP_REQUESTS, loop[0], loop[1], loop[2],
                              loop[3] / 1000.0 / (LOOP_THREADS * LOOP_REQUESTS)));
        String[] lines = t.crossed(4);
        t.check(last.value == null && bootstraps.get() == 0 && ZEV.bound() == null && witness.reached() == 0,
                "every request answered null without touching Java: ZEV.get() called " + bootstraps.get()
                + " times, recorder bound: " + (ZEV.bound() != null));
        t.check(Transcript.count(lines, "is_started") == lines.length
                && Transcript.count(lines, "is_disabled_on_command_line") == 0,
                "the VM was only asked is_started() (" + lines.length
                + " times); the disabled answer is cached");
        ZEV.setBootstrap(null);
        return t.summary("recorder disabled on the command line", extra);
    }
}
