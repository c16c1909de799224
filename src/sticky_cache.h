// The status caches: one byte each, which moves from zero to non-zero at most
// once and then stays, however many threads ask the VM at the same time.
#pragma once

#include "atomics.h"

namespace zev {

struct CacheRule {
    // Whether a false answer is stored too, as the caches once did: never.
    ZEV_WEAKENABLE bool storeFalse = false;
};

// Stores a true answer; a false one is never stored, since a slow false
// landing after another thread's true would undo it. Release, paired with the
// acquire load below: a thread that reads the true answer also sees what the
// storing thread did before (the started recorder's binding above all).
template <typename Byte>
void rememberAnswer(Atomic<Byte>& cache, Byte answer) {
    if (answer != 0 || CacheRule::storeFalse) {
        ZEV_ATOMIC(cache).store(answer, kRelease);
    }
}

// The cached true, or else the answer of ask(), remembered when true.
template <typename Byte, typename Ask>
Byte cachedAnswer(Atomic<Byte>& cache, Ask ask) {
    Byte cached = ZEV_ATOMIC(cache).load(kAcquire);  // pairs with rememberAnswer's release
    if (cached != 0) {
        return cached;
    }
    Byte answer = ask();
    rememberAnswer(cache, answer);
    return answer;
}

}  // namespace zev
