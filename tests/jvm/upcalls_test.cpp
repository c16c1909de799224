// The VM's upcalls in a real JVM: the recorder bootstrap, what each entry
// hands Java and answers the VM, release, and the two things a VM thread
// needs beyond that: no references left behind, and no use of a released one.
#include <gtest/gtest.h>

#include <csignal>

#include "harness.h"

TEST(Upcalls, BootstrapsOnEveryRequestUntilStarted) {
    expectCasePasses("UpcallTests", "bootstrapOnEveryRequestUntilStarted");
}

TEST(Upcalls, BootstrapAnsweringNullOrThrowingLogsAndAnswersNull) {
    expectCasePasses("UpcallTests", "bootstrapFailures");
}

TEST(Upcalls, BootstrapAnsweringWithoutBindingEndsTheProcess) {
    HostRun run = runHost({}, "zevtests.UpcallTests", {"bootstrapAnswersWithoutBinding"});
    EXPECT_EQ(run.signal, SIGABRT) << run.output();
    EXPECT_TRUE(contains(run.out, "requesting")) << run.output();
    EXPECT_FALSE(contains(run.out, "survived")) << run.output();
    EXPECT_TRUE(contains(run.err, "guarantee failed: invariant\n")) << run.output();
    EXPECT_EQ(jniWarnings(run), "") << run.output();
}

TEST(Upcalls, DisabledOnTheCommandLineNothingReachesJava) {
    expectCasePasses("UpcallTests", "disabledOnCommandLine", {"--disabled"});
}

TEST(Upcalls, ArgumentsReachTheRecorderInOrderOrAreRefusedBeforeJava) {
    expectCasePasses("UpcallTests", "argumentsReachTheRecorderInOrder");
}

TEST(Upcalls, RecorderMethodsThatThrowLeaveTheirExceptionPending) {
    expectCasePasses("UpcallTests", "recorderMethodsThatThrow");
}

TEST(Upcalls, ChunkReportsAndTheirRefusals) { expectCasePasses("UpcallTests", "chunkReports"); }

TEST(Upcalls, DefaultBootstrapThenReleaseTwiceThenBindAgain) {
    expectCasePasses("UpcallTests", "releaseTwiceThenBindAgain");
}

// A fixed, pre-touched heap, so that resident memory moves only with native
// memory; large enough that objects held by leaked references show as heap
// growth rather than as a collector thrashing near its limit.
TEST(Upcalls, ManyRequestsOnOneVmThreadLeaveNothingBehind) {
    expectCasePasses("UpcallTests", "manyRequestsOnOneVmThread",
                     {"-Xms256m", "-Xmx256m", "-XX:+AlwaysPreTouch"});
}

TEST(Upcalls, ReleaseWhileRequestsRunOnSeveralVmThreads) {
    expectCasePasses("UpcallTests", "releaseWhileRequestsRun");
}
