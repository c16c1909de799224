// Who owns the class list and who restores it, as one atomic word that
// retransformClasses0, the class-file hooks and the release move on. Nobody
// ever waits for another thread here.
//
// The word holds the list's state and, above it, how many parties take part
// in retransforming its classes right now: retransformClasses0 from its
// claim until its RetransformClasses returns, and each hook from the moment
// it matched a listed class until its retransformCallback returned. A
// release never restores while a party is under way: a party may be Java
// that waits for this very release, and the restore's RetransformClasses
// would wait for that party's redefinition of the same class. It hands the
// restore to the last party instead, which also installs none of the bytes
// its callback returned after the release began. So the restore runs exactly
// once, after no callback can still install bytes.
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
    Listed,          // a list is built or held; its parties may run callbacks
    ReleasePending,  // a release came while parties were under way: the last restores
    Restoring,       // one thread restores the classes and forgets the list
};

namespace zev {

using ListWord = uint32_t;

constexpr ListWord kParty = 4;  // the parties count above the state's two bits

constexpr ListState stateOf(ListWord word) {
    return static_cast<ListState>(word & (kParty - 1));
}

constexpr ListWord partiesOf(ListWord word) {
    return word / kParty;
}

constexpr ListWord listWord(ListState state, ListWord parties) {
    return parties * kParty + static_cast<ListWord>(state);
}

// retransformClasses0's claim, itself the first party: one list at a time,
// whether the first is still being retransformed or held. False: refused.
inline bool claimList(Atomic<ListWord>& word) {
    ListWord none = listWord(ListState::None, 0);
    return ZEV_ATOMIC(word).compare_exchange_strong(none, listWord(ListState::Listed, 1), kAcqRel,
                                                    kAcquire);
}

// retransformClasses0 with nothing published: no hook can take part in a
// list it never saw, so the list is forgotten, and a release that came
// meanwhile has nothing to restore.
inline void abandonList(Atomic<ListWord>& word) {
    ZEV_ATOMIC(word).store(listWord(ListState::None, 0), kRelease);
}

// A hook that matched a listed class, inside the list's read section: true
// when it now takes part and may run the callback; false when a release
// came, and then the class keeps its bytes.
inline bool joinList(Atomic<ListWord>& word) {
    ListWord seen = ZEV_ATOMIC(word).load(kAcquire);
    while (stateOf(seen) == ListState::Listed) {
        if (ZEV_ATOMIC(word).compare_exchange_weak(seen, seen + kParty, kAcqRel, kAcquire)) {
            return true;
        }
    }
    return false;
}

enum class Leave {
    Keep,      // no release came: a hook installs what its callback returned
    Released,  // a release came and other parties are under way: install nothing
    Restore,   // a release came and this was the last party: install nothing, restore
};

// A party done: retransformClasses0 once its RetransformClasses returned, a
// hook once its callback returned. On Restore the state is Restoring and the
// caller ends it with finishRestore.
inline Leave leaveList(Atomic<ListWord>& word) {
    ListWord seen = ZEV_ATOMIC(word).load(kAcquire);
    for (;;) {
        ListWord parties = partiesOf(seen) - 1;
        bool pending = stateOf(seen) == ListState::ReleasePending;
        ListWord next = pending && parties == 0 ? listWord(ListState::Restoring, 0)
                                                : listWord(stateOf(seen), parties);
        if (ZEV_ATOMIC(word).compare_exchange_weak(seen, next, kAcqRel, kAcquire)) {
            return !pending ? Leave::Keep : parties == 0 ? Leave::Restore : Leave::Released;
        }
    }
}

enum class Claim {
    Nothing,    // no list, or another release's restore is on its way
    Restore,    // the caller restores now (the state is Restoring), then finishRestore
    HandedOff,  // parties are under way: the last of them restores
};

// The release's claim. Never waits.
inline Claim claimRestore(Atomic<ListWord>& word) {
    ListWord seen = ZEV_ATOMIC(word).load(kAcquire);
    while (stateOf(seen) == ListState::Listed) {
        bool now = partiesOf(seen) == 0;
        ListWord next = now ? listWord(ListState::Restoring, 0)
                            : listWord(ListState::ReleasePending, partiesOf(seen));
        if (ZEV_ATOMIC(word).compare_exchange_weak(seen, next, kAcqRel, kAcquire)) {
            return now ? Claim::Restore : Claim::HandedOff;
        }
    }
    return Claim::Nothing;
}

// Whether a list is held that no restore is on its way for.
inline bool listHeld(Atomic<ListWord>& word) {
    return stateOf(ZEV_ATOMIC(word).load(kAcquire)) == ListState::Listed;
}

// The restorer's last move: None when the list was forgotten, Listed when it
// could not be restored and stays for the next release.
inline void finishRestore(Atomic<ListWord>& word, ListState next) {
    ZEV_ATOMIC(word).store(listWord(next, 0), kRelease);
}

}  // namespace zev
