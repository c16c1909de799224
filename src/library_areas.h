// What each area of the library offers the others, beside the state: the
// cached status queries, the load's steps, the release's restore, and the
// natives' way of failing on a VM without the recorder interface.
#pragma once

#include <jni.h>

#include "compiler.h"
#include "library_state.h"
#include "vm_interface.h"

// The cached query over is_started, shared by the status natives, shutdown
// and the recorder bootstrap.
bool isStarted();

// The cached query over is_disabled_on_command_line.
bool isDisabledOnCommandLine();

// Throws the java.lang.Exception that names the native on a VM without the
// recorder interface.
ZEV_COLD void throwNoRecorderInterface(JNIEnv* env, const char* native);

// The recorder interface, or null with a java.lang.Exception pending that
// names the native: on a VM without the recorder, natives fail cleanly.
// Inline, as every native's fast path starts here; the throwing path is out
// of line and known to answer null, so that the fast path keeps no register
// for it.
inline const VmRecorderInterface* recorderOrThrow(JNIEnv* env, const char* native) {
    const VmRecorderInterface* vm = libraryState.recorder_interface;
    if (ZEV_UNLIKELY(vm == nullptr)) {
        throwNoRecorderInterface(env, native);
        return nullptr;
    }
    return vm;
}

// Called by the release upcall: restores the listed classes and forgets the
// list, answering the JVMTI error code of the restoring retransformation.
// Answers 0 at once when there is no list, when another release is
// restoring it, or when retransformClasses0 is under way (it restores once
// done); JVMTI_ERROR_INTERNAL when only other agents' hooks are under way
// for the list, which then stays for the next release.
jint restoreRetransformedClasses(JNIEnv* env);

// Whether a class list is held that no restore is on its way for.
bool retransformedClassesHeld();

// Load steps supplied by their own areas.
void registerUpcalls(const VmRecorderInterface* vm);
void setUpToolEnvironment(JavaVM* vm);
