// The atomics behind the library's shared state, behind one seam: the library
// compiles them as std::atomic; the model check (tests/model) compiles the
// same headers against Relacy's checked atomics by defining ZEV_MODEL_CHECK,
// so that every interleaving and every value a relaxed or acquire load may
// legally read is tried under the C++ memory model, not just what x86 shows.
#pragma once

#ifdef ZEV_MODEL_CHECK

#include <relacy/relacy.hpp>

namespace zev {
template <typename T>
using Atomic = rl::atomic<T>;
using MemoryOrder = rl::memory_order;
constexpr MemoryOrder kRelaxed = rl::mo_relaxed;
constexpr MemoryOrder kAcquire = rl::mo_acquire;
constexpr MemoryOrder kRelease = rl::mo_release;
constexpr MemoryOrder kAcqRel = rl::mo_acq_rel;
constexpr MemoryOrder kSeqCst = rl::mo_seq_cst;
// One round of a waiting loop; the model checker must see it to end its search.
inline void pauseWaiting(unsigned) {
    rl::yield(1, $);
}
}  // namespace zev

// Relacy records the source line of every access through ($).
#define ZEV_ATOMIC(x) x($)

#else

#include <atomic>

namespace zev {
template <typename T>
using Atomic = std::atomic<T>;
using MemoryOrder = std::memory_order;
constexpr MemoryOrder kRelaxed = std::memory_order_relaxed;
constexpr MemoryOrder kAcquire = std::memory_order_acquire;
constexpr MemoryOrder kRelease = std::memory_order_release;
constexpr MemoryOrder kAcqRel = std::memory_order_acq_rel;
constexpr MemoryOrder kSeqCst = std::memory_order_seq_cst;
// One round of a waiting loop: yields the processor for the first rounds,
// then sleeps briefly, so that a long wait (a reader held at a safepoint)
// does not burn the processor the VM needs. Round counts from 0.
void pauseWaiting(unsigned round);
}  // namespace zev

#define ZEV_ATOMIC(x) x

#endif
