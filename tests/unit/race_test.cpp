// The library's shared state under races that a real JVM shows too rarely to
// test, over a fake VM and JVM whose every function is thread-safe without
// ordering anything (its bookkeeping is relaxed atomics, so it adds no
// happens-before edge that HotSpot would not promise): built with
// ThreadSanitizer (make test's third build) these cases show every unordered
// access to the library's own memory. Bindings race failed starts, releases
// and users of the recorder object; class-file hooks match against the list
// while releases restore and free it; releases arrive while a list's classes
// are being retransformed, from the callback and from another thread;
// recording requests tell a release under way while releases drop and
// bootstraps rebind the recorder; the status caches are written from many
// threads at once.
#include <gtest/gtest.h>
#include <jvmti.h>

#include <atomic>
#include <cstdarg>
#include <cstdint>
#include <thread>
#include <vector>

#include "library_areas.h"
#include "library_state.h"

extern "C" jint JNI_OnLoad(JavaVM* vm, void* reserved);
extern "C" void Java_tesmar_nuvrak_zev_VMZEV_retransformClasses0(JNIEnv*, jobject, jobjectArray);
extern "C" jboolean Java_tesmar_nuvrak_zev_ZEV_isEnabled(JNIEnv*, jclass);
extern "C" jboolean Java_tesmar_nuvrak_zev_ZEV_isStarted(JNIEnv*, jclass);
extern "C" jboolean Java_tesmar_nuvrak_zev_ZEV_isDisabledOnCommandLine(JNIEnv*, jclass);
extern "C" jboolean Java_tesmar_nuvrak_zev_ZEV_startHalcyra(JNIEnv*, jclass);

