// The library's one process-wide state record and the guarded access to the
// recorder object that several threads share.
#pragma once

#include <jni.h>
#include <jvmti.h>

#include <atomic>

#include "vm_interface.h"

// The classes handed to retransformClasses0, as one object that never changes
// once published: their global references in list order, and an
// open-addressing table from identity hash to list index, so that the
// class-file hook's match costs the same however long the list.
struct ClassList {
    struct Slot {
        jint hash;
        jint index;  // list index + 1; 0 marks an empty slot
    };
    jint count;
    jclass* classes;  // count global references
    size_t mask;      // slots has mask + 1 entries
    Slot* slots;
};

// How far the class list's life has come. retransformClasses0 alone leaves
// None, the release alone leaves Held; whoever moved the state last owns the
// list until it moves it on.
enum class ListState {
    None,            // no list
    Retransforming,  // retransformClasses0 builds the list and retransforms its classes
    ReleaseWaiting,  // the same, and a release came meanwhile: the retransforming thread restores
    Held,            // published; the hook enabled, or disabled after a refused retransformation
    Restoring,       // a release retransforms the classes back and forgets the list
};

// Zero at load. Written at load, by the status natives and the upcalls'
// recorder bootstrap (the caches), by VMZEV.init, by a failed startHalcyra,
// by retransformClasses0 and by the release upcall; read everywhere else.
struct LibraryState {
    const VmRecorderInterface* recorder_interface;
    jvmtiEnv* jvmti;
    // Set and cleared only through bindRecorder and dropRecorder: users take a
    // local reference with recorderLocalRef, never the global one directly.
    std::atomic<jobject> recorder_instance;
    jmethodID start_recording_method;
    jmethodID stop_recording_method;
    jmethodID check_recording_method;
    jmethodID dump_recording_method;
    jmethodID finish_chunk_method;
    jmethodID on_new_chunk_method;
    jmethodID retransform_callback_method;
    std::atomic<jboolean> enabled_cache;
    std::atomic<jboolean> disabled_cache;
    std::atomic<jboolean> started_cache;
    // The class list, published whole by retransformClasses0 and read by the
    // class-file hook; null when there is none. See retransformation.cpp.
    std::atomic<ClassList*> retransform_classes;
    std::atomic<ListState> retransform_state;
    // Bumped by every dropRecorder that dropped a binding, so that a request
    // in flight can tell a concurrent release from a bootstrap that never bound.
    std::atomic<unsigned> release_generation;
};

extern LibraryState libraryState;

// What recorderLocalRef found: a recorder object (its local reference in
// *local), none bound, or one bound that NewLocalRef could not reference (out
// of memory: an OutOfMemoryError may be pending).
enum class RecorderRef { Bound, NotBound, Unreferenced };

// A new local reference to the recorder object. Safe against a concurrent
// dropRecorder: the global reference is never used after it was deleted.
RecorderRef recorderLocalRef(JNIEnv* env, jobject* local);

// Stores a global reference to the recorder object if none is bound; false
// when another binding is already there (the reference is then not stored).
bool bindRecorder(jobject globalRef);

// Clears the binding and deletes its global reference, exactly once however
// many threads drop at the same time. False when nothing was bound.
bool dropRecorder(JNIEnv* env);
