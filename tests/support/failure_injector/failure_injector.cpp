#include "failure_injector.h"

#include "library_entries.h"
#include "library_image.h"
#include "reference_vm.h"

#include <dlfcn.h>
#include <execinfo.h>
#include <jvmti.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <sstream>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace zevhost {
namespace {

// The plan's fields are atomics: wrappers on any thread read them while
// Java arms and disarms.
struct Armed {
    std::atomic<bool> on{false};
    std::atomic<long long> k{0};
    std::atomic<bool> exhaust{false};
    std::atomic<bool> quiet_refs{false};
    std::atomic<bool> kinds[3] = {true, true, true};
    std::atomic<bool> trace{false};
    // The function to hold, until its first counted call takes it; a copy
    // that is never freed, as a wrapper may still read an older one.
    std::atomic<const char*> stall_function{nullptr};
    std::atomic<long long> stall_millis{0};
    std::atomic<long long> stalled{0};
    std::atomic<long long> counted{0};
    std::atomic<long long> failed{0};
    std::mutex mutex;  // guards the rest
    long long first = 0;
    const char* first_function = nullptr;
    std::vector<const void*> first_stack;
    std::string first_native;  // set when the first failed call was an entry's or a native's last
    std::vector<const char*> calls;  // while counting only (K = 0)
};

// Enough for a counting run of any library call, bounded all the same.
constexpr std::size_t kCallsKept = 1 << 20;

Armed g_armed;

template <typename T>
struct Held {
    std::mutex mutex;
    std::unordered_set<T> live;
};

// Never destroyed: library calls may still arrive while the process exits.
Held<jobject>& refs() {
    static auto* held = new Held<jobject>;
    return *held;
}

Held<void*>& blocks() {
    static auto* held = new Held<void*>;
    return *held;
}

template <typename T>
void note(Held<T>& held, T value) {
    std::lock_guard<std::mutex> lock(held.mutex);
    held.live.insert(value);
}

template <typename T>
void forget(Held<T>& held, T value) {
    std::lock_guard<std::mutex> lock(held.mutex);
    held.live.erase(value);
}

template <typename T>
long long count(Held<T>& held) {
    std::lock_guard<std::mutex> lock(held.mutex);
    return static_cast<long long>(held.live.size());
}

// The library's natives by method, and the JVMTI environment that tells a
// thread's innermost frame. Filled while the host binds the natives.
struct Natives {
    std::mutex mutex;
    std::unordered_map<jmethodID, std::string> symbols;
    jvmtiEnv* jvmti = nullptr;
};

Natives& natives() {
    static auto* held = new Natives;
    return *held;
}

// The JVM's generated code (where a native's caller lies) belongs to no
// loaded object.
bool inGeneratedCode(const void* address) {
    Dl_info info{};
    return dladdr(address, &info) == 0;
}

// The symbol of the library's native that the calling thread runs, if its
// innermost Java frame is one.
bool runningLibraryNative(std::string* symbol) {
    Natives& n = natives();
    jvmtiEnv* jvmti = nullptr;
    {
        std::lock_guard<std::mutex> lock(n.mutex);
        jvmti = n.jvmti;
    }
    jmethodID method = nullptr;
    jlocation location = 0;
    if (jvmti == nullptr || jvmti->GetFrameLocation(nullptr, 0, &method, &location) != JVMTI_ERROR_NONE) {
        return false;
    }
    std::lock_guard<std::mutex> lock(n.mutex);
    auto found = n.symbols.find(method);
    if (found == n.symbols.end()) {
        return false;
    }
    if (symbol) {
        *symbol = found->second;
    }
    return true;
}

// The library's frames above a failed call, innermost first: the caller
// itself, then what the unwinder finds, so that a call made through the
// out-of-line helpers of jni.h (the variadic Call*Method) still shows the
// library's function that made it.
std::vector<const void*> callStack(const void* caller) {
    std::vector<const void*> stack{caller};
    void* frames[16];
    int depth = backtrace(frames, 16);
    bool seen = false;
    for (int i = 0; i < depth; ++i) {
        if (frames[i] == caller) {
            seen = true;
        } else if (seen && inLibrary(frames[i])) {
            stack.push_back(frames[i]);
        }
    }
    return stack;
}

// The first frame that is the library's own code rather than a jni.h helper.
std::string describeCall(const std::vector<const void*>& stack) {
    for (const void* frame : stack) {
        std::string where = describeLibraryAddress(frame);
        if (where.compare(0, 9, "JNIEnv_::") != 0) {
            return where;
        }
    }
    return stack.empty() ? std::string() : describeLibraryAddress(stack.front());
}

// Where a failed call was made: the library's function, or the native whose
// last call it was.
std::string describeFailure(const std::vector<const void*>& stack, const std::string& native) {
    return native.empty() ? describeCall(stack) : native + ", its last call";
}

}  // namespace

