// The failure injector of the tests' host, which the failure sweep and the
// soak rely on: it composes with -Xcheck:jni, counts and fails the library's
// calls only, holds a chosen call when asked, and can be armed for a whole
// run from the command line. The installed host has none of it.
#include <gtest/gtest.h>

#include <string>

#include "harness.h"

namespace {

int count(const std::string& text, const std::string& part) {
    int n = 0;
    for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
        ++n;
    }
    return n;
}

}  // namespace

TEST(FailureInjector, CheckedJniStillReportsMisuseThroughTheInjectorsTable) {
    HostRun run = runTestHost({}, "zevtests.FailureInjectorTests", {"checkedJniStillChecks"});
    ASSERT_EQ(run.status, 0) << run.output();
    EXPECT_TRUE(contains(run.out, "PASS checkedJniStillChecks")) << run.output();
    // One report per probe: made through the JVM's table, then through ours.
    EXPECT_EQ(count(run.out, "WARNING in native method: JNI call made with exception pending"), 2)
        << run.output();
    std::size_t second = run.out.find("probe 1 done");
    ASSERT_NE(second, std::string::npos);
    EXPECT_NE(run.out.find("JNI call made with exception pending", second), std::string::npos)
        << run.output();
}

TEST(FailureInjector, ArmedForAWholeRunFromTheCommandLine) {
    HostRun run = runTestHost({"--fail", "1,jni"}, "zevtests.FailureInjectorTests",
                          {"armedForTheWholeRun"});
    EXPECT_EQ(run.status, 0) << run.output();
    EXPECT_EQ(jniWarnings(run), "") << run.output();
    EXPECT_TRUE(contains(run.out, "PASS armedForTheWholeRun")) << run.output();
    EXPECT_TRUE(contains(run.err, "zev-host: --fail 1,jni: 2 counted, 1 failed, first GetStringUTFChars "
                                  "(call 1) in Java_tesmar_nuvrak_zev_Logger_output0+0x"))
        << run.output();
}

TEST(FailureInjector, CountsAndFailsTheLibrarysCallsOnly) {
    HostRun run = runTestHost({}, "zevtests.FailureInjectorTests",
                              {"countsAndFailsTheLibrarysCallsOnly"});
    EXPECT_EQ(run.status, 0) << run.output();
    EXPECT_EQ(jniWarnings(run), "") << run.output();
    EXPECT_TRUE(contains(run.out, "PASS countsAndFailsTheLibrarysCallsOnly")) << run.output();
}

TEST(FailureInjector, AStallHoldsOneCallAndChangesNothingElse) {
    HostRun run = runTestHost({}, "zevtests.FailureInjectorTests", {"aStallHoldsOneCall"});
    EXPECT_EQ(run.status, 0) << run.output();
    EXPECT_EQ(jniWarnings(run), "") << run.output();
    EXPECT_TRUE(contains(run.out, "PASS aStallHoldsOneCall")) << run.output();
}

// zev-host itself has no injector: the option is refused and Injector's
// natives are not bound.
TEST(FailureInjector, TheProductHostHasNone) {
    HostRun refused = runHost({"--fail", "1"}, "zevtests.FailureInjectorTests",
                              {"checkedJniStillChecks"});
    EXPECT_EQ(refused.status, 2) << refused.output();
    EXPECT_TRUE(contains(refused.err, "zev-host: unknown option --fail")) << refused.output();
    HostRun unbound = runHost({}, "zevtests.FailureInjectorTests", {"noInjectorInTheProduct"});
    EXPECT_EQ(unbound.status, 0) << unbound.output();
    EXPECT_TRUE(contains(unbound.out, "PASS noInjectorInTheProduct")) << unbound.output();
}
