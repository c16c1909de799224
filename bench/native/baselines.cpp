/*
 * libzevbench.so: the VM's own versions of what libzev does on its hot paths,
 * for the benchmarks to measure libzev against in the same process: natives
 * that make the same recorder-interface calls as libzev's, a start-recording
 * request made with plain JNI from an attached VM thread, and a request loop
 * that pauses on its VM thread so that memory can be read while it is still
 * attached. Bound to zevbench.Baseline, which loads it; built for the
 * benchmarks only.
 */
#include "jni_support.h"
#include "vm_interface.h"

#include <time.h>

#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

namespace zevhost {
namespace {

JavaVM* g_vm = nullptr;
// The reference VM's table and the upcalls the library registered with it,
// handed over by zev-host through zevbench.Baseline's bind.
const VmRecorderInterface* g_recorder_interface = nullptr;
const RecorderUpcalls* g_upcalls = nullptr;

jclass g_string_class = nullptr;

// The request every start-recording loop makes, the host's request loop's own.
const char kName[] = "loop";
const char kFileName[] = "loop.zev";
const char* const kSettings[] = {"default", "profile", nullptr};
constexpr jint kSettingsCount = 2;

// The calling thread's CPU time: on a shared machine, what a loop cost
// without the time other processes took the core away.
jlong threadCpuNanos() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<jlong>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

// The VM's table, or null with an exception pending, as a native of the VM's
// own would find its recorder missing.
const VmRecorderInterface* vmOrThrow(JNIEnv* env) {
    const VmRecorderInterface* vm = g_recorder_interface;
    if (!vm) {
        throwNew(env, "java/lang/IllegalStateException", "no recorder interface");
    }
    return vm;
}

// ---- the forwarding and converting natives -----------------------------------

jlong JNICALL baselineCounterTime(JNIEnv* env, jclass self) {
    const VmRecorderInterface* vm = vmOrThrow(env);
    return vm ? vm->counter_time(env, self) : 0;
}

jlong JNICALL baselineThreadId(JNIEnv* env, jobject self) {
    const VmRecorderInterface* vm = vmOrThrow(env);
    return vm ? vm->thread_id(env, self) : 0;
}

jlong JNICALL baselineGetPeriod(JNIEnv* env, jobject, jint id) {
    const VmRecorderInterface* vm = vmOrThrow(env);
    return vm ? vm->get_period(id) : 0;
}

// Asks can_write, pins the array and hands its elements to write.
void JNICALL baselineWrite(JNIEnv* env, jobject self, jbyteArray data, jint offset,
                           jint length) {
    const VmRecorderInterface* vm = vmOrThrow(env);
    if (!vm) {
        return;
    }
    if (!data) {
        throwNew(env, "java/lang/NullPointerException", "");
        return;
    }
    if (!vm->can_write(env, self, data, offset)) {
        return;
    }
    void* elements = env->GetPrimitiveArrayCritical(data, nullptr);
    if (!elements) {
        return;
    }
    vm->write(elements, offset, length);
    env->ReleasePrimitiveArrayCritical(data, elements, 0);
}

// ---- start-recording requests made by the VM itself ---------------------------

struct Totals {
    jlong answered = 0;
    jlong nulls = 0;
    jlong exceptions = 0;
};

// What the VM makes of one answer: a pending exception is cleared and counted
// first, as nothing else may run while it is pending.
void count(JNIEnv* env, jobject result, Totals* totals) {
    if (env->ExceptionCheck()) {
        env->ExceptionClear();
        ++totals->exceptions;
    } else if (result) {
        ++totals->answered;
    } else {
        ++totals->nulls;
    }
}

// One start-recording request with plain JNI, checked as sound VM code checks
// every call: the strings and the settings array converted, the recorder's
// method called, every local reference deleted.
void directRequest(JNIEnv* env, jobject recorder, jmethodID start_recording, Totals* totals) {
    jstring name = env->NewStringUTF(kName);
    jobjectArray settings = name ? env->NewObjectArray(kSettingsCount, g_string_class, nullptr)
                                 : nullptr;
    bool converted = settings != nullptr;
    for (jint i = 0; converted && i < kSettingsCount; ++i) {
        jstring setting = env->NewStringUTF(kSettings[i]);
        if (!setting) {
            converted = false;
            break;
        }
        env->SetObjectArrayElement(settings, i, setting);
        env->DeleteLocalRef(setting);
        converted = !env->ExceptionCheck();
    }
    jstring file_name = converted ? env->NewStringUTF(kFileName) : nullptr;
    jobject result = nullptr;
    if (file_name) {
        result = env->CallObjectMethod(recorder, start_recording, name, settings, JNI_FALSE,
                                       jlong{0}, jlong{0}, file_name, JNI_FALSE, jlong{0},
                                       jlong{0}, JNI_FALSE);
    }
    count(env, result, totals);
    env->DeleteLocalRef(name);
    env->DeleteLocalRef(settings);
    env->DeleteLocalRef(file_name);
    env->DeleteLocalRef(result);
}

// The same request through the library's start_recording entry, followed by
// what the VM does with the answer.
void entryRequest(JNIEnv* env, const RecorderUpcalls* table, Totals* totals) {
    jstring result = table->start_recording(env, kName, kSettingsCount, kSettings, JNI_FALSE, 0,
                                            0, kFileName, JNI_FALSE, 0, 0, JNI_FALSE);
    count(env, result, totals);
    if (result) {
        env->DeleteLocalRef(result);
    }
}

// Runs `requests` requests on a new VM thread and answers {answered, null
// answers, exceptions, elapsed nanoseconds, the thread's CPU nanoseconds},
// both times taken on the VM thread around the requests alone.
template <typename Request>
jlongArray timedLoop(JNIEnv* env, jlong requests, Request request) {
    Totals totals;
    jlong wall = 0, cpu = 0;
    std::string error;
    bool ran = onVmThread(g_vm, "VM Thread", [&](JNIEnv* vm_env) {
        jlong wall_start = nowNanos();
        jlong cpu_start = threadCpuNanos();
        for (jlong i = 0; i < requests; ++i) {
            request(vm_env, &totals);
        }
        cpu = threadCpuNanos() - cpu_start;
        wall = nowNanos() - wall_start;
    }, &error);
    if (!ran) {
        throwNew(env, "java/lang/IllegalStateException", error);
        return nullptr;
    }
    const jlong values[] = {totals.answered, totals.nulls, totals.exceptions, wall, cpu};
    return longArray(env, values, 5);
}

jlongArray JNICALL baselineStartRecordingLoop(JNIEnv* env, jclass, jobject recorder,
                                              jlong requests) {
    if (!recorder) {
        throwNew(env, "java/lang/NullPointerException", "recorder");
        return nullptr;
    }
    jclass klass = env->GetObjectClass(recorder);
    jmethodID start_recording = env->GetMethodID(
        klass, "startRecording",
        "(Ljava/lang/String;[Ljava/lang/String;ZJJLjava/lang/String;ZJJZ)Ljava/lang/String;");
    env->DeleteLocalRef(klass);
    if (!start_recording) {
        return nullptr;
    }
    jobject global = env->NewGlobalRef(recorder);
    if (!global) {
        return nullptr;
    }
    jlongArray result = timedLoop(env, requests, [&](JNIEnv* vm_env, Totals* totals) {
        directRequest(vm_env, global, start_recording, totals);
    });
    env->DeleteGlobalRef(global);
    return result;
}

jlongArray JNICALL baselineEntryLoop(JNIEnv* env, jclass, jlong requests) {
    const RecorderUpcalls* table = g_upcalls;
    if (!table || !table->start_recording) {
        throwNew(env, "java/lang/IllegalStateException", "the library registered no upcalls");
        return nullptr;
    }
    return timedLoop(env, requests, [&](JNIEnv* vm_env, Totals* totals) {
        entryRequest(vm_env, table, totals);
    });
}

// ---- a request loop that pauses while still attached --------------------------

// The loop's thread and Java meet here: the thread runs a step of requests,
// reports, and waits to be resumed; after the last step it detaches.
struct PausingLoop {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<jlong> steps;
    std::size_t done_steps = 0;   // steps finished
    std::size_t resumed = 0;      // steps Java let go on from
    bool finished = false;        // detached (or never attached)
    Totals totals;
    std::thread thread;
};

std::mutex g_loop_mutex;
std::unique_ptr<PausingLoop> g_loop;

void runPausingLoop(PausingLoop* loop) {
    JNIEnv* env = nullptr;
    JavaVMAttachArgs args{JNI_VERSION_1_2, const_cast<char*>("VM Thread"), nullptr};
    const RecorderUpcalls* table = g_upcalls;
    if (g_vm->AttachCurrentThread(reinterpret_cast<void**>(&env), &args) == JNI_OK) {
        for (std::size_t step = 0; step < loop->steps.size(); ++step) {
            Totals totals;
            for (jlong i = 0; i < loop->steps[step]; ++i) {
                entryRequest(env, table, &totals);
            }
            std::unique_lock<std::mutex> lock(loop->mutex);
            loop->totals.answered += totals.answered;
            loop->totals.nulls += totals.nulls;
            loop->totals.exceptions += totals.exceptions;
            loop->done_steps = step + 1;
            loop->changed.notify_all();
            loop->changed.wait(lock, [&] { return loop->resumed > step; });
        }
        g_vm->DetachCurrentThread();
    }
    std::lock_guard<std::mutex> lock(loop->mutex);
    loop->finished = true;
    loop->changed.notify_all();
}

void JNICALL baselineStartPausingLoop(JNIEnv* env, jclass, jlongArray steps) {
    if (!steps) {
        throwNew(env, "java/lang/NullPointerException", "steps");
        return;
    }
    const RecorderUpcalls* table = g_upcalls;
    if (!table || !table->start_recording) {
        throwNew(env, "java/lang/IllegalStateException", "the library registered no upcalls");
        return;
    }
    jsize count = env->GetArrayLength(steps);
    auto loop = std::make_unique<PausingLoop>();
    loop->steps.resize(static_cast<std::size_t>(count));
    env->GetLongArrayRegion(steps, 0, count, loop->steps.data());
    if (env->ExceptionCheck()) {
        return;
    }
    std::lock_guard<std::mutex> lock(g_loop_mutex);
    if (g_loop) {
        throwNew(env, "java/lang/IllegalStateException", "a pausing loop is running");
        return;
    }
    try {
        loop->thread = std::thread(runPausingLoop, loop.get());
    } catch (const std::system_error&) {
        throwNew(env, "java/lang/IllegalStateException", "could not start a VM thread");
        return;
    }
    g_loop = std::move(loop);
}

PausingLoop* currentLoop(JNIEnv* env) {
    std::lock_guard<std::mutex> lock(g_loop_mutex);
    if (!g_loop) {
        throwNew(env, "java/lang/IllegalStateException", "no pausing loop is running");
    }
    return g_loop.get();
}

// Waits until the loop's next step is done, its thread still attached.
// Answers {answered, null answers, exceptions} so far; null once the loop
// has ended, after joining its thread.
jlongArray JNICALL baselineAwaitPause(JNIEnv* env, jclass) {
    PausingLoop* loop = currentLoop(env);
    if (!loop) {
        return nullptr;
    }
    Totals totals;
    bool finished;
    {
        std::unique_lock<std::mutex> lock(loop->mutex);
        loop->changed.wait(lock, [&] { return loop->done_steps > loop->resumed || loop->finished; });
        finished = loop->done_steps <= loop->resumed;
        totals = loop->totals;
    }
    if (finished) {
        loop->thread.join();
        std::lock_guard<std::mutex> lock(g_loop_mutex);
        g_loop.reset();
        return nullptr;
    }
    const jlong values[] = {totals.answered, totals.nulls, totals.exceptions};
    return longArray(env, values, 3);
}

void JNICALL baselineResume(JNIEnv* env, jclass) {
    PausingLoop* loop = currentLoop(env);
    if (!loop) {
        return;
    }
    std::lock_guard<std::mutex> lock(loop->mutex);
    loop->resumed = loop->done_steps;
    loop->changed.notify_all();
}

void JNICALL baselineBind(JNIEnv*, jclass, jlong recorder_interface, jlong upcalls) {
    g_recorder_interface = reinterpret_cast<const VmRecorderInterface*>(recorder_interface);
    g_upcalls = reinterpret_cast<const RecorderUpcalls*>(upcalls);
}

const JNINativeMethod kBaselineNatives[] = {
    nativeMethod("bind", "(JJ)V", baselineBind),
    nativeMethod("counterTime", "()J", baselineCounterTime),
    nativeMethod("threadID", "()J", baselineThreadId),
    nativeMethod("getPeriod", "(I)J", baselineGetPeriod),
    nativeMethod("write", "([BII)V", baselineWrite),
    nativeMethod("startRecordingLoop", "(Ljava/lang/Object;J)[J", baselineStartRecordingLoop),
    nativeMethod("entryLoop", "(J)[J", baselineEntryLoop),
    nativeMethod("startPausingLoop", "([J)V", baselineStartPausingLoop),
    nativeMethod("awaitPause", "()[J", baselineAwaitPause),
    nativeMethod("resume", "()V", baselineResume),
};

}  // namespace
}  // namespace zevhost

extern "C" JNIEXPORT jint JNICALL JNI_OnLoad(JavaVM* vm, void*) {
    using namespace zevhost;
    g_vm = vm;
    JNIEnv* env = nullptr;
    if (vm->GetEnv(reinterpret_cast<void**>(&env), JNI_VERSION_1_8) != JNI_OK) {
        return JNI_ERR;
    }
    g_string_class = globalClass(env, "java/lang/String");
    if (!g_string_class) {
        return JNI_ERR;
    }
    // Found through the loader of the class that loads this library.
    jclass baseline = env->FindClass("zevbench/Baseline");
    if (!baseline) {
        return JNI_ERR;
    }
    jint registered = env->RegisterNatives(
        baseline, kBaselineNatives, sizeof kBaselineNatives / sizeof kBaselineNatives[0]);
    env->DeleteLocalRef(baseline);
    return registered == JNI_OK ? JNI_VERSION_1_8 : JNI_ERR;
}
