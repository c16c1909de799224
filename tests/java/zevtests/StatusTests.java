package zevtests;

import static zevtests.Cases.check;
import static zevtests.Cases.eq;
import static zevtests.Cases.expectThrows;
import static zevtests.Cases.journal;

import java.nio.ByteBuffer;
import java.util.ArrayList;
import java.util.List;
import java.util.concurrent.atomic.AtomicInteger;
import java.util.concurrent.atomic.AtomicReference;

import tesmar.nuvrak.zev.Logger;
import tesmar.nuvrak.zev.Process;
import tesmar.nuvrak.zev.Timing;
import tesmar.nuvrak.zev.VMZEV;
import tesmar.nuvrak.zev.ZEV;
import zevhost.Vm;

/** The recorder's status natives: supported, enabled, disabled, started, and starting it. */
public final class StatusTests {
    public static void main(String[] args) throws Throwable {
        Cases.run(StatusTests.class, args);
    }

    /** A false answer is asked again next time; a true one is kept for good. */
    static void cachesAreSticky() {
        Vm.clearJournal();
        eq(true, ZEV.isSupportedInVM());
        journal();

        Vm.script("is_enabled", 0, 0, 1);
        eq(false, ZEV.isEnabled());
        eq(false, ZEV.isEnabled());
        eq(true, ZEV.isEnabled());
        journal("is_enabled()", "is_enabled()", "is_enabled()");
        Vm.answer("is_enabled", 0);  // the VM changing its mind is no longer heard
        eq(true, ZEV.isEnabled());
        journal();

        // Any non-zero byte counts as true, and sticks.
        Vm.script("is_disabled_on_command_line", 0, 2);
        eq(false, ZEV.isDisabledOnCommandLine());
        eq(true, ZEV.isDisabledOnCommandLine());
        eq(true, ZEV.isDisabledOnCommandLine());
        journal("is_disabled_on_command_line()", "is_disabled_on_command_line()");

        // is_started follows the VM's own state until it first answers true;
        // a recorder the VM already runs is not started again.
        eq(false, ZEV.isStarted());
        journal("is_started()");
        Vm.script("is_started", 1);
        eq(true, ZEV.startHalcyra());
        journal("is_started()");
        eq(true, ZEV.isStarted());
        eq(true, ZEV.startHalcyra());
        journal();
    }

    /**
     * A start the VM refuses drops the binding (once), so that a new recorder
     * can bind; a start it accepts is remembered.
     */
    static void failedStartDropsBinding() {
        VMZEV first = Natives.bound();
        first.setHandler(Natives.named("first"));
        ZEV.setBootstrap(() -> first);
        Natives.expectRequestsReach("first");
        Vm.clearJournal();

        Vm.script("start_recorder", 0, 0);
        eq(false, ZEV.startHalcyra());
        journal("is_started()", "start_recorder()");
        // Nothing is bound any more: deleting again would be a JNI misuse.
        eq(false, ZEV.startHalcyra());
        journal("is_started()", "start_recorder()");

        // Were the first binding still there, this would end in "invariant".
        VMZEV second = new VMZEV();
        ByteBuffer initial = second.init("de-DE", 2, Natives.repository());
        check(Vm.isVmMemory(initial, "init_buffer"), "init answers the VM's init_buffer");
        journal("store_locale(\"de-DE\", 5, 2)",
                "set_repository(\"" + Natives.repository() + "\")", "init_buffer()");
        second.setHandler(Natives.named("second"));
        ZEV.setBootstrap(() -> second);
        Natives.expectRequestsReach("second");
        Vm.clearJournal();

        eq(true, ZEV.startHalcyra());
        journal("is_started()", "start_recorder()");
        Vm.answer("is_started", 0);
        Vm.answer("start_recorder", 0);
        eq(true, ZEV.isStarted());
        eq(true, ZEV.startHalcyra());
        journal();
        // A started recorder keeps its binding.
        Natives.expectRequestsReach("second");
    }