bool parseFailurePlan(const std::string& text, FailurePlan* plan, std::string* error) {
    FailurePlan p;
    std::istringstream in(text);
    std::string word;
    if (!std::getline(in, word, ',') || word.empty()) {
        *error = "a failure plan starts with the call to fail (0 to count only)";
        return false;
    }
    char* end = nullptr;
    p.k = std::strtoll(word.c_str(), &end, 10);
    if (*end != '\0' || p.k < 0) {
        *error = "\"" + word + "\" is not a call number";
        return false;
    }
    bool kinds_named = false;
    bool jni = false, allocations = false, jvmti = false;
    while (std::getline(in, word, ',')) {
        if (word == "once") {
            p.exhaust = false;
        } else if (word == "exhaust") {
            p.exhaust = true;
        } else if (word == "quiet-refs") {
            p.quiet_refs = true;
        } else if (word == "trace") {
            p.trace = true;
        } else if (word.compare(0, 6, "stall=") == 0) {
            std::size_t colon = word.find(':');
            char* millis_end = nullptr;
            long long millis = colon == std::string::npos
                                   ? -1 : std::strtoll(word.c_str() + colon + 1, &millis_end, 10);
            if (colon == std::string::npos || colon == 6 || millis < 0 || millis_end == nullptr ||
                *millis_end != '\0' || colon + 1 == word.size()) {
                *error = "\"" + word + "\" is not stall=FUNCTION:MILLIS";
                return false;
            }
            p.stall_function = word.substr(6, colon - 6);
            p.stall_millis = millis;
        } else if (word == "jni" || word == "alloc" || word == "jvmti") {
            kinds_named = true;
            jni = jni || word == "jni";
            allocations = allocations || word == "alloc";
            jvmti = jvmti || word == "jvmti";
        } else {
            *error = "unknown failure plan word \"" + word +
                     "\" (once, exhaust, quiet-refs, jni, alloc, jvmti, trace, stall=FUNCTION:MILLIS)";
            return false;
        }
    }
    if (kinds_named) {
        p.count_jni = jni;
        p.count_allocations = allocations;
        p.count_jvmti = jvmti;
    }
    *plan = p;
    return true;
}

bool armFailures(JNIEnv* env, const FailurePlan& plan, std::string* error) {
    if (!installJniFailures(env, error)) {
        return false;
    }
    g_armed.on = false;
    g_armed.k = plan.k;
    g_armed.exhaust = plan.exhaust;
    g_armed.quiet_refs = plan.quiet_refs;
    g_armed.kinds[static_cast<int>(CallKind::Jni)] = plan.count_jni;
    g_armed.kinds[static_cast<int>(CallKind::Allocation)] = plan.count_allocations;
    g_armed.kinds[static_cast<int>(CallKind::Jvmti)] = plan.count_jvmti;
    g_armed.trace = plan.trace;
    g_armed.counted = 0;
    g_armed.failed = 0;
    g_armed.stall_millis = plan.stall_millis;
    g_armed.stalled = 0;
    g_armed.stall_function = plan.stall_function.empty()
                                 ? nullptr : (new std::string(plan.stall_function))->c_str();
    {
        std::lock_guard<std::mutex> lock(g_armed.mutex);
        g_armed.first = 0;
        g_armed.first_function = nullptr;
        g_armed.first_stack.clear();
        g_armed.first_native.clear();
        g_armed.calls.clear();
    }
    g_armed.on.store(true, std::memory_order_release);
    return true;
}

