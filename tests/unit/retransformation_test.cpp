// Retransformation over a fake JVM, for the paths a real JVM will not take on
// request: no tool environment, and the hook's failures after JNI calls that
// a real JVM does not fail. Each case runs in a process of its own.
#include <gtest/gtest.h>

#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <list>
#include <string>
#include <vector>

#include "library_state.h"
extern "C" jint JNI_OnLoad(JavaVM* vm, void* reserved);
extern "C" void Java_tesmar_nuvrak_zev_VMZEV_retransformClasses0(JNIEnv* env, jobject recorder,
                                                                 jobjectArray classes);

namespace {

std::vector<std::string> calls;  // what reached the fake JVM and VM, in order
bool pending = false;            // a Java exception is pending

// A fake Java object: a class (named), an array of objects, or a byte array.
struct FakeObject {
    std::string name;
    std::vector<jobject> elements;
    std::vector<jbyte> bytes;
};

FakeObject* fake(jobject object) { return reinterpret_cast<FakeObject*>(object); }
jobject object(FakeObject* fake) { return reinterpret_cast<jobject>(fake); }

// Objects the fake JVM creates live until the process ends, at stable addresses.
std::list<FakeObject> heap;
FakeObject* allocate(FakeObject made) {
    heap.push_back(std::move(made));
    return &heap.back();
}

FakeObject alpha{"Alpha", {}, {}};
FakeObject beta{"Beta", {}, {}};
FakeObject gamma{"Gamma", {}, {}};
FakeObject recorderObject{"VMZEV", {}, {}};

// ---- VM recorder interface ------------------------------------------------

const RecorderUpcalls* upcalls = nullptr;

jboolean fakeRegisterUpcalls(const RecorderUpcalls* table) {
    upcalls = table;
    return JNI_TRUE;
}

void fakeLog(jint level, const char* message) {
    calls.push_back("log " + std::to_string(level) + " " + message);
}

VmRecorderInterface recorder = [] {
    VmRecorderInterface vm{};
    vm.register_upcalls = fakeRegisterUpcalls;
    vm.log = fakeLog;
    return vm;
}();

// ---- JNI --------------------------------------------------------------------

// How the fake JVM misbehaves in a case.
bool failNewByteArray = false;
bool failGetByteArrayRegion = false;
std::vector<jbyte> callbackAnswer;  // empty: the callback answers null

jsize JNICALL fakeGetArrayLength(JNIEnv*, jarray array) {
    FakeObject* a = fake(array);
    return static_cast<jsize>(a->elements.empty() ? a->bytes.size() : a->elements.size());
}

jobject JNICALL fakeGetObjectArrayElement(JNIEnv*, jobjectArray array, jsize index) {
    return fake(array)->elements[index];
}

jobject JNICALL fakeNewRef(JNIEnv*, jobject object) { return object; }

jobject JNICALL fakeNewGlobalRef(JNIEnv*, jobject object) {
    calls.push_back("NewGlobalRef " + fake(object)->name);
    return object;
}

void JNICALL fakeDeleteGlobalRef(JNIEnv*, jobject object) {
    calls.push_back("DeleteGlobalRef " + fake(object)->name);
}

void JNICALL fakeDeleteLocalRef(JNIEnv*, jobject) {}

jboolean JNICALL fakeExceptionCheck(JNIEnv*) { return pending ? JNI_TRUE : JNI_FALSE; }

jclass JNICALL fakeFindClass(JNIEnv*, const char* name) {
    static FakeObject found;
    found.name = name;
    return reinterpret_cast<jclass>(&found);
}

jint JNICALL fakeThrowNew(JNIEnv*, jclass klass, const char* message) {
    calls.push_back("throw " + fake(klass)->name + " " + message);
    pending = true;
    return 0;
}

jint JNICALL fakePushLocalFrame(JNIEnv*, jint) { return 0; }
jobject JNICALL fakePopLocalFrame(JNIEnv*, jobject) { return nullptr; }

jboolean JNICALL fakeIsSameObject(JNIEnv*, jobject a, jobject b) { return a == b; }

jbyteArray JNICALL fakeNewByteArray(JNIEnv*, jsize length) {
    if (failNewByteArray) {
        calls.push_back("JVM throws OutOfMemoryError");
        pending = true;
        return nullptr;
    }
    auto* array = allocate(FakeObject{"byte[]", {}, std::vector<jbyte>(length)});
    return reinterpret_cast<jbyteArray>(array);
}

void JNICALL fakeSetByteArrayRegion(JNIEnv*, jbyteArray array, jsize start, jsize length,
                                    const jbyte* from) {
    std::memcpy(fake(array)->bytes.data() + start, from, length);
}

void JNICALL fakeGetByteArrayRegion(JNIEnv*, jbyteArray array, jsize start, jsize length,
                                    jbyte* to) {
    if (failGetByteArrayRegion) {
        calls.push_back("JVM throws ArrayIndexOutOfBoundsException");
        pending = true;
        return;
    }
    std::memcpy(to, fake(array)->bytes.data() + start, length);
}

jobject JNICALL fakeCallObjectMethodV(JNIEnv*, jobject receiver, jmethodID, va_list args) {
    jobject klass = va_arg(args, jobject);
    va_arg(args, jobject);
    calls.push_back("retransformCallback on " + fake(receiver)->name + " for " + fake(klass)->name);
    if (callbackAnswer.empty()) {
        return nullptr;
    }
    return object(allocate(FakeObject{"byte[]", {}, callbackAnswer}));
}

JNINativeInterface_ jniFunctions = [] {
    JNINativeInterface_ f{};
    f.GetArrayLength = fakeGetArrayLength;
    f.GetObjectArrayElement = fakeGetObjectArrayElement;
    f.NewGlobalRef = fakeNewGlobalRef;
    f.DeleteGlobalRef = fakeDeleteGlobalRef;
    f.NewLocalRef = fakeNewRef;
    f.DeleteLocalRef = fakeDeleteLocalRef;
    f.ExceptionCheck = fakeExceptionCheck;
    f.FindClass = fakeFindClass;
    f.ThrowNew = fakeThrowNew;
    f.PushLocalFrame = fakePushLocalFrame;
    f.PopLocalFrame = fakePopLocalFrame;
    f.IsSameObject = fakeIsSameObject;
    f.NewByteArray = fakeNewByteArray;
    f.SetByteArrayRegion = fakeSetByteArrayRegion;
    f.GetByteArrayRegion = fakeGetByteArrayRegion;
    f.CallObjectMethodV = fakeCallObjectMethodV;
    return f;
}();
JNIEnv jni{&jniFunctions};

// ---- JVMTI ------------------------------------------------------------------

jvmtiEventClassFileLoadHook hook = nullptr;
bool hookEnabled = false;
const unsigned char classBytes[] = {0xca, 0xfe, 0xba, 0xbe};

jvmtiError JNICALL fakeAddCapabilities(jvmtiEnv*, const jvmtiCapabilities*) {
    return JVMTI_ERROR_NONE;
}

jvmtiError JNICALL fakeSetEventCallbacks(jvmtiEnv*, const jvmtiEventCallbacks* callbacks, jint) {
    hook = callbacks->ClassFileLoadHook;
    return JVMTI_ERROR_NONE;
}

jvmtiError JNICALL fakeSetEventNotificationMode(jvmtiEnv*, jvmtiEventMode mode, jvmtiEvent, jthread,
                                                ...) {
    hookEnabled = mode == JVMTI_ENABLE;
    calls.push_back(hookEnabled ? "hook enabled" : "hook disabled");
    return JVMTI_ERROR_NONE;
}

// Every object hashes alike, so every match needs IsSameObject to confirm it.
jvmtiError JNICALL fakeGetObjectHashCode(jvmtiEnv*, jobject, jint* hash) {
    *hash = 7;
    return JVMTI_ERROR_NONE;
}

jvmtiError JNICALL fakeAllocate(jvmtiEnv*, jlong size, unsigned char** memory) {
    calls.push_back("Allocate " + std::to_string(size));
    *memory = static_cast<unsigned char*>(malloc(size));
    return JVMTI_ERROR_NONE;
}

jvmtiError JNICALL fakeDeallocate(jvmtiEnv*, unsigned char* memory) {
    calls.push_back("Deallocate");
    free(memory);
    return JVMTI_ERROR_NONE;
}

jvmtiEnv* toolEnv();

// Runs the hook for each class as the JVM does; a pending exception fails the
// retransformation, and the JVM clears it.
jvmtiError JNICALL fakeRetransformClasses(jvmtiEnv*, jint count, const jclass* classes) {
    calls.push_back("RetransformClasses " + std::to_string(count));
    for (jint i = 0; i < count && hookEnabled; i++) {
        jint newLength = -1;
        unsigned char* newBytes = nullptr;
        hook(toolEnv(), &jni, classes[i], nullptr, fake(classes[i])->name.c_str(), nullptr,
             sizeof(classBytes), classBytes, &newLength, &newBytes);
        if (pending) {
            pending = false;
            return JVMTI_ERROR_INTERNAL;
        }
        if (newBytes != nullptr) {
            calls.push_back("installed " + std::to_string(newLength) + " bytes");
            free(newBytes);
        }
    }
    return JVMTI_ERROR_NONE;
}

jvmtiInterface_1_ jvmtiFunctions = [] {
    jvmtiInterface_1_ f{};
    f.AddCapabilities = fakeAddCapabilities;
    f.SetEventCallbacks = fakeSetEventCallbacks;
    f.SetEventNotificationMode = fakeSetEventNotificationMode;
    f.GetObjectHashCode = fakeGetObjectHashCode;
    f.Allocate = fakeAllocate;
    f.Deallocate = fakeDeallocate;
    f.RetransformClasses = fakeRetransformClasses;
    return f;
}();
_jvmtiEnv jvmti{&jvmtiFunctions};
jvmtiEnv* toolEnv() { return &jvmti; }

bool offerJvmti = true;

jint JNICALL fakeGetEnv(JavaVM*, void** env, jint version) {
    if (version == RECORDER_INTERFACE_VERSION) {
        *env = &recorder;
        return JNI_OK;
    }
    if (version == JVMTI_VERSION_1_0 && offerJvmti) {
        *env = &jvmti;
        return JNI_OK;
    }
    *env = nullptr;
    return JNI_EVERSION;
}

JNIInvokeInterface_ invokeFunctions = [] {
    JNIInvokeInterface_ f{};
    f.GetEnv = fakeGetEnv;
    return f;
}();

// Loads the library into the fake JVM and binds the fake recorder object.
void load(bool withJvmti) {
    offerJvmti = withJvmti;
    JavaVM vm{&invokeFunctions};
    JNI_OnLoad(&vm, nullptr);
    ASSERT_TRUE(bindRecorder(object(&recorderObject)));
    libraryState.retransform_callback_method = reinterpret_cast<jmethodID>(&recorderObject);
    ASSERT_NE(upcalls, nullptr);
    calls.clear();
}

jobjectArray classArray(std::vector<FakeObject*> classes) {
    auto* array = allocate(FakeObject{"Class[]", {}, {}});
    for (FakeObject* klass : classes) {
        array->elements.push_back(object(klass));
    }
    return reinterpret_cast<jobjectArray>(array);
}

void retransform(std::vector<FakeObject*> classes) {
    Java_tesmar_nuvrak_zev_VMZEV_retransformClasses0(&jni, object(&recorderObject),
                                                     classArray(std::move(classes)));
}

using Lines = std::vector<std::string>;

}  // namespace

