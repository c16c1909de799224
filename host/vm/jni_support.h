// Small JNI helpers shared by the host's parts.
#ifndef ZEV_HOST_JNI_SUPPORT_H
#define ZEV_HOST_JNI_SUPPORT_H

#include <jni.h>

#include <chrono>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

namespace zevhost {

// Leaves a pending exception of the named class. Nothing may be pending.
inline void throwNew(JNIEnv* env, const char* class_name, const std::string& message) {
    jclass klass = env->FindClass(class_name);
    if (klass) {
        env->ThrowNew(klass, message.c_str());
        env->DeleteLocalRef(klass);
    }
}

// A RegisterNatives entry; JNINativeMethod wants non-const strings, which
// RegisterNatives only reads.
template <typename Function>
JNINativeMethod nativeMethod(const char* name, const char* signature, Function* function) {
    return {const_cast<char*>(name), const_cast<char*>(signature),
            reinterpret_cast<void*>(function)};
}

// A global reference to the named class, kept for the life of the process;
// null when the class is missing (its exception is then pending) or no global
// reference could be made.
inline jclass globalClass(JNIEnv* env, const char* name) {
    jclass local = env->FindClass(name);
    if (!local) {
        return nullptr;
    }
    auto global = static_cast<jclass>(env->NewGlobalRef(local));
    env->DeleteLocalRef(local);
    return global;
}

// A String[] of the lines; null with an exception pending on failure.
inline jobjectArray stringArray(JNIEnv* env, const std::vector<std::string>& lines) {
    jclass string_class = env->FindClass("java/lang/String");
    if (!string_class) {
        return nullptr;
    }
    jobjectArray array = env->NewObjectArray(static_cast<jsize>(lines.size()), string_class, nullptr);
    env->DeleteLocalRef(string_class);
    if (!array) {
        return nullptr;
    }
    for (std::size_t i = 0; i < lines.size(); ++i) {
        jstring line = env->NewStringUTF(lines[i].c_str());
        if (!line) {
            return nullptr;
        }
        env->SetObjectArrayElement(array, static_cast<jsize>(i), line);
        env->DeleteLocalRef(line);
        if (env->ExceptionCheck()) {
            return nullptr;
        }
    }
    return array;
}

// A long[] of the values; null with an exception pending on failure.
inline jlongArray longArray(JNIEnv* env, const jlong* values, jsize count) {
    jlongArray array = env->NewLongArray(count);
    if (array) {
        env->SetLongArrayRegion(array, 0, count, values);
    }
    return array;
}

// Monotonic nanoseconds, for elapsed times.
inline jlong nowNanos() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// Runs body(env) on a new native thread attached to `vm` under `name`, as a
// thread of the VM's own; false, with *error saying why, when the thread
// could not be started or attached.
template <typename Body>
bool onVmThread(JavaVM* vm, const char* name, Body body, std::string* error) {
    bool attached = false;
    try {
        std::thread worker([&] {
            JNIEnv* env = nullptr;
            JavaVMAttachArgs args{JNI_VERSION_1_2, const_cast<char*>(name), nullptr};
            if (vm->AttachCurrentThread(reinterpret_cast<void**>(&env), &args) != JNI_OK) {
                return;
            }
            attached = true;
            body(env);
            vm->DetachCurrentThread();
        });
        worker.join();
    } catch (const std::system_error& e) {
        *error = std::string("could not start a VM thread: ") + e.what();
        return false;
    }
    if (!attached) {
        *error = "could not attach a VM thread";
    }
    return attached;
}

}  // namespace zevhost

#endif
