// The status caches under the model checker: threads asking at once, one of
// them slowly and answered false while another is answered true. The cache
// is sticky_cache.h's own; the VM's answers are modelled.
#include "model_check.h"
#include "sticky_cache.h"

namespace {

using Byte = unsigned char;

// The library's cached query.
struct Sticky {
    template <typename Ask>
    static Byte query(zev::Atomic<Byte>& cache, Ask ask) {
        return zev::cachedAnswer(cache, ask);
    }
};

// The cached query as it was before the caches were made sticky: every
// answer stored, so a slow false lands over a true. The check must catch it.
struct Overwriting {
    template <typename Ask>
    static Byte query(zev::Atomic<Byte>& cache, Ask ask) {
        Byte cached = cache($).load(zev::kRelaxed);
        if (cached != 0) {
            return cached;
        }
        Byte answer = ask();
        cache($).store(answer, zev::kRelaxed);
        return answer;
    }
};

// Thread 0 asks the VM, which is slow and answers false; thread 1 asks and
// is answered true; thread 2 asks twice a VM that may answer either. Once a
// thread was answered true, the cache stays true: afterwards every query
// answers true, and no thread answers false after true.
template <typename Query>
struct RacingQueries : rl::test_suite<RacingQueries<Query>, 3> {
    zev::Atomic<Byte> cache;
    rl::atomic<int> vm;  // the VM's side: every call into it is a step of its own

    void before() {
        cache($).store(0, zev::kRelaxed);
        vm($).store(0, zev::kRelaxed);
    }

    Byte askVm(Byte answer) {
        vm($).fetch_add(1, zev::kRelaxed);
        rl::yield(1, $);
        vm($).fetch_add(1, zev::kRelaxed);
        return answer;
    }

    void thread(unsigned index) {
        if (index == 0) {
            Query::query(cache, [this] { return askVm(0); });
        } else if (index == 1) {
            RL_ASSERT(Query::query(cache, [this] { return askVm(1); }) == 1);
        } else {
            Byte first = Query::query(cache, [this] { return askVm(rl::rand(2)); });
            Byte second = Query::query(cache, [this] { return askVm(rl::rand(2)); });
            RL_ASSERT(first == 0 || second != 0);
        }
    }

    void after() {
        RL_ASSERT(cache($).load(zev::kRelaxed) == 1);
        RL_ASSERT(Query::query(cache, [] { return Byte(0); }) == 1);
    }
};

using model::Expect;

const model::Case cases[] = {
    {"racing_queries",
     [] { return model::holds<RacingQueries<Sticky>>("racing queries, a slow false"); }},
    {"overwriting_cache",
     [] {
         return model::check<RacingQueries<Overwriting>>("a cache that stores a false",
                                                         model::contextBound(3), Expect::Fails);
     }},
};

}  // namespace

int main(int argc, char** argv) {
    return model::runCases(argc, argv, cases);
}