TEST(RetransformWithoutToolEnvironment, RetransformThrowsWithoutAListAndRestoreNeverCallsThrough) {
    load(false);
    EXPECT_EQ(libraryState.jvmti, nullptr);

    for (int attempt = 0; attempt < 2; attempt++) {  // the first leaves nothing that refuses the second
        retransform({&alpha, &beta});
        EXPECT_EQ(calls, (Lines{"log 1 Unable to retransform classes since no jvmti env",
                                "throw java/lang/Exception VMZEV_retransform"}));
        EXPECT_EQ(libraryState.retransform_classes.load(), nullptr);
        EXPECT_EQ(libraryState.retransform_class_count.load(), 0);
        calls.clear();
        pending = false;
    }

    // A list held when there is no environment to restore it through.
    auto* list = static_cast<jclass*>(malloc(2 * sizeof(jclass)));
    list[0] = reinterpret_cast<jclass>(&alpha);
    list[1] = reinterpret_cast<jclass>(&beta);
    libraryState.retransform_class_count.store(2);
    libraryState.retransform_classes.store(list);
    EXPECT_NE(upcalls->release_bindings(&jni), 0);
    EXPECT_EQ(calls, (Lines{"DeleteGlobalRef VMZEV",
                            "log 1 Unable to do SetEventNotificationMode since no jvmti env",
                            "DeleteGlobalRef Alpha", "DeleteGlobalRef Beta"}));
    EXPECT_EQ(libraryState.retransform_classes.load(), nullptr);
    EXPECT_EQ(libraryState.retransform_class_count.load(), 0);
}

