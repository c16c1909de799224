// The injector's JNI function table: every fallible function wrapped, each
// wrapper forwarding to the table installed before it (the checked one under
// -Xcheck:jni) unless the injector fails the call.
#include "failure_injector.h"
#include "reference_vm.h"

#include <jvmti.h>

#include <atomic>
#include <cstdarg>
#include <mutex>

namespace zevhost {
namespace {

const jniNativeInterface* g_original = nullptr;
jniNativeInterface g_wrapped;
jthrowable g_injected = nullptr;  // a preallocated OutOfMemoryError, as the VM keeps one
std::mutex g_install_mutex;
std::atomic<bool> g_installed{false};

#define FAILS(function) injectFailure(CallKind::Jni, function, __builtin_return_address(0))

void throwInjected(JNIEnv* env) {
    g_original->Throw(env, g_injected);
}

// A function that answers a reference or pointer: null with the error pending.
#define WRAP(ret, name, params, args)        \
    ret JNICALL wrap##name params {          \
        if (FAILS(#name)) {                  \
            throwInjected(env);              \
            return {};                    \
        }                                    \
        return g_original->name args;        \
    }

// A function that answers a JNI status: a negative code with the error pending.
#define WRAP_STATUS(name, code, params, args) \
    jint JNICALL wrap##name params {          \
        if (FAILS(#name)) {                   \
            throwInjected(env);               \
            return code;                      \
        }                                     \
        return g_original->name args;         \
    }

// A function that answers nothing: it throws without doing its work.
#define WRAP_VOID(name, params, args)  \
    void JNICALL wrap##name params {   \
        if (FAILS(#name)) {            \
            throwInjected(env);        \
            return;                    \
        }                              \
        g_original->name args;         \
    }

// New*Ref may also fail with nothing pending: JNI does not promise an error.
#define WRAP_REF(ret, name)                              \
    ret JNICALL wrap##name(JNIEnv* env, jobject object) { \
        if (FAILS(#name)) {                              \
            if (!failQuietly()) {                        \
                throwInjected(env);                      \
            }                                            \
            return nullptr;                              \
        }                                                \
        return g_original->name(env, object);           \
    }

WRAP(jclass, FindClass, (JNIEnv* env, const char* name), (env, name))
WRAP_STATUS(ThrowNew, JNI_ERR, (JNIEnv* env, jclass klass, const char* message),
            (env, klass, message))
WRAP_STATUS(PushLocalFrame, JNI_ENOMEM, (JNIEnv* env, jint capacity), (env, capacity))
WRAP_STATUS(EnsureLocalCapacity, JNI_ENOMEM, (JNIEnv* env, jint capacity), (env, capacity))
WRAP_REF(jobject, NewLocalRef)
WRAP_REF(jweak, NewWeakGlobalRef)

// The library's global references are accounted for, failed or not.
jobject JNICALL wrapNewGlobalRef(JNIEnv* env, jobject object) {
    const void* caller = __builtin_return_address(0);
    if (injectFailure(CallKind::Jni, "NewGlobalRef", caller)) {
        if (!failQuietly()) {
            throwInjected(env);
        }
        return nullptr;
    }
    jobject global = g_original->NewGlobalRef(env, object);
    if (global && madeByLibrary(caller)) {
        noteGlobalRef(global);
    }
    return global;
}

void JNICALL wrapDeleteGlobalRef(JNIEnv* env, jobject global) {
    if (global && madeByLibrary(__builtin_return_address(0))) {
        forgetGlobalRef(global);
    }
    g_original->DeleteGlobalRef(env, global);
}

WRAP(jobject, AllocObject, (JNIEnv* env, jclass klass), (env, klass))
WRAP(jobject, NewObjectV, (JNIEnv* env, jclass klass, jmethodID method, va_list args),
     (env, klass, method, args))
WRAP(jobject, NewObjectA, (JNIEnv* env, jclass klass, jmethodID method, const jvalue* args),
     (env, klass, method, args))

jobject JNICALL wrapNewObject(JNIEnv* env, jclass klass, jmethodID method, ...) {
    if (FAILS("NewObject")) {
        throwInjected(env);
        return nullptr;
    }
    va_list args;
    va_start(args, method);
    jobject result = g_original->NewObjectV(env, klass, method, args);
    va_end(args);
    return result;
}

WRAP(jmethodID, GetMethodID, (JNIEnv* env, jclass klass, const char* name, const char* signature),
     (env, klass, name, signature))
WRAP(jmethodID, GetStaticMethodID,
     (JNIEnv* env, jclass klass, const char* name, const char* signature),
     (env, klass, name, signature))
WRAP(jfieldID, GetFieldID, (JNIEnv* env, jclass klass, const char* name, const char* signature),
     (env, klass, name, signature))
WRAP(jfieldID, GetStaticFieldID,
     (JNIEnv* env, jclass klass, const char* name, const char* signature),
     (env, klass, name, signature))

// Call<Type>Method in its three forms, for instance, nonvirtual and static
// calls. The C++ API routes the variadic forms through the V forms; C
// callers reach the variadic entries themselves.
#define WRAP_CALLS(Type, ret)                                                                   \
    ret JNICALL wrapCall##Type##Method(JNIEnv* env, jobject object, jmethodID method, ...) {     \
        if (FAILS("Call" #Type "Method")) {                                                     \
            throwInjected(env);                                                                 \
            return {};                                                                       \
        }                                                                                       \
        va_list args;                                                                           \
        va_start(args, method);                                                                 \
        ret result = g_original->Call##Type##MethodV(env, object, method, args);                \
        va_end(args);                                                                           \
        return result;                                                                          \
    }                                                                                           \
    WRAP(ret, Call##Type##MethodV, (JNIEnv* env, jobject object, jmethodID method, va_list args), \
         (env, object, method, args))                                                           \
    WRAP(ret, Call##Type##MethodA,                                                              \
         (JNIEnv* env, jobject object, jmethodID method, const jvalue* args),                   \
         (env, object, method, args))                                                           \
    ret JNICALL wrapCallNonvirtual##Type##Method(JNIEnv* env, jobject object, jclass klass,      \
                                                 jmethodID method, ...) {                       \
        if (FAILS("CallNonvirtual" #Type "Method")) {                                           \
            throwInjected(env);                                                                 \
            return {};                                                                       \
        }                                                                                       \
        va_list args;                                                                           \
        va_start(args, method);                                                                 \
        ret result = g_original->CallNonvirtual##Type##MethodV(env, object, klass, method, args); \
        va_end(args);                                                                           \
        return result;                                                                          \
    }                                                                                           \
    WRAP(ret, CallNonvirtual##Type##MethodV,                                                    \
         (JNIEnv* env, jobject object, jclass klass, jmethodID method, va_list args),           \
         (env, object, klass, method, args))                                                    \
    WRAP(ret, CallNonvirtual##Type##MethodA,                                                    \
         (JNIEnv* env, jobject object, jclass klass, jmethodID method, const jvalue* args),     \
         (env, object, klass, method, args))                                                    \
    ret JNICALL wrapCallStatic##Type##Method(JNIEnv* env, jclass klass, jmethodID method, ...) { \
        if (FAILS("CallStatic" #Type "Method")) {                                               \
            throwInjected(env);                                                                 \
            return {};                                                                       \
        }                                                                                       \
        va_list args;                                                                           \
        va_start(args, method);                                                                 \
        ret result = g_original->CallStatic##Type##MethodV(env, klass, method, args);           \
        va_end(args);                                                                           \
        return result;                                                                          \
    }                                                                                           \
    WRAP(ret, CallStatic##Type##MethodV,                                                        \
         (JNIEnv* env, jclass klass, jmethodID method, va_list args), (env, klass, method, args)) \
    WRAP(ret, CallStatic##Type##MethodA,                                                        \
         (JNIEnv* env, jclass klass, jmethodID method, const jvalue* args),                     \
         (env, klass, method, args))

WRAP_CALLS(Object, jobject)
WRAP_CALLS(Boolean, jboolean)
WRAP_CALLS(Byte, jbyte)
WRAP_CALLS(Char, jchar)
WRAP_CALLS(Short, jshort)
WRAP_CALLS(Int, jint)
WRAP_CALLS(Long, jlong)
WRAP_CALLS(Float, jfloat)
WRAP_CALLS(Double, jdouble)

// The void calls: the same, with no result to carry.
#define WRAP_VOID_CALL(name, params, args, last) \
    void JNICALL wrap##name params {              \
        if (FAILS(#name)) {                       \
            throwInjected(env);                   \
            return;                               \
        }                                         \
        va_list list;                             \
        va_start(list, last);                     \
        g_original->name##V args;                 \
        va_end(list);                             \
    }

WRAP_VOID_CALL(CallVoidMethod, (JNIEnv* env, jobject object, jmethodID method, ...),
               (env, object, method, list), method)
WRAP_VOID_CALL(CallNonvirtualVoidMethod,
               (JNIEnv* env, jobject object, jclass klass, jmethodID method, ...),
               (env, object, klass, method, list), method)
WRAP_VOID_CALL(CallStaticVoidMethod, (JNIEnv* env, jclass klass, jmethodID method, ...),
               (env, klass, method, list), method)
WRAP_VOID(CallVoidMethodV, (JNIEnv* env, jobject object, jmethodID method, va_list args),
          (env, object, method, args))
WRAP_VOID(CallVoidMethodA, (JNIEnv* env, jobject object, jmethodID method, const jvalue* args),
          (env, object, method, args))
WRAP_VOID(CallNonvirtualVoidMethodV,
          (JNIEnv* env, jobject object, jclass klass, jmethodID method, va_list args),
          (env, object, klass, method, args))
WRAP_VOID(CallNonvirtualVoidMethodA,
          (JNIEnv* env, jobject object, jclass klass, jmethodID method, const jvalue* args),
          (env, object, klass, method, args))
WRAP_VOID(CallStaticVoidMethodV, (JNIEnv* env, jclass klass, jmethodID method, va_list args),
          (env, klass, method, args))
WRAP_VOID(CallStaticVoidMethodA,
          (JNIEnv* env, jclass klass, jmethodID method, const jvalue* args),
          (env, klass, method, args))

WRAP(jstring, NewString, (JNIEnv* env, const jchar* chars, jsize length), (env, chars, length))
WRAP(jstring, NewStringUTF, (JNIEnv* env, const char* chars), (env, chars))
WRAP(const jchar*, GetStringChars, (JNIEnv* env, jstring string, jboolean* copy),
     (env, string, copy))
WRAP(const char*, GetStringUTFChars, (JNIEnv* env, jstring string, jboolean* copy),
     (env, string, copy))
WRAP(const jchar*, GetStringCritical, (JNIEnv* env, jstring string, jboolean* copy),
     (env, string, copy))
WRAP_VOID(GetStringRegion, (JNIEnv* env, jstring string, jsize start, jsize length, jchar* to),
          (env, string, start, length, to))
WRAP_VOID(GetStringUTFRegion, (JNIEnv* env, jstring string, jsize start, jsize length, char* to),
          (env, string, start, length, to))

WRAP(jobjectArray, NewObjectArray,
     (JNIEnv* env, jsize length, jclass klass, jobject initial), (env, length, klass, initial))
WRAP(jobject, GetObjectArrayElement, (JNIEnv* env, jobjectArray array, jsize index),
     (env, array, index))
WRAP_VOID(SetObjectArrayElement, (JNIEnv* env, jobjectArray array, jsize index, jobject value),
          (env, array, index, value))

#define WRAP_ARRAYS(Type, element)                                                              \
    WRAP(element##Array, New##Type##Array, (JNIEnv* env, jsize length), (env, length))          \
    WRAP(element*, Get##Type##ArrayElements, (JNIEnv* env, element##Array array, jboolean* copy), \
         (env, array, copy))                                                                    \
    WRAP_VOID(Get##Type##ArrayRegion,                                                           \
              (JNIEnv* env, element##Array array, jsize start, jsize length, element* to),      \
              (env, array, start, length, to))                                                  \
    WRAP_VOID(Set##Type##ArrayRegion,                                                           \
              (JNIEnv* env, element##Array array, jsize start, jsize length, const element* from), \
              (env, array, start, length, from))

WRAP_ARRAYS(Boolean, jboolean)
WRAP_ARRAYS(Byte, jbyte)
WRAP_ARRAYS(Char, jchar)
WRAP_ARRAYS(Short, jshort)
WRAP_ARRAYS(Int, jint)
WRAP_ARRAYS(Long, jlong)
WRAP_ARRAYS(Float, jfloat)
WRAP_ARRAYS(Double, jdouble)

WRAP(void*, GetPrimitiveArrayCritical, (JNIEnv* env, jarray array, jboolean* copy),
     (env, array, copy))
WRAP(jobject, NewDirectByteBuffer, (JNIEnv* env, void* address, jlong capacity),
     (env, address, capacity))

void fillTable(jniNativeInterface* t) {
#define SET(name) t->name = wrap##name
#define SET_CALLS(Type)                                                                      \
    SET(Call##Type##Method); SET(Call##Type##MethodV); SET(Call##Type##MethodA);             \
    SET(CallNonvirtual##Type##Method); SET(CallNonvirtual##Type##MethodV);                   \
    SET(CallNonvirtual##Type##MethodA);                                                      \
    SET(CallStatic##Type##Method); SET(CallStatic##Type##MethodV); SET(CallStatic##Type##MethodA)
#define SET_ARRAYS(Type) \
    SET(New##Type##Array); SET(Get##Type##ArrayElements); SET(Get##Type##ArrayRegion); \
    SET(Set##Type##ArrayRegion)
    SET(FindClass);
    SET(ThrowNew);
    SET(PushLocalFrame);
    SET(EnsureLocalCapacity);
    SET(NewGlobalRef);
    SET(DeleteGlobalRef);
    SET(NewLocalRef);
    SET(NewWeakGlobalRef);
    SET(AllocObject);
    SET(NewObject);
    SET(NewObjectV);
    SET(NewObjectA);
    SET(GetMethodID);
    SET(GetStaticMethodID);
    SET(GetFieldID);
    SET(GetStaticFieldID);
    SET_CALLS(Object);
    SET_CALLS(Boolean);
    SET_CALLS(Byte);
    SET_CALLS(Char);
    SET_CALLS(Short);
    SET_CALLS(Int);
    SET_CALLS(Long);
    SET_CALLS(Float);
    SET_CALLS(Double);
    SET_CALLS(Void);
    SET(NewString);
    SET(NewStringUTF);
    SET(GetStringChars);
    SET(GetStringUTFChars);
    SET(GetStringCritical);
    SET(GetStringRegion);
    SET(GetStringUTFRegion);
    SET(NewObjectArray);
    SET(GetObjectArrayElement);
    SET(SetObjectArrayElement);
    SET_ARRAYS(Boolean);
    SET_ARRAYS(Byte);
    SET_ARRAYS(Char);
    SET_ARRAYS(Short);
    SET_ARRAYS(Int);
    SET_ARRAYS(Long);
    SET_ARRAYS(Float);
    SET_ARRAYS(Double);
    SET(GetPrimitiveArrayCritical);
    SET(NewDirectByteBuffer);
#undef SET_ARRAYS
#undef SET_CALLS
#undef SET
}

// The error the wrappers throw, made while nothing is wrapped yet.
jthrowable preallocatedError(JNIEnv* env) {
    jclass klass = env->FindClass("java/lang/OutOfMemoryError");
    if (!klass) {
        return nullptr;
    }
    jmethodID init = env->GetMethodID(klass, "<init>", "(Ljava/lang/String;)V");
    jstring message = init ? env->NewStringUTF("injected by zev-host") : nullptr;
    jobject error = message ? env->NewObject(klass, init, message) : nullptr;
    jobject global = error ? env->NewGlobalRef(error) : nullptr;
    env->DeleteLocalRef(error);
    env->DeleteLocalRef(message);
    env->DeleteLocalRef(klass);
    return static_cast<jthrowable>(global);
}

}  // namespace

bool throughJniFailures(JNIEnv* env) {
    return env->functions->NewStringUTF == wrapNewStringUTF;
}

bool installJniFailures(JNIEnv* env, std::string* error) {
    std::lock_guard<std::mutex> lock(g_install_mutex);
    if (g_installed.load(std::memory_order_acquire)) {
        return true;
    }
    jvmtiEnv* jvmti = nullptr;
    if (realVm()->GetEnv(reinterpret_cast<void**>(&jvmti), JVMTI_VERSION_1_2) != JNI_OK) {
        *error = "no JVMTI environment for the failure injector";
        return false;
    }
    g_injected = preallocatedError(env);
    if (!g_injected) {
        env->ExceptionClear();
        *error = "cannot preallocate the injected OutOfMemoryError";
        return false;
    }
    jniNativeInterface* original = nullptr;
    if (jvmti->GetJNIFunctionTable(&original) != JVMTI_ERROR_NONE) {
        *error = "GetJNIFunctionTable failed";
        return false;
    }
    g_original = original;  // kept for the life of the process
    g_wrapped = *original;
    fillTable(&g_wrapped);
    if (jvmti->SetJNIFunctionTable(&g_wrapped) != JVMTI_ERROR_NONE) {
        *error = "SetJNIFunctionTable failed";
        return false;
    }
    g_installed.store(true, std::memory_order_release);
    return true;
}

}  // namespace zevhost
