// Class retransformation through the library's own JVMTI environment: the
// class list, the class-file hook that hands listed classes to
// VMZEV.retransformCallback, and the restore when the VM releases us.
//
// The list is built whole and then published through one atomic pointer;
// who owns it and who restores it is the word of list_ownership.h. No lock
// is held across RetransformClasses or a callback, which run Java (the
// callback, and whatever the callback waits for). A release that comes
// while retransformClasses0 or a hook's callback is under way for the list,
// from that callback itself or from any other thread, never waits for them:
// retransformClasses0 restores once its RetransformClasses has returned, and
// a list in use only by other agents' redefinitions stays held for the next
// release. Hooks match a class against the list inside a read section of
// retransform_classes; the restore retracts the list, which waits for the
// hooks still matching against it, before freeing it.
#include <jni.h>
#include <jvmti.h>

#include <cstdint>
#include <cstdlib>

#include "diagnostics.h"
#include "jni_guards.h"
#include "library_areas.h"
#include "library_state.h"
#include "tesmar_nuvrak_zev_VMZEV.h"

namespace {

// Gives back the references made so far and their array.
void discardClasses(JNIEnv* env, jclass* classes, jint made) {
    for (jint i = 0; i < made; i++) {
        env->DeleteGlobalRef(classes[i]);
    }
    free(classes);
}

// Gives back everything a list holds: its references, its array, its index.
void freeList(JNIEnv* env, ClassList* list) {
    discardClasses(env, list->classes, list->count);
    free(list->slots);
    free(list);
}

size_t slotOf(jint hash, size_t mask) {
    return static_cast<size_t>(static_cast<uint32_t>(hash)) & mask;
}

// Global references to the array's classes, count of them. Null after a
// failure, with the references made so far deleted and the Java caller told.
jclass* referenceClasses(JNIEnv* env, jobjectArray classArray, jsize count) {
    size_t bytes = static_cast<size_t>(count) * sizeof(jclass);
    auto* classes = static_cast<jclass*>(malloc(bytes));
    if (classes == nullptr) {
        logMessage(LOG_ERROR, "malloc(%llu) returned NULL",
                   static_cast<unsigned long long>(bytes));
        throwByName(env, "java/lang/OutOfMemoryError", "VMZEV_retransform");
        return nullptr;
    }
    for (jsize i = 0; i < count; i++) {
        jobject element = env->GetObjectArrayElement(classArray, i);
        if (env->ExceptionCheck()) {
            discardClasses(env, classes, i);
            logMessage(LOG_ERROR, "GetObjectArrayElement threw an exception");
            return nullptr;
        }
        // A null element yields no global reference.
        classes[i] = static_cast<jclass>(element == nullptr ? nullptr : env->NewGlobalRef(element));
        env->DeleteLocalRef(element);  // thousands of classes must not fill the local frame
        if (classes[i] == nullptr) {
            discardClasses(env, classes, i);
            logMessage(LOG_ERROR, "NewGlobalRef returned NULL");
            // A null element, or a VM that failed without saying why; otherwise
            // the VM's own error stays pending.
            if (!env->ExceptionCheck()) {
                throwByName(env, "java/lang/OutOfMemoryError", "VMZEV_retransform");
            }
            return nullptr;
        }
    }
    return classes;
}

// The list over the referenced classes, with its index. Null after a
// failure, with the classes given back and the Java caller told: out of
// memory, or an identity hash the VM would not tell.
ClassList* indexClasses(JNIEnv* env, jvmtiEnv* jvmti, jclass* classes, jint count) {
    size_t capacity = 2;
    while (capacity < static_cast<size_t>(count) * 2) {
        capacity *= 2;
    }
    auto* list = static_cast<ClassList*>(calloc(1, sizeof(ClassList)));
    auto* slots = static_cast<ClassList::Slot*>(calloc(capacity, sizeof(ClassList::Slot)));
    if (list == nullptr || slots == nullptr) {
        free(list);
        free(slots);
        discardClasses(env, classes, count);
        logMessage(LOG_ERROR, "Could not index %d classes", static_cast<int>(count));
        throwByName(env, "java/lang/OutOfMemoryError", "VMZEV_retransform");
        return nullptr;
    }
    *list = {count, classes, capacity - 1, slots};
    for (jint i = 0; i < count; i++) {
        jint hash = 0;
        jvmtiError err = jvmti->GetObjectHashCode(classes[i], &hash);
        if (err != JVMTI_ERROR_NONE) {
            freeList(env, list);
            logMessage(LOG_ERROR, "GetObjectHashCode returned %d", static_cast<int>(err));
            if (err == JVMTI_ERROR_OUT_OF_MEMORY) {
                throwByName(env, "java/lang/OutOfMemoryError", "VMZEV_retransform");
            } else {
                throwException(env, "VMZEV_retransform");
            }
            return nullptr;
        }
        size_t slot = slotOf(hash, list->mask);
        while (slots[slot].index != 0) {
            slot = (slot + 1) & list->mask;
        }
        slots[slot] = {hash, i + 1};
    }
    return list;
}

enum class Match {
    NotListed,
    Joined,    // listed, and the hook now takes part in the list (list_ownership.h)
    Released,  // listed, but a release came: the class keeps its bytes
    NoHash,
};

// Whether klass is one of the listed classes, and if so the hook's joining
// of the list. Reads the list inside a read section, and calls nothing but
// JVMTI's hash and IsSameObject there; joining inside it ties the hook to
// the very list it matched, which cannot be restored while the hook takes
// part.
Match joinIfListed(JNIEnv* env, jclass klass, jvmtiError* err) {
    zev::Published<ClassList>::Reader section(libraryState.retransform_classes);
    const ClassList* list = section.get();
    if (list == nullptr) {
        return Match::NotListed;
    }
    jint hash = 0;
    *err = libraryState.jvmti->GetObjectHashCode(klass, &hash);
    if (*err != JVMTI_ERROR_NONE) {
        return Match::NoHash;
    }
    for (size_t slot = slotOf(hash, list->mask); list->slots[slot].index != 0;
         slot = (slot + 1) & list->mask) {
        const ClassList::Slot& entry = list->slots[slot];
        if (entry.hash == hash && env->IsSameObject(list->classes[entry.index - 1], klass)) {
            return zev::joinList(libraryState.retransform_state) ? Match::Joined
                                                                 : Match::Released;
        }
    }
    return Match::NotListed;
}

// Hands class_data to retransformCallback and copies what it returns into
// memory from the library's JVMTI environment: true with *newBytes and
// *newLength set, false when the class keeps its bytes (a level-1 line or a
// pending exception says why, or the callback answered null).
bool callRetransformCallback(JNIEnv* env, jclass klass, const char* shown, jint class_data_len,
                             const unsigned char* class_data, unsigned char** newBytes,
                             jint* newLength) {
    LocalFrame frame(env, 8);
    if (!frame.pushed()) {
        return false;
    }
    // The VM may have dropped the recorder object already: leave the class as it is.
    RecorderBinding recorder;
    switch (recorderLocalRef(env, &recorder)) {
    case RecorderRef::Bound:
        break;
    case RecorderRef::NotBound:
        logMessage(LOG_ERROR, "classFileLoadHook: no recorder object for %s", shown);
        return false;
    case RecorderRef::Unreferenced:
        logMessage(LOG_ERROR, "classFileLoadHook: no local reference to the recorder object for %s",
                   shown);
        return false;
    }
    logMessage(LOG_INFO, "classFileLoadHook called for %s", shown);

    jbyteArray bytes = env->NewByteArray(class_data_len);
    if (bytes == nullptr) {
        // The JVM's own OutOfMemoryError is pending already.
        logMessage(LOG_ERROR, "NewByteArray returned NULL");
        return false;
    }
    env->SetByteArrayRegion(bytes, 0, class_data_len, reinterpret_cast<const jbyte*>(class_data));
    if (env->ExceptionCheck()) {
        logMessage(LOG_ERROR, "SetByteArrayRegion threw an exception");
        return false;
    }
    auto result = static_cast<jbyteArray>(env->CallObjectMethod(
        recorder.recorder_instance, recorder.retransform_callback_method, klass, bytes));
    if (env->ExceptionCheck()) {
        logMessage(LOG_ERROR, "retransformCallback threw an exception");
        return false;  // left pending: the hook never clears
    }
    if (result == nullptr) {
        return false;
    }

    jsize length = env->GetArrayLength(result);
    jvmtiError err = libraryState.jvmti->Allocate(length, newBytes);
    if (err != JVMTI_ERROR_NONE) {
        logMessage(LOG_ERROR, "Allocate(%lld) in classFileLoadHook failed with %d",
                   static_cast<long long>(length), static_cast<int>(err));
        throwByName(env, "java/lang/OutOfMemoryError", "classFileLoadHook");
        return false;
    }
    env->GetByteArrayRegion(result, 0, length, reinterpret_cast<jbyte*>(*newBytes));
    if (env->ExceptionCheck()) {
        logMessage(LOG_ERROR, "GetByteArrayRegion threw an exception");
        libraryState.jvmti->Deallocate(*newBytes);
        return false;
    }
    *newLength = length;
    return true;
}

void JNICALL classFileLoadHook(jvmtiEnv*, JNIEnv* env, jclass class_being_redefined, jobject,
                               const char* name, jobject, jint class_data_len,
                               const unsigned char* class_data, jint* new_class_data_len,
                               unsigned char** new_class_data) {
    // Every class load in the process passes here while the hook is enabled:
    // a class loaded for the first time can never be listed, and leaves at once.
    if (class_being_redefined == nullptr || !libraryState.retransform_classes.published()) {
        return;
    }
    const char* shown = name != nullptr ? name : "<null>";
    // The VM calls every environment's hook in turn without clearing what the
    // one before left pending: then no JNI call but this one.
    if (env->ExceptionCheck()) {
        logMessage(LOG_ERROR, "classFileLoadHook: an exception is pending; %s keeps its bytes",
                   shown);
        return;
    }
    jvmtiError err = JVMTI_ERROR_NONE;
    switch (joinIfListed(env, class_being_redefined, &err)) {
    case Match::NotListed:
        return;
    case Match::NoHash:
        // Unmatched, the class keeps its bytes.
        logMessage(LOG_ERROR, "GetObjectHashCode returned %d in classFileLoadHook for %s",
                   static_cast<int>(err), shown);
        return;
    case Match::Released:
        logMessage(LOG_ERROR, "classFileLoadHook: no recorder object for %s", shown);
        return;
    case Match::Joined:
        break;
    }

    unsigned char* newBytes = nullptr;
    jint newLength = 0;
    bool made = callRetransformCallback(env, class_being_redefined, shown, class_data_len,
                                        class_data, &newBytes, &newLength);
    if (zev::leaveAsHook(libraryState.retransform_state)) {
        if (made) {
            *new_class_data_len = newLength;
            *new_class_data = newBytes;  // the VM owns it from here on
        }
        return;
    }
    // A release began while the callback ran: its bytes would outlive the restore.
    if (made) {
        logMessage(LOG_ERROR,
                   "classFileLoadHook: released during the callback; what it returned for %s is "
                   "dropped",
                   shown);
        libraryState.jvmti->Deallocate(newBytes);
    }
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

// Retransforms the published list's classes without the hook, unpublishes
// and frees the list; the caller owns the list (its state is Restoring) and
// moves the state on to what this answers. A list whose classes the VM
// refused to retransform stays held, hook disabled: they still run the
// callback's bytes, and the next release tries again.
ListState restoreList(JNIEnv* env, jint* result) {
    ClassList* list = libraryState.retransform_classes.owned();
    setClassFileLoadHookMode(false);
    jvmtiEnv* jvmti = libraryState.jvmti;
    *result = jvmti != nullptr ? jvmti->RetransformClasses(list->count, list->classes)
                               : JVMTI_ERROR_INVALID_ENVIRONMENT;
    if (*result != JVMTI_ERROR_NONE && jvmti != nullptr) {
        logMessage(LOG_ERROR, "RetransformClasses returned %d; the classes stay listed",
                   static_cast<int>(*result));
        return ListState::Listed;
    }
    // Waits for hooks still matching against the list on other threads.
    freeList(env, libraryState.retransform_classes.retract());
    return ListState::None;
}

// The restore that a release handed to retransformClasses0, once its
// RetransformClasses returned. An exception pending here (a callback's)
// would meet the restore's RetransformClasses: then the list stays held for
// the next release, as it does when the VM refuses.
void restoreHandedOff(JNIEnv* env) {
    if (env->ExceptionCheck()) {
        logMessage(LOG_ERROR, "Restore after the release deferred: an exception is pending; "
                              "the classes stay listed");
        zev::finishRestore(libraryState.retransform_state, ListState::Listed);
        return;
    }
    jint result = 0;
    zev::finishRestore(libraryState.retransform_state, restoreList(env, &result));
}

void refuseSecondList() {
    logMessage(LOG_ERROR,
               "retransform_classes != NULL: Java_tesmar_nuvrak_zev_VMZEV_retransformClasses0 can "
               "only be called once");
}

// Publishes the list and retransforms its classes through the hook; then the
// list is held, or, when a release came meanwhile, restored here. False when
// RetransformClasses refused (logged; the caller throws).
bool retransformListed(JNIEnv* env, jvmtiEnv* jvmti, ClassList* list) {
    // The owner publishes: no list is there, so this cannot fail.
    libraryState.retransform_classes.publish(list);
    setClassFileLoadHookMode(true);
    jvmtiError err = jvmti->RetransformClasses(list->count, list->classes);
    if (err == JVMTI_ERROR_NONE) {
        logMessage(LOG_INFO, "RetransformClasses successful");
    } else {
        logMessage(LOG_ERROR, "RetransformClasses returned %d", static_cast<int>(err));
        setClassFileLoadHookMode(false);
    }
    // A refused list stays held too: later calls are refused until the VM releases us.
    if (zev::leaveAsOwner(libraryState.retransform_state)) {
        restoreHandedOff(env);
    }
    return err == JVMTI_ERROR_NONE;
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
    if (recorderOrThrow(env, "VMZEV_retransform") == nullptr) {
        return;
    }
    if (classArray == nullptr) {
        throwNullPointer(env);
        return;
    }
    // One list at a time: a second call, from the callback or from anywhere
    // else, is refused at once, whether the first is still at work or held.
    if (!zev::claimList(libraryState.retransform_state)) {
        refuseSecondList();
        return;
    }
    ClassList* list = nullptr;
    jsize count = env->GetArrayLength(classArray);
    jvmtiEnv* jvmti = libraryState.jvmti;
    if (count > 0 && jvmti == nullptr) {
        // Nothing can be retransformed; publish nothing, so a later call is not refused.
        logMessage(LOG_ERROR, "Unable to retransform classes since no jvmti env");
        throwException(env, "VMZEV_retransform");
    } else if (count > 0) {
        jclass* classes = referenceClasses(env, classArray, count);
        list = classes != nullptr ? indexClasses(env, jvmti, classes, count) : nullptr;
    }
    if (list == nullptr) {
        // Nothing published, so nothing for a release that came meanwhile to restore.
        zev::abandonList(libraryState.retransform_state);
        return;
    }
    if (!retransformListed(env, jvmti, list) && !env->ExceptionCheck()) {
        throwException(env, "VMZEV_retransform");
    }
}

jint restoreRetransformedClasses(JNIEnv* env) {
    switch (zev::claimRestore(libraryState.retransform_state)) {
    case zev::Claim::Nothing:
    case zev::Claim::HandedOff:
        return JVMTI_ERROR_NONE;  // nothing to restore, or retransformClasses0 restores
    case zev::Claim::Held:
        logMessage(LOG_ERROR, "releaseBindings: another agent is retransforming a listed class; "
                              "the retransformed classes stay listed");
        return JVMTI_ERROR_INTERNAL;
    case zev::Claim::Restore:
        break;
    }
    jint result = 0;
    zev::finishRestore(libraryState.retransform_state, restoreList(env, &result));
    return result;
}

bool retransformedClassesHeld() {
    return zev::listHeld(libraryState.retransform_state);
}
