// The concurrency scenarios, written once for two runners: Relacy's model
// check (model_check.cpp) and real threads under ThreadSanitizer
// (race_test.cpp). Each is before(), thread(i) for each of its kThreads
// threads, and after(), over the model of the VM's side and the library's
// own sources. Beside what a scenario claims, every run is judged by the
// model (each global reference deleted once and never used after, JNI's
// rules, every class running its original bytes once the last release is
// made) and, under Relacy, by its checks of the library's blocks (freed
// once, never read after, never leaked), its data races on the model's
// references, and its deadlock and livelock reports.
#pragma once

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>
#ifndef ZEV_MODEL_CHECK
#include <atomic>
#include <chrono>
#include <thread>
#endif

#include "library_areas.h"
#include "library_state.h"
#include "model.h"
#include "tesmar_nuvrak_zev_VMZEV.h"
#include "tesmar_nuvrak_zev_ZEV.h"

namespace races {

#ifdef ZEV_MODEL_CHECK
#define HOLDS(condition) RL_ASSERT(condition)
inline unsigned pick(unsigned n) {
    return rl::rand(n);
}

// What a thread blocks on until another raises it: Relacy's mutex and
// condition variable, so that a wait that nothing ends is a deadlock in its
// report, not a livelock.
struct Event {
    void raise() {
        mutex_.lock($);
        set_($) = true;
        signal_.notify_all($);
        mutex_.unlock($);
    }
    void wait() {
        mutex_.lock($);
        while (!set_($)) {
            signal_.wait(mutex_, $);
        }
        mutex_.unlock($);
    }
    rl::mutex mutex_;
    rl::condition_variable_any signal_;
    rl::var<bool> set_{false};
};
#else
#define HOLDS(condition)                                                                           \
    ((condition) ? (void)0                                                                         \
                 : (fprintf(stderr, "%s:%d: does not hold: %s\n", __FILE__, __LINE__, #condition), \
                    abort()))
inline unsigned pick(unsigned n) {
    static std::atomic<unsigned> next{0};
    return next++ % n;
}

// The same on real threads; a wait that nothing ends fails rather than hangs.
struct Event {
    void raise() { set_ = true; }
    void wait() {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (!set_) {
            HOLDS(std::chrono::steady_clock::now() < deadline);  // else a deadlock
            std::this_thread::yield();
        }
    }
    std::atomic<bool> set_{false};
};
#endif

// ---- the VM's side of a scenario ------------------------------------------------

inline const RecorderUpcalls& upcalls() {
    return *model::recorder().upcalls;
}

inline model::Object* request(model::Thread& t) {
    return model::inFrame(t, [](JNIEnv* env) -> jobject {
        return upcalls().check_recording(env, "r", 1, JNI_FALSE);
    });
}

inline jint release(model::Thread& t) {
    return upcalls().release_bindings(&t);
}

inline bool logged(const model::Thread& t, const char* line) {
    return std::any_of(t.log.begin(), t.log.end(),
                       [&](const model::LogLine& l) { return l.level == 1 && l.text == line; });
}

inline model::Object* listed(int i) {
    return model::classObject(i == 0 ? "model/Alpha" : "model/Beta");
}

// Another agent's hook that fails its retransformation while refusing is set:
// a VM that refuses the restore.
static zev::Atomic<bool> refusing{false};
inline void JNICALL refuseWhenAsked(jvmtiEnv*, JNIEnv* env, jclass, jobject, const char*, jobject,
                                    jint, const unsigned char*, jint*, unsigned char**) {
    if (ZEV_ATOMIC(refusing).load(zev::kRelaxed)) {
        model::of(env).throwNew("java/lang/IllegalStateException", "refused");
    }
}

// The listed classes for another agent's retransformation, both or one:
// made before any execution, since every free that Relacy tracks is a branch
// of its search.
static std::vector<model::Object*> both = {nullptr, nullptr};
static std::vector<model::Object*> justOne[2] = {{nullptr}, {nullptr}};

// The runners' threads, each a model::Thread of these names.
constexpr const char* kThreadNames[] = {"thread 0", "thread 1", "thread 2"};

struct Scenario {
    model::Thread* main = nullptr;
    model::Object* self = nullptr;  // the bound VMZEV object
    jvmtiEnv* agent = nullptr;      // another agent, without a hook

    // A fresh model with the library loaded; the callback instruments the classes.
    void begin() {
#ifdef ZEV_MODEL_CHECK
        zev::beginExecution();
#endif
        libraryState.recorder_interface = nullptr;
        libraryState.jvmti = nullptr;
        model::start();
        main = new model::Thread("main");
        main->attach();
        model::load(*main);
        agent = model::addAgent(nullptr);
        justOne[0][0] = both[0] = listed(0);
        justOne[1][0] = both[1] = listed(1);
        model::java().transform = probed;
    }
    static model::Object* probed(model::Thread&, model::Object* klass, model::Object*) {
        model::Bytes bytes = klass->original + " probed";
        return model::newByteArray(bytes.data(), static_cast<int32_t>(bytes.size()));
    }
    void bind() { self = model::java().zevGet(*main); }
    void before() {
        begin();
        bind();
    }
    void after() { end(); }
    // retransformClasses0 on t, for both listed classes.
    void retransformList(model::Thread& t) {
        model::Object* classes = model::newObjectArray("java/lang/Class", 2);
        std::copy(both.begin(), both.end(), classes->elements);
        // Two captures at most: a larger lambda would be allocated (a tracked free).
        model::Object* call[2] = {self, classes};
        model::inFrame(t, [&t, &call](JNIEnv* env) -> jobject {
            Java_tesmar_nuvrak_zev_VMZEV_retransformClasses0(env, t.local(call[0]),
                                                             t.local<jobjectArray>(call[1]));
            return nullptr;
        });
    }
    // No list left and no restore on its way: the classes run their own bytes.
    static bool restored() {
        auto word = ZEV_ATOMIC(libraryState.retransform_state).load(zev::kAcquire);
        return static_cast<unsigned>(word) == 0 && listed(0)->current == listed(0)->original &&
               listed(1)->current == listed(1)->original;
    }
    // Releases what is left, checks the model's end state, and ends the run;
    // with mustRestore, first that the classes were restored.
    void end(bool mustRestore = false) {
        model::Bytes problems;
        if (mustRestore && !restored()) {
            problems = "not restored: " + listed(0)->current + ", " + listed(1)->current + "; ";
        }
        main->attach();
        problems += model::finish(*main);
        if (!problems.empty()) {
            fprintf(stderr, "model: %s\n", problems.c_str());
        }
        delete main;
        model::reset();
#ifdef ZEV_MODEL_CHECK
        zev::endExecution();
#endif
        HOLDS(problems.empty());
    }
};

// ---- the scenarios ----------------------------------------------------------------

// A request racing a release and a rebinding ZEV.get, on a recorder not
// started (so the request may bind anew itself). It answers, or answers null
// with the line that a release came while it was on its way; one that began
// after the release ended answers.
struct RequestReleaseRebind : Scenario {
    static constexpr unsigned kThreads = 3;
    zev::Atomic<bool> released{false};
    void thread(unsigned i, model::Thread& t) {
        if (i == 0) {
            bool late = ZEV_ATOMIC(released).load(zev::kSeqCst);
            model::Object* answer = request(t);
            HOLDS(answer != nullptr ? model::text(answer) == "check r"
                                    : logged(t, "Recorder released during a recording request"));
            HOLDS(answer != nullptr || !late);
        } else if (i == 1) {
            HOLDS(release(t) == 0);
            ZEV_ATOMIC(released).store(true, zev::kSeqCst);
        } else {
            model::java().zevGet(t);
        }
    }
};

// Two requests bootstrapping at once: one ZEV.get binds, both requests answer.
struct TwoBinders : Scenario {
    static constexpr unsigned kThreads = 2;
    void before() { begin(); }
    void thread(unsigned, model::Thread& t) { HOLDS(model::text(request(t)) == "check r"); }
};

// A failed start and the release dropping the binding at once while a chunk
// report copies it. With Rebind the failed start then binds anew and drops
// again, and its retraction may wait while the release's still waits.
template <bool Rebind>
struct Drops : Scenario {
    static constexpr unsigned kThreads = 3;
    void before() {
        begin();
        model::recorder().startAnswer = false;
        bind();
    }
    void thread(unsigned i, model::Thread& t) {
        if (i == 0) {
            model::inFrame(t, [&](JNIEnv* env) -> jobject {
                bool reported = upcalls().finish_chunk(env, "chunk", 0, 1, JNI_FALSE);
                HOLDS(reported || logged(t, "finishChunk: no recorder object is bound"));
                return nullptr;
            });
        } else if (i == 1) {
            HOLDS(release(t) == 0);
        } else {
            for (int drop = 0; drop < (Rebind ? 2 : 1); drop++) {
                model::java().zevGet(t);
                HOLDS(!Java_tesmar_nuvrak_zev_ZEV_startHalcyra(&t, nullptr));
            }
        }
    }
};

// Who retransforms listed classes while a release comes: retransformClasses0
// (thread 0), or another agent (the list held from before).
enum class Who { List, Agent };
// How the release comes: on another thread at any moment; on another thread
// that the first callback asks and then waits for; from the first callback.
enum class How { Racing, Waited, Inside };

// A release during a retransformation of both listed classes, made or waited
// for by the callback for the second, Beta (so that Alpha's bytes are handed
// to the VM already), with optionally a hook on another thread (another agent
// retransforming Beta) and a second release racing. No release waits for a
// callback, and none restores inside a redefinition under way on its thread.
// A release that answered 0 while the list was in use or held leaves every
// class running its original bytes once all is done.
template <Who kWho, How kHow, bool kHook, bool kSecondRelease, bool kRefusable = false>
struct Release : Scenario {
    static constexpr unsigned kPartner = kHow != How::Inside;
    static constexpr unsigned kThreads = 1 + kPartner + kHook + kSecondRelease;
    zev::Atomic<bool> called{false};  // thread 0's callback for Beta began
    zev::Atomic<bool> mustRestore{false};
    Event asked;
    Event released;

    // A release's answer: 0, or 113 while only other agents' hooks are under
    // way, the list then left for the next release (the last one, end's).
    void answered(jint answer, bool withList) {
        HOLDS(answer == 0 || answer == JVMTI_ERROR_INTERNAL);
        if (answer == 0 && withList) {
            ZEV_ATOMIC(mustRestore).store(true, zev::kSeqCst);
        }
    }
    void before() {
        Scenario::before();
        if (kWho == Who::Agent) {
            retransformList(*main);
        }
        if (kRefusable) {
            model::addAgent(refuseWhenAsked);
        }
        model::java().transform = [this](model::Thread& t, model::Object* klass, model::Object*) {
            if (t.name == kThreadNames[0] && klass == listed(1) &&
                !ZEV_ATOMIC(called).exchange(true, zev::kSeqCst)) {
                if (kHow == How::Inside) {
                    answered(release(t), true);
                } else if (kHow == How::Waited) {
                    asked.raise();
                    released.wait();
                }
            }
            return probed(t, klass, nullptr);
        };
    }
    void thread(unsigned i, model::Thread& t) {
        if (i == 0 && kWho == Who::List) {
            retransformList(t);
        } else if (i == 0) {
            model::retransform(t, agent, both);
        } else if (i == kPartner && kHow == How::Waited) {
            asked.wait();
            answered(release(t), true);
            released.raise();
        } else if (i == kPartner) {
            // A release that came after a callback began finds the list in use.
            bool inUse = kWho == Who::Agent || ZEV_ATOMIC(called).load(zev::kSeqCst);
            bool refused = kRefusable && pick(2) == 0;
            ZEV_ATOMIC(refusing).store(refused, zev::kRelaxed);
            jint answer = release(t);
            ZEV_ATOMIC(refusing).store(false, zev::kRelaxed);
            // A refused restore is left to the next release.
            if (refused && answer != 0) {
                HOLDS(answer == JVMTI_ERROR_FAILS_VERIFICATION || answer == JVMTI_ERROR_INTERNAL);
                answer = release(t);
            }
            answered(answer, inUse);
        } else if (kHook && i == kPartner + 1) {
            model::retransform(t, agent, justOne[1]);
        } else {
            answered(release(t), false);
        }
    }
    void after() { end(ZEV_ATOMIC(mustRestore).load(zev::kRelaxed)); }
};

// Status queries racing: one thread's VM answers false slowly while another's
// answers true. Once true, the answer stays true.
struct RacingQueries : Scenario {
    static constexpr unsigned kThreads = 2;
    void before() {
        begin();
        model::recorder().enabled = false;
    }
    void thread(unsigned i, model::Thread& t) {
        if (i == 0) {
            Java_tesmar_nuvrak_zev_ZEV_isEnabled(&t, nullptr);
        } else {
            model::recorder().enabled = true;
            HOLDS(Java_tesmar_nuvrak_zev_ZEV_isEnabled(&t, nullptr));
        }
    }
    void after() {
        model::recorder().enabled = false;
        HOLDS(Java_tesmar_nuvrak_zev_ZEV_isEnabled(main, nullptr));
        end();
    }
};

// The scenarios for both runners: X(name, preemption bound, random schedules,
// type). The bounds keep each search to a few seconds. Not among them:
// RacingQueries, which the model's plain answers make a race of its own on
// real threads, and which TSan, seeing only the cache's std::atomic, could
// not judge.
#define ZEV_SCENARIOS(X)                                                                    \
    X(request_release_rebind, 2, 150000, RequestReleaseRebind)                              \
    X(two_binders, 3, 20000, TwoBinders)                                                    \
    X(failed_start_and_release, 2, 150000, Drops<false>)                                    \
    X(two_waiters, 1, 150000, Drops<true>)                                                  \
    X(hook_racing_restore, 1, 150000, Release<Who::Agent, How::Racing, false, false, true>) \
    X(list_release_racing, 1, 150000, Release<Who::List, How::Racing, false, false>)        \
    X(list_release_waited, 2, 150000, Release<Who::List, How::Waited, false, false>)        \
    X(list_release_in_callback, 2, 150000, Release<Who::List, How::Inside, true, false>)    \
    X(release_upcall, 0, 150000, Release<Who::List, How::Inside, true, true>)               \
    X(agent_release_waited, 2, 150000, Release<Who::Agent, How::Waited, false, false>)      \
    X(agent_release_in_callback, 1, 150000, Release<Who::Agent, How::Inside, true, false>)

}  // namespace races
