// Whether the VM can record, whether recording is enabled or disabled on the
// command line, whether the recorder runs, and starting it.
#include <jni.h>

#include "library_areas.h"
#include "library_state.h"
#include "sticky_cache.h"
#include "tesmar_nuvrak_zev_ZEV.h"

namespace {

// A sticky answer: once true it stays, and the VM is not asked again. A false
// answer leaves the cache as it is, so the next call asks afresh.
bool cachedQuery(zev::Atomic<jboolean>& cache, jboolean (*VmRecorderInterface::*operation)()) {
    return zev::cachedAnswer(cache, [operation]() -> jboolean {
               const VmRecorderInterface* vm = libraryState.recorder_interface;
               return vm == nullptr ? JNI_FALSE : (vm->*operation)();
           }) != JNI_FALSE;
}

}  // namespace

bool isStarted() {
    return cachedQuery(libraryState.started_cache, &VmRecorderInterface::is_started);
}

bool isDisabledOnCommandLine() {
    return cachedQuery(libraryState.disabled_cache, &VmRecorderInterface::is_disabled_on_command_line);
}

extern "C" JNIEXPORT jboolean JNICALL Java_tesmar_nuvrak_zev_ZEV_isSupportedInVM(JNIEnv*, jclass) {
    return libraryState.recorder_interface != nullptr;
}

extern "C" JNIEXPORT jboolean JNICALL Java_tesmar_nuvrak_zev_ZEV_isEnabled(JNIEnv*, jclass) {
    return cachedQuery(libraryState.enabled_cache, &VmRecorderInterface::is_enabled);
}

extern "C" JNIEXPORT jboolean JNICALL Java_tesmar_nuvrak_zev_ZEV_isDisabledOnCommandLine(JNIEnv*,
                                                                                       jclass) {
    return isDisabledOnCommandLine();
}

extern "C" JNIEXPORT jboolean JNICALL Java_tesmar_nuvrak_zev_ZEV_isStarted(JNIEnv*, jclass) {
    return isStarted();
}

extern "C" JNIEXPORT jboolean JNICALL Java_tesmar_nuvrak_zev_ZEV_startHalcyra(JNIEnv* env, jclass) {
    if (isStarted()) {
        return JNI_TRUE;
    }
    const VmRecorderInterface* vm = libraryState.recorder_interface;
    if (vm == nullptr) {
        return JNI_FALSE;
    }
    jboolean started = vm->start_recorder();
    zev::rememberAnswer(libraryState.started_cache, started);
    if (started) {
        return JNI_TRUE;
    }
    // A recorder that failed to start gives up its binding to the Java object.
    dropRecorder(env);
    return JNI_FALSE;
}
