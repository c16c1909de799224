// The main job, run as a user runs it: the demo's whole transcript in a real
// JVM under -Xcheck:jni, and its two other faces.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "harness.h"

namespace {

// The build tree puts the demo's jar beside the host's directory.
std::string demoJar() {
    std::string host = ZEV_HOST;
    std::string build = host.substr(0, host.rfind('/', host.rfind('/') - 1));
    return build + "/demo/zevdemo.jar";
}

HostRun runDemo(std::vector<std::string> hostOptions) {
    hostOptions.insert(hostOptions.begin(), {"-cp", demoJar()});
    return runHost(hostOptions, "demo.RecorderLife");
}

void expectCleanPass(const HostRun& run) {
    EXPECT_EQ(run.status, 0) << run.out << run.err;
    EXPECT_EQ(jniWarnings(run), "") << run.out << run.err;
    EXPECT_FALSE(contains(run.out, "NOT AS EXPECTED")) << run.out;
    EXPECT_TRUE(contains(run.out, "result: PASS")) << run.out;
}

void expectLines(const HostRun& run, const std::vector<std::string>& lines) {
    for (const std::string& line : lines) {
        EXPECT_TRUE(contains(run.out, line)) << "missing: " << line << "\n" << run.out << run.err;
    }
}

}  // namespace

// The demo checks every step itself (48 checks); the case holds it to a clean
// pass and to the lines that say each stage did its work.
TEST(Demo, WholeLifeWithRecorder) {
    HostRun run = runDemo({});
    expectCleanPass(run);
    EXPECT_EQ(run.err, "");
    expectLines(run, {
        "stages passed: 7/7", "vm| log(5, \"Loaded ZEV library\")",
        "all 12 fields are those the VM was given",
        "java| checkRecording(\"demo\", 0) on VM Thread", "10000 answered, 0 null, 0 exceptions",
        "the VM's memory holds 280000 bytes, identical",
        "calls recorded: {Inventory.reserve=1000, Shop.placeOrder=1000}",
        "the instrumentation is gone",
        "wrong JNIEnv seen by the VM: 0, values unreadable (exception pending): 0",
    });
}

TEST(Demo, WithoutRecorderInterfaceTellsTheUnsupportedStory) {
    HostRun run = runDemo({"--no-recorder"});
    expectCleanPass(run);
    expectLines(run, {
        "recorder interface (GetEnv version 0xF0300130): refused by the VM",
        "upcall table registered with the VM: false",
        "startHalcyra() -> false: the recorder stays off",
        "flush() -> java.lang.Exception: VMZEV_flush: the VM has no recorder interface",
        "calls recorded: 0", "VM interface calls journaled: 0", "stages passed: 3/3",
    });
    EXPECT_TRUE(contains(run.err, "ZEV [5]: demo: logged without a recorder")) << run.err;
    EXPECT_FALSE(contains(run.out, "== 4.")) << run.out;
}

TEST(Demo, DisabledRecorderAnswersNullWithoutJava) {
    HostRun run = runDemo({"--disabled"});
    expectCleanPass(run);
    EXPECT_EQ(run.err, "");
    expectLines(run, {
        "isDisabledOnCommandLine() -> true", "disabled on the command line: the recorder is not started",
        "VM: start_recording -> null on VM Thread", "VM: dump_recording -> null on VM Thread",
        "0 answered, 10000 null, 0 exceptions",
        "ZEV.get() called 0 times, recorder bound: false", "stages passed: 3/3",
    });
    EXPECT_FALSE(contains(run.out, "java|")) << run.out;
    EXPECT_FALSE(contains(run.out, "start_recorder")) << run.out;
}
