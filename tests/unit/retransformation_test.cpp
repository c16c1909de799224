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

using Lines = std::vector<std::string>;
Lines calls;           // what reached the fake JVM and VM, in order
bool pending = false;  // a Java exception is pending
// How the fake JVM misbehaves in a case.
bool failNewByteArray = false;
bool failGetByteArrayRegion = false;
std::vector<jbyte> callbackAnswer;  // empty: the callback answers null

// A fake Java object: a class (named), an array of objects, or a byte array.
struct FakeObject {
    std::string name;
    std::vector<jobject> elements{};
    std::vector<jbyte> bytes{};
};

FakeObject* fake(void* object) { return static_cast<FakeObject*>(object); }

// Objects the fake JVM creates live until the process ends, at stable addresses.
std::list<FakeObject> heap;
template <typename Ref = jobject>
Ref make(FakeObject made) {
    heap.push_back(std::move(made));
    return reinterpret_cast<Ref>(&heap.back());
}

jclass alpha = make<jclass>({"Alpha"});
jclass beta = make<jclass>({"Beta"});
jclass gamma = make<jclass>({"Gamma"});
jobject recorderObject = make({"VMZEV"});

void jvmThrows(const std::string& exception) {
    calls.push_back("JVM throws " + exception);
    pending = true;
}

// ---- VM recorder interface and JNI: only the slots the library uses ----------

const RecorderUpcalls* upcalls = nullptr;

VmRecorderInterface recorder = [] {
    VmRecorderInterface vm{};
    vm.register_upcalls = [](const RecorderUpcalls* table) -> jboolean {
        upcalls = table;
        return JNI_TRUE;
    };
    vm.log = [](jint level, const char* message) {
        calls.push_back("log " + std::to_string(level) + " " + message);
    };
    return vm;
}();

JNINativeInterface_ jniFunctions = [] {
    JNINativeInterface_ f{};
    f.GetArrayLength = [](JNIEnv*, jarray array) {
        FakeObject* a = fake(array);
        return static_cast<jsize>(a->elements.empty() ? a->bytes.size() : a->elements.size());
    };
    f.GetObjectArrayElement = [](JNIEnv*, jobjectArray array, jsize i) {
        return fake(array)->elements[i];
    };
    f.NewGlobalRef = [](JNIEnv*, jobject object) {
        calls.push_back("NewGlobalRef " + fake(object)->name);
        return object;
    };
    f.DeleteGlobalRef = [](JNIEnv*, jobject object) {
        calls.push_back("DeleteGlobalRef " + fake(object)->name);
    };
    f.NewLocalRef = [](JNIEnv*, jobject object) { return object; };
    f.DeleteLocalRef = [](JNIEnv*, jobject) {};
    f.ExceptionCheck = [](JNIEnv*) -> jboolean { return pending; };
    f.FindClass = [](JNIEnv*, const char* name) { return make<jclass>({name}); };
    f.ThrowNew = [](JNIEnv*, jclass klass, const char* message) {
        calls.push_back("throw " + fake(klass)->name + " " + message);
        pending = true;
        return 0;
    };
    f.PushLocalFrame = [](JNIEnv*, jint) { return 0; };
    f.PopLocalFrame = [](JNIEnv*, jobject) -> jobject { return nullptr; };
    f.IsSameObject = [](JNIEnv*, jobject a, jobject b) -> jboolean { return a == b; };
    f.NewByteArray = [](JNIEnv*, jsize length) -> jbyteArray {
        if (failNewByteArray) {
            jvmThrows("OutOfMemoryError");
            return nullptr;
        }
        return make<jbyteArray>({"byte[]", {}, std::vector<jbyte>(length)});
    };
    f.SetByteArrayRegion = [](JNIEnv*, jbyteArray array, jsize start, jsize length,
                              const jbyte* from) {
        std::memcpy(fake(array)->bytes.data() + start, from, length);
    };
    f.GetByteArrayRegion = [](JNIEnv*, jbyteArray array, jsize start, jsize length, jbyte* to) {
        if (failGetByteArrayRegion) {
            jvmThrows("ArrayIndexOutOfBoundsException");
            return;
        }
        std::memcpy(to, fake(array)->bytes.data() + start, length);
    };
    f.CallObjectMethodV = [](JNIEnv*, jobject receiver, jmethodID, va_list args) -> jobject {
        jobject klass = va_arg(args, jobject);
        calls.push_back("retransformCallback on " + fake(receiver)->name + " for " +
                        fake(klass)->name);
        return callbackAnswer.empty() ? nullptr : make({"byte[]", {}, callbackAnswer});
    };
    return f;
}();
JNIEnv jni{&jniFunctions};

