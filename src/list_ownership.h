// Who owns the class list and who restores it, as one atomic word that
// retransformClasses0, the class-file hooks and the release move on. Nobody
// ever waits for another thread here.
//
// The word holds the list's state, whether retransformClasses0 is
// retransforming the list right now (from its claim until its
// RetransformClasses returns), and how many hooks are under way (each from
// the moment it matched a listed class until its retransformCallback
// returned). A release never restores while one of them is under way: a
// callback may be Java that waits for this very release, and the restore's
// RetransformClasses would wait for that redefinition of the same class.
// Nor does anyone restore inside a redefinition already under way on its
// thread: HotSpot lets a thread's nested redefinition of a class through,
// and then frees what the outer one still uses. So a release that comes
// while retransformClasses0 is under way hands the restore to it, for once
// its RetransformClasses has returned; one that comes while only hooks of
// other agents' redefinitions are under way leaves the list held for the
// next release, and says so. Either way the hooks under way install none of
// the bytes their callbacks return after the release began.
//
// The list's memory is guarded apart from this, by its read sections
// (grace_period.h). Every move is an acq_rel CAS or a release store that the
// next mover's acquire pairs with, so that what one owner did to the list
// (built, published, restored it) happens before the next owner's work.
#pragma once

#include <cstdint>

#include "atomics.h"

enum class ListState : uint32_t {
    None,            // no list
    Listed,          // a list is built or held; callbacks may run for it
    ReleasePending,  // a release came while the list was in use
    Restoring,       // one thread restores the classes and forgets the list
};

namespace zev {

using ListWord = uint32_t;

constexpr ListWord kStateBits = 3;
constexpr ListWord kOurs = 4;  // retransformClasses0 is under way
constexpr ListWord kHook = 8;  // one hook under way; the count above kOurs

constexpr ListState stateOf(ListWord word) {
    return static_cast<ListState>(word & kStateBits);
}

constexpr ListWord withState(ListWord word, ListState state) {
    return (word & ~kStateBits) | static_cast<ListWord>(state);
}

// retransformClasses0's claim, with no list and no hook of an earlier one
// still under way: one list at a time. False: refused.
inline bool claimList(Atomic<ListWord>& word) {
    ListWord none = static_cast<ListWord>(ListState::None);
    return ZEV_ATOMIC(word).compare_exchange_strong(
        none, static_cast<ListWord>(ListState::Listed) | kOurs, kAcqRel, kAcquire);
}

// retransformClasses0 with nothing published: no hook can take part in a
// list it never saw, so the list is forgotten, and a release that came
// meanwhile has nothing to restore.
inline void abandonList(Atomic<ListWord>& word) {
    ZEV_ATOMIC(word).store(static_cast<ListWord>(ListState::None), kRelease);
}

// A hook that matched a listed class, inside the list's read section: true
// when it now takes part and may run the callback; false when a release
// came, and then the class keeps its bytes.
inline bool joinList(Atomic<ListWord>& word) {
    ListWord seen = ZEV_ATOMIC(word).load(kAcquire);
    while (stateOf(seen) == ListState::Listed) {
        if (ZEV_ATOMIC(word).compare_exchange_weak(seen, seen + kHook, kAcqRel, kAcquire)) {
            return true;
        }
    }
    return false;
}

// A hook whose callback returned: true when it installs what the callback
// returned, false when a release began meanwhile. The last hook of a
// release that nobody restores for leaves the list held for the next one.
inline bool leaveAsHook(Atomic<ListWord>& word) {
    ListWord seen = ZEV_ATOMIC(word).load(kAcquire);
    for (;;) {
        ListWord next = seen - kHook;
        bool last = next == withState(0, ListState::ReleasePending);
        if (last) {
            next = withState(0, ListState::Listed);
        }
        if (ZEV_ATOMIC(word).compare_exchange_weak(seen, next, kAcqRel, kAcquire)) {
            return stateOf(seen) == ListState::Listed;
        }
    }
}

// retransformClasses0 once its RetransformClasses returned: true when a
// release came meanwhile and handed it the restore; the state is then
// Restoring and the caller ends it with finishRestore.
inline bool leaveAsOwner(Atomic<ListWord>& word) {
    ListWord seen = ZEV_ATOMIC(word).load(kAcquire);
    for (;;) {
        bool pending = stateOf(seen) == ListState::ReleasePending;
        ListWord next = withState(seen & ~kOurs, pending ? ListState::Restoring : stateOf(seen));
        if (ZEV_ATOMIC(word).compare_exchange_weak(seen, next, kAcqRel, kAcquire)) {
            return pending;
        }
    }
}

enum class Claim {
    Nothing,    // no list, or another release's restore is on its way
    Restore,    // the caller restores now (the state is Restoring), then finishRestore
    HandedOff,  // retransformClasses0 is under way: it restores once it is done
    Held,       // only other agents' hooks are under way: the list stays for the next release
};

// The release's claim. Never waits.
inline Claim claimRestore(Atomic<ListWord>& word) {
    ListWord seen = ZEV_ATOMIC(word).load(kAcquire);
    for (;;) {
        ListState state = stateOf(seen);
        if (state != ListState::Listed && state != ListState::ReleasePending) {
            return Claim::Nothing;
        }
        bool idle = seen == withState(0, ListState::Listed);
        ListWord next = withState(seen, idle ? ListState::Restoring : ListState::ReleasePending);
        if (ZEV_ATOMIC(word).compare_exchange_weak(seen, next, kAcqRel, kAcquire)) {
            return idle ? Claim::Restore : (seen & kOurs) != 0 ? Claim::HandedOff : Claim::Held;
        }
    }
}

// Whether a list is held that no restore is on its way for.
inline bool listHeld(Atomic<ListWord>& word) {
    ListWord seen = ZEV_ATOMIC(word).load(kAcquire);
    return stateOf(seen) == ListState::Listed ||
           (stateOf(seen) == ListState::ReleasePending && (seen & kOurs) == 0);
}

// The restorer's last move: None when the list was forgotten, Listed when it
// could not be restored and stays for the next release. Hooks may still be
// under way (retransformClasses0 restores without waiting for other agents'
// callbacks): their count stays.
inline void finishRestore(Atomic<ListWord>& word, ListState next) {
    ListWord seen = ZEV_ATOMIC(word).load(kAcquire);
    while (!ZEV_ATOMIC(word).compare_exchange_weak(seen, withState(seen, next), kAcqRel,
                                                   kAcquire)) {
    }
}

}  // namespace zev
