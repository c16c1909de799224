// One model of the VM's side for every in-process check: a JNIEnv per thread,
// JVMTI environments, the recorder interface, and the few Java classes the
// library reaches. It runs the library's own sources, compiled against it:
// plainly, under ASan or TSan, inside libFuzzer, and under Relacy
// (ZEV_MODEL_CHECK), where its atomics, its checked fields and its locks are
// Relacy's.
//
// It enforces JNI's rules as checked JNI does (only the exception-safe calls
// with an exception pending, local frame capacity, no deleted or foreign
// reference, nothing between Get/ReleasePrimitiveArrayCritical) and records
// each breach as a violation; it counts global and local references, JVMTI
// and library allocations; it fails the k-th fallible call, or lets a test
// act inside any call; and it behaves like HotSpot where the library depends
// on it: RetransformClasses calls every environment's hook in turn without
// clearing what one left pending, serialises the redefinitions of one class
// across threads and lets the same thread's nested one through; the
// callback is Java that may call back into the library or wait for another
// thread; another agent can retransform any class at any time.
//
// Its own bookkeeping is relaxed (it adds no happens-before edge that
// HotSpot would not), but for the class-redefinition lock, which HotSpot has
// too. One model per process: reset() starts a fresh one.
#pragma once

#include <jni.h>
#include <jvmti.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <numeric>
#include <string>
#include <vector>
#ifndef ZEV_MODEL_CHECK
#include <condition_variable>
#include <mutex>
#endif

#include "atomics.h"
#include "vm_interface.h"

namespace model {

// ---- the seam: checked fields and the VM's lock -----------------------------

#ifdef ZEV_MODEL_CHECK
template <typename T>
using Var = rl::var<T>;
#define MODEL_VAR(x) x($)
class Lock {
public:
    void lock() { mutex_.lock($); }
    void unlock() { mutex_.unlock($); }
    rl::mutex mutex_;
};
class Signal {
public:
    void wait(Lock& lock) { cv_.wait(lock.mutex_, $); }
    void notifyAll() { cv_.notify_all($); }

private:
    rl::condition_variable_any cv_;
};
#else
// A field that the library's ordering must protect: Relacy checks its
// accesses for races; elsewhere TSan sees it as plain memory.
template <typename T>
struct Var {
    T value{};
    T& operator()(int) { return value; }
};
#define MODEL_VAR(x) x(0)
class Lock {
public:
    void lock() { mutex_.lock(); }
    void unlock() { mutex_.unlock(); }

private:
    std::mutex mutex_;
};
class Signal {
public:
    // A wait that HotSpot would make forever is a deadlock: after 20 s the
    // process ends, saying so.
    void wait(Lock& lock);
    void notifyAll() { cv_.notify_all(); }

private:
    std::condition_variable_any cv_;
};
#endif

// The model's own memory: plain malloc, outside Relacy's accounting (whose
// every free is a choice the search would enumerate) and apart from the
// library's allocations, which the model counts.
template <typename T>
struct Untracked {
    using value_type = T;
    Untracked() = default;
    template <typename U>
    Untracked(const Untracked<U>&) {}
    T* allocate(size_t n) { return static_cast<T*>((::malloc)(n * sizeof(T))); }
    void deallocate(T* p, size_t) { (::free)(p); }
    template <typename U>
    bool operator==(const Untracked<U>&) const { return true; }
    template <typename U>
    bool operator!=(const Untracked<U>&) const { return false; }
};
template <typename T>
using List = std::vector<T, Untracked<T>>;
using Bytes = std::basic_string<char, std::char_traits<char>, Untracked<char>>;

// Objects of the model's own are made in that memory too.
struct UntrackedObject {
    static void* operator new(size_t size) { return (::malloc)(size); }
    static void operator delete(void* p) { (::free)(p); }
};

// ---- Java objects ------------------------------------------------------------

struct ClassDef;

enum class Kind : uint8_t { Class, String, ByteArray, ObjectArray, DirectBuffer, Instance };

struct Object : UntrackedObject {
    Kind kind;
    const ClassDef* type;     // the object's class; for a Class object, the class it is
    int32_t id;               // creation order: the identity hash comes from it
    int32_t length = 0;       // array length; string bytes
    const char* text = nullptr;   // String: its modified UTF-8; Throwable: its message
    jbyte* bytes = nullptr;       // byte[]
    Object** elements = nullptr;  // Object[]
    void* address = nullptr;      // direct buffer
    int64_t capacity = 0;
    Object* fields[12] = {};      // an Instance's constructor arguments, references as objects
    jvalue values[12] = {};       //   and primitives
    // A redefinable Class: its class file as loaded and as it runs now.
    Bytes original;
    Bytes current;
    Object* all = nullptr;  // the model's list of every object
    bool marked = false;    // reached, while collect() runs
};

// The class object of a class the library looks up, or of one of the
// redefinable classes that tests list (model/Alpha, Beta, Gamma, Delta,
// Epsilon, whose class files read "class model/Alpha" and so on).
Object* classObject(const char* name);

enum class Method {
    StartRecording, StopRecording, CheckRecording, DumpRecording, FinishChunk, OnNewChunk,
    RetransformCallback, ZevGet, OptionsInit,
};

// ---- threads -------------------------------------------------------------------

struct Ref;

struct Frame {
    int capacity;
    int count;
    Ref* refs;  // the frame's local references, newest first
};

struct LogLine {
    jint level;
    Bytes text;
};

// A thread of the VM, with its own JNIEnv. A native thread attached as a VM
// thread, or a Java thread: the model does not tell them apart.
struct Thread : JNIEnv, UntrackedObject {
    explicit Thread(const char* name = "VM Thread");
    ~Thread();
    Thread(const Thread&) = delete;
    Thread& operator=(const Thread&) = delete;

