// Concurrency in a real JVM that the soak cannot time: a thread held up
// inside the library's JNI call holds up no other thread.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "harness.h"

TEST(Concurrency, AHeldRequestHoldsUpNoOtherThread) {
    // The agent's jar is only a manifest; its class comes from the test class path.
    std::string jar = "/tmp/zev-held-reader-agent-" + std::to_string(getpid()) + ".jar";
    HostRun made = runHost({}, "zevtests.RetransformAgent", {jar});
    ASSERT_EQ(made.status, 0) << made.output();
    HostRun run = runTestHost({"-javaagent:" + jar}, "zevtests.HeldReaderTests",
                              {"aHeldRequestHoldsUpNoOtherThread"});
    std::remove(jar.c_str());
    EXPECT_EQ(run.status, 0) << run.output();
    EXPECT_EQ(jniWarnings(run), "") << run.output();
    EXPECT_TRUE(contains(run.out, "PASS aHeldRequestHoldsUpNoOtherThread")) << run.output();
}
