// The library in a real JVM under -Xcheck:jni, one process a case, any JNI
// warning a failure: the Java groups' cases (zevtests.<group>Tests, one row
// a case), the cases that must end in one of the library's guarantees,
// the demo, and what the library exports.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <sstream>

namespace {

struct HostRun {
    int status = 0;  // as waitpid reports it: 0 for exit status 0
    std::string out;
    std::string err;
    std::string output() const {
        return "wait status " + std::to_string(status) + "\nstdout:\n" + out + "\nstderr:\n" + err;
    }
};

std::string takeFile(const std::string& path) {
    std::stringstream text;
    text << std::ifstream(path).rdbuf();
    remove(path.c_str());
    return text.str();
}

// Runs `zev-host -Xcheck:jni -cp <tests and ASM> <arguments>`. Standard
// output and error go to files: a pipe the case does not drain could stall
// a JVM that prints much.
HostRun runHost(const std::vector<std::string>& arguments) {
    // A cross build's host runs through the emulator: its words come first.
    std::istringstream emulator(ZEV_TEST_EMULATOR);
    std::vector<std::string> argv{std::istream_iterator<std::string>(emulator), {}};
    argv.insert(argv.end(), {ZEV_HOST, "-Xcheck:jni", "-cp",
                             std::string(ZEV_TESTS_JAR) + ":" + ZEV_ASM_JAR});
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    std::vector<char*> raw;
    for (std::string& a : argv) {
        raw.push_back(a.data());
    }
    raw.push_back(nullptr);

    std::string outPath = "/tmp/zev-jvm-test-XXXXXX";
    std::string errPath = outPath;
    int out = mkstemp(outPath.data());
    int err = mkstemp(errPath.data());
    pid_t pid = fork();
    if (pid == 0) {
        // A hung run (a release waiting for a callback that waits for it)
        // ends by SIGALRM after a minute, which the JVM leaves to its default.
        alarm(60);
        dup2(open("/dev/null", O_RDONLY), 0);
        dup2(out, 1);
        dup2(err, 2);
        execvp(raw[0], raw.data());
        _exit(127);  // could not start the host
    }
    close(out);
    close(err);
    HostRun run;
    waitpid(pid, &run.status, 0);
    run.out = takeFile(outPath);
    run.err = takeFile(errPath);
    return run;
}

bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

// One run of zev-host: a Java group's case (zevtests.Cases <group> <case>
// <arguments>, which prints "PASS <case>" when it returns) or a whole
// program. It must exit 0 and print each line, or, with a guarantee, print
// "CALLING" and abort with that guarantee's message before the call returns.
struct Row {
    std::string name;
    std::vector<std::string> arguments;
    std::vector<std::string> lines;
    const char* guarantee = nullptr;
};

Row java(const std::string& group, const std::vector<std::string>& args,
         std::vector<std::string> hostOptions = {}, const char* guarantee = nullptr) {
    std::string name = group;
    for (const std::string& a : args) {
        name += "_" + a;
    }
    for (std::string o : hostOptions) {
        if (o.rfind("--", 0) == 0) {  // zev-host's own options name the row too
            std::replace(o.begin(), o.end(), '-', '_');
            name += o.substr(1);
        }
    }
    hostOptions.insert(hostOptions.end(), {"zevtests.Cases", group});
    hostOptions.insert(hostOptions.end(), args.begin(), args.end());
    return {name, hostOptions, {guarantee ? "CALLING" : "PASS " + args[0]}, guarantee};
}

const std::string kJavaAgent = std::string("-javaagent:") + ZEV_TESTS_JAR;
const std::string kThrowingAgent = std::string("-agentpath:") + ZEV_TEST_AGENT;

const Row kRows[] = {
    java("Native", {"status"}),
    java("Native", {"forwarding"}),
    java("Native", {"arraysAndBuffers"}),
    java("Native", {"init"}),
    java("Native", {"options"}),
    java("Native", {"withoutRecorder"}, {"--no-recorder"}),
    java("Native", {"withoutRecorder"}, {"--null-recorder"}),
    java("Upcall", {"bootstrap"}),
    java("Upcall", {"conversions", "vm"}),
    java("Upcall", {"conversions", "java"}),
    java("Upcall", {"exceptions", "vm"}),
    java("Upcall", {"exceptions", "java"}),
    java("Retransform", {"listed"}),
    java("Retransform", {"otherAgent"}, {kJavaAgent}),
    java("Retransform", {"releaseInCallback", "ours", "same"}),
    java("Retransform", {"releaseInCallback", "ours", "other"}),
    java("Retransform", {"releaseInCallback", "agent", "same"}, {kJavaAgent}),
    java("Retransform", {"releaseInCallback", "agent", "other"}, {kJavaAgent}),
    java("Retransform", {"pendingOnEntry"}, {kThrowingAgent}),

    java("Native", {"initTwice"}, {}, "invariant"),
    java("Native", {"concurrentInits"}, {}, "invariant"),
    java("Native", {"descriptorRefused"}, {}, "get_descriptor failed"),
    java("Upcall", {"bootstrapWithoutBinding"}, {}, "invariant"),

    // The demo checks each of its steps itself; the lines say each stage did its work.
    {"Demo", {"-cp", ZEV_DEMO_JAR, "demo.RecorderLife"},
     {"result: PASS", "stages passed: 7/7", "10000 answered, 0 null, 0 exceptions",
      "calls recorded: {Inventory.reserve=1000, Shop.placeOrder=1000}",
      "the instrumentation is gone"}},
    {"DemoWithoutRecorder", {"-cp", ZEV_DEMO_JAR, "--no-recorder", "demo.RecorderLife"},
     {"result: PASS", "stages passed: 3/3", "ZEV [5]: demo: logged without a recorder"}},
    {"DemoDisabled", {"-cp", ZEV_DEMO_JAR, "--disabled", "demo.RecorderLife"},
     {"result: PASS", "stages passed: 3/3", "ZEV.get() called 0 times, recorder bound: false"}},
};

class Jvm : public testing::TestWithParam<Row> {};

TEST_P(Jvm, RunsCleanly) {
    const Row& r = GetParam();
    HostRun run = runHost(r.arguments);
    if (r.guarantee != nullptr) {
        EXPECT_TRUE(WIFSIGNALED(run.status) && WTERMSIG(run.status) == SIGABRT) << run.output();
        EXPECT_TRUE(contains(run.err, std::string("guarantee failed: ") + r.guarantee + "\n"))
            << run.output();
        EXPECT_FALSE(contains(run.out, "PASS")) << run.output();
    } else {
        EXPECT_EQ(run.status, 0) << run.output();
    }
    // What -Xcheck:jni prints about a misuse of JNI, and the demo about a wrong result.
    for (const char* wrong : {"WARNING in native method:", "FATAL ERROR in native method:",
                              "exceeds capacity", "JNI local refs", "NOT AS EXPECTED"}) {
        EXPECT_FALSE(contains(run.out + run.err, wrong)) << run.output();
    }
    for (const std::string& line : r.lines) {
        EXPECT_TRUE(contains(run.out + run.err, line)) << "missing: " << line << "\n"
                                                      << run.output();
    }
}

// The library exports JNI_OnLoad and the natives that the recorder's classes
// declare, as withoutRecorder prints them, and nothing else.
TEST(Frame, ExportsExactlyJniOnLoadAndTheDeclaredNatives) {
    FILE* nm = popen("nm -D --defined-only " ZEV_LIBRARY " | LC_ALL=C sort -k 3", "r");
    ASSERT_NE(nm, nullptr);
    std::string exported = "EXPORTS";
    char symbol[512];
    while (fscanf(nm, "%*s %*s %511s", symbol) == 1) {  // address, type, name
        exported += std::string(" ") + symbol;
    }
    EXPECT_EQ(pclose(nm), 0);
    HostRun run = runHost({"--no-recorder", "zevtests.Cases", "Native", "withoutRecorder"});
    EXPECT_TRUE(contains(run.out, exported + "\n")) << exported << "\n" << run.output();
}

// How gtest shows a row in the test's name.
void PrintTo(const Row& r, std::ostream* out) {
    *out << r.name;
}

}  // namespace

INSTANTIATE_TEST_SUITE_P(Rows, Jvm, testing::ValuesIn(kRows),
                         [](const testing::TestParamInfo<Row>& info) { return info.param.name; });
