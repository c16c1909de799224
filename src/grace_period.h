// Published<T>: a pointer to an immutable record that readers use for a
// moment while another thread may take the record away. The library keeps
// two: the recorder binding and the class list.
//
// Readers never wait, spin or block: a read section is two atomic
// read-modify-writes on a counter and a load of the pointer. Only the thread
// that takes a record away (retract) waits, and only for readers already
// inside a section; a section is bounded and contains no call that can run
// Java (a NewLocalRef, a JVMTI hash, an IsSameObject at most), so the wait
// ends even when the VM holds such a reader at a safepoint for a while.
//
// The protocol, a grace period over two reader counters (as the VM's own
// GlobalCounter and Linux's SRCU do it):
//
//   reader:   e = epoch (relaxed: which counter only spreads the load)
//             readers[e] += 1                        (A: seq_cst)
//             p = pointer                            (B: seq_cst)
//             ... use *p ...
//             readers[e] -= 1                        (C: release)
//   retract:  old = pointer.exchange(null)           (D: seq_cst)
//             wait until readers[1 - epoch] == 0     (E: seq_cst)
//             epoch = 1 - epoch (relaxed)
//             wait until readers[epoch before] == 0  (E: seq_cst)
//             now free old
//
// A, B, D and E form a store-load (Dekker) pattern and are seq_cst on both
// sides: if a reader's B read the old record, B precedes D in the single
// total order, so its A precedes both of the waiter's E loads, which then
// see the counter at 1 or more until the reader's C. C is a release and E an
// acquire: everything the reader did with the record happens before the
// waiter frees it. A reader whose A comes after an E read zero does its B
// after D, and sees null or a newer record. Both counters are drained, so a
// reader that read a stale epoch is waited for too; the flip between the two
// drains sends new readers to the other counter, so a steady stream of
// readers cannot hold the waiter up. Waiters take turns (a flag), so that two
// of them never flip the epoch under each other.
//
// publish pairs its release CAS with the readers' B (seq_cst, an acquire):
// a reader that sees the record sees it whole.
//
// Retractions are counted as begun (before D) and ended (after the wait),
// so that a reader that finds no record can tell one taken away while it
// was under way (a retraction begun after those it saw ended) from one that
// was never there: the begun count is sequenced before D, a release, and a
// reader that reads the null D left acquires it.
//
// The model check reads the orders at run time (ZEV_WEAKENABLE, atomics.h),
// so that it can weaken one a step and see the fault it guards against found.
#pragma once

#include "atomics.h"

namespace zev {

struct GracePeriodOrders {
    ZEV_WEAKENABLE MemoryOrder announce = kSeqCst;  // A: pairs with E (store-load)
    ZEV_WEAKENABLE MemoryOrder read = kSeqCst;      // B: pairs with D (store-load) and publish
    ZEV_WEAKENABLE MemoryOrder leave = kRelease;    // C: pairs with E, ends the reader's uses
    ZEV_WEAKENABLE MemoryOrder take = kSeqCst;      // D: pairs with B (store-load)
    ZEV_WEAKENABLE MemoryOrder drain = kSeqCst;     // E: pairs with A (store-load), acquires C
    ZEV_WEAKENABLE MemoryOrder publish = kRelease;  // pairs with B: the record is seen whole
};

template <typename T>
class Published {
    using Orders = GracePeriodOrders;

public:
    // A read section: the record it reads stays valid until the section ends.
    class Reader {
    public:
        explicit Reader(Published& published)
            : published_(published), epoch_(published.enter()) {}
        ~Reader() { published_.leave(epoch_); }
        Reader(const Reader&) = delete;
        Reader& operator=(const Reader&) = delete;

        // The published record, or null. Valid until the section ends.
        T* get() const { return ZEV_ATOMIC(published_.pointer_).load(Orders::read); }

    private:
        Published& published_;
        unsigned epoch_;
    };

    // Publishes record if none is published. False, with nothing published
    // by this call, when a record is there already.
    bool publish(T* record) {
        T* none = nullptr;
        return ZEV_ATOMIC(pointer_).compare_exchange_strong(none, record, Orders::publish,
                                                            kRelaxed);
    }

    // Whether a record is published now, for a quick test that uses nothing
    // of it. Relaxed: the answer may be stale at once and carries no data.
    bool published() const { return ZEV_ATOMIC(pointer_).load(kRelaxed) != nullptr; }

    // The published record, for the one thread that owns it by other means
    // and only reads its fields (the class list's owner). Pairs with publish.
    T* owned() const { return ZEV_ATOMIC(pointer_).load(kAcquire); }

    // Takes the published record away and waits until no reader can still
    // use it: the caller then owns it. Null when nothing was published (and
    // then nothing is waited for), or when another retract took it first.
    T* retract() {
        if (!published()) {
            return nullptr;  // nothing to take: no retraction begins
        }
        ZEV_ATOMIC(retractions_begun_).fetch_add(1, kRelaxed);  // ordered by D below
        T* old = ZEV_ATOMIC(pointer_).exchange(nullptr, Orders::take);
        if (old != nullptr) {
            waitForReaders();
        }
        // Pairs with retractionsEnded()'s acquire.
        ZEV_ATOMIC(retractions_ended_).fetch_add(1, kRelease);
        return old;
    }

    // Read when a reader begins: the retractions ended so far.
    unsigned retractionsEnded() const { return ZEV_ATOMIC(retractions_ended_).load(kAcquire); }

    // For a reader that found no record, with what retractionsEnded()
    // answered when it began: whether a retraction began since (or was under
    // way then), that is, whether the record was taken away meanwhile. Every
    // retraction begins before it ends, so the begun count equals that ended
    // count only when none began since nor was under way.
    bool retractedSince(unsigned ended) const {
        return ZEV_ATOMIC(retractions_begun_).load(kAcquire) != ended;
    }

private:
    unsigned enter() {
        unsigned epoch = ZEV_ATOMIC(epoch_).load(kRelaxed) & 1u;
        ZEV_ATOMIC(readers_[epoch]).fetch_add(1, Orders::announce);
        return epoch;
    }

    void leave(unsigned epoch) { ZEV_ATOMIC(readers_[epoch]).fetch_sub(1, Orders::leave); }

    void waitForReaders() {
        // Pairs with the release below: one waiter's flips and drains at a time.
        for (unsigned round = 0; ZEV_ATOMIC(waiting_).exchange(true, kAcquire); round++) {
            pauseWaiting(round);
        }
        unsigned epoch = ZEV_ATOMIC(epoch_).load(kRelaxed) & 1u;
        drain(epoch ^ 1u);  // readers that read the epoch before its last flip
        ZEV_ATOMIC(epoch_).store(epoch ^ 1u, kRelaxed);
        drain(epoch);
        ZEV_ATOMIC(waiting_).store(false, kRelease);
    }

    void drain(unsigned epoch) {
        for (unsigned round = 0; ZEV_ATOMIC(readers_[epoch]).load(Orders::drain) != 0; round++) {
            pauseWaiting(round);
        }
    }

    Atomic<T*> pointer_{nullptr};
    Atomic<unsigned> epoch_{0};
    Atomic<unsigned> readers_[2]{{0}, {0}};
    Atomic<bool> waiting_{false};
    Atomic<unsigned> retractions_begun_{0};
    Atomic<unsigned> retractions_ended_{0};
};

}  // namespace zev
