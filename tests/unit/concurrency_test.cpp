// The recorder object's global reference under contention: bindings race
// each other, and then a failing startHalcyra, the release upcall and users
// taking local references race the bindings; exactly one of racing bindings
// binds, and every binding is deleted exactly once, never used after.
#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "library_areas.h"
#include "library_state.h"

extern "C" jboolean JNICALL Java_tesmar_nuvrak_zev_ZEV_startHalcyra(JNIEnv*, jclass);

namespace {

std::mutex refsMutex;
std::map<jobject, int> deletions;   // global reference -> times deleted
std::atomic<int> usesOfDeleted{0};  // local references taken from a deleted global

jobject JNICALL fakeNewLocalRef(JNIEnv*, jobject ref) {
    std::lock_guard<std::mutex> hold(refsMutex);
    if (deletions[ref] != 0) {
        usesOfDeleted++;
    }
    return ref;
}

void JNICALL fakeDeleteLocalRef(JNIEnv*, jobject) {}

void JNICALL fakeDeleteGlobalRef(JNIEnv*, jobject ref) {
    std::lock_guard<std::mutex> hold(refsMutex);
    deletions[ref]++;
}

jboolean falseAnswer() { return JNI_FALSE; }

const RecorderUpcalls* upcalls = nullptr;
jboolean keepUpcalls(const RecorderUpcalls* table) {
    upcalls = table;
    return JNI_TRUE;
}

// Of many bindings racing onto an unbound library, exactly one binds.
void expectOneOfManyBindings() {
    constexpr int kThreads = 8;
    std::vector<char> objects(kThreads);
    for (int round = 0; round < 200; round++) {
        std::atomic<int> ready{0};
        std::atomic<int> winners{0};
        std::vector<std::thread> threads;
        for (int i = 0; i < kThreads; i++) {
            threads.emplace_back([&, i] {
                ready++;
                while (ready.load() < kThreads) {
                    std::this_thread::yield();
                }
                if (bindRecorder(reinterpret_cast<jobject>(&objects[i]))) {
                    winners++;
                }
            });
        }
        for (std::thread& t : threads) {
            t.join();
        }
        ASSERT_EQ(winners.load(), 1) << "round " << round;
        libraryState.recorder_instance.store(nullptr);  // the next round starts unbound
    }
}

}  // namespace

TEST(Concurrency, BindingsRaceEachOtherReleasesFailedStartsAndUsers) {
    expectOneOfManyBindings();

    VmRecorderInterface vm{};
    vm.is_started = falseAnswer;
    vm.start_recorder = falseAnswer;
    vm.register_upcalls = keepUpcalls;
    libraryState.recorder_interface = &vm;
    registerUpcalls(&vm);
    ASSERT_NE(upcalls, nullptr);

    JNINativeInterface_ functions{};
    functions.NewLocalRef = fakeNewLocalRef;
    functions.DeleteLocalRef = fakeDeleteLocalRef;
    functions.DeleteGlobalRef = fakeDeleteGlobalRef;
    JNIEnv env{};
    env.functions = &functions;

    constexpr int kBindings = 200000;
    std::vector<char> objects(kBindings);  // distinct addresses stand for global references
    std::atomic<bool> done{false};
    std::atomic<int> bound{0};

    std::thread binder([&] {
        for (int i = 0; i < kBindings; i++) {
            if (bindRecorder(reinterpret_cast<jobject>(&objects[i]))) {
                bound++;
            } else {
                std::lock_guard<std::mutex> hold(refsMutex);
                deletions[reinterpret_cast<jobject>(&objects[i])]++;  // never stored: the binder drops it
            }
        }
        done = true;
    });
    auto dropper = [&](bool viaStart) {
        while (!done) {
            if (viaStart) {
                Java_tesmar_nuvrak_zev_ZEV_startHalcyra(&env, nullptr);
            } else {
                upcalls->release_bindings(&env);
            }
        }
    };
    std::thread starter(dropper, true);
    std::thread releaser(dropper, false);
    std::thread user([&] {
        while (!done) {
            jobject local = nullptr;
            if (recorderLocalRef(&env, &local) == RecorderRef::Bound) {
                env.DeleteLocalRef(local);
            }
        }
    });
    binder.join();
    starter.join();
    releaser.join();
    user.join();
    dropRecorder(&env);

    EXPECT_GT(bound.load(), 0);
    EXPECT_EQ(usesOfDeleted.load(), 0);
    ASSERT_EQ(deletions.size(), static_cast<size_t>(kBindings));
    for (const auto& [ref, times] : deletions) {
        ASSERT_EQ(times, 1) << "a global reference deleted " << times << " times";
    }
}
