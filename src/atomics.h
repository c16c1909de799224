// The atomics behind the library's shared state, behind one seam: the library
// compiles them as std::atomic; the model check (tests/model) compiles the
// same headers against Relacy's checked atomics by defining ZEV_MODEL_CHECK,
// so that every interleaving and every value a relaxed or acquire load may
// legally read is tried under the C++ memory model, not just what x86 shows.
#pragma once

#ifdef ZEV_MODEL_CHECK

#include <relacy/relacy.hpp>
// Relacy makes new and delete macros to track allocations, which breaks
// "= delete"; the model check tracks its records through malloc and free.
#undef new
#undef delete

namespace zev {

// Relacy's atomics live for one execution of a test. The library keeps
// some in globals (its state, the cached String class): those are made
// afresh, with their first values, when an execution begins and unmade when
// it ends; the checker calls beginExecution and endExecution. One made
// inside an execution lives as C++ says.
class ExecutionAtomic {
public:
    virtual void make() = 0;
    virtual void unmake() = 0;
    ExecutionAtomic* next = nullptr;

    static ExecutionAtomic*& globals() {
        static ExecutionAtomic* head = nullptr;
        return head;
    }
};

inline void beginExecution() {
    for (ExecutionAtomic* a = ExecutionAtomic::globals(); a != nullptr; a = a->next) {
        a->make();
    }
}

inline void endExecution() {
    for (ExecutionAtomic* a = ExecutionAtomic::globals(); a != nullptr; a = a->next) {
        a->unmake();
    }
}

template <typename T>
class Atomic : public ExecutionAtomic {
public:
    Atomic() : Atomic(T()) {}
    Atomic(T initial) : initial_(initial) {
        if (rl::is_ctx()) {
            make();
        } else {
            next = globals();
            globals() = this;
        }
    }
    ~Atomic() {
        if (rl::is_ctx()) {
            unmake();
        }
    }
    Atomic(const Atomic&) = delete;
    Atomic& operator=(const Atomic&) = delete;

    void make() override {
        atomic_ = new (storage_) rl::atomic<T>(initial_);
    }
    void unmake() override {
        if (atomic_ != nullptr) {
            atomic_->~atomic();
            atomic_ = nullptr;
        }
    }
    // ZEV_ATOMIC(x): the access, with the line that made it.
    rl::atomic_proxy<T> operator()(rl::debug_info_param info) { return (*atomic_)(info); }
    rl::atomic_proxy_const<T> operator()(rl::debug_info_param info) const {
        return (*static_cast<const rl::atomic<T>*>(atomic_))(info);
    }

private:
    T initial_;
    rl::atomic<T>* atomic_ = nullptr;
    alignas(rl::atomic<T>) unsigned char storage_[sizeof(rl::atomic<T>)];
};

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

// What the model check may weaken a step between its runs (an order, a
// cache's rule), to see that it finds the fault: a variable there, a
// constant in the library.
#define ZEV_WEAKENABLE static inline

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
#define ZEV_WEAKENABLE static constexpr

#endif
