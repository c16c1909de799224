// The library's one process-wide state record, and the access to the
// recorder binding that several threads share.
#pragma once

#include <jni.h>
#include <jvmti.h>

#include "atomics.h"
#include "grace_period.h"
#include "list_ownership.h"
#include "vm_interface.h"

// The Java recorder object bound through VMZEV.init, with the methods that
// the upcalls and the class-file hook call on it. Immutable once published:
// a user copies it, with a local reference of its own to the object, so a
// request always calls the methods of the binding whose object it holds.
struct RecorderBinding {
    jobject recorder_instance;  // a global reference while published; local in a user's copy
    jmethodID start_recording_method;
    jmethodID stop_recording_method;
    jmethodID check_recording_method;
    jmethodID dump_recording_method;
    jmethodID finish_chunk_method;
    jmethodID on_new_chunk_method;
    jmethodID retransform_callback_method;
};

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

// Zero at load. recorder_interface and jvmti are written at load only; the
// rest by the status natives and the upcalls' bootstrap (the caches), by
// VMZEV.init and the release or a failed start (the binding), and by
// retransformClasses0 and the release (the class list).
struct LibraryState {
    const VmRecorderInterface* recorder_interface;
    jvmtiEnv* jvmti;
    zev::Published<RecorderBinding> recorder_binding;
    // Set once the first VMZEV.init has resolved the recorder's methods; never
    // cleared, as a binding that a release dropped leaves them resolved.
    // Stored with release after the lookups, read with acquire.
    zev::Atomic<bool> methods_resolved;
    // The sticky caches (sticky_cache.h): a true answer is stored with release
    // and read with acquire, so that a thread that reads "started" sees the
    // binding that the starting thread published before it stored the answer.
    zev::Atomic<jboolean> enabled_cache;
    zev::Atomic<jboolean> disabled_cache;
    zev::Atomic<jboolean> started_cache;
    zev::Published<ClassList> retransform_classes;
    // The class list's state and who is under way for it (list_ownership.h).
    zev::Atomic<zev::ListWord> retransform_state;
};

extern LibraryState libraryState;

// What recorderLocalRef found: a binding (copied, with a local reference to
// the recorder object), none, or one whose object NewLocalRef could not
// reference (out of memory: an OutOfMemoryError may be pending).
enum class RecorderRef { Bound, NotBound, Unreferenced };

// Copies the published binding into *local with a new local reference to the
// recorder object. Never waits: the binding stays valid for the moment it is
// read, and a release waits for that moment to end before deleting it.
RecorderRef recorderLocalRef(JNIEnv* env, RecorderBinding* local);

// Whether a recorder is bound now (a snapshot).
bool recorderBound();

enum class BindResult { Bound, AlreadyBound, OutOfMemory };

// Publishes a binding over the global reference in binding. Unless Bound,
// nothing is published and the reference stays the caller's.
BindResult bindRecorder(const RecorderBinding& binding);

// Takes the binding away, waits for the users still copying it, and deletes
// its global reference: exactly once however many threads drop at the same
// time. False when nothing was bound.
bool dropRecorder(JNIEnv* env);

// Read when a request begins: the drops ended so far.
unsigned releasesEnded();

// Whether a drop began after the drops that releasesEnded() counted when the
// request began (ended answered then): the binding the request misses was
// released while it was under way, and not merely never bound.
bool releasedSince(unsigned ended);
