// The data and control natives in a real JVM.
#include <gtest/gtest.h>

#include <csignal>

#include "harness.h"

TEST(Data, ForwardingNativesAnswerTheVm) {
    expectCasePasses("DataTests", "forwardingNativesAnswerTheVm");
}

TEST(Data, BytesReachTheVmCopied) { expectCasePasses("DataTests", "bytesReachTheVmCopied"); }

TEST(Data, BuffersOverVmMemory) { expectCasePasses("DataTests", "buffersOverVmMemory"); }

TEST(Data, WriteLendsTheElements) { expectCasePasses("DataTests", "writeLendsTheElements"); }

TEST(Data, DescriptorRefusedEndsProcess) {
    HostRun run = runHost({}, "zevtests.DataTests", {"descriptorRefused"});
    EXPECT_EQ(run.signal, SIGABRT) << run.output();
    EXPECT_TRUE(contains(run.out, "asking for descriptor 6")) << run.output();
    EXPECT_FALSE(contains(run.out, "descriptors returned")) << run.output();
    EXPECT_TRUE(contains(run.err, "guarantee failed: get_descriptor failed\n")) << run.err;
    EXPECT_EQ(jniWarnings(run), "") << run.output();
}