FailureReport disarmFailures() {
    g_armed.on.store(false, std::memory_order_release);
    g_armed.stall_function = nullptr;
    FailureReport report;
    report.counted = g_armed.counted;
    report.failed = g_armed.failed;
    report.stalled = g_armed.stalled;
    std::lock_guard<std::mutex> lock(g_armed.mutex);
    report.first = g_armed.first;
    if (g_armed.first_function) {
        report.function = g_armed.first_function;
        report.where = describeFailure(g_armed.first_stack, g_armed.first_native);
    }
    report.calls.assign(g_armed.calls.begin(), g_armed.calls.end());
    return report;
}

void noteLibraryNative(jmethodID method, const std::string& symbol) {
    Natives& n = natives();
    std::lock_guard<std::mutex> lock(n.mutex);
    if (n.jvmti == nullptr) {
        void* env = nullptr;
        if (realVm()->GetEnv(&env, JVMTI_VERSION_1_2) == JNI_OK) {
            n.jvmti = static_cast<jvmtiEnv*>(env);
        }
    }
    n.symbols[method] = symbol;
}

bool madeByLibrary(const void* caller, std::string* entry) {
    if (inLibrary(caller)) {
        return true;
    }
    if (inLibraryEntry(caller)) {
        const char* name = currentLibraryEntry();
        if (entry && name) {
            *entry = name;
        }
        return true;
    }
    return inGeneratedCode(caller) && runningLibraryNative(entry);
}

bool injectFailure(CallKind kind, const char* function, const void* caller) {
    if (!g_armed.on.load(std::memory_order_acquire) ||
        !g_armed.kinds[static_cast<int>(kind)].load(std::memory_order_relaxed)) {
        return false;
    }
    std::string native;
    if (!madeByLibrary(caller, &native)) {
        return false;
    }
    long long n = ++g_armed.counted;
    // Held before anything else: the call then goes on as the plan says.
    const char* stall = g_armed.stall_function.load();
    if (stall && std::strcmp(stall, function) == 0 &&
        g_armed.stall_function.compare_exchange_strong(stall, nullptr)) {
        ++g_armed.stalled;
        std::this_thread::sleep_for(std::chrono::milliseconds(g_armed.stall_millis.load()));
    }
    long long k = g_armed.k.load(std::memory_order_relaxed);
    if (k == 0) {
        std::lock_guard<std::mutex> lock(g_armed.mutex);
        if (g_armed.calls.size() < kCallsKept) {
            g_armed.calls.push_back(function);
        }
        return false;
    }
    if (n < k || (n > k && !g_armed.exhaust.load(std::memory_order_relaxed))) {
        return false;
    }
    ++g_armed.failed;
    // An entry's or a native's last call leaves none of the library's frames to walk.
    std::vector<const void*> stack;
    if (native.empty()) {
        stack = callStack(caller);
    }
    if (g_armed.trace.load(std::memory_order_relaxed)) {
        std::fprintf(stderr, "zev-host: failing %s (call %lld) in %s\n", function, n,
                     describeFailure(stack, native).c_str());
        std::fflush(stderr);
    }
    std::lock_guard<std::mutex> lock(g_armed.mutex);
    if (!g_armed.first_function) {
        g_armed.first = n;
        g_armed.first_function = function;
        g_armed.first_stack = std::move(stack);
        g_armed.first_native = std::move(native);
    }
    return true;
}

bool failQuietly() {
    return g_armed.quiet_refs.load(std::memory_order_relaxed);
}

void noteGlobalRef(jobject ref) {
    note(refs(), ref);
}

void forgetGlobalRef(jobject ref) {
    forget(refs(), ref);
}

long long stalledSoFar() {
    return g_armed.stalled.load();
}

long long libraryGlobalRefs() {
    return count(refs());
}

void noteAllocation(void* block) {
    note(blocks(), block);
}

void forgetAllocation(void* block) {
    forget(blocks(), block);
}

long long libraryAllocations() {
    return count(blocks());
}

}  // namespace zevhost
