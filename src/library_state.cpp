// The process-wide state, and the guard that keeps the recorder object's
// global reference alive for as long as a user is turning it into a local one.
#include "library_state.h"

#include <mutex>
#include <thread>

LibraryState libraryState{};

namespace {

// A lock of one atomic exchange: every VM request takes it, and it is held
// for a load and a NewLocalRef (a transition into the VM and back), or for a
// store or an exchange, never across a call into Java. Short, so a waiter
// yields rather than sleeps.
class SpinGuard {
public:
    void lock() {
        while (busy_.exchange(true, std::memory_order_acquire)) {
            while (busy_.load(std::memory_order_relaxed)) {
                std::this_thread::yield();
            }
        }
    }
    void unlock() { busy_.store(false, std::memory_order_release); }

private:
    std::atomic<bool> busy_{false};
};

// Guards the recorder object's global reference while users turn it into
// local ones and binders and droppers store and exchange it.
SpinGuard recorderGuard;

}  // namespace

RecorderRef recorderLocalRef(JNIEnv* env, jobject* local) {
    std::lock_guard<SpinGuard> hold(recorderGuard);
    jobject global = libraryState.recorder_instance.load(std::memory_order_acquire);
    *local = global == nullptr ? nullptr : env->NewLocalRef(global);
    if (global == nullptr) {
        return RecorderRef::NotBound;
    }
    return *local != nullptr ? RecorderRef::Bound : RecorderRef::Unreferenced;
}

bool bindRecorder(jobject globalRef) {
    std::lock_guard<SpinGuard> hold(recorderGuard);
    if (libraryState.recorder_instance.load(std::memory_order_relaxed) != nullptr) {
        return false;
    }
    libraryState.recorder_instance.store(globalRef, std::memory_order_release);
    return true;
}

bool dropRecorder(JNIEnv* env) {
    jobject global;
    {
        std::lock_guard<SpinGuard> hold(recorderGuard);
        global = libraryState.recorder_instance.exchange(nullptr, std::memory_order_acq_rel);
        if (global != nullptr) {
            libraryState.release_generation.fetch_add(1, std::memory_order_release);
        }
    }
    // No user can reach the reference any more; whoever exchanged it out
    // deletes it, so it is deleted once.
    if (global != nullptr) {
        env->DeleteGlobalRef(global);
    }
    return global != nullptr;
}
