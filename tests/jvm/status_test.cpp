// The status natives in a real JVM: caches, starting, a VM without the
// recorder interface, and the release upcall racing failed starts.
#include <gtest/gtest.h>

#include "harness.h"

TEST(Status, WithoutRecorderInterface) {
    HostRun run = runHost({"--no-recorder"}, "zevtests.StatusTests", {"withoutRecorderInterface"});
    EXPECT_EQ(run.status, 0) << run.output();
    EXPECT_EQ(jniWarnings(run), "") << run.output();
    EXPECT_TRUE(contains(run.out, "PASS withoutRecorderInterface")) << run.output();
    // The log line goes to standard error, unformatted, in the library's own form.
    EXPECT_TRUE(contains(run.err, "ZEV [5]: no recorder here, 100% plain\n")) << run.err;
}

