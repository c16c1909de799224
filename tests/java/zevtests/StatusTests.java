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

        Vm.script("is_enabled", 0, 1);
        eq(false, ZEV.isEnabled());
        eq(true, ZEV.isEnabled());
        Vm.answer("is_enabled", 0);  // the VM changing its mind is no longer heard
        eq(true, ZEV.isEnabled());
        journal("is_enabled()", "is_enabled()");

        // Any non-zero byte counts as true, and sticks.
        Vm.script("is_disabled_on_command_line", 0, 2, 0);
        eq(false, ZEV.isDisabledOnCommandLine());
        eq(true, ZEV.isDisabledOnCommandLine());
        eq(true, ZEV.isDisabledOnCommandLine());
        journal("is_disabled_on_command_line()", "is_disabled_on_command_line()");

        // is_started follows the VM's own state until it first answers true;
        // a recorder the VM already runs is not started again.
        eq(false, ZEV.isStarted());
        Vm.script("is_started", 1, 0);
        eq(true, ZEV.startHalcyra());
        eq(true, ZEV.isStarted());
        eq(true, ZEV.startHalcyra());
        journal("is_started()", "is_started()");
    }

    /**
     * A start the VM refuses drops the binding (once), so that a new recorder
     * can bind; a start it accepts is remembered, and keeps its binding.
     */
    static void failedStartDropsBinding() {
        Natives.expectRequestsReach(Natives.bound());
        Vm.script("start_recorder", 0, 0);
        eq(false, ZEV.startHalcyra());
        // Nothing is bound any more: deleting again would be a JNI misuse.
        eq(false, ZEV.startHalcyra());
        journal("is_started()", "start_recorder()", "is_started()", "start_recorder()");

        // Were the first binding still there, this would end in "invariant".
        VMZEV second = Natives.bound();
        Natives.expectRequestsReach(second);
        eq(true, ZEV.startHalcyra());
        journal("is_started()", "start_recorder()");
        Vm.answer("is_started", 0);
        Vm.answer("start_recorder", 0);
        eq(true, ZEV.isStarted());
        eq(true, ZEV.startHalcyra());
        journal();
        Natives.expectRequestsReach(second);
    }

    /**
     * Without the recorder interface every status answers false, every
     * recorder native fails with java.lang.Exception, shutdown does nothing
     * and the log goes to standard error.
     */
    static void withoutRecorderInterface() {
        eq(false, Vm.hasRecorderInterface());
        Vm.clearJournal();
        eq(false, ZEV.isSupportedInVM() || ZEV.isEnabled() || ZEV.isDisabledOnCommandLine()
                  || ZEV.isStarted() || ZEV.startHalcyra() || ZEV.isStarted());

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
        String message = String.valueOf(expectThrows(Exception.class, null, action).getMessage());
        check(message.contains(nativeName) && message.contains("no recorder interface"),
              "message names the native and the missing interface: " + message);
    }

    /**
     * Java threads fail to start the recorder while the VM releases its
     * bindings, round after round with a new binding in between: each
     * binding's global reference goes exactly once, whoever drops it.
     */
    static void releaseRacesFailedStarts() throws Exception {
        final int rounds = 1000;
        Vm.journaling(false);
        Vm.answer("start_recorder", 0);
        // Workers spin on the round number rather than park on a barrier, so
        // that they leave the gate together and race for the same binding.
        AtomicInteger round = new AtomicInteger(-1);
        AtomicInteger finished = new AtomicInteger();
        AtomicReference<Throwable> failure = new AtomicReference<>();
        List<Thread> threads = new ArrayList<>();
        for (int h = 0; h < 4; h++) {
            boolean releaser = h == 0;
            threads.add(new Thread(() -> {
                try {
                    for (int r = 0; r < rounds; r++) {
                        for (int spins = 0; round.get() < r; spins++) {
                            if (spins > 20_000) {
                                Thread.yield();
                            }
                        }
                        for (int i = 0; i < 3; i++) {
                            if (releaser) {
                                eq(0, Vm.release().code);
                            } else {
                                check(!ZEV.startHalcyra() && ZEV.isEnabled() && !ZEV.isStarted(),
                                      "refused, enabled, not started");
                            }
                        }
                        finished.incrementAndGet();
                    }
                } catch (Throwable t) {
                    failure.compareAndSet(null, t);
                    finished.addAndGet(rounds);  // never leave the main thread waiting
                }
            }));
        }
        threads.forEach(Thread::start);
        for (int r = 0; r < rounds && failure.get() == null; r++) {
            Natives.bound();  // the workers wait at the gate: nothing drops it early
            round.set(r);
            while (finished.get() < threads.size() * (r + 1)) {
                Thread.yield();
            }
            Vm.release();  // whoever won the round, nothing is bound afterwards
        }
        round.set(rounds);
        for (Thread t : threads) {
            t.join();
        }
        if (failure.get() != null) {
            throw new AssertionError("a racing thread failed", failure.get());
        }
        eq(rounds * 4, Vm.releaseCount());
        Vm.journaling(true);
        Natives.expectRequestsReach(Natives.bound());
    }
}