    // Makes this the calling thread's (under Relacy: the calling fibre's)
    // thread, for the recorder interface's slots, which get no JNIEnv.
    // The constructor attaches it to the thread that makes it.
    void attach();

    const char* name;
    Object* pending = nullptr;  // the pending exception
    Frame frames[64];
    int depth = 0;              // frames[depth] is the current frame
    bool critical = false;      // between Get/ReleasePrimitiveArrayCritical
    List<LogLine> log;          // what the library logged on this thread

    // A local reference to o in the current frame (null for null).
    template <typename T = jobject>
    T local(Object* o) {
        return static_cast<T>(makeLocal(o));
    }
    jobject makeLocal(Object* o);
    // The pending exception's class name and message, or "" when none is pending.
    Bytes pendingName() const;
    Bytes pendingMessage() const { return pending != nullptr ? pending->text : ""; }
    void clearPending() { pending = nullptr; }
    void throwNew(const char* className, const char* message);
    // Level-1 lines logged since mark (a log size taken earlier).
    size_t errorsSince(size_t mark) const {
        return std::count_if(log.begin() + static_cast<long>(mark), log.end(),
                             [](const LogLine& line) { return line.level == 1; });
    }
    // Live local references in every frame of this thread.
    int localRefs() const {
        return std::accumulate(frames, frames + depth + 1, 0,
                               [](int live, const Frame& f) { return live + f.count; });
    }
};

Thread& current();
inline Thread& of(JNIEnv* env) {
    return *static_cast<Thread*>(env);
}

// Runs f(env) as the VM runs a native or a hook: in a local frame of its own
// (capacity 16), popped afterwards; answers the object of the jobject that f
// answered (or null).
Object* inFrame(Thread& t, const std::function<jobject(JNIEnv*)>& f);

// The object a reference names (a violation, and null, for a deleted one).
Object* deref(jobject ref);

// ---- objects ------------------------------------------------------------------

Object* newString(const char* modifiedUtf8);
Object* newByteArray(const void* bytes, int32_t length);
Object* newObjectArray(const char* elementClass, int32_t length);
Object* newDirectBuffer(void* address, int64_t capacity);
Object* newInstance(const char* className);
Bytes text(Object* string);  // "" for null

// Decodes modified UTF-8 (and, when fourByte, standard UTF-8's four-byte
// forms) into UTF-16 units: false at the first sequence that is neither.
// The one decoder the checks judge strings by.
bool decodeModifiedUtf8(const char* bytes, size_t length, bool fourByte, std::u16string* units);

// ---- the Java side the library calls -------------------------------------------

// What the recorder's Java code does; each set by reset() to a plain
// recorder, and replaced by a test as it needs. They run on the calling
// thread, may call the library (through inFrame) and may throw
// (Thread::throwNew).
struct Java {
    // VMZEV.startRecording to dumpRecording: args as the library passed them.
    std::function<Object*(Thread&, Method, const jvalue* args)> request;
    std::function<void(Thread&, Method, const jvalue* args)> chunk;  // finishChunk, onNewChunk
    // VMZEV.retransformCallback: new class bytes, or null.
    std::function<Object*(Thread&, Object* klass, Object* bytes)> transform;
    // ZEV.get(): by default binds a new VMZEV through VMZEV.init when none is
    // bound (locale "en-US", repository "/tmp") and answers the ZEV object.
    std::function<Object*(Thread&)> zevGet;
    // How many times each ran.
    int calls[9] = {};
};
Java& java();

// VMZEV.init on a new recorder object, as ZEV.get() calls it: the recorder,
// or null with init's exception pending.
Object* bindRecorder(Thread& t, const char* locale = "en-US", const char* repository = "/tmp");

// ---- the recorder interface ----------------------------------------------------

// What the VM's recorder operations answer (scripted by tests) and what they
// saw. Memory regions are the model's own, stable for the process.
struct Recorder {
    bool enabled = true;
    bool disabledOnCommandLine = false;
    bool started = false;           // is_started; start_recorder sets it when it answers true
    bool startAnswer = true;        // start_recorder
    bool setRepositoryAnswer = true;
    bool storeLocaleAnswer = true;
    bool thresholdAnswer = true;    // set_threshold and set_period
    bool canWrite = true;
    bool descriptorAnswer = true;
    jint constPoolAnswer = 1;
    bool nullBuffers = false;       // buffer, init_buffer, descriptor_buffer leave the address null
    OptionsRecord options{};
    const RecorderUpcalls* upcalls = nullptr;  // what register_upcalls got
    List<jint> commands;            // recorder_command's arguments
};
Recorder& recorder();
VmRecorderInterface* recorderInterface();

// ---- JVMTI and HotSpot's redefinition -------------------------------------------

using ClassFileHook = void(JNICALL*)(jvmtiEnv*, JNIEnv*, jclass, jobject, const char*, jobject,
                                     jint, const unsigned char*, jint*, unsigned char**);

// Another agent: a JVMTI environment of its own, created in the model's
// environment order, whose hook (if any) the VM calls with the others.
jvmtiEnv* addAgent(ClassFileHook hook);

// RetransformClasses through env (the library's or an agent's), on t.
jvmtiError retransform(Thread& t, jvmtiEnv* env, const std::vector<Object*>& classes);

int jvmtiEnvironments();  // live environments the library got

// ---- failures and actions inside calls --------------------------------------------

enum class FailMode { Once, Exhaust, QuietRefs };

struct Plan {
    long k = 0;               // the fallible call to fail, from 1; 0 fails none
    FailMode mode = FailMode::Once;
    // Called before every call the library makes into the model (JNI, JVMTI,
    // allocation; the recorder interface's slots too), with its name and the
    // fallible calls counted so far (this one included): a test acts inside
    // a call here (a release, a stall).
    std::function<void(const char* function, long counted)> inside;
};

// Arms a plan for the calls that follow; disarm() answers the fallible
// calls counted since and their names in order.
void arm(const Plan& plan);
std::vector<std::string> disarm();
long failedCalls();  // calls failed since arm()

// ---- what the library holds, and what went wrong ---------------------------------

struct Holdings {
    long globalRefs;   // global references the library made and did not delete
    long allocations;  // library blocks not freed (malloc, calloc)
    long jvmtiBlocks;  // JVMTI Allocate'd blocks neither deallocated nor handed to the VM
};
Holdings holdings();

// Breaches of JNI's or JVMTI's rules, in order.
List<Bytes> violations();

// ---- life ------------------------------------------------------------------------

struct Options {
    bool recorderInterface = true;  // false: GetEnv refuses its version
};

// Starts a fresh model: objects, classes, the recorder's answers, the Java
// side's defaults. Every Thread of the earlier model must be gone.
void start(const Options& options = {});
// Destroys the model (start does it first); under Relacy, before an
// execution ends.
void reset();

// JNI_OnLoad through the model's JavaVM, on t.
jint load(Thread& t);

// Frees every reference that was deleted or whose frame was popped, and
// every object that none of the live ones reaches (classes stay). For a
// process that runs many inputs on one model, the fuzzer's, between two
// inputs: no call under way, no exception pending, and no local reference
// made in a thread's outermost frame.
void collect();

// Releases what the library still holds (the release upcall) and checks the
// model's end state: answers what is wrong, empty when nothing.
Bytes finish(Thread& t);

}  // namespace model
