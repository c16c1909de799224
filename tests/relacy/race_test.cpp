// The scenarios of scenarios.h on real threads, in the TSan build. What this
// adds to the model check: the library as compiled, with std::atomic and its
// real waits (yields, then sleeps); thousands of rounds a scenario, its
// threads released together; and a request held for wall-clock time inside
// its read section, which must hold up neither another thread's request nor
// a listed class's hook.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <climits>
#include <cstring>
#include <thread>
#include <vector>

#include "scenarios.h"

namespace {

using namespace races;

// Each round a fresh scenario: before() here, then its threads at once, then after().
template <typename S>
void race(int rounds) {
    std::atomic<int> round{0};
    std::atomic<int> finished{0};
    S* scenario = nullptr;  // written before each round begins, read within it
    std::vector<std::thread> threads;
    for (unsigned i = 0; i < S::kThreads; i++) {
        threads.emplace_back([&, i] {
            for (int r = 1; r <= rounds; r++) {
                while (round.load() < r) {
                    std::this_thread::yield();
                }
                {
                    model::Thread t(kThreadNames[i]);
                    scenario->thread(i, t);
                }
                finished++;
            }
        });
    }
    for (int r = 1; r <= rounds; r++) {
        S s;
        s.before();
        scenario = &s;
        round.store(r);
        while (finished.load() < r * static_cast<int>(S::kThreads)) {
            std::this_thread::yield();
        }
        s.after();
    }
    for (std::thread& t : threads) {
        t.join();
    }
}

#define ZEV_RACE(name, bound, schedules, ...) TEST(Races, name) { race<__VA_ARGS__>(5000); }
ZEV_SCENARIOS(ZEV_RACE)

TEST(Races, AHeldRequestHoldsUpNoOtherThread) {
    Scenario s;
    s.before();
    s.retransformList(*s.main);
    Event held;      // the request is held inside its read section
    Event answered;  // meanwhile the others answered
    model::Plan plan;
    plan.k = LONG_MAX;  // fails nothing, and records no call names (one thread's job)
    plan.inside = [&](const char* function, long) {
        if (strcmp(function, "NewLocalRef") == 0 && strcmp(model::current().name, "held") == 0) {
            held.raise();
            answered.wait();
        }
    };
    model::arm(plan);
    std::thread holder([] {
        model::Thread t("held");
        HOLDS(request(t) != nullptr);
    });
    held.wait();
    {
        model::Thread other;
        int& callbacks = model::java().calls[static_cast<int>(model::Method::RetransformCallback)];
        int before = callbacks;
        EXPECT_EQ(model::text(request(other)), "check r");
        EXPECT_EQ(model::retransform(other, s.agent, justOne[0]), JVMTI_ERROR_NONE);
        EXPECT_EQ(callbacks, before + 1);
    }
    answered.raise();
    holder.join();
    model::disarm();
    s.end();
}

}  // namespace
