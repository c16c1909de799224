// The release upcall (drop the binding, then restore the class list) racing
// a retransformation end to end: the hook matching the class, copying the
// binding and running the callback, which releases from inside it, while a
// hook on another thread does the same and the VM releases from a third.
// Both read-section primitives at once: no thread waits inside a section, so
// no wait may end in a deadlock or a livelock, which Relacy reports.
#include "list_model.h"
#include "model_check.h"
#include "recorder_model.h"

namespace {

struct Library {
    model::RecorderState<zev::GracePeriodOrders> recorder;
    model::ListModel<> list;
    rl::var<bool> dropped[3];

    void init() {
        recorder.init();
        list.init();
        RL_ASSERT(recorder.bindRecorder(0));
        for (auto& d : dropped) {
            d($) = false;
        }
    }

    // releaseBindings: true when the list was restored by this call.
    bool releaseBindings(unsigned index) {
        dropped[index]($) = recorder.dropRecorder();
        return list.release();
    }

    // The class-file hook on thread index: the class matched, the binding
    // copied, the callback run; with releaseInCallback, the callback's Java
    // code has the VM release the recorder.
    void hook(unsigned index, bool releaseInCallback) {
        if (!list.hook(index)) {
            return;
        }
        if (recorder.request() < 0) {
            return;  // no recorder object: the class keeps its bytes
        }
        if (releaseInCallback) {
            // Answers at once: the retransforming thread restores afterwards.
            RL_ASSERT(!releaseBindings(index));
        }
    }
};

template <unsigned Threads>
struct ReleaseDuringRetransformation
    : rl::test_suite<ReleaseDuringRetransformation<Threads>, Threads> {
    Library library;

    void before() { library.init(); }
    void thread(unsigned index) {
        if (index == 0) {
            // retransformClasses0, its RetransformClasses running the hook here.
            model::ListModel<>& list = library.list;
            RL_ASSERT(zev::claimList(list.retransform_state));
            RL_ASSERT(list.retransform_classes.publish(list.buildList()));
            list.retransforming($) = true;
            library.hook(index, true);
            list.retransforming($) = false;
            if (!zev::keepList(list.retransform_state)) {
                zev::finishRestore(list.retransform_state, list.restoreList(false));
            }
        } else if (index == Threads - 1) {
            library.releaseBindings(2);
        } else {
            library.hook(index, false);
        }
    }
    void after() {
        // One of the two releases dropped the binding.
        RL_ASSERT(library.dropped[0]($) != library.dropped[2]($));
        library.list.finish();
        library.recorder.finish(1);
    }
};

using model::Expect;

const model::Case cases[] = {
    {"release_during_retransformation",
     [] {
         bool ok = model::check<ReleaseDuringRetransformation<2>>(
             "the release racing a retransformation, from its callback and another thread",
             model::contextBound(3), Expect::Holds);
         ok = model::check<ReleaseDuringRetransformation<3>>(
                  "the same, and a hook on a third thread", model::contextBound(1),
                  Expect::Holds) &&
              ok;
         return model::check<ReleaseDuringRetransformation<3>>(
                    "the same, and a hook on a third thread", model::randomSearch(100000),
                    Expect::Holds) &&
                ok;
     }},
};

}  // namespace

int main(int argc, char** argv) {
    return model::runCases(argc, argv, cases);
}
