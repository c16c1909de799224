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

TEST(Demo, WholeLifeWithRecorder) {
    HostRun run = runDemo({});
    expectCleanPass(run);
    EXPECT_EQ(run.err, "");
    expectLines(run, {
        "== 1. Load", "== 2. Status and start", "== 3. Binding", "== 4. VM requests",
        "== 5. Events", "== 6. Instrumentation", "== 7. Bad input", "stages passed: 7/7",
        // load and start
        "JNI_OnLoad answered 0x00010002", "vm| register_upcalls()",
        "vm| log(5, \"Loaded ZEV library\")", "startHalcyra() -> true",
        // binding
        "initial buffer: direct, capacity 8192 bytes, over the VM's memory: true",
        "a byte Java put at offset 0 is in the VM's memory: 0x5a",
        "all 12 fields are those the VM was given",
        // VM requests reach Java on VM threads, and the answers come back
        "java| checkRecording(\"demo\", 0) on VM Thread",
        "VM: check_recording -> \"Recording 1 \"demo\" is running\" on VM Thread",
        "VM: stop_recording -> \"Stopped recording 1 \"demo\"\" on VM Thread",
        "10000 answered, 0 null, 0 exceptions",
        // events
        "write(): 10000 events of 28 bytes -> the VM's memory holds 280000 bytes, identical",
        "descriptors(101) -> 101: descriptor buffer 4096 bytes, descriptor 64 bytes starting 65 66 67",
        "VM: finish_chunk -> true on VM Thread", "VM: new_chunk -> void on VM Thread",
        // instrumentation on and off
        "vm| log(5, \"classFileLoadHook called for demo/app/Shop\")",
        "calls recorded: {Inventory.reserve=1000, Shop.placeOrder=1000}",
        "2000 events (56000 bytes) in the VM",
        "VM: release_bindings -> 0 on VM Thread",
        "calls recorded still {Inventory.reserve=1000, Shop.placeOrder=1000}: the instrumentation is gone",
        // bad input
        "-> java.lang.Exception: Illegal id 9  (VM asked: set_period(9, 20))",
        "-> java.lang.ArrayIndexOutOfBoundsException",
        "-> java.lang.IllegalArgumentException: addConstPool: not a direct buffer  (VM not called)",
        "Logger.output0(1, null) -> java.lang.NullPointerException (empty message)  (VM not called)",
        "vm| log(1, \"startRecording: -1 settings at a valid address\")",
        "VM: finish chunk after the release: finish_chunk -> false on VM Thread",
        "pending java.lang.IllegalStateException: cannot dump \"explode\" on VM Thread",
        "VM: check_recording -> \"0 recording(s) running\" on VM Thread",
        // summary
        "wrong JNIEnv seen by the VM: 0, values unreadable (exception pending): 0",
        "error lines logged to the VM (level 1): 2",
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
