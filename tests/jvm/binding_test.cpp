// VMZEV.init and VMZEV.options in a real JVM.
#include <gtest/gtest.h>

#include <csignal>

#include "harness.h"

TEST(Binding, InitBindsOverInitBuffer) {
    expectCasePasses("BindingTests", "initBindsOverInitBuffer");
}

TEST(Binding, SecondInitIsInvariant) {
    HostRun run = runHost({}, "zevtests.BindingTests", {"initTwice"});
    EXPECT_EQ(run.signal, SIGABRT) << run.output();
    EXPECT_TRUE(contains(run.out, "first init bound")) << run.output();
    EXPECT_FALSE(contains(run.out, "second init returned")) << run.output();
    EXPECT_TRUE(contains(run.err, "guarantee failed: invariant\n")) << run.err;
    EXPECT_EQ(jniWarnings(run), "") << run.output();
}

TEST(Binding, ConcurrentInitsBindOnce) {
    HostRun run = runHost({}, "zevtests.BindingTests", {"concurrentInits"});
    EXPECT_EQ(run.signal, SIGABRT) << run.output();
    EXPECT_FALSE(contains(run.out, "both inits returned")) << run.output();
    EXPECT_TRUE(contains(run.err, "guarantee failed: invariant\n")) << run.err;
    EXPECT_EQ(jniWarnings(run), "") << run.output();
}

TEST(Binding, RefusedLocaleKeepsBinding) {
    expectCasePasses("BindingTests", "refusedLocaleKeepsBinding");
}

TEST(Binding, RefusedRepositoryKeepsBinding) {
    expectCasePasses("BindingTests", "refusedRepositoryKeepsBinding");
}

TEST(Binding, MissingInitBufferKeepsBinding) {
    expectCasePasses("BindingTests", "missingInitBufferKeepsBinding");
}

TEST(Binding, OptionsCarryEveryField) { expectCasePasses("BindingTests", "optionsCarryEveryField"); }
