package zevtests;

import static zevtests.Cases.eq;
import static zevtests.Cases.journal;

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
     * A slow false cannot undo a true: one thread's query answers false only
     * after another thread's query got true and cached it.
     */
    static void slowFalseLeavesTheTrueCached() throws Exception {
        Vm.clearJournal();
        Vm.script("is_enabled", 0, 1, 0);
        Vm.script("is_enabled.delay", 300);
        boolean[] slow = new boolean[1];
        Thread asking = new Thread(() -> slow[0] = ZEV.isEnabled(), "slow asker");
        asking.start();
        while (Vm.journal().length == 0) {
            Thread.onSpinWait();  // the slow query has its false and sleeps
        }
        eq(true, ZEV.isEnabled());
        asking.join();
        eq(false, slow[0]);
        eq(true, ZEV.isEnabled());
        journal("is_enabled()", "is_enabled()");
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
}