namespace {

// Stand-ins for Java objects: distinct addresses, never dereferenced.
char objects[64];
jobject object(int i) {
    return reinterpret_cast<jobject>(&objects[i]);
}
constexpr int kClasses = 16;
jclass listedClass(int i) {
    return reinterpret_cast<jclass>(object(i));
}
// A Class[] of the listed classes; GetObjectArrayElement reads it.
jobjectArray classArray = reinterpret_cast<jobjectArray>(object(kClasses));
jobject someString = object(kClasses + 1);
const jmethodID kCallback = reinterpret_cast<jmethodID>(object(2));
const jmethodID kCheckRecording = reinterpret_cast<jmethodID>(object(3));

std::atomic<long> errorLines{0};

// Stand-ins for the recorder objects' global references, each deleted at most
// once, and never used once deleted. Relaxed: counting orders nothing.
constexpr int kRecorders = 1 << 18;
char recorders[kRecorders];
std::atomic<int> deletions[kRecorders];
std::atomic<int> nextRecorder{0};
std::atomic<int> usesOfDeleted{0};
std::atomic<long> callbacks{0};
std::atomic<int> enabledAnswers{0};

int recorderIndex(jobject ref) {
    auto at = reinterpret_cast<char*>(ref);
    return at >= recorders && at < recorders + kRecorders ? static_cast<int>(at - recorders) : -1;
}

// What a callback does besides counting itself (a release, in one case).
void (*duringCallback)() = nullptr;

// ---- the VM ---------------------------------------------------------------------

const RecorderUpcalls* upcalls = nullptr;
VmRecorderInterface recorder = [] {
    VmRecorderInterface vm{};
    vm.register_upcalls = [](const RecorderUpcalls* table) -> jboolean {
        upcalls = table;
        return JNI_TRUE;
    };
    vm.log = [](jint level, const char*) {
        if (level == 1) {
            errorLines++;
        }
    };
    vm.is_started = []() -> jboolean { return JNI_FALSE; };
    vm.is_disabled_on_command_line = []() -> jboolean { return JNI_FALSE; };
    vm.start_recorder = []() -> jboolean { return JNI_FALSE; };
    // False for the first thousand calls, then true: the cache must turn true once, for good.
    vm.is_enabled = []() -> jboolean { return enabledAnswers++ >= 1000; };
    return vm;
}();

// ---- JNI ------------------------------------------------------------------------

// Binds a new recorder object, as VMZEV.init does; false when one was bound
// first (the reference then dropped, as init drops it).
bool bindNew() {
    int index = nextRecorder++ % kRecorders;
    RecorderBinding binding{};
    binding.recorder_instance = reinterpret_cast<jobject>(&recorders[index]);
    binding.retransform_callback_method = kCallback;
    binding.check_recording_method = kCheckRecording;
    if (bindRecorder(binding) == BindResult::Bound) {
        return true;
    }
    deletions[index].fetch_add(1, std::memory_order_relaxed);
    return false;
}

void bindIfUnbound() {
    if (!recorderBound()) {
        bindNew();
    }
}

// ZEV.get().
jobject JNICALL bootstrap(JNIEnv*, jclass, jmethodID, va_list) {
    bindIfUnbound();
    return someString;
}

JNINativeInterface_ jniFunctions = [] {
    JNINativeInterface_ f{};
    f.ExceptionCheck = [](JNIEnv*) -> jboolean { return JNI_FALSE; };
    f.PushLocalFrame = [](JNIEnv*, jint) -> jint { return 0; };
    f.PopLocalFrame = [](JNIEnv*, jobject result) { return result; };
    f.NewLocalRef = [](JNIEnv*, jobject ref) {
        int index = recorderIndex(ref);
        if (index >= 0 && deletions[index].load(std::memory_order_relaxed) != 0) {
            usesOfDeleted++;
        }
        return ref;
    };
    f.DeleteLocalRef = [](JNIEnv*, jobject) {};
    f.NewGlobalRef = [](JNIEnv*, jobject ref) { return ref; };
    f.DeleteGlobalRef = [](JNIEnv*, jobject ref) {
        int index = recorderIndex(ref);
        if (index >= 0) {
            deletions[index].fetch_add(1, std::memory_order_relaxed);
        }
    };
    f.IsSameObject = [](JNIEnv*, jobject a, jobject b) -> jboolean { return a == b; };
    f.FindClass = [](JNIEnv*, const char*) { return listedClass(0); };
    f.GetStaticMethodID = [](JNIEnv*, jclass, const char*, const char*) {
        return reinterpret_cast<jmethodID>(object(0));
    };
    f.CallStaticObjectMethodV = bootstrap;
    f.NewStringUTF = [](JNIEnv*, const char*) { return static_cast<jstring>(someString); };
    f.GetArrayLength = [](JNIEnv*, jarray) -> jsize { return kClasses; };
    f.GetObjectArrayElement = [](JNIEnv*, jobjectArray, jsize i) -> jobject {
        return listedClass(i);
    };
    f.NewByteArray = [](JNIEnv*, jsize) { return static_cast<jbyteArray>(someString); };
    f.SetByteArrayRegion = [](JNIEnv*, jbyteArray, jsize, jsize, const jbyte*) {};
    // The recording requests and the callback; the callback leaves classes alone.
    f.CallObjectMethodV = [](JNIEnv*, jobject, jmethodID method, va_list) -> jobject {
        if (method == kCallback) {
            callbacks++;
            if (duringCallback != nullptr) {
                duringCallback();
            }
            return nullptr;
        }
        return someString;
    };
    return f;
}();
JNIEnv jni{&jniFunctions};

// ---- JVMTI ----------------------------------------------------------------------

jvmtiEventClassFileLoadHook hook = nullptr;
std::atomic<bool> hookEnabled{false};
std::atomic<long> enables{0};   // one per list published
std::atomic<long> restores{0};  // retransformations with the hook disabled

void retransformOne(jclass klass) {
    static const unsigned char bytes[] = {0xca, 0xfe, 0xba, 0xbe};
    jint length = 0;
    unsigned char* newBytes = nullptr;
    hook(nullptr, &jni, klass, nullptr, "Listed", nullptr, sizeof bytes, bytes, &length, &newBytes);
}

jvmtiError JNICALL setEventNotificationMode(jvmtiEnv*, jvmtiEventMode mode, jvmtiEvent, jthread,
                                            ...) {
    hookEnabled = mode == JVMTI_ENABLE;
    enables += mode == JVMTI_ENABLE ? 1 : 0;
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
    f.GetObjectHashCode = [](jvmtiEnv*, jobject o, jint* hash) {
        *hash = static_cast<jint>(reinterpret_cast<std::uintptr_t>(o) >> 2);
        return JVMTI_ERROR_NONE;
    };
    f.RetransformClasses = [](jvmtiEnv*, jint count, const jclass* classes) {
        if (!hookEnabled) {
            restores++;
        }
        for (jint i = 0; i < count && hookEnabled; i++) {
            retransformOne(classes[i]);
        }
        return JVMTI_ERROR_NONE;
    };
    return f;
}();
_jvmtiEnv jvmti{&jvmtiFunctions};

JNIInvokeInterface_ invokeFunctions = [] {
    JNIInvokeInterface_ f{};
    f.GetEnv = [](JavaVM*, void** env, jint version) {
        *env = version == RECORDER_INTERFACE_VERSION ? static_cast<void*>(&recorder)
               : version == JVMTI_VERSION_1_0        ? static_cast<void*>(&jvmti)
                                                     : nullptr;
        return *env != nullptr ? JNI_OK : JNI_EVERSION;
    };
    return f;
}();

void load() {
    JavaVM vm{&invokeFunctions};
    JNI_OnLoad(&vm, nullptr);
    ASSERT_NE(upcalls, nullptr);
    ASSERT_NE(libraryState.jvmti, nullptr);
}

// Every recorder reference deleted at most once and never used afterwards;
// with nothing bound, every one handed out deleted exactly once.
void expectReferencesDeletedOnce() {
    EXPECT_EQ(usesOfDeleted.load(), 0);
    int handedOut = nextRecorder.load();
    ASSERT_LE(handedOut, kRecorders);
    for (int i = 0; i < handedOut; i++) {
        ASSERT_EQ(deletions[i].load(), 1) << "recorder reference " << i;
    }
}

// Runs body on `threads` threads until the main thread's work is done; the
// work starts once every racer runs, so that a slow start cannot void the race.
template <typename Body, typename Work>
void race(int threads, Body body, Work work) {
    std::atomic<bool> done{false};
    std::atomic<int> running{0};
    std::vector<std::thread> racers;
    for (int t = 0; t < threads; t++) {
        racers.emplace_back([&, t] {
            running++;
            while (!done) {
                body(t);
            }
        });
    }
    while (running.load() < threads) {
        std::this_thread::yield();
    }
    work();
    done = true;
    for (std::thread& racer : racers) {
        racer.join();
    }
}

}  // namespace

