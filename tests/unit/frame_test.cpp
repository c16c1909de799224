// The library frame over a fake VM: log lines, exception messages and
// guarantees (the load runs in a real JVM). Each case runs in a process of
// its own, so the library state starts zeroed in every one.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "diagnostics.h"
#include "library_state.h"

namespace {

std::vector<std::string> calls;  // what reached the fake VM, in order

jboolean fakeRegisterUpcalls(const RecorderUpcalls* upcalls) {
    calls.push_back(upcalls != nullptr ? "register_upcalls" : "register_upcalls(null)");
    return JNI_TRUE;
}

void fakeLog(jint level, const char* message) {
    calls.push_back("log " + std::to_string(level) + " " + message);
}

VmRecorderInterface fakeRecorder() {
    VmRecorderInterface vm{};
    vm.register_upcalls = fakeRegisterUpcalls;
    vm.log = fakeLog;
    return vm;
}

VmRecorderInterface recorder = fakeRecorder();

}  // namespace

TEST(Log, ALongLineReachesTheVmCutTo254Characters) {
    libraryState.recorder_interface = &recorder;
    std::string longText(300, 'x');
    logMessage(LOG_ERROR, "%s", longText.c_str());
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0], "log 1 " + std::string(254, 'x'));
}

TEST(Log, WithoutTheInterfaceTheLineGoesToStandardError) {
    testing::internal::CaptureStderr();
    logMessage(LOG_INFO, "hello %d", 42);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "ZEV [5]: hello 42\n");
    EXPECT_TRUE(calls.empty());
}

namespace {

int formatted(char* buffer, size_t size, const char* format, ...) __attribute__((format(printf, 3, 4)));
int formatted(char* buffer, size_t size, const char* format, ...) {
    va_list args;
    va_start(args, format);
    int result = formatBounded(buffer, size, format, args);
    va_end(args);
    return result;
}

}  // namespace

TEST(FormatBounded, AnswersWhatWasWrittenOrMinusOne) {
    char buffer[8];
    EXPECT_EQ(formatted(nullptr, 8, "abc"), -1);
    EXPECT_EQ(formatted(buffer, 0, "abc"), -1);

    EXPECT_EQ(formatted(buffer, sizeof(buffer), "id %d", 7), 4);
    EXPECT_STREQ(buffer, "id 7");
    EXPECT_EQ(formatted(buffer, sizeof(buffer), "%s", "1234567"), 7);  // exactly fits
    EXPECT_STREQ(buffer, "1234567");

    // Cut text: the formatter counts what it would have written, not what it wrote.
    EXPECT_EQ(formatted(buffer, sizeof(buffer), "%s", "12345678"), -1);
    EXPECT_STREQ(buffer, "1234567");
    EXPECT_EQ(formatted(buffer, sizeof(buffer), "%s", "123456789"), -1);
    EXPECT_STREQ(buffer, "1234567");
}

namespace {

std::string thrownClass;
std::string thrownMessage;

jclass JNICALL fakeFindClass(JNIEnv*, const char* name) {
    thrownClass = name;
    return reinterpret_cast<jclass>(&thrownClass);
}

jint JNICALL fakeThrowNew(JNIEnv*, jclass, const char* message) {
    thrownMessage = message;
    return 0;
}

}  // namespace

TEST(Throw, MessagesAreFormattedAndCutTo63Characters) {
    JNINativeInterface_ functions{};
    functions.FindClass = fakeFindClass;
    functions.ThrowNew = fakeThrowNew;
    JNIEnv env{};
    env.functions = &functions;

    throwException(&env, "Illegal id %d", 7);
    EXPECT_EQ(thrownClass, "java/lang/Exception");
    EXPECT_EQ(thrownMessage, "Illegal id 7");

    std::string longText(100, 'y');
    throwByName(&env, "java/lang/OutOfMemoryError", "%s", longText.c_str());
    EXPECT_EQ(thrownClass, "java/lang/OutOfMemoryError");
    EXPECT_EQ(thrownMessage, std::string(63, 'y'));
}