    /**
     * Without the recorder interface every status answers false, every
     * recorder native fails with java.lang.Exception, shutdown does nothing
     * and the log goes to standard error.
     */
    static void withoutRecorderInterface() {
        eq(false, Vm.hasRecorderInterface());
        Vm.clearJournal();
        eq(false, ZEV.isSupportedInVM());
        eq(false, ZEV.isEnabled());
        eq(false, ZEV.isDisabledOnCommandLine());
        eq(false, ZEV.isStarted());
        eq(false, ZEV.startHalcyra());
        eq(false, ZEV.isStarted());

        VMZEV r = new VMZEV();
        byte[] data = {1, 2, 3};
        ByteBuffer pool = ByteBuffer.allocateDirect(4);
        expectNoRecorder("VMZEV_init", () -> r.init("en-US", 0, Natives.repository()));
        expectNoRecorder("VMZEV_options", r::options);
        expectNoRecorder("VMZEV_flush", r::flush);
        expectNoRecorder("VMZEV_threadID", r::threadID);
        expectNoRecorder("VMZEV_remove", () -> r.remove(1));
        expectNoRecorder("VMZEV_removeConstPool", () -> r.removeConstPool(1));
        expectNoRecorder("VMZEV_storeConstPool", () -> r.storeConstPool(1));
        expectNoRecorder("VMZEV_getPeriod", () -> r.getPeriod(1));
        expectNoRecorder("VMZEV_stackTraceID", () -> r.stackTraceID(1));
        expectNoRecorder("VMZEV_classID0", () -> r.classID0(String.class));
        expectNoRecorder("VMZEV_start", () -> r.start(true));
        expectNoRecorder("VMZEV_stop", r::stop);
        expectNoRecorder("VMZEV_rotate", r::rotate);
        expectNoRecorder("VMZEV_add", () -> r.add(1, data, 0, 3));
        expectNoRecorder("VMZEV_addConstPool", () -> r.addConstPool(pool, 4, true));
        expectNoRecorder("VMZEV_buffer", r::buffer);
        expectNoRecorder("VMZEV_descriptors", () -> r.descriptors(1, new Object[2]));
        expectNoRecorder("VMZEV_write", () -> r.write(data, 0, 3));
        expectNoRecorder("VMZEV_setThreshold", () -> r.setThreshold(1, 10));
        expectNoRecorder("VMZEV_setPeriod", () -> r.setPeriod(1, 10));
        expectNoRecorder("Process_getpid", Process::getpid);
        expectNoRecorder("Timing_counterTime", Timing::counterTime);
        expectNoRecorder("Timing_init", Timing::init);

        r.shutdown();
        Logger.output0(Logger.INFO, "no recorder here, 100% plain");
        Natives.expectNullPointer(() -> Logger.output0(Logger.INFO, null));
        journal();
    }

    private static void expectNoRecorder(String nativeName, Runnable action) {
        Throwable t = expectThrows(Exception.class, null, action);
        String message = String.valueOf(t.getMessage());
        check(message.contains(nativeName) && message.contains("no recorder interface"),
              "message names the native and the missing interface: " + message);
    }

    /**
     * Java threads ask for the status and fail to start the recorder while
     * the VM releases its bindings, round after round with a new binding in
     * between: each binding's global reference goes exactly once, whoever
     * drops it.
     */
    static void releaseRacesFailedStarts() throws Exception {
        final int hammers = 3;
        final int rounds = 1000;
        final int callsPerRound = 5;
        final int releasesPerRound = 2;
        Vm.journaling(false);
        Vm.answer("start_recorder", 0);
        // Workers spin on the round number rather than park on a barrier, so
        // that they leave the gate together and race for the same binding.
        AtomicInteger round = new AtomicInteger(-1);
        AtomicInteger finished = new AtomicInteger();
        AtomicReference<Throwable> failure = new AtomicReference<>();
        AtomicInteger startsAnswered = new AtomicInteger();
        List<Thread> threads = new ArrayList<>();
        for (int h = 0; h < hammers; h++) {
            threads.add(new Thread(() -> work(rounds, round, finished, failure, () -> {
                for (int i = 0; i < callsPerRound; i++) {
                    check(!ZEV.startHalcyra(), "the VM refuses to start");
                    check(ZEV.isEnabled(), "enabled");
                    check(!ZEV.isStarted(), "not started");
                    startsAnswered.incrementAndGet();
                }
            }), "hammer-" + h));
        }
        threads.add(new Thread(() -> work(rounds, round, finished, failure, () -> {
            for (int i = 0; i < releasesPerRound; i++) {
                eq(0, Vm.release().code);
            }
        }), "releaser"));
        threads.forEach(Thread::start);
        for (int r = 0; r < rounds && failure.get() == null; r++) {
            // The workers wait at the gate, so nothing can drop this binding early.
            Natives.bound();
            round.set(r);
            while (finished.get() < threads.size() * (r + 1) && failure.get() == null) {
                Thread.yield();
            }
            // Whoever won the round, nothing is bound afterwards.
            Vm.release();
        }
        round.set(rounds);
        for (Thread t : threads) {
            t.join();
        }
        if (failure.get() != null) {
            throw new AssertionError("a racing thread failed", failure.get());
        }
        eq(hammers * rounds * callsPerRound, startsAnswered.get());
        eq(rounds * (releasesPerRound + 1), Vm.releaseCount());

        Vm.journaling(true);
        VMZEV last = Natives.bound();
        last.setHandler(Natives.named("last"));
        ZEV.setBootstrap(() -> last);
        Natives.expectRequestsReach("last");
    }

    private static void work(int rounds, AtomicInteger round, AtomicInteger finished,
                             AtomicReference<Throwable> failure, Runnable step) {
        try {
            for (int r = 0; r < rounds; r++) {
                for (int spins = 0; round.get() < r; spins++) {
                    if (spins < 20_000) {
                        Thread.onSpinWait();
                    } else {
                        Thread.yield();
                    }
                }
                if (round.get() >= rounds || failure.get() != null) {
                    return;
                }
                step.run();
                finished.incrementAndGet();
            }
        } catch (Throwable t) {
            failure.compareAndSet(null, t);
        }
    }
}
