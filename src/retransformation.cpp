// Class retransformation through the library's own JVMTI environment: the
// class list, the class-file hook that hands listed classes to
// VMZEV.retransformCallback, and the restore when the VM releases us.
#include <jni.h>
#include <jvmti.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <shared_mutex>

#include "diagnostics.h"
#include "jni_guards.h"
#include "library_state.h"
#include "tesmar_nuvrak_zev_VMZEV.h"

namespace {

// An open-addressing table from identity hash to list index, built when the
// list is published, so that a match costs the same however long the list.
struct ClassIndex {
    struct Slot {
        jint hash;
        jint index;  // list index + 1; 0 marks an empty slot
    };
    size_t mask;
    Slot slots[1];  // mask + 1 slots
};

// Read by hooks only under the shared side of listGuard; replaced under its
// exclusive side together with the list.
ClassIndex* classIndex = nullptr;

// Hooks that are matching a class hold it shared; publishing and forgetting a
// list hold it exclusive, so no hook reads a list being freed. Classes loaded
// for the first time never touch it.
std::shared_mutex listGuard;

// Serialises whole operations on the list: building and retransforming it,
// and restoring it, so that a release never frees the list under a
// RetransformClasses call still using it.
std::mutex operationGuard;

ClassIndex* buildIndex(jvmtiEnv* jvmti, const jclass* classes, jint count) {
    size_t capacity = 2;
    while (capacity < static_cast<size_t>(count) * 2) {
        capacity *= 2;
    }
    auto* index = static_cast<ClassIndex*>(
        calloc(1, sizeof(ClassIndex) + (capacity - 1) * sizeof(ClassIndex::Slot)));
    if (index == nullptr) {
        return nullptr;
    }
    index->mask = capacity - 1;
    for (jint i = 0; i < count; i++) {
        jint hash = 0;
        if (jvmti->GetObjectHashCode(classes[i], &hash) != JVMTI_ERROR_NONE) {
            free(index);
            return nullptr;
        }
        size_t slot = static_cast<size_t>(static_cast<uint32_t>(hash)) & index->mask;
        while (index->slots[slot].index != 0) {
            slot = (slot + 1) & index->mask;
        }
        index->slots[slot] = {hash, i + 1};
    }
    return index;
}

// Whether klass is one of the listed classes. Holds listGuard shared.
bool isListed(JNIEnv* env, jvmtiEnv* jvmti, jclass klass) {
    std::shared_lock<std::shared_mutex> hold(listGuard);
    const jclass* classes = libraryState.retransform_classes.load(std::memory_order_acquire);
    if (classes == nullptr || classIndex == nullptr) {
        return false;
    }
    jint hash = 0;
    if (jvmti->GetObjectHashCode(klass, &hash) != JVMTI_ERROR_NONE) {
        return false;
    }
    for (size_t slot = static_cast<size_t>(static_cast<uint32_t>(hash)) & classIndex->mask;
         classIndex->slots[slot].index != 0; slot = (slot + 1) & classIndex->mask) {
        const ClassIndex::Slot& entry = classIndex->slots[slot];
        if (entry.hash == hash && env->IsSameObject(classes[entry.index - 1], klass)) {
            return true;
        }
    }
    return false;
}

void deleteGlobalRefs(JNIEnv* env, jclass* classes, jint count) {
    for (jint i = 0; i < count; i++) {
        env->DeleteGlobalRef(classes[i]);
    }
}

void JNICALL classFileLoadHook(jvmtiEnv* jvmti, JNIEnv* env, jclass class_being_redefined,
                               jobject, const char* name, jobject, jint class_data_len,
                               const unsigned char* class_data, jint* new_class_data_len,
                               unsigned char** new_class_data) {
    // Every class load in the process passes here while the hook is enabled:
    // a class loaded for the first time can never be listed, and leaves at once.
    if (class_being_redefined == nullptr ||
        libraryState.retransform_class_count.load(std::memory_order_acquire) < 1) {
        return;
    }
    if (!isListed(env, jvmti, class_being_redefined)) {
        return;
    }

    LocalFrame frame(env, 8);
    if (!frame.pushed()) {
        return;
    }
    // The VM may have dropped the recorder object already: leave the class as it is.
    jobject recorder = nullptr;
    switch (recorderLocalRef(env, &recorder)) {
    case RecorderRef::Bound:
        break;
    case RecorderRef::NotBound:
        logMessage(LOG_ERROR, "classFileLoadHook: no recorder object for %s",
                   name != nullptr ? name : "<null>");
        return;
    case RecorderRef::Unreferenced:
        logMessage(LOG_ERROR, "classFileLoadHook: no local reference to the recorder object for %s",
                   name != nullptr ? name : "<null>");
        return;
    }
    logMessage(LOG_INFO, "classFileLoadHook called for %s", name != nullptr ? name : "<null>");

    jbyteArray bytes = env->NewByteArray(class_data_len);
    if (bytes == nullptr) {
        // The JVM's own OutOfMemoryError is pending already.
        logMessage(LOG_ERROR, "NewByteArray returned NULL");
        return;
    }
    env->SetByteArrayRegion(bytes, 0, class_data_len, reinterpret_cast<const jbyte*>(class_data));
    if (env->ExceptionCheck()) {
        logMessage(LOG_ERROR, "SetByteArrayRegion threw an exception");
        return;
    }
    auto result = static_cast<jbyteArray>(env->CallObjectMethod(
        recorder, libraryState.retransform_callback_method, class_being_redefined, bytes));
    if (env->ExceptionCheck()) {
        logMessage(LOG_ERROR, "retransformCallback threw an exception");
        return;  // left pending: the hook never clears
    }
    if (result == nullptr) {
        return;
    }

    jsize length = env->GetArrayLength(result);
    unsigned char* newBytes = nullptr;
    jvmtiError err = libraryState.jvmti->Allocate(length, &newBytes);
    if (err != JVMTI_ERROR_NONE) {
        logMessage(LOG_ERROR, "Allocate(%ld) in classFileLoadHook failed with %d",
                   static_cast<long>(length), static_cast<int>(err));
        throwByName(env, "java/lang/OutOfMemoryError", "classFileLoadHook");
        return;
    }
    env->GetByteArrayRegion(result, 0, length, reinterpret_cast<jbyte*>(newBytes));
    if (env->ExceptionCheck()) {
        logMessage(LOG_ERROR, "GetByteArrayRegion threw an exception");
        libraryState.jvmti->Deallocate(newBytes);
        return;
    }
    *new_class_data_len = length;
    *new_class_data = newBytes;  // the VM owns it from here on
}

jvmtiError setClassFileLoadHookMode(bool enable) {
    jvmtiEnv* jvmti = libraryState.jvmti;
    if (jvmti == nullptr) {
        logMessage(LOG_ERROR, "Unable to do SetEventNotificationMode since no jvmti env");
        return JVMTI_ERROR_NONE;
    }
    jvmtiError err = jvmti->SetEventNotificationMode(enable ? JVMTI_ENABLE : JVMTI_DISABLE,
                                                     JVMTI_EVENT_CLASS_FILE_LOAD_HOOK, nullptr);
    if (err != JVMTI_ERROR_NONE) {
        logMessage(LOG_ERROR, "SetEventNotificationMode(%s, JVMTI_EVENT_CLASS_FILE_LOAD_HOOK) returned %d",
                   enable ? "JVMTI_ENABLE" : "JVMTI_DISABLE", static_cast<int>(err));
    }
    return err;
}

void refuseSecondList() {
    logMessage(LOG_ERROR,
               "retransform_classes != NULL: Java_tesmar_nuvrak_zev_VMZEV_retransformClasses0 can "
               "only be called once");
}

}  // namespace

