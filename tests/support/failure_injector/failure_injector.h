/*
 * The failure injector: makes the calls that libzev makes into the VM fail
 * as they fail in a VM under memory pressure, one chosen call at a time or
 * every call from a chosen one on, so that a program can see the library
 * survive each of them.
 *
 * Armed around one library call (a native, an upcall, a retransformation
 * with its hooks), it counts the fallible calls that the library itself
 * makes: JNI functions (through a JNI function table of its own, installed
 * with JVMTI's SetJNIFunctionTable), the library's malloc/calloc/realloc
 * (through the library's imports), and JVMTI functions (through the JVMTI
 * environment that the host hands the library). Calls made by the host, by
 * Java code or by the JDK's own natives do not count: a call counts when
 * it returns into the library's code, or, made as the library's last act,
 * into the host's entry through which the library was called (see
 * library_entries.h) or into the JVM's generated code that called one of
 * its natives. The wrapped JNI functions forward to the table that was
 * installed before them, so -Xcheck:jni still checks every call.
 *
 * A plan can also hold up the library's first counted call of a chosen
 * function for a while before it goes on, as a VM holds a thread in a
 * state transition while a safepoint lasts.
 *
 * A failed call behaves as the VM's own failure does: JNI functions answer
 * null (or a negative code) with a preallocated java.lang.OutOfMemoryError
 * pending, Call*Method throws it instead of running Java, the array-region
 * and element functions throw it without copying; NewGlobalRef and
 * NewLocalRef can also answer null with nothing pending; the allocator
 * answers null; JVMTI functions answer JVMTI_ERROR_OUT_OF_MEMORY.
 */
#ifndef ZEV_HOST_FAILURE_INJECTOR_H
#define ZEV_HOST_FAILURE_INJECTOR_H

#include <jni.h>

#include <string>
#include <vector>

namespace zevhost {

enum class CallKind { Jni, Allocation, Jvmti };

struct FailurePlan {
    long long k = 0;          // the counted call to fail, from 1; 0 counts and fails nothing
    bool exhaust = false;     // fail every counted call after the k-th as well
    bool quiet_refs = false;  // New*Ref fail with nothing pending
    bool count_jni = true;
    bool count_allocations = true;
    bool count_jvmti = true;
    bool trace = false;       // one line on standard error per failed call
    std::string stall_function;  // the function whose first counted call is held, or empty
    long long stall_millis = 0;
};

// Reads "K[,once|,exhaust][,quiet-refs][,jni][,alloc][,jvmti][,trace][,stall=FUNCTION:MILLIS]".
// Naming kinds counts those kinds only; naming none counts all.
bool parseFailurePlan(const std::string& text, FailurePlan* plan, std::string* error);

struct FailureReport {
    long long counted = 0;  // the library's fallible calls while armed
    long long failed = 0;   // of those, how many were failed
    long long first = 0;    // the ordinal of the first failed call, 0 for none
    std::string function;   // the first failed call: "NewStringUTF", "malloc", ...
    std::string where;      // where in the library it was made
    std::vector<std::string> calls;  // when counting (K = 0): each call, in order
    long long stalled = 0;  // calls held by the plan's stall
};

// Points the library's imports of the C allocator at the injector's; called
// once the library is open and before its JNI_OnLoad. From then on its live
// allocations are known.
bool hookLibraryAllocations(std::string* error);

// Installs the injector's JNI function table (once; later calls do nothing).
// From then on the global references the library holds are known.
bool installJniFailures(JNIEnv* env, std::string* error);

// Whether env's calls go through the injector's JNI table.
bool throughJniFailures(JNIEnv* env);

// Installs the JNI table if needed and arms the plan. False, with *error,
// when the table can't be installed.
bool armFailures(JNIEnv* env, const FailurePlan& plan, std::string* error);
FailureReport disarmFailures();

// GetEnv of a JVMTI version on the library's behalf (caller is the
// library's call site): the VM's environment behind the injector's table,
// or an injected failure.
jint libraryJvmtiEnv(JavaVM* vm, void** penv, jint version, const void* caller);
// Environments handed to the library and not disposed of.
long long libraryJvmtiEnvironments();

// The library's natives, as the host bound them to its exports: symbol is
// the export's name. Noted before Java runs.
void noteLibraryNative(jmethodID method, const std::string& symbol);

// Whether a call that returns to caller is the library's: made from its code,
// or as the last act of one of the ways into it. A function of the library
// may end in a jump to its last call, which then returns to whoever called
// the library: the host's entry (an upcall, the hook, JNI_OnLoad), or the
// JVM's generated code that called a native, where the thread's innermost
// Java frame says whose native that was. *entry (when given) is set to the
// entry's name or the native's symbol.
bool madeByLibrary(const void* caller, std::string* entry = nullptr);

// Asked by every wrapper: counts the call if it is the library's and the
// injector is armed for its kind, and answers whether to fail it.
bool injectFailure(CallKind kind, const char* function, const void* caller);
bool failQuietly();  // for New*Ref: fail with nothing pending

// The calls held by the armed stall so far, the one being held included.
long long stalledSoFar();

// What the library holds now: global references made since the JNI table
// was installed and not deleted, and allocations not freed.
void noteGlobalRef(jobject ref);
void forgetGlobalRef(jobject ref);
long long libraryGlobalRefs();
void noteAllocation(void* block);
void forgetAllocation(void* block);
long long libraryAllocations();

}  // namespace zevhost

#endif
