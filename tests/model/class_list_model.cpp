// The class list's life under the model checker: retransformClasses0's
// thread (claim, build, publish, RetransformClasses during which the hook
// runs and may release, then keep or restore) racing a release from another
// thread, a hook on another thread and a second retransformClasses0; and the
// hook racing the restore of a held list. The ownership moves are
// list_ownership.h's own; the list is the same Published<> as the library's.
// The list and the classes' global references are plain memory here, so a
// hook still matching while the restore frees is a data race, a second free
// or delete fails, and a list never freed is a leak.
//
// The functions below mirror retransformation.cpp's retransformClasses0,
// retransformListed, restoreList, restoreRetransformedClasses and the hook's
// matchListed, with the JNI and JVMTI calls modelled.
#include <new>

#include "grace_period.h"
#include "list_ownership.h"
#include "model_check.h"
#include "weakened_orders.h"

// For Relacy's execution histories, which print every value loaded.
std::ostream& operator<<(std::ostream& out, ListState state) {
    static const char* const names[] = {"None", "Retransforming", "ReleaseWaiting", "Held",
                                        "Restoring"};
    return out << names[static_cast<int>(state)];
}

namespace {

// A class's global reference, as the list holds it.
struct ClassRef {
    rl::var<int> klass;    // what IsSameObject compares
    rl::var<int> deletes;  // DeleteGlobalRef calls on it
};

// The list: one class with its hash slot stands for the table.
struct ClassList {
    rl::var<int> hash;
    rl::var<ClassRef*> classes;
};

constexpr int kListedClass = 7;

template <typename Orders = model::LibraryOrders>
struct ListModel {
    zev::Published<ClassList, Orders> retransform_classes;
    zev::Atomic<ListState> retransform_state;
    ClassRef classRef;
    rl::var<int> lists;           // lists built, by whoever owned the claim
    rl::var<int> restores;        // RetransformClasses calls without the hook
    rl::var<bool> retransforming;  // retransformClasses0's RetransformClasses running
    rl::var<int> matches[3];       // hooks that found the class listed, per thread

    void init() {
        retransform_state($).store(ListState::None, zev::kRelaxed);
        lists($) = 0;
        restores($) = 0;
        retransforming($) = false;
        for (auto& m : matches) {
            m($) = 0;
        }
    }

    ClassList* buildList() {
        lists($) = lists($) + 1;
        classRef.klass($) = kListedClass;
        classRef.deletes($) = 0;
        auto* list = static_cast<ClassList*>(malloc(sizeof(ClassList)));
        new (list) ClassList;
        list->hash($) = kListedClass * 31;
        list->classes($) = &classRef;
        return list;
    }

    // The fields are overwritten before the memory goes, so that a hook
    // still matching against them races with the free.
    static void freeList(ClassList* list) {
        ClassRef* ref = list->classes($);
        RL_ASSERT(ref->deletes($) == 0);
        ref->deletes($) = 1;
        list->hash($) = -1;
        list->classes($) = nullptr;
        list->~ClassList();
        free(list);
    }

    // The hook's matchListed for the listed class, on thread index.
    void hook(unsigned index) {
        typename zev::Published<ClassList, Orders>::Reader section(retransform_classes);
        ClassList* list = section.get();
        if (list == nullptr) {
            return;
        }
        if (list->hash($) == kListedClass * 31) {
            ClassRef* ref = list->classes($);
            RL_ASSERT(ref->deletes($) == 0);  // IsSameObject on a live reference
            if (ref->klass($) == kListedClass) {
                matches[index]($) = matches[index]($) + 1;
            }
        }
    }

    // restoreList: the caller owns the list (Restoring). refused: the VM
    // refuses to retransform the classes back, and the list stays held.
    ListState restoreList(bool refused) {
        ClassList* list = retransform_classes.owned();
        RL_ASSERT(list != nullptr);
        // RetransformClasses(list->count, list->classes), hook disabled.
        RL_ASSERT(!retransforming($));
        ClassRef* ref = list->classes($);
        RL_ASSERT(ref->deletes($) == 0);
        if (refused) {
            return ListState::Held;
        }
        restores($) = restores($) + 1;
        freeList(retransform_classes.retract());
        return ListState::None;
    }

    // The release upcall's restoreRetransformedClasses: true when it restored.
    bool release(bool refused = false) {
        if (!zev::claimRestore(retransform_state)) {
            return false;
        }
        zev::finishRestore(retransform_state, restoreList(refused));
        return true;
    }

    // retransformClasses0 on thread index. releaseInCallback: the callback,
    // run by the hook on this thread, releases the recorder (which must
    // answer at once) and calls retransformClasses0 again (refused). False
    // when refused itself.
    bool retransformClasses0(unsigned index, bool releaseInCallback) {
        if (!zev::claimList(retransform_state)) {
            return false;
        }
        // No other list is alive while this one is claimed.
        RL_ASSERT(lists($) == restores($));
        ClassList* list = buildList();
        RL_ASSERT(retransform_classes.publish(list));
        retransforming($) = true;
        hook(index);
        if (releaseInCallback) {
            RL_ASSERT(!release());
            RL_ASSERT(!zev::claimList(retransform_state));
        }
        retransforming($) = false;
        if (!zev::keepList(retransform_state)) {
            zev::finishRestore(retransform_state, restoreList(false));
        }
        return true;
    }

    // What every scenario ends with, once the threads are done: a held list
    // is released, and then every list built was restored and freed once.
    void finish() {
        ListState state = retransform_state($).load(zev::kRelaxed);
        RL_ASSERT(state == ListState::None || state == ListState::Held);
        if (state == ListState::Held) {
            RL_ASSERT(release());
        }
        RL_ASSERT(retransform_state($).load(zev::kRelaxed) == ListState::None);
        RL_ASSERT(lists($) == restores($));
        RL_ASSERT(!retransform_classes.published());
    }
};

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
         bool ok = model::check<ReleaseFromAnotherThread>(
             "retransformClasses0 racing a release, a hook and a second list",
             model::contextBound(3), Expect::Holds);
         return model::check<ReleaseFromAnotherThread>(
                    "retransformClasses0 racing a release, a hook and a second list",
                    model::randomSearch(100000), Expect::Holds) &&
                ok;
     }},
    {"release_from_callback",
     [] {
         bool ok = model::check<ReleaseFromCallback>(
             "a release from the callback, one from another thread, a hook",
             model::contextBound(3), Expect::Holds);
         return model::check<ReleaseFromCallback>(
                    "a release from the callback, one from another thread, a hook",
                    model::randomSearch(100000), Expect::Holds) &&
                ok;
     }},
};

}  // namespace

int main(int argc, char** argv) {
    return model::runCases(argc, argv, cases);
}
