// The class list as the model check runs it: the list and its classes'
// global references as checked plain memory, the ownership moves of
// list_ownership.h itself, and retransformation.cpp's retransformClasses0,
// retransformListed, restoreList, restoreRetransformedClasses and the hook's
// matchListed mirrored over the same Published<>, with the JNI and JVMTI
// calls modelled. A hook still matching while the restore frees is a data
// race, a second free or delete fails, a list never freed is a leak.
#pragma once

#include <new>
#include <ostream>

#include "grace_period.h"
#include "list_ownership.h"
#include "model_check.h"

// For Relacy's execution histories, which print every value loaded.
inline std::ostream& operator<<(std::ostream& out, ListState state) {
    static const char* const names[] = {"None", "Retransforming", "ReleaseWaiting", "Held",
                                        "Restoring"};
    return out << names[static_cast<int>(state)];
}

namespace model {

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

inline constexpr int kListedClass = 7;

template <typename Orders = zev::GracePeriodOrders>
struct ListModel {
    zev::Published<ClassList, Orders> retransform_classes;
    zev::Atomic<ListState> retransform_state;
    ClassRef classRef;
    rl::var<int> lists;            // lists built, by whoever owned the claim
    rl::var<int> restores;         // lists restored: retransformed back and freed
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

    // The hook's matchListed for the listed class, on thread index: whether
    // the class is listed.
    bool hook(unsigned index) {
        typename zev::Published<ClassList, Orders>::Reader section(retransform_classes);
        ClassList* list = section.get();
        if (list == nullptr || list->hash($) != kListedClass * 31) {
            return false;
        }
        ClassRef* ref = list->classes($);
        RL_ASSERT(ref->deletes($) == 0);  // IsSameObject on a live reference
        if (ref->klass($) != kListedClass) {
            return false;
        }
        matches[index]($) = matches[index]($) + 1;
        return true;
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

}  // namespace model
