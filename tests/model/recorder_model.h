// The recorder binding as the model check runs it: the record and the JNI
// global reference as checked plain memory, and the library's
// bindRecorder, recorderLocalRef and dropRecorder (library_state.cpp)
// mirrored line for line over the same Published<> and orders, with the JNI
// calls modelled. A use that a delete or a free is not ordered against is a
// data race; a use after them or a second delete fails an assertion, a
// second free or a record never freed fails Relacy's own checks.
#pragma once

#include <new>

#include "grace_period.h"
#include "model_check.h"

namespace model {

// A JNI global reference as the VM keeps it.
struct GlobalRef {
    rl::var<int> object;   // the recorder object it names: what NewLocalRef reads
    rl::var<int> deletes;  // DeleteGlobalRef calls on it
};

// The binding record: the global reference and two method ids standing for
// the seven, each id telling which binding resolved it.
struct Binding {
    rl::var<GlobalRef*> recorder_instance;
    rl::var<int> start_recording_method;
    rl::var<int> retransform_callback_method;
};

inline int methodId(int object, int method) {
    return object * 10 + method;
}

template <typename Orders>
struct RecorderState {
    zev::Published<Binding, Orders> recorder_binding;
    GlobalRef refs[2];  // the references of bindings 0 and 1

    void init() {}

    // NewGlobalRef: the binder's own until it is published.
    GlobalRef& newGlobalRef(int object) {
        refs[object].object($) = object;
        refs[object].deletes($) = 0;
        return refs[object];
    }

    static void deleteGlobalRef(GlobalRef& ref) {
        RL_ASSERT(ref.deletes($) == 0);
        ref.deletes($) = 1;
    }

    // The fields are overwritten before the memory goes, so that a reader
    // still copying them races with the free.
    static void freeBinding(Binding* binding) {
        binding->recorder_instance($) = nullptr;
        binding->start_recording_method($) = -1;
        binding->retransform_callback_method($) = -1;
        binding->~Binding();
        free(binding);
    }

    // VMZEV.init's binding: true when published; refused when one is there,
    // and then the reference is the caller's to delete.
    bool bindRecorder(int object) {
        GlobalRef& ref = newGlobalRef(object);
        auto* binding = static_cast<Binding*>(malloc(sizeof(Binding)));
        new (binding) Binding;
        binding->recorder_instance($) = &ref;
        binding->start_recording_method($) = methodId(object, 1);
        binding->retransform_callback_method($) = methodId(object, 7);
        if (recorder_binding.publish(binding)) {
            return true;
        }
        binding->~Binding();
        free(binding);
        deleteGlobalRef(ref);
        return false;
    }

    // The release upcall and a failed start: whoever retracts the binding
    // deletes its reference and frees it.
    bool dropRecorder() {
        Binding* binding = recorder_binding.retract();
        if (binding == nullptr) {
            return false;
        }
        deleteGlobalRef(*binding->recorder_instance($));
        freeBinding(binding);
        return true;
    }

    // releasesEnded() and releasedSince().
    unsigned releasesEnded() { return recorder_binding.retractionsEnded(); }
    bool releasedSince(unsigned ended) { return recorder_binding.retractedSince(ended); }

    // A request (an upcall, the hook's callback): the drops ended so far read
    // when it began, then the binding copied with a new local reference
    // inside a read section. Answers the recorder object held, or -1 for
    // none. A request that finds none must be told a release came meanwhile
    // when it saw a binding after it began (the witness below, a relaxed load
    // that orders nothing), and must not be when it began after every drop
    // of the scenario (drops of them) had ended.
    int request(unsigned drops = ~0u) {
        unsigned ended = releasesEnded();
        bool seen = recorder_binding.published();  // the witness, not the library's
        int object = -1;
        int start = 0;
        int callback = 0;
        {
            typename zev::Published<Binding, Orders>::Reader section(recorder_binding);
            Binding* binding = section.get();
            if (binding != nullptr) {
                GlobalRef* ref = binding->recorder_instance($);
                start = binding->start_recording_method($);
                callback = binding->retransform_callback_method($);
                // NewLocalRef: the global reference must still be live.
                RL_ASSERT(ref->deletes($) == 0);
                object = ref->object($);
            }
        }
        if (object >= 0) {
            // The ids are those of the binding whose object the request holds.
            RL_ASSERT(start == methodId(object, 1));
            RL_ASSERT(callback == methodId(object, 7));
        } else if (seen) {
            RL_ASSERT(releasedSince(ended));
        } else if (ended == drops) {
            RL_ASSERT(!releasedSince(ended));
        }
        return object;
    }

    // After the threads: what is still bound is released, and every
    // reference made was deleted exactly once.
    void finish(int made) {
        dropRecorder();
        for (int object = 0; object < made; object++) {
            RL_ASSERT(refs[object].deletes($) == 1);
        }
    }
};

}  // namespace model
