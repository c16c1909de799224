// What the model checks share: a run of one scenario under one search, its
// verdict against what the scenario expects, and a main that runs the cases
// named on the command line (CTest runs one case a process).
//
// The scenarios compile the library's own headers (grace_period.h,
// sticky_cache.h, list_ownership.h) with ZEV_MODEL_CHECK, so that their
// atomics are Relacy's: every interleaving of the threads, and every value a
// relaxed or acquire load may legally read, is tried under the C++ memory
// model, not just what x86 shows. The JNI and JVMTI calls around them are
// modelled with rl::var fields: plain memory, on which a use that is not
// ordered against a write (a free, a delete) is reported as a data race.
#pragma once

#include <chrono>
#include <cstdio>
#include <cstring>
#include <sstream>
#include <string>

#include "atomics.h"

namespace model {

enum class Expect { Holds, Fails };

struct Search {
    rl::scheduler_type_e type;
    unsigned context_bound;  // preemptions, for the context-bound search
    unsigned iterations;     // for the random search
};

constexpr Search fullSearch() {
    return {rl::fair_full_search_scheduler_type, 0, 0};
}
constexpr Search contextBound(unsigned bound) {
    return {rl::fair_context_bound_scheduler_type, bound, 0};
}
constexpr Search randomSearch(unsigned iterations) {
    return {rl::random_scheduler_type, 0, iterations};
}

inline const char* describe(const Search& search, char* buffer, size_t size) {
    switch (search.type) {
    case rl::fair_full_search_scheduler_type:
        snprintf(buffer, size, "full search");
        break;
    case rl::fair_context_bound_scheduler_type:
        snprintf(buffer, size, "context bound %u", search.context_bound);
        break;
    default:
        snprintf(buffer, size, "random, %u schedules", search.iterations);
        break;
    }
    return buffer;
}

// The line of a failing execution's history that says where it failed, e.g.
// "[40] 1: DATA RACE (data race detected), in deleteGlobalRef, ...(53)".
inline void printWhere(const std::string& history, const char* result) {
    size_t from = history.find("execution history");
    size_t at = from == std::string::npos ? from : history.find(result, from);
    if (at == std::string::npos) {
        return;
    }
    size_t begin = history.rfind('\n', at);
    size_t end = history.find('\n', at);
    begin = begin == std::string::npos ? 0 : begin + 1;
    printf("  %s\n", history.substr(begin, end - begin).c_str());
}

// Runs Test under search; true when the verdict is the expected one. A fault
// that was not expected prints Relacy's history of the failing execution
// (every access, its value, order and source line); an expected one prints
// only what Relacy reported.
template <typename Test>
bool check(const char* name, Search search, Expect expect) {
    rl::test_params params;
    params.search_type = search.type;
    if (search.type == rl::fair_context_bound_scheduler_type) {
        params.context_bound = search.context_bound;
    }
    if (search.type == rl::random_scheduler_type) {
        params.iteration_count = search.iterations;
    }
    rl::ostringstream output;  // Relacy replaces operator new: its own allocator here
    params.output_stream = &output;
    params.progress_stream = &output;
    auto start = std::chrono::steady_clock::now();
    bool held = rl::simulate<Test>(params);
    double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    char how[64];
    describe(search, how, sizeof(how));
    bool asExpected = held == (expect == Expect::Holds);
    if (held) {
        printf("%s: %s, %llu executions, %.2f s: holds%s\n", name, how,
               static_cast<unsigned long long>(params.stop_iteration), seconds,
               asExpected ? "" : ", but a fault was expected");
    } else {
        printf("%s: %s, %.2f s: %s at execution %llu%s\n", name, how, seconds,
               rl::test_result_str(params.test_result),
               static_cast<unsigned long long>(params.stop_iteration),
               asExpected ? " (expected)" : "");
        if (asExpected) {
            printWhere(output.str().c_str(), rl::test_result_str(params.test_result));
        } else {
            fputs(output.str().c_str(), stdout);
        }
    }
    fflush(stdout);
    return asExpected;
}

// A scenario that must hold: exhaustive within three preemptions, then over
// random schedules beyond them.
template <typename Test>
bool holds(const char* name) {
    bool bounded = check<Test>(name, contextBound(3), Expect::Holds);
    return check<Test>(name, randomSearch(100000), Expect::Holds) && bounded;
}

struct Case {
    const char* name;
    bool (*run)();
};

// Runs the cases named in argv, or all of them; 0 when each gave its verdict.
template <size_t N>
int runCases(int argc, char** argv, const Case (&cases)[N]) {
    bool ok = true;
    for (int a = 1; a < argc; a++) {
        bool found = false;
        for (const Case& c : cases) {
            if (strcmp(c.name, argv[a]) == 0) {
                found = true;
                ok = c.run() && ok;
            }
        }
        if (!found) {
            fprintf(stderr, "no case %s\n", argv[a]);
            ok = false;
        }
    }
    if (argc == 1) {
        for (const Case& c : cases) {
            ok = c.run() && ok;
        }
    }
    return ok ? 0 : 1;
}

}  // namespace model
