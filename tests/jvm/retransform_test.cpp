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
// class path) and answers the host option that loads it.
class AgentJar {
public:
    AgentJar() : path_("/tmp/zev-retransform-agent-" + std::to_string(getpid()) + ".jar") {
        HostRun run = runHost({}, "zevtests.RetransformAgent", {path_});
        EXPECT_EQ(run.status, 0) << run.output();
    }
    ~AgentJar() { std::remove(path_.c_str()); }
    std::vector<std::string> option() const { return {"-javaagent:" + path_}; }

private:
    std::string path_;
};

void expectCasePassesWithAgent(const std::string& caseName) {
    AgentJar agent;
    expectCasePasses("RetransformTests", caseName, agent.option());
}

}  // namespace

TEST(Retransform, RewritesListedClassesUntilRelease) {
    expectCasePasses("RetransformTests", "rewritesListedClassesUntilRelease");
}

TEST(Retransform, ASecondListIsRefusedUntilRelease) {
    expectCasePasses("RetransformTests", "aSecondListIsRefusedUntilRelease");
}

TEST(Retransform, ACallbackAskingForAnotherListIsRefused) {
    expectCasePasses("RetransformTests", "aCallbackAskingForAnotherListIsRefused");
}

TEST(Retransform, ArraysThatPublishNoList) {
    expectCasePasses("RetransformTests", "arraysThatPublishNoList");
}

TEST(Retransform, AThrowingCallbackFailsTheRetransformation) {
    expectCasePassesWithAgent("aThrowingCallbackFailsTheRetransformation");
}

TEST(Retransform, OtherToolsReachTheCallbackForListedClassesOnly) {
    expectCasePassesWithAgent("otherToolsReachTheCallbackForListedClassesOnly");
}

TEST(Retransform, ReleaseWhileHooksRun) {
    expectCasePassesWithAgent("releaseWhileHooksRun");
}
