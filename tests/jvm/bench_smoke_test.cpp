// The benchmark programs, each run once with tiny counts under -Xcheck:jni:
// every mode must finish, check what it measured and leave no JNI warning.
// No timing is judged here; `make bench` does the measuring.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "harness.h"

namespace {

// Runs zevbench.Child in one mode; expects exit 0, no JNI warning and the
// line the driver would read.
void expectModeRuns(const std::vector<std::string>& args, const std::string& line,
                    bool agent = false) {
    std::vector<std::string> options = {
        "-cp", std::string(ZEV_BENCH_JAR) + ":" + ZEV_ASM_JAR + ":" + ZEV_GUAVA_JAR};
    if (agent) {
        options.push_back(std::string("-javaagent:") + ZEV_BENCH_AGENT_JAR);
    }
    HostRun run = runHost(options, "zevbench.Child", args);
    EXPECT_EQ(run.status, 0) << run.output();
    EXPECT_EQ(jniWarnings(run), "") << run.output();
    EXPECT_TRUE(contains(run.out, line)) << run.output();
}

}  // namespace

TEST(BenchSmoke, NativesAndStartRecordingRequestsBesideTheirBaselines) {
    expectModeRuns({"natives", "1", "2000", "200"}, "SAMPLE startRecording ");
}

TEST(BenchSmoke, DefiningClassesWithTheHookSwitchedOnAndOff) {
    expectModeRuns({"hook", "1", "100", "50"}, "SAMPLE hook ");
}

TEST(BenchSmoke, DefiningClassesWithAnAgentsTransformer) {
    expectModeRuns({"agent-hook", "1", "100"}, "SAMPLE agent-hook ", true);
}

// Few classes: the JDK's own agent library keeps a local reference per class
// it retransforms, beyond what -Xcheck:jni allows a native frame.
TEST(BenchSmoke, RetransformingThroughLibzevPatchesEveryClass) {
    expectModeRuns({"retransform-zev", "10"}, "VALUE retransform10 zev ");
}

TEST(BenchSmoke, RetransformingThroughTheAgentPatchesEveryClass) {
    expectModeRuns({"retransform-agent", "10"}, "VALUE retransform10 agent ", true);
}

// Guava's classes under the ASM probe: the workload answers the same before,
// instrumented and after the release, and the probe counts only in between.
TEST(BenchSmoke, GuavaProbedThroughLibzevBehavesTheSame) {
    expectModeRuns({"guava-zev", "asm", "20"}, "VALUE guava-asm zev ");
}

TEST(BenchSmoke, GuavaProbedThroughTheAgentBehavesTheSame) {
    expectModeRuns({"guava-agent", "asm", "20"}, "VALUE guava-asm agent ", true);
}

TEST(BenchSmoke, MemoryIsReadWhileTheVmThreadStaysAttached) {
    expectModeRuns({"memory", "100", "1000", "100"}, "VALUE memory ");
}

// The first retransformation of a fresh JVM: the workload's runs after the
// call answer as before, on each side and without the host's agent.
TEST(BenchSmoke, FirstRetransformationOfAFreshJvmOnEverySide) {
    expectModeRuns({"cold-zev", "asm", "20", "2"}, "VALUE cold-asm zev ");
    expectModeRuns({"cold-agent", "asm", "20", "2"}, "VALUE cold-asm agent ", true);
}
