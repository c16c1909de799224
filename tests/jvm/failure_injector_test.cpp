// The host's failure injector, which the failure sweep relies on: it composes
// with -Xcheck:jni, counts and fails the library's calls only, and can be
// armed for a whole run from the command line.
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
    HostRun run = runHost({}, "zevtests.FailureInjectorTests", {"checkedJniStillChecks"});
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
    HostRun run = runHost({"--fail", "1,jni"}, "zevtests.FailureInjectorTests",
                          {"armedForTheWholeRun"});
    EXPECT_EQ(run.status, 0) << run.output();
    EXPECT_EQ(jniWarnings(run), "") << run.output();
    EXPECT_TRUE(contains(run.out, "PASS armedForTheWholeRun")) << run.output();
    EXPECT_TRUE(contains(run.err, "zev-host: --fail 1,jni: 2 counted, 1 failed, first GetStringUTFChars "
                                  "(call 1) in Java_tesmar_nuvrak_zev_Logger_output0+0x"))
        << run.output();
}
