// The model check: each scenario of scenarios.h under Relacy, over every
// interleaving within a bound of preemptions and then over random schedules
// beyond it, with every value a relaxed or acquire load may read under the
// C++ memory model. `zev_model_check NAME` runs one scenario; `weakened.NAME`
// runs one with a guarantee of the library's taken a step back (an order of
// the grace period, or the caches' rule), where the check must find a fault;
// ZEV_HISTORY=1 prints the history of that fault too.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "scenarios.h"
#include "sticky_cache.h"

namespace {

using namespace races;

template <typename S>
struct Check : rl::test_suite<Check<S>, S::kThreads> {
    S scenario;
    void before() { scenario.before(); }
    void thread(unsigned i) {
        model::Thread t(kThreadNames[i]);
        t.attach();
        scenario.thread(i, t);
    }
    void after() { scenario.after(); }
};

// One search of S; true when Relacy's verdict is the expected one. A fault
// that was not expected prints the failing execution's history (every
// access, its value, order and source line); an expected one the line of it
// that says what was found.
template <typename S>
bool search(const char* name, unsigned bound, unsigned schedules, bool holds = true) {
    rl::test_params params;
    params.search_type = schedules == 0 ? rl::fair_context_bound_scheduler_type
                                        : rl::random_scheduler_type;
    params.context_bound = bound;
    params.iteration_count = schedules;
    rl::ostringstream output;  // Relacy's own allocator: it replaces operator new
    params.output_stream = &output;
    params.progress_stream = &output;
    auto start = std::chrono::steady_clock::now();
    bool held = rl::simulate<Check<S>>(params);
    std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    printf("%s, %s %u: %s after %llu executions, %.2f s\n", name,
           schedules == 0 ? "preemptions within" : "random schedules", schedules ? schedules : bound,
           held ? "holds" : rl::test_result_str(params.test_result),
           static_cast<unsigned long long>(params.stop_iteration), took.count());
    auto history = output.str();
    if (!held && (holds || getenv("ZEV_HISTORY"))) {
        fwrite(history.data(), 1, history.size(), stdout);  // a byte's value may be a NUL
    } else if (!held) {
        size_t at = history.find(rl::test_result_str(params.test_result),
                                 history.find("execution history"));
        size_t begin = history.rfind('\n', at) + 1;
        printf("  %s\n", history.substr(begin, history.find('\n', at) - begin).c_str());
    }
    fflush(stdout);
    return held == holds;
}

template <typename S>
bool holds(const char* name, unsigned bound, unsigned schedules) {
    bool bounded = search<S>(name, bound, 0);
    return search<S>(name, 0, schedules) && bounded;
}

struct Case {
    const char* name;
    bool (*run)(const char* name);
};

#define ZEV_CASE(name, bound, schedules, ...) \
    {#name, [](const char* n) { return holds<__VA_ARGS__>(n, bound, schedules); }},

// Each weakening on the cheapest scenario that shows it, searched until the
// first fault.
template <typename S>
bool fails(const char* name, void (*weaken)()) {
    weaken();
    return search<S>(name, 1, 0, false);
}

#define ZEV_WEAKENED(name, weaken, ...)                                                      \
    {"weakened." #name, [](const char* n) { return fails<__VA_ARGS__>(n, [] { weaken; }); }},

using zev::GracePeriodOrders;
const Case kCases[] = {
    ZEV_SCENARIOS(ZEV_CASE)
    ZEV_CASE(racing_queries, 3, 20000, RacingQueries)
    ZEV_WEAKENED(leave, GracePeriodOrders::leave = zev::kRelaxed, Drops<false>)
    ZEV_WEAKENED(read, GracePeriodOrders::read = zev::kAcquire, Drops<false>)
    ZEV_WEAKENED(announce, GracePeriodOrders::announce = zev::kRelaxed, Drops<false>)
    ZEV_WEAKENED(drain, GracePeriodOrders::drain = zev::kAcquire, Drops<false>)
    ZEV_WEAKENED(publish, GracePeriodOrders::publish = zev::kRelaxed,
                 Release<Who::List, How::Inside, true, false>)
    ZEV_WEAKENED(cache, zev::CacheRule::storeFalse = true, RacingQueries)
};

}  // namespace

int main(int argc, char** argv) {
    for (const Case& c : kCases) {
        if (argc == 2 && strcmp(argv[1], c.name) == 0) {
            return c.run(c.name) ? 0 : 1;
        }
    }
    fprintf(stderr, "usage: %s SCENARIO (see scenarios.h)\n", argv[0]);
    return 2;
}