void setUpToolEnvironment(JavaVM* vm) {
    jvmtiEnv* jvmti = nullptr;
    if (vm->GetEnv(reinterpret_cast<void**>(&jvmti), JVMTI_VERSION_1_0) != JNI_OK ||
        jvmti == nullptr) {
        logMessage(LOG_ERROR, "Could not get JVMTI environment.");
        return;
    }
    jvmtiCapabilities capabilities{};
    capabilities.can_redefine_classes = 1;
    capabilities.can_retransform_classes = 1;
    if (jvmti->AddCapabilities(&capabilities) != JVMTI_ERROR_NONE) {
        logMessage(LOG_ERROR, "Failed to get the capabilities.");
        jvmti->DisposeEnvironment();
        return;
    }
    jvmtiEventCallbacks callbacks{};
    callbacks.ClassFileLoadHook = classFileLoadHook;
    if (jvmti->SetEventCallbacks(&callbacks, sizeof(callbacks)) != JVMTI_ERROR_NONE) {
        logMessage(LOG_ERROR, "Failed in call to SetEventCallbacks.");
        jvmti->DisposeEnvironment();
        return;
    }
    // The hook event stays disabled until a class list is published.
    libraryState.jvmti = jvmti;
}

extern "C" JNIEXPORT void JNICALL Java_tesmar_nuvrak_zev_VMZEV_retransformClasses0(
    JNIEnv* env, jobject, jobjectArray classArray) {
    if (classArray == nullptr) {
        throwNullPointer(env);
        return;
    }
    // A held list is refused before waiting for the operation guard: a
    // transformer asking for another list from inside the callback would
    // otherwise wait for the very call that runs it.
    if (libraryState.retransform_classes.load(std::memory_order_acquire) != nullptr) {
        refuseSecondList();
        return;
    }
    std::lock_guard<std::mutex> operation(operationGuard);
    if (libraryState.retransform_classes.load(std::memory_order_acquire) != nullptr) {
        refuseSecondList();
        return;
    }
    jsize count = env->GetArrayLength(classArray);
    if (count <= 0) {
        return;
    }
    jvmtiEnv* jvmti = libraryState.jvmti;
    if (jvmti == nullptr) {
        // Nothing can be retransformed; publish nothing, so a later call is not refused.
        logMessage(LOG_ERROR, "Unable to retransform classes since no jvmti env");
        throwException(env, "VMZEV_retransform");
        return;
    }

    size_t bytes = static_cast<size_t>(count) * sizeof(jclass);
    auto* classes = static_cast<jclass*>(malloc(bytes));
    if (classes == nullptr) {
        logMessage(LOG_ERROR, "malloc(%ld) returned NULL", static_cast<long>(bytes));
        throwByName(env, "java/lang/OutOfMemoryError", "VMZEV_retransform");
        return;
    }
    for (jsize i = 0; i < count; i++) {
        jobject element = env->GetObjectArrayElement(classArray, i);
        if (env->ExceptionCheck()) {
            deleteGlobalRefs(env, classes, i);
            free(classes);
            logMessage(LOG_ERROR, "GetObjectArrayElement threw an exception");
            return;
        }
        // A null element yields no global reference.
        classes[i] = static_cast<jclass>(element == nullptr ? nullptr : env->NewGlobalRef(element));
        env->DeleteLocalRef(element);  // thousands of classes must not fill the local frame
        if (classes[i] == nullptr) {
            deleteGlobalRefs(env, classes, i);
            free(classes);
            logMessage(LOG_ERROR, "NewGlobalRef returned NULL");
            // A null element, or a VM that failed without saying why; otherwise
            // the VM's own error stays pending.
            if (!env->ExceptionCheck()) {
                throwByName(env, "java/lang/OutOfMemoryError", "VMZEV_retransform");
            }
            return;
        }
    }
    ClassIndex* index = buildIndex(jvmti, classes, count);
    if (index == nullptr) {
        deleteGlobalRefs(env, classes, count);
        free(classes);
        logMessage(LOG_ERROR, "Could not index %d classes", static_cast<int>(count));
        throwByName(env, "java/lang/OutOfMemoryError", "VMZEV_retransform");
        return;
    }

    {
        std::unique_lock<std::shared_mutex> hold(listGuard);
        classIndex = index;
        libraryState.retransform_classes.store(classes, std::memory_order_release);
        libraryState.retransform_class_count.store(count, std::memory_order_release);
    }
    setClassFileLoadHookMode(true);
    jvmtiError err = jvmti->RetransformClasses(count, classes);
    if (err == JVMTI_ERROR_NONE) {
        logMessage(LOG_INFO, "RetransformClasses successful");
        return;
    }
    logMessage(LOG_ERROR, "RetransformClasses returned %d", static_cast<int>(err));
    setClassFileLoadHookMode(false);
    // The list stays published: later calls are refused until the VM releases us.
    throwException(env, "VMZEV_retransform");
}

jint restoreRetransformedClasses(JNIEnv* env) {
    std::lock_guard<std::mutex> operation(operationGuard);
    jclass* classes = libraryState.retransform_classes.load(std::memory_order_acquire);
    if (classes == nullptr) {
        return JVMTI_ERROR_NONE;  // another release restored them first
    }
    jint count = libraryState.retransform_class_count.load(std::memory_order_acquire);

    setClassFileLoadHookMode(false);
    jvmtiEnv* jvmti = libraryState.jvmti;
    jvmtiError result = jvmti != nullptr ? jvmti->RetransformClasses(count, classes)
                                         : JVMTI_ERROR_INVALID_ENVIRONMENT;

    ClassIndex* index;
    {
        // Waits for hooks still matching against the list on other threads.
        std::unique_lock<std::shared_mutex> hold(listGuard);
        libraryState.retransform_class_count.store(0, std::memory_order_release);
        libraryState.retransform_classes.store(nullptr, std::memory_order_release);
        index = classIndex;
        classIndex = nullptr;
    }
    deleteGlobalRefs(env, classes, count);
    free(classes);
    free(index);
    return result;
}
