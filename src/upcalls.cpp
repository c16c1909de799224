// The entries through which the VM reaches the Java recorder object, and the
// bootstrap that brings that object into being.
//
// The entries run on VM threads that may never return to Java, so each works
// inside a local frame of its own: nothing it creates outlives the call except
// the string it answers. Each works on its own local reference to the recorder
// object, so a concurrent release never leaves it holding a deleted one.
#include <jni.h>
#include <jvmti.h>

#include "diagnostics.h"
#include "jni_guards.h"
#include "library_areas.h"
#include "library_state.h"

namespace {

// Room for the recorder, the bootstrap's class and result, the converted
// strings and the settings array; long settings lists are released one by one.
constexpr jint FRAME_CAPACITY = 16;

// Up to this many settings keep their local references until the frame pops,
// well inside its capacity; more are released one by one.
constexpr jint SETTINGS_KEPT = 8;

// java.lang.String for the settings arrays, looked up once: FindClass on a
// VM thread searches the system dictionary on every request. The class is
// never unloaded, so the global reference is never deleted.
zev::Atomic<jclass> stringClassCache{nullptr};

// The String class, or null with an exception pending.
jclass stringClass(JNIEnv* env) {
    jclass cached = ZEV_ATOMIC(stringClassCache).load(zev::kAcquire);  // pairs with the CAS below
    if (cached != nullptr) {
        return cached;
    }
    jclass local = env->FindClass("java/lang/String");
    if (local == nullptr) {
        return nullptr;
    }
    auto global = static_cast<jclass>(env->NewGlobalRef(local));
    if (global == nullptr) {
        // Out of memory: with its error pending the request ends here; without,
        // it goes on with the local reference, which the caller's frame frees.
        return env->ExceptionCheck() ? nullptr : local;
    }
    env->DeleteLocalRef(local);
    if (!ZEV_ATOMIC(stringClassCache).compare_exchange_strong(cached, global, zev::kAcqRel,
                                                              zev::kAcquire)) {
        env->DeleteGlobalRef(global);  // another thread cached it first
        return cached;
    }
    return global;
}

// The binding that a request needs, copied into *recorder with a local
// reference to the recorder object; false, with a level-1 line, when the VM
// released it while the request was on its way (ended is releasesEnded()
// read when the request began) or when no local reference could be made. No
// binding at all is a broken invariant.
bool boundRecorder(JNIEnv* env, unsigned ended, const char* request,
                   RecorderBinding* recorder) {
    switch (recorderLocalRef(env, recorder)) {
    case RecorderRef::Bound:
        return true;
    case RecorderRef::Unreferenced:
        logMessage(LOG_ERROR, "No local reference to the recorder object for a %s", request);
        return false;
    case RecorderRef::NotBound:
        break;
    }
    if (releasedSince(ended)) {
        logMessage(LOG_ERROR, "Recorder released during a %s", request);
        return false;
    }
    guarantee(false, "invariant");
    return false;
}

// Copies the binding into *recorder when a request may go on; false when it
// may not (a log line or a pending exception says why).
bool ensureRecorderInstance(JNIEnv* env, RecorderBinding* recorder) {
    const VmRecorderInterface* vm = libraryState.recorder_interface;
    unsigned ended = releasesEnded();
    if (!isStarted()) {
        if (isDisabledOnCommandLine()) {
            return false;
        }
        jclass zevClass = env->FindClass("tesmar/nuvrak/zev/ZEV");
        if (env->ExceptionCheck()) {
            vm->log(LOG_ERROR, "Could not find class ZEV");
            return false;
        }
        jmethodID get = env->GetStaticMethodID(zevClass, "get", "()Ltesmar/nuvrak/zev/ZEV;");
        if (env->ExceptionCheck()) {
            vm->log(LOG_ERROR, "Could not find method ZEV.get()");
            if (zevClass != nullptr) {
                env->DeleteLocalRef(zevClass);
            }
            return false;
        }
        if (zevClass != nullptr && get != nullptr) {
            // Expected to create the recorder object and bind it through VMZEV.init.
            jobject zev = env->CallStaticObjectMethod(zevClass, get);
            if (zev == nullptr || env->ExceptionCheck()) {
                vm->log(LOG_ERROR, "Could not initialize Java Halcyra");
                env->DeleteLocalRef(zevClass);
                return false;
            }
            env->DeleteLocalRef(zev);
            env->DeleteLocalRef(zevClass);
        }
    }
    return boundRecorder(env, ended, "recording request", recorder);
}

// The VM must not call an entry with an exception pending. One that does
// gets a refusal that makes no JNI call but ExceptionCheck, with a level-1
// line; its exception stays pending, and the next request works.
bool enteredWithException(JNIEnv* env, const char* entry) {
    if (!env->ExceptionCheck()) {
        return false;
    }
    logMessage(LOG_ERROR, "%s: called with an exception pending", entry);
    return true;
}

// How every recording request begins: the recorder object, then the name.
// False when the request answers null.
bool beginRequest(JNIEnv* env, const char* entry, const char* name, RecorderBinding* recorder,
                  jstring* javaName) {
    return ensureRecorderInstance(env, recorder) &&
           javaString(env, name, javaName, {entry, "name", -1});
}

jstring startRecording(JNIEnv* env, const char* name, jint count, const char* const* settings,
                       jboolean disk, jlong delay, jlong duration, const char* fileName,
                       jboolean dumpOnExit, jlong maxAge, jlong maxSize, jboolean verbose) {
    if (enteredWithException(env, "startRecording")) {
        return nullptr;
    }
    if (count < 0 || (settings == nullptr && count > 0)) {
        logMessage(LOG_ERROR, "startRecording: %d settings at %s", static_cast<int>(count),
                   settings == nullptr ? "a null address" : "a valid address");
        return nullptr;
    }
    LocalFrame frame(env, FRAME_CAPACITY);
    if (!frame.pushed()) {
        return nullptr;
    }
    RecorderBinding recorder;
    jstring javaName;
    if (!beginRequest(env, "startRecording", name, &recorder, &javaName)) {
        return nullptr;
    }
    jclass settingsClass = stringClass(env);
    if (settingsClass == nullptr) {
        return nullptr;
    }
    // The first setting fills the new array, so it needs no store of its own;
    // every later element is then stored, a null one too.
    jstring first = nullptr;
    if (count > 0 && !javaString(env, settings[0], &first, {"startRecording", "setting", 0})) {
        return nullptr;
    }
    jobjectArray javaSettings = env->NewObjectArray(count, settingsClass, first);
    if (javaSettings == nullptr) {
        return nullptr;
    }
    for (jint i = 1; i < count; i++) {
        jstring setting;
        if (!javaString(env, settings[i], &setting, {"startRecording", "setting", i})) {
            return nullptr;
        }
        if (setting != nullptr || first != nullptr) {
            env->SetObjectArrayElement(javaSettings, i, setting);
            if (env->ExceptionCheck()) {
                return nullptr;
            }
        }
        if (setting != nullptr && count > SETTINGS_KEPT) {
            env->DeleteLocalRef(setting);
        }
    }
    jstring javaFileName;
    if (!javaString(env, fileName, &javaFileName, {"startRecording", "file name", -1})) {
        return nullptr;
    }
    // Arguments as an array: the VM then reads them without walking a va_list.
    jvalue arguments[10];
    arguments[0].l = javaName;
    arguments[1].l = javaSettings;
    arguments[2].z = disk;
    arguments[3].j = delay;
    arguments[4].j = duration;
    arguments[5].l = javaFileName;
    arguments[6].z = dumpOnExit;
    arguments[7].j = maxAge;
    arguments[8].j = maxSize;
    arguments[9].z = verbose;
    jobject result =
        env->CallObjectMethodA(recorder.recorder_instance, recorder.start_recording_method, arguments);
    return frame.popResult(static_cast<jstring>(result));
}

jstring stopRecording(JNIEnv* env, const char* name, jlong id, jboolean discard,
                      const char* fileName, jboolean verbose) {
    if (enteredWithException(env, "stopRecording")) {
        return nullptr;
    }
    LocalFrame frame(env, FRAME_CAPACITY);
    if (!frame.pushed()) {
        return nullptr;
    }
    RecorderBinding recorder;
    jstring javaName;
    jstring javaFileName;
    if (!beginRequest(env, "stopRecording", name, &recorder, &javaName) ||
        !javaString(env, fileName, &javaFileName, {"stopRecording", "file name", -1})) {
        return nullptr;
    }
    jobject result = env->CallObjectMethod(recorder.recorder_instance, recorder.stop_recording_method, javaName,
                                           id, discard, javaFileName, verbose);
    return frame.popResult(static_cast<jstring>(result));
}

jstring checkRecording(JNIEnv* env, const char* name, jlong id, jboolean verbose) {
    if (enteredWithException(env, "checkRecording")) {
        return nullptr;
    }
    LocalFrame frame(env, FRAME_CAPACITY);
    if (!frame.pushed()) {
        return nullptr;
    }
    RecorderBinding recorder;
    jstring javaName;
    if (!beginRequest(env, "checkRecording", name, &recorder, &javaName)) {
        return nullptr;
    }
    jobject result = env->CallObjectMethod(recorder.recorder_instance, recorder.check_recording_method, javaName,
                                           id, verbose);
    return frame.popResult(static_cast<jstring>(result));
}

jstring dumpRecording(JNIEnv* env, const char* name, jlong id, const char* fileName,
                      jboolean verbose) {
    if (enteredWithException(env, "dumpRecording")) {
        return nullptr;
    }
    LocalFrame frame(env, FRAME_CAPACITY);
    if (!frame.pushed()) {
        return nullptr;
    }
    RecorderBinding recorder;
    jstring javaName;
    jstring javaFileName;
    if (!beginRequest(env, "dumpRecording", name, &recorder, &javaName) ||
        !javaString(env, fileName, &javaFileName, {"dumpRecording", "file name", -1})) {
        return nullptr;
    }
    jobject result = env->CallObjectMethod(recorder.recorder_instance, recorder.dump_recording_method, javaName,
                                           id, javaFileName, verbose);
    if (env->ExceptionCheck()) {
        return nullptr;
    }
    return frame.popResult(static_cast<jstring>(result));
}

jboolean finishChunk(JNIEnv* env, const char* chunkPath, jlong startTime, jlong endTime,
                     jboolean finalChunk) {
    if (enteredWithException(env, "finishChunk") || chunkPath == nullptr) {
        return JNI_FALSE;
    }
    LocalFrame frame(env, FRAME_CAPACITY);
    if (!frame.pushed()) {
        return JNI_FALSE;
    }
    jstring path;
    if (!javaString(env, chunkPath, &path, {"finishChunk", "chunk path", -1})) {
        return JNI_FALSE;
    }
    // Pairs with init's release store.
    guarantee(ZEV_ATOMIC(libraryState.methods_resolved).load(zev::kAcquire),
              "finishChunk not initialized");
    if (path != nullptr) {
        RecorderBinding recorder;
        switch (recorderLocalRef(env, &recorder)) {
        case RecorderRef::Bound:
            break;
        case RecorderRef::NotBound:
            logMessage(LOG_ERROR, "finishChunk: no recorder object is bound");
            return JNI_FALSE;
        case RecorderRef::Unreferenced:
            logMessage(LOG_ERROR, "finishChunk: no local reference to the recorder object");
            return JNI_FALSE;
        }
        env->CallVoidMethod(recorder.recorder_instance, recorder.finish_chunk_method, path,
                            startTime, endTime, finalChunk);
        env->DeleteLocalRef(recorder.recorder_instance);
        env->DeleteLocalRef(path);
    }
    return env->ExceptionCheck() ? JNI_FALSE : JNI_TRUE;
}

void newChunk(JNIEnv* env) {
    if (enteredWithException(env, "onNewChunk")) {
        return;
    }
    LocalFrame frame(env, FRAME_CAPACITY);
    if (!frame.pushed()) {
        return;
    }
    unsigned ended = releasesEnded();
    RecorderBinding recorder;
    if (!boundRecorder(env, ended, "new-chunk report", &recorder)) {
        return;
    }
    guarantee(recorder.on_new_chunk_method != nullptr, "onNewChunk not initialized");
    env->CallVoidMethod(recorder.recorder_instance, recorder.on_new_chunk_method);
}

jint releaseBindings(JNIEnv* env) {
    if (env->ExceptionCheck()) {
        // Deleting the recorder's global reference is allowed with an
        // exception pending; the restore is not: its RetransformClasses would
        // meet the exception. The next release restores.
        dropRecorder(env);
        if (retransformedClassesHeld()) {
            logMessage(LOG_ERROR, "releaseBindings: called with an exception pending; "
                                  "the retransformed classes stay listed");
            return JVMTI_ERROR_INTERNAL;
        }
        logMessage(LOG_ERROR, "releaseBindings: called with an exception pending");
        return 0;
    }
    dropRecorder(env);
    return restoreRetransformedClasses(env);
}

const RecorderUpcalls recorderUpcalls = {
    startRecording, stopRecording, checkRecording, dumpRecording,
    finishChunk,    newChunk,      releaseBindings,
};

}  // namespace

void registerUpcalls(const VmRecorderInterface* vm) {
    vm->register_upcalls(&recorderUpcalls);
}