TEST(RetransformHook, MatchesListedClassesByIdentityAndInstallsTheCallbacksBytes) {
    load(true);
    callbackAnswer = {1, 2, 3, 4, 5, 6};
    retransform({&alpha, &beta});
    EXPECT_EQ(calls, (Lines{"NewGlobalRef Alpha", "NewGlobalRef Beta", "hook enabled",
                            "RetransformClasses 2",
                            "log 5 classFileLoadHook called for Alpha",
                            "retransformCallback on VMZEV for Alpha", "Allocate 6",
                            "installed 6 bytes",
                            "log 5 classFileLoadHook called for Beta",
                            "retransformCallback on VMZEV for Beta", "Allocate 6",
                            "installed 6 bytes",
                            "log 5 RetransformClasses successful"}));
    calls.clear();

    // Gamma hashes like the listed classes but is not one of them; a class
    // loaded for the first time leaves before any call.
    jint newLength = -1;
    unsigned char* newBytes = nullptr;
    hook(&jvmti, &jni, reinterpret_cast<jclass>(&gamma), nullptr, "Gamma", nullptr,
         sizeof(classBytes), classBytes, &newLength, &newBytes);
    hook(&jvmti, &jni, nullptr, nullptr, "Fresh", nullptr, sizeof(classBytes), classBytes,
         &newLength, &newBytes);
    EXPECT_TRUE(calls.empty());
    EXPECT_EQ(newLength, -1);
    EXPECT_EQ(newBytes, nullptr);

    EXPECT_EQ(upcalls->release_bindings(&jni), 0);
    EXPECT_EQ(calls, (Lines{"DeleteGlobalRef VMZEV", "hook disabled", "RetransformClasses 2", "DeleteGlobalRef Alpha",
                            "DeleteGlobalRef Beta"}));
}

