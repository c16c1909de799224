// Class retransformation with the JVM's own JVMTI and real class files. The
// cases that need another instrumenting tool in the JVM run with a
// java.lang.instrument agent beside the library.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "harness.h"

namespace {

// Writes the agent's jar (only a manifest; the class comes from the test
// class path) and runs the case with it.
void expectCasePassesWithAgent(const std::string& caseName) {
    std::string jar = "/tmp/zev-retransform-agent-" + std::to_string(getpid()) + ".jar";
    HostRun run = runHost({}, "zevtests.RetransformAgent", {jar});
    ASSERT_EQ(run.status, 0) << run.output();
    expectCasePasses("RetransformTests", caseName, {"-javaagent:" + jar});
    std::remove(jar.c_str());
}

}  // namespace

TEST(Retransform, AListRewritesItsClassesUntilTheRelease) {
    expectCasePasses("RetransformTests", "aListRewritesItsClassesUntilTheRelease");
}

TEST(Retransform, AReleaseFromTheCallbackNeverWaitsForIt) {
    expectCasePasses("RetransformTests", "aReleaseFromTheCallbackNeverWaitsForIt");
}

TEST(Retransform, OtherToolsAndFailingHooks) {
    expectCasePassesWithAgent("otherToolsAndFailingHooks");
}

TEST(Retransform, ReleaseWhileHooksRun) {
    expectCasePassesWithAgent("releaseWhileHooksRun");
}
