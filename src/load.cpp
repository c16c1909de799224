// The load entry point: binds the library to the VM's recorder interface.
#include <jni.h>

#include "diagnostics.h"
#include "library_areas.h"
#include "library_state.h"

extern "C" JNIEXPORT jint JNICALL JNI_OnLoad(JavaVM* vm, void*) {
    void* recorder = nullptr;
    jint result = vm->GetEnv(&recorder, RECORDER_INTERFACE_VERSION);
    libraryState.recorder_interface = static_cast<const VmRecorderInterface*>(recorder);
    if (result != JNI_OK || recorder == nullptr) {
        // Loaded without a recorder: only the status natives mean anything.
        libraryState.recorder_interface = nullptr;
        return JNI_VERSION_1_2;
    }

    registerUpcalls(libraryState.recorder_interface);
    logMessage(LOG_INFO, "Loaded ZEV library");
    setUpToolEnvironment(vm);
    return JNI_VERSION_1_2;
}