TEST(RetransformHook, AFailedCopyOfTheNewBytesGivesTheAllocationBack) {
    load(true);
    callbackAnswer = {1, 2, 3, 4, 5, 6};
    failGetByteArrayRegion = true;
    retransform({&alpha});
    EXPECT_EQ(calls, (Lines{"NewGlobalRef Alpha", "hook enabled", "RetransformClasses 1",
                            "log 5 classFileLoadHook called for Alpha",
                            "retransformCallback on VMZEV for Alpha", "Allocate 6",
                            "JVM throws ArrayIndexOutOfBoundsException",
                            "log 1 GetByteArrayRegion threw an exception", "Deallocate",
                            "log 1 RetransformClasses returned 113", "hook disabled",
                            "throw java/lang/Exception VMZEV_retransform"}));
}

TEST(RetransformHook, AFailedByteArrayLeavesTheJvmsOwnErrorAlone) {
    load(true);
    failNewByteArray = true;
    retransform({&alpha});
    EXPECT_EQ(calls, (Lines{"NewGlobalRef Alpha", "hook enabled", "RetransformClasses 1",
                            "log 5 classFileLoadHook called for Alpha",
                            "JVM throws OutOfMemoryError", "log 1 NewByteArray returned NULL",
                            "log 1 RetransformClasses returned 113", "hook disabled",
                            "throw java/lang/Exception VMZEV_retransform"}));
}
