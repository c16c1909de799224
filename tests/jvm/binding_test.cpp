// VMZEV.init and VMZEV.options in a real JVM.
#include <gtest/gtest.h>

#include <csignal>

#include "harness.h"

TEST(Binding, InitBindsEvenWhenTheVmRefuses) {
    expectCasePasses("BindingTests", "initBindsEvenWhenTheVmRefuses");
}

TEST(Binding, OptionsCarryEveryField) { expectCasePasses("BindingTests", "optionsCarryEveryField"); }

// A second init, after the first or racing it, ends in "invariant" before it returns.
static void expectInvariant(const std::string& caseName, const std::string& printed,
                            const std::string& neverPrinted) {
    HostRun run = runHost({}, "zevtests.BindingTests", {caseName});
    EXPECT_EQ(run.signal, SIGABRT) << run.output();
    EXPECT_TRUE(contains(run.out, printed)) << run.output();
    EXPECT_FALSE(contains(run.out, neverPrinted)) << run.output();
    EXPECT_TRUE(contains(run.err, "guarantee failed: invariant\n")) << run.err;
    EXPECT_EQ(jniWarnings(run), "") << run.output();
}

TEST(Binding, SecondInitIsInvariant) {
    expectInvariant("initTwice", "first init bound", "second init returned");
}

TEST(Binding, ConcurrentInitsBindOnce) {
    expectInvariant("concurrentInits", "", "both inits returned");
}
