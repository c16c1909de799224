// Who owns the class list, as one atomic state that retransformClasses0 and
// the release move on. Whoever moved the state last owns the list until it
// moves it on; nobody ever waits for another thread here. The list's memory
// is guarded apart from this, by its read sections (grace_period.h): hooks
// never look at the state.
//
// Every move is an acq_rel CAS or a release store that the next owner's
// acquire (in its CAS or load) pairs with, so that what one owner did to the
// list (built, published, restored it) happens before the next owner's work.
#pragma once

#include "atomics.h"

enum class ListState {
    None,            // no list
    Retransforming,  // retransformClasses0 builds the list and retransforms its classes
    ReleaseWaiting,  // the same, and a release came meanwhile: the retransforming thread restores
    Held,            // published; the hook enabled, or disabled after a refused retransformation
    Restoring,       // a release retransforms the classes back and forgets the list
};

namespace zev {

// retransformClasses0's claim: one list at a time, whether the first is still
// being retransformed or held. False: refused.
inline bool claimList(Atomic<ListState>& state) {
    ListState none = ListState::None;
    return ZEV_ATOMIC(state).compare_exchange_strong(none, ListState::Retransforming, kAcqRel,
                                                     kAcquire);
}

// retransformClasses0 with no list built: nothing was published, so nothing
// is left for a release that came meanwhile to restore.
inline void abandonList(Atomic<ListState>& state) {
    ZEV_ATOMIC(state).store(ListState::None, kRelease);
}

// retransformClasses0 once its RetransformClasses returned: true when the list
// is now held; false when a release came meanwhile, whose restore is then the
// caller's to do (the state is Restoring, and finishRestore ends it).
inline bool keepList(Atomic<ListState>& state) {
    ListState retransforming = ListState::Retransforming;
    if (ZEV_ATOMIC(state).compare_exchange_strong(retransforming, ListState::Held, kAcqRel,
                                                  kAcquire)) {
        return true;
    }
    // Only a release moves Retransforming on, to ReleaseWaiting: ours again.
    ZEV_ATOMIC(state).store(ListState::Restoring, kRelaxed);
    return false;
}

// The release's claim: true when the list is held and the caller must now
// restore it (then finishRestore); false when there is nothing to restore,
// another release is restoring it, or it is still being retransformed, in
// which case the retransforming thread restores it as soon as its
// RetransformClasses returns. Never waits: that thread's callback may be
// waiting for this very release.
inline bool claimRestore(Atomic<ListState>& state) {
    for (;;) {
        ListState seen = ZEV_ATOMIC(state).load(kAcquire);
        switch (seen) {
        case ListState::None:
        case ListState::ReleaseWaiting:
        case ListState::Restoring:
            return false;
        case ListState::Retransforming:
            if (ZEV_ATOMIC(state).compare_exchange_weak(seen, ListState::ReleaseWaiting, kAcqRel,
                                                        kAcquire)) {
                return false;
            }
            break;  // the state moved meanwhile: look again
        case ListState::Held:
            if (ZEV_ATOMIC(state).compare_exchange_weak(seen, ListState::Restoring, kAcqRel,
                                                        kAcquire)) {
                return true;
            }
            break;
        }
    }
}

// The restorer's last move: None when the list was forgotten, Held when the
// VM refused to restore its classes and the list stays for the next release.
inline void finishRestore(Atomic<ListState>& state, ListState next) {
    ZEV_ATOMIC(state).store(next, kRelease);
}

}  // namespace zev
