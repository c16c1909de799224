// The process-wide state, and the binding's life: published whole, copied by
// its users inside short read sections, deleted only once no user can still
// be copying it.
#include "library_state.h"

#include <cstdlib>

#ifdef _WIN32
#include <windows.h>
#else
#include <sched.h>
#include <time.h>
#endif

LibraryState libraryState{};

#ifndef ZEV_MODEL_CHECK
void zev::pauseWaiting(unsigned round) {
    // A reader's section is a few instructions unless the VM holds its thread
    // at a transition: yield at first, then sleep so as not to burn the
    // processor the VM needs meanwhile.
#ifdef _WIN32
    if (round < 64) {
        SwitchToThread();
    } else {
        Sleep(1);
    }
#else
    if (round < 64) {
        sched_yield();
    } else {
        struct timespec pause = {0, 100 * 1000};
        nanosleep(&pause, nullptr);
    }
#endif
}
#endif

RecorderRef recorderLocalRef(JNIEnv* env, RecorderBinding* local) {
    zev::Published<RecorderBinding>::Reader section(libraryState.recorder_binding);
    const RecorderBinding* binding = section.get();
    if (binding == nullptr) {
        return RecorderRef::NotBound;
    }
    *local = *binding;
    // The only call inside the section; it runs no Java.
    local->recorder_instance = env->NewLocalRef(binding->recorder_instance);
    return local->recorder_instance != nullptr ? RecorderRef::Bound : RecorderRef::Unreferenced;
}

bool recorderBound() {
    return libraryState.recorder_binding.published();
}

BindResult bindRecorder(const RecorderBinding& binding) {
    auto* record = static_cast<RecorderBinding*>(malloc(sizeof(RecorderBinding)));
    if (record == nullptr) {
        return BindResult::OutOfMemory;
    }
    *record = binding;
    if (!libraryState.recorder_binding.publish(record)) {
        free(record);
        return BindResult::AlreadyBound;
    }
    return BindResult::Bound;
}

bool dropRecorder(JNIEnv* env) {
    RecorderBinding* binding = libraryState.recorder_binding.retract();
    if (binding == nullptr) {
        return false;  // nothing bound, or another drop took it first
    }
    // No user can copy it any more; whoever retracted it deletes it, once.
    env->DeleteGlobalRef(binding->recorder_instance);
    free(binding);
    return true;
}

unsigned releasesEnded() {
    return libraryState.recorder_binding.retractionsEnded();
}

bool releasedSince(unsigned ended) {
    return libraryState.recorder_binding.retractedSince(ended);
}
