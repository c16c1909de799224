#include "library_binding.h"

#include <dlfcn.h>

#include <cstdio>
#include <vector>

namespace zevhost {
namespace {

using JniOnLoad = jint(JNICALL*)(JavaVM*, void*);

// A native as the host binds it: the method and the library's export.
struct BoundNative {
    std::string name;
    std::string descriptor;
    void* function;
};

bool isSupportedJniVersion(jint version) {
    switch (version) {
    case JNI_VERSION_1_1: case JNI_VERSION_1_2: case JNI_VERSION_1_4: case JNI_VERSION_1_6:
    case JNI_VERSION_1_8: case JNI_VERSION_9: case JNI_VERSION_10:
        return true;
    default:
        return false;
    }
}

std::string javaUtf(JNIEnv* env, jobjectArray array, jsize index) {
    auto text = static_cast<jstring>(env->GetObjectArrayElement(array, index));
    if (!text) {
        return std::string();
    }
    const char* chars = env->GetStringUTFChars(text, nullptr);
    std::string copy = chars ? chars : "";
    if (chars) {
        env->ReleaseStringUTFChars(text, chars);
    }
    env->DeleteLocalRef(text);
    return copy;
}

// Registers one class's natives.
bool registerClass(JNIEnv* env, const std::string& class_name,
                   const std::vector<BoundNative>& methods) {
    jclass klass = env->FindClass(class_name.c_str());
    if (!klass) {
        describePending(env);
        return false;
    }
    std::vector<JNINativeMethod> table;
    for (const BoundNative& m : methods) {
        table.push_back({const_cast<char*>(m.name.c_str()), const_cast<char*>(m.descriptor.c_str()),
                         m.function});
    }
    bool done = env->RegisterNatives(klass, table.data(), static_cast<jint>(table.size())) == JNI_OK;
    if (!done) {
        std::fprintf(stderr, "zev-host: could not register the natives of %s\n", class_name.c_str());
        describePending(env);
    }
    env->DeleteLocalRef(klass);
    return done;
}

}  // namespace

void describePending(JNIEnv* env) {
    if (env->ExceptionCheck()) {
        env->ExceptionDescribe();
        env->ExceptionClear();
    }
}

bool loadLibrary(const std::string& path, JavaVM* vm, void** handle, jint* on_load_result) {
    *handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!*handle) {
        std::fprintf(stderr, "zev-host: cannot load %s: %s\n", path.c_str(), dlerror());
        return false;
    }
    auto on_load = reinterpret_cast<JniOnLoad>(dlsym(*handle, "JNI_OnLoad"));
    if (!on_load) {
        std::fprintf(stderr, "zev-host: libzev.so does not export JNI_OnLoad\n");
        return false;
    }
    *on_load_result = on_load(vm, nullptr);
    if (!isSupportedJniVersion(*on_load_result)) {
        std::fprintf(stderr, "zev-host: JNI_OnLoad answered unsupported JNI version 0x%08x\n",
                     static_cast<unsigned>(*on_load_result));
        return false;
    }
    return true;
}

bool bindRecorderNatives(JNIEnv* env, void* library, int* bound) {
    jclass natives = env->FindClass("zevhost/Natives");
    if (!natives) {
        describePending(env);
        return false;
    }
    jmethodID list = env->GetStaticMethodID(natives, "recorderNatives", "()[Ljava/lang/String;");
    if (!list) {
        describePending(env);
        return false;
    }
    auto entries = static_cast<jobjectArray>(env->CallStaticObjectMethod(natives, list));
    if (env->ExceptionCheck() || !entries) {
        std::fputs("zev-host: could not list the recorder's natives\n", stderr);
        describePending(env);
        return false;
    }
    jsize count = env->GetArrayLength(entries) / 5;
    // Class by class, in the order listed (grouped by class).
    std::string current_class;
    std::vector<BoundNative> methods;
    auto flush = [&]() -> bool {
        if (methods.empty()) {
            return true;
        }
        if (!registerClass(env, current_class, methods)) {
            return false;
        }
        *bound += static_cast<int>(methods.size());
        methods.clear();
        return true;
    };
    for (jsize i = 0; i < count; ++i) {
        std::string klass = javaUtf(env, entries, 5 * i);
        std::string name = javaUtf(env, entries, 5 * i + 1);
        std::string descriptor = javaUtf(env, entries, 5 * i + 2);
        std::string short_symbol = javaUtf(env, entries, 5 * i + 3);
        std::string long_symbol = javaUtf(env, entries, 5 * i + 4);
        if (env->ExceptionCheck()) {
            describePending(env);
            return false;
        }
        if (klass != current_class) {
            if (!flush()) {
                return false;
            }
            current_class = klass;
        }
        void* function = dlsym(library, short_symbol.c_str());
        if (!function) {
            function = dlsym(library, long_symbol.c_str());
        }
        if (!function) {
            std::fprintf(stderr, "zev-host: libzev.so does not export %s\n", short_symbol.c_str());
            return false;
        }
        methods.push_back({name, descriptor, function});
    }
    bool flushed = flush();
    env->DeleteLocalRef(entries);
    return flushed;
}

}  // namespace zevhost