TEST(Race, BindingsRaceReleasesFailedStartsAndUsers) {
    load();
    std::atomic<int> bound{0};
    race(
        3,
        [](int t) {
            if (t == 0) {
                Java_tesmar_nuvrak_zev_ZEV_startHalcyra(&jni, nullptr);  // refused: drops the binding
            } else if (t == 1) {
                upcalls->release_bindings(&jni);
            } else {
                RecorderBinding local;
                if (recorderLocalRef(&jni, &local) == RecorderRef::Bound) {
                    // The copy is the binding it came from, whole.
                    EXPECT_EQ(local.check_recording_method, kCheckRecording);
                    EXPECT_GE(recorderIndex(local.recorder_instance), 0);
                }
            }
        },
        [&] {
            while (nextRecorder.load() < kRecorders - 1) {
                bound += bindNew() ? 1 : 0;
            }
        });
    dropRecorder(&jni);
    EXPECT_GT(bound.load(), 0);
    expectReferencesDeletedOnce();
}

TEST(Race, HooksMatchTheListWhileReleasesRestoreAndFreeIt) {
    load();
    long hooksRun = 0;
    race(
        3, [](int t) { retransformOne(listedClass(t % kClasses)); },
        [&] {
            for (int round = 0; round < 2000; round++) {
                bindIfUnbound();
                Java_tesmar_nuvrak_zev_VMZEV_retransformClasses0(&jni, nullptr, classArray);
                upcalls->release_bindings(&jni);
            }
            hooksRun = callbacks.load();
        });
    EXPECT_GE(hooksRun, 2000 * kClasses) << "every list went through the callback";
    EXPECT_FALSE(libraryState.retransform_classes.published());
    EXPECT_EQ(libraryState.retransform_state.load(), ListState::None);
}

