// The recorder binding's life under the model checker: requests copying the
// binding inside read sections race the release, a failed start, a rebinding
// VMZEV.init and a second binder (the model: recorder_model.h).
#include "model_check.h"
#include "recorder_model.h"
#include "weakened_orders.h"

namespace {

using model::RecorderState;

// A request racing the release: the smallest case, searched in full; the
// weakened orders are tried on it.
template <typename Orders>
struct RequestRelease : rl::test_suite<RequestRelease<Orders>, 2> {
    RecorderState<Orders> state;

    void before() {
        state.init();
        RL_ASSERT(state.bindRecorder(0));
    }
    void thread(unsigned index) {
        if (index == 0) {
            state.request(1);
        } else {
            RL_ASSERT(state.dropRecorder());
        }
    }
    void after() { state.finish(1); }
};

// A request racing the release and a rebinding VMZEV.init: the request holds
// the first binding, the second or none (released meanwhile), never a mix;
// the rebinding is refused while the first binding is there.
template <typename Orders>
struct RequestReleaseRebind : rl::test_suite<RequestReleaseRebind<Orders>, 3> {
    RecorderState<Orders> state;
    rl::var<bool> rebound;

    void before() {
        state.init();
        RL_ASSERT(state.bindRecorder(0));
    }
    void thread(unsigned index) {
        if (index == 0) {
            state.request(1);
            state.request(1);
        } else if (index == 1) {
            RL_ASSERT(state.dropRecorder());
        } else {
            rebound($) = state.bindRecorder(1);
        }
    }
    void after() { state.finish(2); }
};

// Two VMZEV.init calls binding at once, with a request: exactly one binds.
template <typename Orders>
struct TwoBinders : rl::test_suite<TwoBinders<Orders>, 3> {
    RecorderState<Orders> state;
    rl::var<bool> bound[2];

    void before() { state.init(); }
    void thread(unsigned index) {
        if (index < 2) {
            bound[index]($) = state.bindRecorder(static_cast<int>(index));
        } else {
            state.request(0);
        }
    }
    void after() {
        RL_ASSERT(bound[0]($) != bound[1]($));
        state.finish(2);
    }
};

// A failed start and the release dropping the same binding at once, while a
// request copies it: one of them deletes it, the other finds none. Two
// retracts wait at once here, taking turns through the waiters' flag.
template <typename Orders>
struct TwoDroppers : rl::test_suite<TwoDroppers<Orders>, 3> {
    RecorderState<Orders> state;
    rl::var<bool> dropped[2];

    void before() {
        state.init();
        RL_ASSERT(state.bindRecorder(0));
    }
    void thread(unsigned index) {
        if (index < 2) {
            dropped[index]($) = state.dropRecorder();
        } else {
            state.request();
        }
    }
    void after() {
        RL_ASSERT(dropped[0]($) != dropped[1]($));
        state.finish(1);
    }
};

// Two retracts waiting at once, each for its own record: the release drops
// the first binding while another thread binds a second and drops it, and a
// request copies whichever it finds. The waiters take turns flipping the
// epoch; neither frees what the request still copies.
template <typename Orders>
struct TwoWaiters : rl::test_suite<TwoWaiters<Orders>, 3> {
    RecorderState<Orders> state;

    void before() {
        state.init();
        RL_ASSERT(state.bindRecorder(0));
    }
    void thread(unsigned index) {
        if (index == 0) {
            state.request();
        } else if (index == 1) {
            RL_ASSERT(state.dropRecorder());
        } else if (state.bindRecorder(1)) {
            RL_ASSERT(state.dropRecorder());
        }
    }
    void after() { state.finish(2); }
};

using model::AnnounceRelaxed;
using model::DrainAcquire;
using model::LeaveRelaxed;
using model::PublishRelaxed;
using model::ReadAcquire;
using Library = model::LibraryOrders;

using model::Expect;

const model::Case cases[] = {
    {"request_release",
     [] {
         return model::check<RequestRelease<Library>>("request racing the release",
                                                      model::fullSearch(), Expect::Holds);
     }},
    {"request_release_rebind",
     [] {
         return model::holds<RequestReleaseRebind<Library>>(
             "request racing the release and a rebinding");
     }},
    {"two_binders",
     [] { return model::holds<TwoBinders<Library>>("two binders and a request"); }},
    {"two_droppers",
     [] {
         return model::holds<TwoDroppers<Library>>(
             "a failed start and the release, and a request");
     }},
    {"two_waiters",
     [] { return model::holds<TwoWaiters<Library>>("two waiting retracts and a request"); }},
    {"weakened_orders",
     [] {
         bool ok = model::check<RequestRelease<LeaveRelaxed>>("leave relaxed", model::fullSearch(),
                                                              Expect::Fails);
         ok = model::check<RequestRelease<ReadAcquire>>("read acquire", model::fullSearch(),
                                                        Expect::Fails) &&
              ok;
         ok = model::check<RequestRelease<AnnounceRelaxed>>("announce relaxed",
                                                            model::fullSearch(), Expect::Fails) &&
              ok;
         ok = model::check<RequestRelease<DrainAcquire>>("drain acquire", model::fullSearch(),
                                                         Expect::Fails) &&
              ok;
         // Publishing happens in the threads here, not before them.
         return model::check<TwoBinders<PublishRelaxed>>("publish relaxed",
                                                         model::contextBound(3), Expect::Fails) &&
                ok;
     }},
};

}  // namespace

int main(int argc, char** argv) {
    return model::runCases(argc, argv, cases);
}
