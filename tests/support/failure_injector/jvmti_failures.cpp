// The JVMTI environment that the host hands the library: the real one behind
// a function table of the host's, so that the injector can fail the calls
// the library makes through it. The table forwards exactly the functions the
// library calls; the rest answer JVMTI_ERROR_NOT_AVAILABLE and say so.
#include "failure_injector.h"
#include "library_entries.h"

#include <jvmti.h>

#include <atomic>
#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <mutex>

namespace zevhost {
namespace {

// The library's jvmtiEnv* points at env; real is the JVM's environment.
struct WrappedEnv {
    _jvmtiEnv env;
    jvmtiEnv* real;
};

jvmtiInterface_1_ g_table;
std::once_flag g_table_made;
std::atomic<long long> g_live{0};

jvmtiEnv* real(jvmtiEnv* env) {
    return reinterpret_cast<WrappedEnv*>(env)->real;
}

#define FAILS(function) injectFailure(CallKind::Jvmti, function, __builtin_return_address(0))

jvmtiError JNICALL wrapAddCapabilities(jvmtiEnv* env, const jvmtiCapabilities* capabilities) {
    if (FAILS("AddCapabilities")) {
        return JVMTI_ERROR_NOT_AVAILABLE;
    }
    return real(env)->AddCapabilities(capabilities);
}

jvmtiError JNICALL wrapSetEventCallbacks(jvmtiEnv* env, const jvmtiEventCallbacks* callbacks,
                                         jint size) {
    if (FAILS("SetEventCallbacks")) {
        return JVMTI_ERROR_OUT_OF_MEMORY;
    }
    if (callbacks == nullptr || size < 0) {
        return real(env)->SetEventCallbacks(callbacks, size);
    }
    // The hook is reached through the host's entry, so that its last calls
    // return into known code.
    jvmtiEventCallbacks through_entry{};
    std::memcpy(&through_entry, callbacks,
                std::min(static_cast<std::size_t>(size), sizeof through_entry));
    if (static_cast<std::size_t>(size) >= offsetof(jvmtiEventCallbacks, ClassFileLoadHook) +
                                               sizeof through_entry.ClassFileLoadHook) {
        through_entry.ClassFileLoadHook = hookEntry(through_entry.ClassFileLoadHook);
    }
    return real(env)->SetEventCallbacks(&through_entry, size);
}

jvmtiError JNICALL wrapSetEventNotificationMode(jvmtiEnv* env, jvmtiEventMode mode,
                                                jvmtiEvent event, jthread thread, ...) {
    if (FAILS("SetEventNotificationMode")) {
        return JVMTI_ERROR_OUT_OF_MEMORY;
    }
    return real(env)->SetEventNotificationMode(mode, event, thread);
}

jvmtiError JNICALL wrapGetObjectHashCode(jvmtiEnv* env, jobject object, jint* hash) {
    if (FAILS("GetObjectHashCode")) {
        return JVMTI_ERROR_OUT_OF_MEMORY;
    }
    return real(env)->GetObjectHashCode(object, hash);
}

jvmtiError JNICALL wrapRetransformClasses(jvmtiEnv* env, jint count, const jclass* classes) {
    if (FAILS("RetransformClasses")) {
        return JVMTI_ERROR_OUT_OF_MEMORY;
    }
    return real(env)->RetransformClasses(count, classes);
}

jvmtiError JNICALL wrapAllocate(jvmtiEnv* env, jlong size, unsigned char** memory) {
    if (FAILS("Allocate")) {
        return JVMTI_ERROR_OUT_OF_MEMORY;
    }
    return real(env)->Allocate(size, memory);
}

jvmtiError JNICALL wrapDeallocate(jvmtiEnv* env, unsigned char* memory) {
    return real(env)->Deallocate(memory);
}

jvmtiError JNICALL wrapDisposeEnvironment(jvmtiEnv* env) {
    jvmtiError err = real(env)->DisposeEnvironment();
    if (err == JVMTI_ERROR_NONE) {
        delete reinterpret_cast<WrappedEnv*>(env);
        --g_live;
    }
    return err;
}

// Every JVMTI function answers a jvmtiError and takes the environment first.
jvmtiError JNICALL notForwarded(jvmtiEnv*, ...) {
    std::fputs("zev-host: the library called a JVMTI function that the host does not forward\n",
               stderr);
    return JVMTI_ERROR_NOT_AVAILABLE;
}

void makeTable() {
    void** slots = reinterpret_cast<void**>(&g_table);
    for (std::size_t i = 0; i < sizeof(g_table) / sizeof(void*); ++i) {
        slots[i] = reinterpret_cast<void*>(notForwarded);
    }
    g_table.AddCapabilities = wrapAddCapabilities;
    g_table.SetEventCallbacks = wrapSetEventCallbacks;
    g_table.SetEventNotificationMode = wrapSetEventNotificationMode;
    g_table.GetObjectHashCode = wrapGetObjectHashCode;
    g_table.RetransformClasses = wrapRetransformClasses;
    g_table.Allocate = wrapAllocate;
    g_table.Deallocate = wrapDeallocate;
    g_table.DisposeEnvironment = wrapDisposeEnvironment;
}

}  // namespace

jint libraryJvmtiEnv(JavaVM* vm, void** penv, jint version, const void* caller) {
    if (injectFailure(CallKind::Jvmti, "GetEnv", caller)) {
        *penv = nullptr;
        return JNI_ENOMEM;
    }
    jvmtiEnv* jvmti = nullptr;
    jint result = vm->GetEnv(reinterpret_cast<void**>(&jvmti), version);
    if (result != JNI_OK || jvmti == nullptr) {
        *penv = nullptr;
        return result != JNI_OK ? result : JNI_ERR;
    }
    std::call_once(g_table_made, makeTable);
    auto* wrapped = new WrappedEnv{{&g_table}, jvmti};
    ++g_live;
    *penv = &wrapped->env;
    return JNI_OK;
}

long long libraryJvmtiEnvironments() {
    return g_live;
}

}  // namespace zevhost