// A release that lands while retransformClasses0 is still retransforming,
// from the callback on that very thread and from another thread: it answers
// at once, the retransforming thread restores the list when its
// RetransformClasses returns, and every list is restored exactly once.
TEST(Race, ReleasesArriveWhileClassesAreBeingRetransformed) {
    load();
    duringCallback = [] {
        if (callbacks.load() % 7 == 0) {
            upcalls->release_bindings(&jni);  // from the callback: must not wait for itself
        }
    };
    race(
        2,
        [](int t) {
            if (t == 0) {
                upcalls->release_bindings(&jni);
            } else {
                retransformOne(listedClass(3));  // another tool's retransformation
            }
        },
        [&] {
            // A list is refused while the last one waits for its release.
            for (long round = 0; enables.load() < 300 && round < 10000000; round++) {
                bindIfUnbound();
                Java_tesmar_nuvrak_zev_VMZEV_retransformClasses0(&jni, nullptr, classArray);
            }
        });
    duringCallback = nullptr;
    upcalls->release_bindings(&jni);
    EXPECT_GE(enables.load(), 300);
    EXPECT_EQ(restores.load(), enables.load()) << "every list published is restored once";
    EXPECT_FALSE(libraryState.retransform_classes.published());
    EXPECT_EQ(libraryState.retransform_state.load(), ListState::None);
    expectReferencesDeletedOnce();
}

TEST(Race, RequestsTellReleasesUnderWayWhileReleasesRun) {
    load();
    std::atomic<long> answered{0};
    std::atomic<long> unanswered{0};
    race(
        3,
        [&](int) {
            long before = errorLines.load();
            jstring answer = upcalls->check_recording(&jni, "race", 1, JNI_FALSE);
            if (answer != nullptr) {
                answered++;
            } else {
                unanswered++;
                // A null answer always comes with its line.
                EXPECT_GT(errorLines.load(), before);
            }
        },
        [&] {
            // Releases go on until some requests got through between them.
            for (long release = 0; release < 20000 || (answered < 100 && release < 10000000);
                 release++) {
                upcalls->release_bindings(&jni);
            }
        });
    EXPECT_GT(answered.load(), 0);
    std::printf("%ld answered, %ld released under the request\n", answered.load(),
                unanswered.load());
}

TEST(Race, StatusCachesWrittenFromManyThreadsStayStickyOnceTrue) {
    load();
    std::atomic<bool> seenTrue{false};
    race(
        4,
        [&](int) {
            bool sawTrueBefore = seenTrue.load();
            bool enabled = Java_tesmar_nuvrak_zev_ZEV_isEnabled(&jni, nullptr);
            EXPECT_FALSE(sawTrueBefore && !enabled) << "the cache answered true, then false";
            if (enabled) {
                seenTrue = true;
            }
            EXPECT_FALSE(Java_tesmar_nuvrak_zev_ZEV_isStarted(&jni, nullptr));
            EXPECT_FALSE(Java_tesmar_nuvrak_zev_ZEV_isDisabledOnCommandLine(&jni, nullptr));
        },
        [&] {
            while (!seenTrue) {
                std::this_thread::yield();
            }
        });
    EXPECT_TRUE(Java_tesmar_nuvrak_zev_ZEV_isEnabled(&jni, nullptr));
}