// ---- JVMTI -------------------------------------------------------------------

jvmtiEventClassFileLoadHook hook = nullptr;
bool hookEnabled = false;

// The JVM's side of loading one class: runs the hook and installs what it answers.
void loadClass(jvmtiEnv* env, jclass beingRedefined, const char* name) {
    static const unsigned char classBytes[] = {0xca, 0xfe, 0xba, 0xbe};
    jint length = -1;
    unsigned char* bytes = nullptr;
    hook(env, &jni, beingRedefined, nullptr, name, nullptr, sizeof(classBytes), classBytes, &length,
         &bytes);
    if (bytes != nullptr) {
        calls.push_back("installed " + std::to_string(length) + " bytes");
        free(bytes);
    }
}

// Variadic, so no lambda.
jvmtiError JNICALL setEventNotificationMode(jvmtiEnv*, jvmtiEventMode mode, jvmtiEvent, jthread,
                                            ...) {
    hookEnabled = mode == JVMTI_ENABLE;
    calls.push_back(hookEnabled ? "hook enabled" : "hook disabled");
    return JVMTI_ERROR_NONE;
}

jvmtiInterface_1_ jvmtiFunctions = [] {
    jvmtiInterface_1_ f{};
    f.AddCapabilities = [](jvmtiEnv*, const jvmtiCapabilities*) { return JVMTI_ERROR_NONE; };
    f.SetEventCallbacks = [](jvmtiEnv*, const jvmtiEventCallbacks* callbacks, jint) {
        hook = callbacks->ClassFileLoadHook;
        return JVMTI_ERROR_NONE;
    };
    f.SetEventNotificationMode = setEventNotificationMode;
    // Every object hashes alike, so every match needs IsSameObject to confirm it.
    f.GetObjectHashCode = [](jvmtiEnv*, jobject, jint* hash) {
        *hash = 7;
        return JVMTI_ERROR_NONE;
    };
    f.Allocate = [](jvmtiEnv*, jlong size, unsigned char** memory) {
        calls.push_back("Allocate " + std::to_string(size));
        *memory = static_cast<unsigned char*>(malloc(size));
        return JVMTI_ERROR_NONE;
    };
    f.Deallocate = [](jvmtiEnv*, unsigned char* memory) {
        calls.push_back("Deallocate");
        free(memory);
        return JVMTI_ERROR_NONE;
    };
    // A pending exception fails the retransformation, and the JVM clears it.
    f.RetransformClasses = [](jvmtiEnv* env, jint count, const jclass* classes) {
        calls.push_back("RetransformClasses " + std::to_string(count));
        for (jint i = 0; i < count && hookEnabled && !pending; i++) {
            loadClass(env, classes[i], fake(classes[i])->name.c_str());
        }
        jvmtiError result = pending ? JVMTI_ERROR_INTERNAL : JVMTI_ERROR_NONE;
        pending = false;
        return result;
    };
    return f;
}();
_jvmtiEnv jvmti{&jvmtiFunctions};

bool offerJvmti = true;

JNIInvokeInterface_ invokeFunctions = [] {
    JNIInvokeInterface_ f{};
    f.GetEnv = [](JavaVM*, void** env, jint version) {
        *env = version == RECORDER_INTERFACE_VERSION            ? static_cast<void*>(&recorder)
               : version == JVMTI_VERSION_1_0 && offerJvmti ? static_cast<void*>(&jvmti)
                                                               : nullptr;
        return *env != nullptr ? JNI_OK : JNI_EVERSION;
    };
    return f;
}();

// Loads the library into the fake JVM and binds the fake recorder object.
void load(bool withJvmti) {
    offerJvmti = withJvmti;
    JavaVM vm{&invokeFunctions};
    JNI_OnLoad(&vm, nullptr);
    ASSERT_TRUE(bindRecorder(recorderObject));
    libraryState.retransform_callback_method = reinterpret_cast<jmethodID>(recorderObject);
    ASSERT_NE(upcalls, nullptr);
    calls.clear();
}

