// The library in a real JVM under -Xcheck:jni, one process a case, any JNI
// warning a failure: the Java groups' cases (zevtests.<group>Tests, one row
// a case), the cases that must end in one of the library's guarantees, whole
// programs (the demo, and the benchmarks whose own natives play parts of the
// VM), and what the library exports.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <set>
#include <sstream>
#include <thread>

extern char** environ;

namespace {

// Standard output and error go to files: a pipe the case does not drain
// could stall a JVM that prints much.
std::string temporaryFile() {
    std::string path = "/tmp/zev-jvm-test-XXXXXX";
    close(mkstemp(path.data()));
    return path;
}

std::string takeFile(const std::string& path) {
    std::stringstream text;
    text << std::ifstream(path).rdbuf();
    remove(path.c_str());
    return text.str();
}

struct HostRun {
    int status = -1;         // exit status, or -1 when a signal ended the process
    int signal = 0;          // that signal, or 0
    bool timed_out = false;  // killed for running past its time
    std::string out;
    std::string err;
    std::string output() const { return "stdout:\n" + out + "\nstderr:\n" + err; }
};

// Runs `zev-host -Xcheck:jni -cp <tests and ASM> <hostOptions> <mainClass>
// <args>`; kills it after a minute.
HostRun runHost(const std::vector<std::string>& hostOptions, const std::string& mainClass,
                const std::vector<std::string>& args) {
    // A cross build's host runs through the emulator: its words come first.
    std::vector<std::string> argv;
    std::istringstream emulator(ZEV_TEST_EMULATOR);
    for (std::string word; emulator >> word;) {
        argv.push_back(word);
    }
    argv.insert(argv.end(), {ZEV_HOST, "-Xcheck:jni", "-cp",
                             std::string(ZEV_TESTS_JAR) + ":" + ZEV_ASM_JAR});
    argv.insert(argv.end(), hostOptions.begin(), hostOptions.end());
    argv.push_back(mainClass);
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<char*> raw;
    for (std::string& a : argv) {
        raw.push_back(a.data());
    }
    raw.push_back(nullptr);

    std::string outPath = temporaryFile();
    std::string errPath = temporaryFile();
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, outPath.c_str(), O_WRONLY | O_TRUNC, 0);
    posix_spawn_file_actions_addopen(&actions, 2, errPath.c_str(), O_WRONLY | O_TRUNC, 0);
    HostRun run;
    pid_t pid = 0;
    int spawned = posix_spawnp(&pid, raw[0], &actions, nullptr, raw.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    int status = 0;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (spawned == 0 && waitpid(pid, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            run.timed_out = true;
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_EQ(spawned, 0) << "could not start " << raw[0];
    if (spawned == 0 && WIFEXITED(status)) {
        run.status = WEXITSTATUS(status);
    } else if (spawned == 0 && WIFSIGNALED(status)) {
        run.signal = WTERMSIG(status);
    }
    run.out = takeFile(outPath);
    run.err = takeFile(errPath);
    return run;
}

bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

// The lines in which -Xcheck:jni reports a misuse of JNI.
std::string jniWarnings(const HostRun& run) {
    std::string found;
    std::istringstream lines(run.out + run.err);
    for (std::string line; std::getline(lines, line);) {
        if (contains(line, "WARNING in native method:") ||
            contains(line, "FATAL ERROR in native method:") ||
            contains(line, "exceeds capacity") || contains(line, "JNI local refs")) {
            found += line + "\n";
        }
    }
    return found;
}

const std::string kJavaAgent = std::string("-javaagent:") + ZEV_TESTS_JAR;
const std::string kThrowingAgent = std::string("-agentpath:") + ZEV_TEST_AGENT;

// One run of zev-host: a Java group's case (zevtests.<group>Tests <method>
// <arguments>, which prints "PASS <method>" when it returns) or a whole
// program. It must exit 0 and print each line, or, with a guarantee, print
// "CALLING" and abort with that guarantee's message before the call returns.
struct Row {
    std::string name;
    std::vector<std::string> hostOptions;
    std::string mainClass;
    std::vector<std::string> args;
    std::vector<std::string> lines;
    const char* guarantee = nullptr;
};

Row java(const std::string& group, std::vector<std::string> args,
         std::vector<std::string> hostOptions = {}, const char* guarantee = nullptr) {
    std::string name = group;
    for (const std::string& a : args) {
        name += "_" + a;
    }
    for (const std::string& o : hostOptions) {
        if (o.rfind("--", 0) == 0) {  // zev-host's own options name the row too
            for (char ch : o.substr(1)) {
                name += std::isalnum(static_cast<unsigned char>(ch)) ? ch : '_';
            }
        }
    }
    std::string line = guarantee ? "CALLING" : "PASS " + args[0];
    return {name, hostOptions, "zevtests." + group + "Tests", args, {line}, guarantee};
}

const Row kRows[] = {
    java("Native", {"status"}),
    java("Native", {"forwarding"}),
    java("Native", {"arraysAndBuffers"}),
    java("Native", {"withoutRecorder"}, {"--no-recorder"}),
    java("Native", {"withoutRecorder"}, {"--null-recorder"}),
    java("Binding", {"init"}),
    java("Binding", {"options"}),
    java("Upcall", {"bootstrap"}),
    java("Upcall", {"conversions"}),
    java("Upcall", {"badStrings"}),
    java("Upcall", {"throwingRecorder"}),
    java("Upcall", {"pendingOnEntry"}),
    java("Retransform", {"listed"}),
    java("Retransform", {"otherAgent"}, {kJavaAgent}),
    java("Retransform", {"releaseInCallback", "ours", "same"}),
    java("Retransform", {"releaseInCallback", "ours", "other"}),
    java("Retransform", {"releaseInCallback", "agent", "same"}, {kJavaAgent}),
    java("Retransform", {"releaseInCallback", "agent", "other"}, {kJavaAgent}),
    java("Retransform", {"releasePending"}),
    java("Retransform", {"hookPending"}, {kThrowingAgent}),

    java("Binding", {"initTwice"}, {}, "invariant"),
    java("Binding", {"concurrentInits"}, {}, "invariant"),
    java("Native", {"descriptorRefused"}, {}, "get_descriptor failed"),
    java("Upcall", {"bootstrapWithoutBinding"}, {}, "invariant"),

    // The demo checks each of its steps itself; the lines say each stage did its work.
    {"Demo", {"-cp", ZEV_DEMO_JAR}, "demo.RecorderLife", {},
     {"result: PASS", "stages passed: 7/7", "10000 answered, 0 null, 0 exceptions",
      "calls recorded: {Inventory.reserve=1000, Shop.placeOrder=1000}",
      "the instrumentation is gone"}},
    {"DemoWithoutRecorder", {"-cp", ZEV_DEMO_JAR, "--no-recorder"}, "demo.RecorderLife", {},
     {"result: PASS", "stages passed: 3/3", "ZEV [5]: demo: logged without a recorder"}},
    {"DemoDisabled", {"-cp", ZEV_DEMO_JAR, "--disabled"}, "demo.RecorderLife", {},
     {"result: PASS", "stages passed: 3/3", "ZEV.get() called 0 times, recorder bound: false"}},
    // The benchmarks run without -Xcheck:jni: here the modes whose own
    // natives (the baselines) make JNI calls.
    {"BenchNatives", {"-cp", ZEV_BENCH_JAR}, "zevbench.Child", {"natives", "1", "2000", "200"},
     {"SAMPLE startRecording "}},
    {"BenchMemory", {"-cp", ZEV_BENCH_JAR}, "zevbench.Child", {"memory", "100", "1000", "100"},
     {"VALUE memory "}},
};

class Jvm : public testing::TestWithParam<Row> {};

// A hung run (a release waiting for a callback that waits for it) fails by
// its time limit.
TEST_P(Jvm, RunsCleanly) {
    const Row& r = GetParam();
    HostRun run = runHost(r.hostOptions, r.mainClass, r.args);
    EXPECT_FALSE(run.timed_out) << run.output();
    if (r.guarantee != nullptr) {
        EXPECT_EQ(run.signal, SIGABRT) << run.output();
        EXPECT_TRUE(contains(run.err, std::string("guarantee failed: ") + r.guarantee + "\n"))
            << run.output();
        EXPECT_FALSE(contains(run.out, "PASS")) << run.output();
    } else {
        EXPECT_EQ(run.status, 0) << run.output();
    }
    EXPECT_EQ(jniWarnings(run), "") << run.output();
    EXPECT_FALSE(contains(run.out, "NOT AS EXPECTED")) << run.output();
    for (const std::string& line : r.lines) {
        EXPECT_TRUE(contains(run.out + run.err, line)) << "missing: " << line << "\n"
                                                      << run.output();
    }
}

// The library exports JNI_OnLoad and the natives that the recorder's classes
// declare, and nothing else.
TEST(Frame, ExportsExactlyJniOnLoadAndTheDeclaredNatives) {
    HostRun run = runHost({}, "zevtests.NativeTests", {"listNatives"});
    ASSERT_EQ(run.status, 0) << run.output();
    std::set<std::string> expected = {"JNI_OnLoad"};
    std::istringstream lines(run.out);
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind("NATIVE ", 0) == 0) {
            expected.insert(line.substr(7));
        }
    }
    EXPECT_EQ(expected.size(), 32u) << "JNI_OnLoad and 31 natives";
    std::set<std::string> exported;
    FILE* nm = popen((std::string("nm -D --defined-only ") + ZEV_LIBRARY).c_str(), "r");
    ASSERT_NE(nm, nullptr);
    char line[512];
    while (fgets(line, sizeof(line), nm) != nullptr) {
        std::istringstream fields(line);
        std::string address, type, name;
        fields >> address >> type >> name;
        if (!name.empty()) {
            exported.insert(name);
        }
    }
    EXPECT_EQ(pclose(nm), 0);
    EXPECT_EQ(exported, expected);
}

// How gtest shows a row in the test's name.
void PrintTo(const Row& r, std::ostream* out) {
    *out << r.name;
}

}  // namespace

INSTANTIATE_TEST_SUITE_P(Rows, Jvm, testing::ValuesIn(kRows),
                         [](const testing::TestParamInfo<Row>& info) { return info.param.name; });
