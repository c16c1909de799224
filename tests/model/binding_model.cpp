// The recorder binding's life under the model checker: requests copying the
// binding inside read sections race the release, a failed start, a rebinding
// VMZEV.init and a second binder. The record and the JNI global reference are
// plain memory here, so a use that a delete or a free is not ordered against
// is a data race; a use after them, a second delete or a second free fails an
// assertion or Relacy's own checks, and a record never freed is a leak.
//
// The functions below mirror library_state.cpp's bindRecorder,
// recorderLocalRef and dropRecorder line for line, over the same
// Published<> and the same orders, with the JNI calls modelled.
#include <new>

#include "grace_period.h"
#include "model_check.h"
#include "weakened_orders.h"

namespace {

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

int methodId(int object, int method) {
    return object * 10 + method;
}

template <typename Orders>
struct RecorderState {
    zev::Published<Binding, Orders> recorder_binding;
    zev::Atomic<unsigned> release_generation;
    GlobalRef refs[2];  // the references of bindings 0 and 1

    void init() { release_generation($).store(0, zev::kRelaxed); }

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
        if (!recorder_binding.published()) {
            return false;
        }
        release_generation($).fetch_add(1, zev::kRelaxed);
        Binding* binding = recorder_binding.retract();
        if (binding == nullptr) {
            return false;
        }
        deleteGlobalRef(*binding->recorder_instance($));
        freeBinding(binding);
        return true;
    }

    // A request (an upcall, the hook's callback): the generation read when it
    // began, then the binding copied with a new local reference inside a read
    // section. Answers the recorder object held, or -1 for none. boundAtStart:
    // a binding was published before the request began, so none found means
    // released meanwhile, which the generation must tell.
    int request(bool boundAtStart) {
        unsigned generation = release_generation($).load(zev::kAcquire);
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
        } else if (boundAtStart && generation == 0) {
            RL_ASSERT(release_generation($).load(zev::kAcquire) != generation);
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

// A request racing the release: the smallest case, searched in full; the
// weakened orders are tried on it.
template <typename Orders>
struct RequestRelease : rl::test_suite<RequestRelease<Orders>, 2> {
    RecorderState<Orders> state;

    void before() {
        state.init();
        RL_ASSERT(state.bindRecorder(0));
    }
    void thread(unsigned index) {
        if (index == 0) {
            state.request(true);
        } else {
            RL_ASSERT(state.dropRecorder());
        }
    }
    void after() { state.finish(1); }
};

// A request racing the release and a rebinding VMZEV.init: the request holds
// the first binding, the second or none (released meanwhile), never a mix;
// the rebinding is refused while the first binding is there.
template <typename Orders>
struct RequestReleaseRebind : rl::test_suite<RequestReleaseRebind<Orders>, 3> {
    RecorderState<Orders> state;
    rl::var<bool> rebound;

    void before() {
        state.init();
        RL_ASSERT(state.bindRecorder(0));
    }
    void thread(unsigned index) {
        if (index == 0) {
            state.request(true);
            state.request(true);
        } else if (index == 1) {
            RL_ASSERT(state.dropRecorder());
        } else {
            rebound($) = state.bindRecorder(1);
        }
    }
    void after() { state.finish(2); }
};

// Two VMZEV.init calls binding at once, with a request: exactly one binds.
template <typename Orders>
struct TwoBinders : rl::test_suite<TwoBinders<Orders>, 3> {
    RecorderState<Orders> state;
    rl::var<bool> bound[2];

    void before() { state.init(); }
    void thread(unsigned index) {
        if (index < 2) {
            bound[index]($) = state.bindRecorder(static_cast<int>(index));
        } else {
            state.request(false);
        }
    }
    void after() {
        RL_ASSERT(bound[0]($) != bound[1]($));
        state.finish(2);
    }
};

// A failed start and the release dropping the same binding at once, while a
// request copies it: one of them deletes it, the other finds none. Two
// retracts wait at once here, taking turns through the waiters' flag.
template <typename Orders>
struct TwoDroppers : rl::test_suite<TwoDroppers<Orders>, 3> {
    RecorderState<Orders> state;
    rl::var<bool> dropped[2];

    void before() {
        state.init();
        RL_ASSERT(state.bindRecorder(0));
    }
    void thread(unsigned index) {
        if (index < 2) {
            dropped[index]($) = state.dropRecorder();
        } else {
            state.request(true);
        }
    }
    void after() {
        RL_ASSERT(dropped[0]($) != dropped[1]($));
        state.finish(1);
    }
};

using model::AnnounceRelaxed;
using model::DrainAcquire;
using model::LeaveRelaxed;
using model::PublishRelaxed;
using model::ReadAcquire;
using Library = model::LibraryOrders;

using model::Expect;

const model::Case cases[] = {
    {"request_release",
     [] {
         return model::check<RequestRelease<Library>>("request racing the release",
                                                      model::fullSearch(), Expect::Holds);
     }},
    {"request_release_rebind",
     [] {
         bool ok = model::check<RequestReleaseRebind<Library>>(
             "request racing the release and a rebinding", model::contextBound(3), Expect::Holds);
         return model::check<RequestReleaseRebind<Library>>(
                    "request racing the release and a rebinding", model::randomSearch(100000),
                    Expect::Holds) &&
                ok;
     }},
    {"two_binders",
     [] {
         bool ok = model::check<TwoBinders<Library>>("two binders and a request",
                                                     model::contextBound(3), Expect::Holds);
         return model::check<TwoBinders<Library>>("two binders and a request",
                                                  model::randomSearch(100000), Expect::Holds) &&
                ok;
     }},
    {"two_droppers",
     [] {
         bool ok = model::check<TwoDroppers<Library>>(
             "a failed start and the release, and a request", model::contextBound(3),
             Expect::Holds);
         return model::check<TwoDroppers<Library>>("a failed start and the release, and a request",
                                                   model::randomSearch(100000), Expect::Holds) &&
                ok;
     }},
    {"weakened_orders",
     [] {
         bool ok = model::check<RequestRelease<LeaveRelaxed>>("leave relaxed", model::fullSearch(),
                                                              Expect::Fails);
         ok = model::check<RequestRelease<ReadAcquire>>("read acquire", model::fullSearch(),
                                                        Expect::Fails) &&
              ok;
         ok = model::check<RequestRelease<AnnounceRelaxed>>("announce relaxed",
                                                            model::fullSearch(), Expect::Fails) &&
              ok;
         ok = model::check<RequestRelease<DrainAcquire>>("drain acquire", model::fullSearch(),
                                                         Expect::Fails) &&
              ok;
         // Publishing happens in the threads here, not before them.
         return model::check<TwoBinders<PublishRelaxed>>("publish relaxed",
                                                         model::contextBound(3), Expect::Fails) &&
                ok;
     }},
};

}  // namespace

int main(int argc, char** argv) {
    return model::runCases(argc, argv, cases);
}