void retransform(std::vector<jobject> classes) {
    jobjectArray array = make<jobjectArray>({"Class[]", std::move(classes)});
    Java_tesmar_nuvrak_zev_VMZEV_retransformClasses0(&jni, recorderObject, array);
}

// A JNI call failing in the hook leaves the JVM's exception to fail the
// retransformation; the library throws its own once the JVM has cleared it.
Lines failedRetransformation(const Lines& inHook) {
    Lines all{"NewGlobalRef Alpha", "hook enabled", "RetransformClasses 1",
              "log 5 classFileLoadHook called for Alpha"};
    all.insert(all.end(), inHook.begin(), inHook.end());
    all.insert(all.end(), {"log 1 RetransformClasses returned 113", "hook disabled",
                           "throw java/lang/Exception VMZEV_retransform"});
    return all;
}

}  // namespace

TEST(RetransformWithoutToolEnvironment, RetransformThrowsWithoutAListAndRestoreNeverCallsThrough) {
    load(false);
    // The first attempt leaves nothing behind that would refuse the second.
    for (int attempt = 0; attempt < 2; attempt++) {
        retransform({alpha, beta});
        EXPECT_EQ(calls, (Lines{"log 1 Unable to retransform classes since no jvmti env",
                                "throw java/lang/Exception VMZEV_retransform"}));
        EXPECT_EQ(libraryState.retransform_classes.load(), nullptr);
        EXPECT_EQ(libraryState.retransform_state.load(), ListState::None);
        calls.clear();
        pending = false;
    }

    // A list held when there is no environment to restore it through.
    auto* classes = static_cast<jclass*>(malloc(2 * sizeof(jclass)));
    classes[0] = alpha;
    classes[1] = beta;
    auto* list = static_cast<ClassList*>(malloc(sizeof(ClassList)));
    *list = {2, classes, 3, static_cast<ClassList::Slot*>(calloc(4, sizeof(ClassList::Slot)))};
    libraryState.retransform_classes.store(list);
    libraryState.retransform_state.store(ListState::Held);
    EXPECT_NE(upcalls->release_bindings(&jni), 0);
    EXPECT_EQ(calls, (Lines{"DeleteGlobalRef VMZEV",
                            "log 1 Unable to do SetEventNotificationMode since no jvmti env",
                            "DeleteGlobalRef Alpha", "DeleteGlobalRef Beta"}));
    EXPECT_EQ(libraryState.retransform_classes.load(), nullptr);
    EXPECT_EQ(libraryState.retransform_state.load(), ListState::None);
}

TEST(RetransformHook, MatchesListedClassesByIdentityAndInstallsTheCallbacksBytes) {
    load(true);
    callbackAnswer = {1, 2, 3, 4, 5, 6};
    retransform({alpha, beta});
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
    loadClass(&jvmti, gamma, "Gamma");
    loadClass(&jvmti, nullptr, "Fresh");
    EXPECT_TRUE(calls.empty());

    EXPECT_EQ(upcalls->release_bindings(&jni), 0);
    EXPECT_EQ(calls, (Lines{"DeleteGlobalRef VMZEV", "hook disabled", "RetransformClasses 2",
                            "DeleteGlobalRef Alpha", "DeleteGlobalRef Beta"}));
}

TEST(RetransformHook, AFailedCopyOfTheNewBytesGivesTheAllocationBack) {
    load(true);
    callbackAnswer = {1, 2, 3, 4, 5, 6};
    failGetByteArrayRegion = true;
    retransform({alpha});
    EXPECT_EQ(calls, failedRetransformation({"retransformCallback on VMZEV for Alpha", "Allocate 6",
                                             "JVM throws ArrayIndexOutOfBoundsException",
                                             "log 1 GetByteArrayRegion threw an exception",
                                             "Deallocate"}));
}

TEST(RetransformHook, AFailedByteArrayLeavesTheJvmsOwnErrorAlone) {
    load(true);
    failNewByteArray = true;
    retransform({alpha});
    EXPECT_EQ(calls, failedRetransformation({"JVM throws OutOfMemoryError",
                                             "log 1 NewByteArray returned NULL"}));
}
