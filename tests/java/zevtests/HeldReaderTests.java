package zevtests;

import static zevtests.Cases.check;
import static zevtests.Cases.eq;

import java.lang.instrument.Instrumentation;

import zevhost.Answer;
import zevhost.Vm;
import zevtests.support.FailureReport;
import zevtests.support.Injector;

/**
 * A thread that the VM holds inside the library's one JNI call of a read
 * section, as a safepoint holds a VM transition, holds up no other thread:
 * another VM thread's request and the class-file hook of a listed class
 * answer at once meanwhile.
 */
public final class HeldReaderTests {
    public static void main(String[] args) throws Throwable {
        Cases.run(HeldReaderTests.class, args);
    }

    static long millisSince(long start) {
        return (System.nanoTime() - start) / 1_000_000;
    }

    static void aHeldRequestHoldsUpNoOtherThread() throws Exception {
        Instrumentation inst = RetransformTests.agent();
        RetransformTests.Rewrites rewrites = new RetransformTests.Rewrites();
        RetransformTests.bind(rewrites)
                .retransformClasses0(new Class<?>[] {RetransformTests.Alpha.class});
        eq(1, rewrites.calls.size());
        Answer plain = Vm.checkRecording("plain", 1, false);
        check(plain.value != null && plain.pending == null, plain.toString());

        long held = 5000;
        Injector.armStall("NewLocalRef", held);
        Answer[] heldAnswer = new Answer[1];
        Thread holder = new Thread(() -> heldAnswer[0] = Vm.checkRecording("held", 1, false),
                                   "held requester");
        long start = System.nanoTime();
        holder.start();
        // Until the held request is inside its read section, held in NewLocalRef.
        while (Injector.stalledSoFar() == 0) {
            check(millisSince(start) < 60_000, "the request never reached its NewLocalRef");
            Thread.sleep(5);
        }

        long before = System.nanoTime();
        Answer other = Vm.checkRecording("other", 2, false);
        long otherMillis = millisSince(before);
        before = System.nanoTime();
        inst.retransformClasses(RetransformTests.Alpha.class);
        long hookMillis = millisSince(before);
        check(holder.isAlive(), "the request was still held meanwhile");

        holder.join();
        long heldMillis = millisSince(start);
        FailureReport report = Injector.disarmFailures();
        eq(1L, report.stalled);
        check(heldMillis >= held, "the held request took " + heldMillis + " ms");
        // Two seconds' margin for a loaded machine; a wait for the held thread takes five.
        check(otherMillis < 2000, "another VM thread's request took " + otherMillis + " ms");
        check(hookMillis < 2000, "the hook of a listed class took " + hookMillis + " ms");
        check(other.value != null && other.pending == null, other.toString());
        check(heldAnswer[0].value != null && heldAnswer[0].pending == null,
              heldAnswer[0].toString());
        eq(2, rewrites.calls.size());
        eq("after!", RetransformTests.Alpha.say());
        RetransformTests.release();
        eq("before", RetransformTests.Alpha.say());
    }
}
