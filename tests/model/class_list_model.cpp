// The class list's life under the model checker: retransformClasses0's
// thread (claim, build, publish, RetransformClasses during which the hook
// runs and may release, then keep or restore) racing a release from another
// thread, a hook on another thread and a second retransformClasses0; and the
// hook racing the restore of a held list (list_model.h).
#include "list_model.h"
#include "model_check.h"
#include "weakened_orders.h"

namespace {

using model::ClassList;
using model::ListModel;

// A hook matching against a held list while a release restores and frees
// it; the VM may refuse the first restore, and then a second release
// restores. Searched in full.
template <typename Orders>
struct HookRestore : rl::test_suite<HookRestore<Orders>, 2> {
    ListModel<Orders> model;
    void before() {
        model.init();
        RL_ASSERT(model.retransformClasses0(0, false));
    }
    void thread(unsigned index) {
        if (index == 0) {
            model.hook(index);
        } else {
            bool refused = rl::rand(2) == 0;
            RL_ASSERT(model.release(refused));
            if (refused) {
                RL_ASSERT(model.release());
            }
        }
    }
    void after() {
        RL_ASSERT(model.restores($) == 1);
        model.finish();
    }
};

// retransformClasses0 racing a release from another thread, with a hook and
// then a second retransformClasses0 on a third. A release that comes after
// the claim (seen through claimed) is never lost: the list is restored, by
// the release or by the retransforming thread once its RetransformClasses
// returned. A second list is refused while the first is claimed or held.
struct ReleaseFromAnotherThread : rl::test_suite<ReleaseFromAnotherThread, 3> {
    ListModel<> model;
    rl::atomic<bool> claimed;  // the witness: set once thread 0's claim succeeded
    rl::var<bool> releaseSawClaim;
    rl::var<bool> secondListed;

    void before() {
        model.init();
        claimed($).store(false, zev::kRelaxed);
    }
    void thread(unsigned index) {
        if (index == 0) {
            if (zev::claimList(model.retransform_state)) {
                claimed($).store(true, zev::kSeqCst);
                // The rest of retransformClasses0 once claimed.
                ClassList* list = model.buildList();
                RL_ASSERT(model.retransform_classes.publish(list));
                model.retransforming($) = true;
                model.hook(index);
                model.retransforming($) = false;
                if (!zev::keepList(model.retransform_state)) {
                    zev::finishRestore(model.retransform_state, model.restoreList(false));
                }
            }
        } else if (index == 1) {
            releaseSawClaim($) = claimed($).load(zev::kSeqCst);
            model.release();
        } else {
            model.hook(index);
            // A second list: refused unless the first is gone, and then
            // given up at once (no classes).
            secondListed($) = zev::claimList(model.retransform_state);
            if (secondListed($)) {
                RL_ASSERT(model.lists($) == model.restores($));
                zev::abandonList(model.retransform_state);
            }
        }
    }
    void after() {
        if (releaseSawClaim($)) {
            RL_ASSERT(model.retransform_state($).load(zev::kRelaxed) == ListState::None);
            RL_ASSERT(model.restores($) == 1);
        }
        model.finish();
    }
};

// A release from inside the callback, on the retransforming thread itself:
// it answers at once, and the thread restores the list once its
// RetransformClasses returns; a release from another thread and a hook on a
// third race it all.
struct ReleaseFromCallback : rl::test_suite<ReleaseFromCallback, 3> {
    ListModel<> model;
    void before() { model.init(); }
    void thread(unsigned index) {
        if (index == 0) {
            RL_ASSERT(model.retransformClasses0(index, true));
        } else if (index == 1) {
            model.hook(index);
        } else {
            // Never finds the list held: the retransforming thread restores it.
            RL_ASSERT(!model.release());
        }
    }
    void after() {
        RL_ASSERT(model.restores($) == 1);
        RL_ASSERT(model.matches[0]($) == 1);
        model.finish();
    }
};

using model::Expect;

const model::Case cases[] = {
    {"hook_restore",
     [] {
         bool ok = model::check<HookRestore<model::LibraryOrders>>(
             "hook racing the restore", model::fullSearch(), Expect::Holds);
         // The same with the hook's section ended relaxed: the free races the match.
         return model::check<HookRestore<model::LeaveRelaxed>>(
                    "hook racing the restore, leave relaxed", model::fullSearch(),
                    Expect::Fails) &&
                ok;
     }},
    {"release_from_another_thread",
     [] {
         return model::holds<ReleaseFromAnotherThread>(
             "retransformClasses0 racing a release, a hook and a second list");
     }},
    {"release_from_callback",
     [] {
         return model::holds<ReleaseFromCallback>(
             "a release from the callback, one from another thread, a hook");
     }},
};

}  // namespace

int main(int argc, char** argv) {
    return model::runCases(argc, argv, cases);
}
