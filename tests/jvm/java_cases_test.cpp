// The Java test programs' cases in a real JVM, one process each: the cases
// that must pass with no JNI warning, and the cases that must end in one of
// the library's guarantees. Grouped by behaviour: bad input from the VM
// side (strings that are not modified UTF-8, upcalls with an exception
// pending, cut messages), binding (init's order,
// refusals that keep the binding, options), data natives (what reaches the
// VM byte for byte, buffers over VM memory), the load, retransformation (real
// class files rewritten and restored, other tools' retransformations, a
// release arriving from the callback), status natives, and upcalls (the
// bootstrap, conversions, failures, chunk reports).
#include <gtest/gtest.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <ostream>
#include <string>
#include <vector>

#include "harness.h"

namespace {

struct PassingCase {
    const char* group;
    const char* testClass;
    const char* caseName;
    std::vector<std::string> hostOptions;
    bool withAgent = false;  // another instrumenting tool in the JVM: a java.lang.instrument agent
};

const PassingCase kPassingCases[] = {
    {"BadInput", "BadInputTests", "badStringsAreRefusedAndNamed", {}},
    {"BadInput", "BadInputTests", "goodStringsArriveExactly", {}},
    {"BadInput", "BadInputTests", "optionsStringsAreChecked", {}},
    {"BadInput", "BadInputTests", "cutMessagesEndOnWholeCharacters", {}},
    {"BadInput", "BadInputTests", "upcallsWithAnExceptionPending", {}},
    {"BadInput", "BadInputTests", "argumentsTheVmCannotCheck", {}},
    {"BadInputNoRecorder", "BadInputTests", "retransformWithoutRecorderInterface", {"--no-recorder"}},
    {"Binding", "BindingTests", "initBindsEvenWhenTheVmRefuses", {}},
    {"Binding", "BindingTests", "optionsCarryEveryField", {}},
    {"Data", "DataTests", "forwardingNativesAnswerTheVm", {}},
    {"Data", "DataTests", "bytesReachTheVmCopied", {}},
    {"Data", "DataTests", "buffersOverVmMemory", {}},
    {"Data", "DataTests", "writeLendsTheElements", {}},
    {"FrameNullRecorder", "FrameTests", "loadWithoutRecorder", {"--null-recorder"}},
    {"Retransform", "RetransformTests", "aListRewritesItsClassesUntilTheRelease", {}},
    {"Retransform", "RetransformTests", "aReleaseFromTheCallbackNeverWaitsForIt", {}},
    {"Retransform", "RetransformTests", "otherToolsAndFailingHooks", {}, true},
    {"Status", "StatusTests", "cachesAreSticky", {}},
    {"Status", "StatusTests", "failedStartDropsBinding", {}},
    {"Status", "StatusTests", "slowFalseLeavesTheTrueCached", {}},
    {"Upcalls", "UpcallTests", "bootstrapOnEveryRequestUntilStarted", {}},
    {"Upcalls", "UpcallTests", "bootstrapFailures", {}},
    {"Upcalls", "UpcallTests", "argumentsReachTheRecorderInOrder", {}},
    {"Upcalls", "UpcallTests", "recorderMethodsThatThrow", {}},
    {"Upcalls", "UpcallTests", "chunkReports", {}},
};

class Passes : public testing::TestWithParam<PassingCase> {};

TEST_P(Passes, WithNoJniWarning) {
    const PassingCase& c = GetParam();
    if (!c.withAgent) {
        expectCasePasses(c.testClass, c.caseName, c.hostOptions);
        return;
    }
    // The agent's jar is only a manifest; its class comes from the test class path.
    std::string jar = "/tmp/zev-retransform-agent-" + std::to_string(getpid()) + ".jar";
    HostRun made = runHost({}, "zevtests.RetransformAgent", {jar});
    ASSERT_EQ(made.status, 0) << made.output();
    std::vector<std::string> options = c.hostOptions;
    options.push_back("-javaagent:" + jar);
    expectCasePasses(c.testClass, c.caseName, options);
    std::remove(jar.c_str());
}

struct AbortingCase {
    const char* group;
    const char* testClass;
    const char* caseName;
    const char* printedBefore;  // what the program printed before the abort
    const char* neverPrinted;   // what it would have printed had the call returned
    const char* guarantee;
};

const AbortingCase kAbortingCases[] = {
    // A second init, after the first or racing it, ends in "invariant" before it returns.
    {"Binding", "BindingTests", "initTwice", "first init bound", "second init returned",
     "invariant"},
    {"Binding", "BindingTests", "concurrentInits", "", "both inits returned", "invariant"},
    {"Data", "DataTests", "descriptorRefused", "asking for descriptor 6", "descriptors returned",
     "get_descriptor failed"},
    {"Upcalls", "UpcallTests", "bootstrapAnswersWithoutBinding", "requesting", "survived",
     "invariant"},
};

class EndsByGuarantee : public testing::TestWithParam<AbortingCase> {};

TEST_P(EndsByGuarantee, WithItsMessage) {
    const AbortingCase& c = GetParam();
    HostRun run = runHost({}, std::string("zevtests.") + c.testClass, {c.caseName});
    EXPECT_EQ(run.signal, SIGABRT) << run.output();
    EXPECT_TRUE(contains(run.out, c.printedBefore)) << run.output();
    EXPECT_FALSE(contains(run.out, c.neverPrinted)) << run.output();
    EXPECT_TRUE(contains(run.err, std::string("guarantee failed: ") + c.guarantee + "\n"))
        << run.err;
    EXPECT_EQ(jniWarnings(run), "") << run.output();
}

// How gtest shows a case: the Java test class and its case.
void PrintTo(const PassingCase& c, std::ostream* out) {
    *out << c.testClass << " " << c.caseName;
}

void PrintTo(const AbortingCase& c, std::ostream* out) {
    *out << c.testClass << " " << c.caseName;
}

template <typename Case>
std::string caseName(const testing::TestParamInfo<Case>& info) {
    return std::string(info.param.group) + "_" + info.param.caseName;
}

}  // namespace

INSTANTIATE_TEST_SUITE_P(Java, Passes, testing::ValuesIn(kPassingCases), caseName<PassingCase>);
INSTANTIATE_TEST_SUITE_P(Java, EndsByGuarantee, testing::ValuesIn(kAbortingCases),
                         caseName<AbortingCase>);
