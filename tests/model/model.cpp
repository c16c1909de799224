// The model of the VM's side (model.h): its JNI functions, its JVMTI
// environments with HotSpot's redefinition, its recorder interface and the
// Java code the library calls.
#include "model.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <numeric>
#include <utility>

#ifndef ZEV_MODEL_CHECK
#include <chrono>
#endif

extern "C" JNIEXPORT jint JNICALL JNI_OnLoad(JavaVM* vm, void* reserved);
bool recorderBound();  // the library's: whether a recorder is bound now
extern "C" JNIEXPORT jobject JNICALL Java_tesmar_nuvrak_zev_VMZEV_init(JNIEnv*, jobject, jstring,
                                                                     jint, jstring);

namespace model {

// ---- bookkeeping: relaxed, so that it orders nothing -----------------------------

namespace {

long bump(long& counter, long by = 1) {
    return __atomic_add_fetch(&counter, by, __ATOMIC_RELAXED);
}

long peek(const long& counter) {
    return __atomic_load_n(&counter, __ATOMIC_RELAXED);
}

// Pushes onto an intrusive list; the entries live until the model is reset.
template <typename T>
void push(T*& head, T* entry) {
    T* seen = __atomic_load_n(&head, __ATOMIC_RELAXED);
    do {
        entry->all = seen;
    } while (!__atomic_compare_exchange_n(&head, &seen, entry, true, __ATOMIC_RELAXED,
                                          __ATOMIC_RELAXED));
}

// Keeps the entries of an intrusive list that keep() answers true for, and
// destroys the others.
template <typename T, typename Keep, typename Destroy>
void sweep(T*& head, Keep keep, Destroy destroy) {
    T* kept = nullptr;
    for (T *entry = head, *next; entry != nullptr; entry = next) {
        next = entry->all;
        if (keep(entry)) {
            entry->all = kept;
            kept = entry;
        } else {
            destroy(entry);
        }
    }
    head = kept;
}

}  // namespace

#ifndef ZEV_MODEL_CHECK
void Signal::wait(Lock& lock) {
    if (cv_.wait_for(lock, std::chrono::seconds(20)) == std::cv_status::timeout) {
        fprintf(stderr, "model: deadlock: %s waited 20 s for another thread's redefinition\n",
                current().name);
        abort();
    }
}
#endif

// ---- classes and methods -------------------------------------------------------------

struct ClassDef {
    const char* name;
    const char* super;
    bool throwable;
    bool redefinable;
};

namespace {

const ClassDef kClasses[] = {
    {"java/lang/Object", nullptr, false, false},
    {"java/lang/Class", "java/lang/Object", false, false},
    {"java/lang/String", "java/lang/Object", false, false},
    {"java/nio/ByteBuffer", "java/lang/Object", false, false},
    {"java/lang/Throwable", "java/lang/Object", true, false},
    {"java/lang/Exception", "java/lang/Throwable", true, false},
    {"java/lang/Error", "java/lang/Throwable", true, false},
    {"java/lang/OutOfMemoryError", "java/lang/Error", true, false},
    {"java/lang/NoClassDefFoundError", "java/lang/Error", true, false},
    {"java/lang/NoSuchMethodError", "java/lang/Error", true, false},
    {"java/lang/NullPointerException", "java/lang/Exception", true, false},
    {"java/lang/IllegalArgumentException", "java/lang/Exception", true, false},
    {"java/lang/IllegalStateException", "java/lang/Exception", true, false},
    {"java/lang/ArrayIndexOutOfBoundsException", "java/lang/Exception", true, false},
    {"java/lang/ArrayStoreException", "java/lang/Exception", true, false},
    {"java/lang/NegativeArraySizeException", "java/lang/Exception", true, false},
    {"tesmar/nuvrak/zev/ZEV", "java/lang/Object", false, false},
    {"tesmar/nuvrak/zev/ZEVImpl", "tesmar/nuvrak/zev/ZEV", false, false},
    {"tesmar/nuvrak/zev/VMZEV", "tesmar/nuvrak/zev/ZEVImpl", false, false},
    {"tesmar/nuvrak/zev/NativeOptions", "java/lang/Object", false, false},
    {"model/Alpha", "java/lang/Object", false, true},
    {"model/Beta", "java/lang/Object", false, true},
    {"model/Gamma", "java/lang/Object", false, true},
    {"model/Delta", "java/lang/Object", false, true},
    {"model/Epsilon", "java/lang/Object", false, true},
};
constexpr int kClassCount = sizeof(kClasses) / sizeof(kClasses[0]);

struct MethodDef {
    const char* owner;
    const char* name;
    const char* signature;
    bool isStatic;
    Method method;
};

const MethodDef kMethods[] = {
    {"tesmar/nuvrak/zev/VMZEV", "startRecording",
     "(Ljava/lang/String;[Ljava/lang/String;ZJJLjava/lang/String;ZJJZ)Ljava/lang/String;", false,
     Method::StartRecording},
    {"tesmar/nuvrak/zev/VMZEV", "stopRecording",
     "(Ljava/lang/String;JZLjava/lang/String;Z)Ljava/lang/String;", false, Method::StopRecording},
    {"tesmar/nuvrak/zev/VMZEV", "checkRecording", "(Ljava/lang/String;JZ)Ljava/lang/String;",
     false, Method::CheckRecording},
    {"tesmar/nuvrak/zev/VMZEV", "dumpRecording",
     "(Ljava/lang/String;JLjava/lang/String;Z)Ljava/lang/String;", false, Method::DumpRecording},
    {"tesmar/nuvrak/zev/VMZEV", "finishChunk", "(Ljava/lang/String;JJZ)V", false,
     Method::FinishChunk},
    {"tesmar/nuvrak/zev/ZEVImpl", "onNewChunk", "()V", false, Method::OnNewChunk},
    {"tesmar/nuvrak/zev/VMZEV", "retransformCallback", "(Ljava/lang/Class;[B)[B", false,
     Method::RetransformCallback},
    {"tesmar/nuvrak/zev/ZEV", "get", "()Ltesmar/nuvrak/zev/ZEV;", true, Method::ZevGet},
    {"tesmar/nuvrak/zev/NativeOptions", "<init>",
     "(Ljava/lang/String;[Ljava/lang/String;ZJIIILjava/lang/String;ZJJZ)V", false,
     Method::OptionsInit},
};

const ClassDef* classNamed(const char* name) {
    for (const ClassDef& c : kClasses) {
        if (strcmp(c.name, name) == 0) {
            return &c;
        }
    }
    return nullptr;
}

const ClassDef* superOf(const ClassDef* c) {
    return c->super != nullptr ? classNamed(c->super) : nullptr;
}

bool isSubclass(const ClassDef* type, const char* ancestor) {
    for (const ClassDef* c = type; c != nullptr; c = superOf(c)) {
        if (strcmp(c->name, ancestor) == 0) {
            return true;
        }
    }
    return false;
}

}  // namespace

// ---- references and the model's state -----------------------------------------------------

struct Ref : UntrackedObject {
    Object* object;
    bool live = true;
    // A global reference is shared between threads: its making and its
    // deletion must each be ordered before every other thread's use of it,
    // by the library's own synchronisation. Relacy checks that on this field
    // (TSan sees it as the plain memory it is); local ones need no check.
    Var<int> shared;
    Thread* owner = nullptr;  // null for a global reference
    int frame = 0;            // the owner's frame it was made in
    Ref* next = nullptr;      // in that frame
    Ref* all = nullptr;
    uint32_t magic = 0x52454621;
};

struct Env : jvmtiEnv, UntrackedObject {
    bool library = false;
    bool disposed = false;
    bool canRetransform = false;
    bool hookEnabled = false;  // set and read relaxed: another thread may be retransforming
    ClassFileHook hook = nullptr;
};

namespace {

struct Redefinition {
    Thread* owner = nullptr;
    int depth = 0;
};

struct State : UntrackedObject {
    Object* objects = nullptr;  // every object, for reset
    Ref* refs = nullptr;        // every reference, for reset
    long nextId = 0;
    Object* classes[kClassCount] = {};
    Redefinition redefinitions[kClassCount];
    Lock redefinition;
    Signal redefined;
    Env* envs[8] = {};
    int envCount = 0;
    Java java;
    Recorder recorder;
    Lock bootstrap;  // ZEV.get()'s, a synchronized Java method
    Object* zev = nullptr;
    Holdings held = {0, 0, 0};
    long pinned = 0;  // UTF chars and critical arrays not released
    long libraryEnvs = 0;
    Plan plan;
    bool armed = false;
    long counted = 0;
    long failed = 0;
    std::vector<std::string> names;
    char violations[64][160] = {};  // appended without a lock
    long violationCount = 0;
};

State* state = nullptr;
Options gOptions;

// The calling thread's (under Relacy: the calling fibre's) model::Thread.
Thread*& here() {
#ifndef ZEV_MODEL_CHECK
    thread_local Thread* thread = nullptr;
    return thread;
#else
    static Thread* fibres[16] = {};
    return fibres[rl::is_ctx() ? rl::thread_index() : 15];
#endif
}

void violation(const char* format, ...) __attribute__((format(printf, 1, 2)));
void violation(const char* format, ...) {
    char text[160];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof(text), format, args);
    va_end(args);
    fprintf(stderr, "model: violation: %s\n", text);
    long n = bump(state->violationCount) - 1;
    if (n < 64) {
        memcpy(state->violations[n], text, sizeof(text));
    }
#ifdef ZEV_MODEL_CHECK
    RL_ASSERT(!"a JNI or JVMTI rule was broken (see the violation above)");
#endif
}

Object* newObject(Kind kind, const ClassDef* type) {
    auto* o = new Object();
    o->kind = kind;
    o->type = type;
    o->id = static_cast<int32_t>(bump(state->nextId));
    push(state->objects, o);
    return o;
}

// A string's or a Throwable's text, kept in the object itself.
Object* withText(Object* o, const char* text) {
    o->original.assign(text != nullptr ? text : "");
    o->text = o->original.c_str();
    o->length = static_cast<int32_t>(o->original.size());
    return o;
}

Object* throwable(const char* className, const char* message) {
    return withText(newObject(Kind::Instance, classNamed(className)), message);
}

}  // namespace

Object* classObject(const char* name) {
    const ClassDef* def = classNamed(name);
    return def != nullptr ? state->classes[def - kClasses] : nullptr;
}

// ---- threads ------------------------------------------------------------------------

extern const JNINativeInterface_ kJni;

Thread::Thread(const char* threadName) : name(threadName) {
    functions = &kJni;
    frames[0] = {16, 0, nullptr};
#ifndef ZEV_MODEL_CHECK
    attach();  // under Relacy each fibre attaches its own
#endif
}

Thread::~Thread() {
    if (here() == this) {
        here() = nullptr;
    }
}

void Thread::attach() {
    here() = this;
}

Thread& current() {
    if (here() == nullptr) {
        fprintf(stderr, "model: a call on a thread that is not the VM's\n");
        abort();
    }
    return *here();
}

jobject Thread::makeLocal(Object* o) {
    if (o == nullptr) {
        return nullptr;
    }
    auto* r = new Ref();
    r->object = o;
    r->owner = this;
    r->frame = depth;
    Frame& f = frames[depth];
    r->next = f.refs;
    f.refs = r;
    push(state->refs, r);
    if (++f.count > f.capacity) {
        violation("%s: JNI local refs: %d, exceeds capacity: %d", name, f.count, f.capacity);
    }
    return reinterpret_cast<jobject>(r);
}

Bytes Thread::pendingName() const {
    return pending != nullptr ? pending->type->name : "";
}

void Thread::throwNew(const char* className, const char* message) {
    pending = throwable(className, message);
}

namespace {

void pushFrame(Thread& t, int capacity) {
    if (t.depth + 1 >= 64) {
        violation("%s: local frames nested beyond 64", t.name);
        abort();
    }
    t.frames[++t.depth] = {capacity, 0, nullptr};
}

void popFrame(Thread& t) {
    for (Ref* r = t.frames[t.depth].refs; r != nullptr; r = r->next) {
        r->live = false;
    }
    t.depth--;
}

// The object a reference names, checked as checked JNI checks it.
Object* resolve(Thread* t, jobject ref, const char* function) {
    Ref* r = reinterpret_cast<Ref*>(ref);
    if (r == nullptr) {
        return nullptr;
    }
    if (r->magic != 0x52454621) {
        violation("%s: not a reference", function);
        return nullptr;
    }
    if (r->owner == nullptr) {
        int shared = MODEL_VAR(r->shared);  // the use, ordered (or not) after making and deleting
        (void)shared;
    }
    if (!r->live) {
        violation("%s: a deleted %s reference", function, r->owner ? "local" : "global");
        return nullptr;
    }
    if (r->owner != nullptr && t != nullptr && r->owner != t) {
        violation("%s: another thread's local reference", function);
    }
    return r->object;
}

}  // namespace

Object* deref(jobject ref) {
    return resolve(nullptr, ref, "deref");
}

Object* inFrame(Thread& t, const std::function<jobject(JNIEnv*)>& f) {
    pushFrame(t, 16);
    Object* result = resolve(&t, f(&t), "the frame's answer");
    popFrame(t);
    return result;
}

// ---- objects ------------------------------------------------------------------------

Object* newString(const char* modifiedUtf8) {
    return withText(newObject(Kind::String, classNamed("java/lang/String")), modifiedUtf8);
}

Object* newByteArray(const void* bytes, int32_t length) {
    Object* a = newObject(Kind::ByteArray, nullptr);
    a->length = length;
    a->original.assign(static_cast<size_t>(length) + 1, '\0');
    a->bytes = reinterpret_cast<jbyte*>(&a->original[0]);
    if (bytes != nullptr) {
        memcpy(a->bytes, bytes, static_cast<size_t>(length));
    }
    return a;
}

Object* newObjectArray(const char* elementClass, int32_t length) {
    Object* a = newObject(Kind::ObjectArray, classNamed(elementClass));
    a->length = length;
    a->elements = static_cast<Object**>((::calloc)(static_cast<size_t>(length) + 1, sizeof(Object*)));
    return a;
}

Object* newDirectBuffer(void* address, int64_t capacity) {
    Object* b = newObject(Kind::DirectBuffer, classNamed("java/nio/ByteBuffer"));
    b->address = address;
    b->capacity = capacity;
    return b;
}

Object* newInstance(const char* className) {
    return newObject(Kind::Instance, classNamed(className));
}

Bytes text(Object* string) {
    return string != nullptr && string->text != nullptr ? Bytes(string->text, string->length)
                                                         : Bytes();
}

bool decodeModifiedUtf8(const char* bytes, size_t length, bool fourByte, std::u16string* units) {
    static const unsigned kSmallest[] = {0, 0, 0x80, 0x800, 0x10000};
    const auto* s = reinterpret_cast<const unsigned char*>(bytes);
    for (size_t i = 0; i < length;) {
        unsigned lead = s[i];
        size_t size = lead < 0x80                          ? 1
                      : (lead & 0xE0) == 0xC0              ? 2
                      : (lead & 0xF0) == 0xE0              ? 3
                      : (lead & 0xF8) == 0xF0 && fourByte ? 4
                                                           : 0;
        if (lead == 0 || size == 0 || i + size > length) {
            return false;
        }
        unsigned point = size == 1 ? lead : lead & (0x7Fu >> size);
        for (size_t k = 1; k < size; k++) {
            if ((s[i + k] & 0xC0) != 0x80) {
                return false;
            }
            point = point << 6 | (s[i + k] & 0x3Fu);
        }
        // Overlong forms are refused but for C0 80, modified UTF-8's NUL.
        if ((point < kSmallest[size] && !(size == 2 && point == 0)) || point > 0x10FFFF) {
            return false;
        }
        if (units != nullptr && size == 4) {
            units->push_back(static_cast<char16_t>(0xD800 + ((point - 0x10000) >> 10)));
            units->push_back(static_cast<char16_t>(0xDC00 + ((point - 0x10000) & 0x3FF)));
        } else if (units != nullptr) {
            units->push_back(static_cast<char16_t>(point));
        }
        i += size;
    }
    return true;
}

Java& java() {
    return state->java;
}

Recorder& recorder() {
    return state->recorder;
}

Object* bindRecorder(Thread& t, const char* locale, const char* repository) {
    Object* self = newInstance("tesmar/nuvrak/zev/VMZEV");
    inFrame(t, [&](JNIEnv* env) {
        return Java_tesmar_nuvrak_zev_VMZEV_init(env, t.local(self),
                                                 t.local<jstring>(newString(locale)), 0,
                                                 t.local<jstring>(newString(repository)));
    });
    return t.pending == nullptr ? self : nullptr;
}

// ---- calls into the model: rules, counting, failing --------------------------------------

namespace {

enum Call : unsigned {
    kFallible = 1,      // a call the plan counts and may fail
    kSafe = 2,          // allowed with an exception pending
    kCriticalSafe = 4,  // allowed between Get/ReleasePrimitiveArrayCritical
};

// Every call the library makes into the model starts here: true when the
// plan fails it.
bool enter(Thread* t, const char* function, unsigned call) {
    if (t != nullptr) {
        if (t != &current()) {
            violation("%s: called with another thread's JNIEnv", function);
        }
        if (t->critical && (call & kCriticalSafe) == 0) {
            violation("%s: called inside a critical region", function);
        }
        if (t->pending != nullptr && (call & kSafe) == 0) {
            violation("%s: called with an exception pending", function);
        }
    }
    if (!state->armed) {
        return false;
    }
    bool fallible = (call & kFallible) != 0;
    long counted = fallible ? bump(state->counted) : peek(state->counted);
    if (fallible && state->plan.k == 0) {
        state->names.push_back(function);
    }
    if (state->plan.inside) {
        state->plan.inside(function, counted);
    }
    bool fails = fallible && state->plan.k != 0 &&
                 (state->plan.mode == FailMode::Exhaust ? counted >= state->plan.k
                                                        : counted == state->plan.k);
    if (fails) {
        bump(state->failed);
    }
    return fails;
}

// A failed JNI call: the VM's OutOfMemoryError pending, the failure's answer.
#define FALLIBLE(function, failure)                                 \
    Thread& t = of(env);                                            \
    if (enter(&t, function, kFallible)) {                           \
        t.pending = throwable("java/lang/OutOfMemoryError", function); \
        return failure;                                             \
    }
// A call that cannot fail, with the rules it keeps.
#define CHECKED(function, call) \
    Thread& t = of(env);        \
    enter(&t, function, call)

// ---- JNI: classes, methods, exceptions, references ----------------------------------

// The object an argument names, of the kind the function takes.
Object* argument(Thread& t, jobject ref, Kind kind, const char* function) {
    Object* o = resolve(&t, ref, function);
    if (o == nullptr || o->kind != kind) {
        violation("%s: not an argument of the kind it takes", function);
        return nullptr;
    }
    return o;
}


jclass JNICALL FindClass(JNIEnv* env, const char* name) {
    FALLIBLE("FindClass", nullptr);
    Object* c = classObject(name);
    if (c == nullptr) {
        t.throwNew("java/lang/NoClassDefFoundError", name);
    }
    return t.local<jclass>(c);
}

jclass JNICALL GetSuperclass(JNIEnv* env, jclass klass) {
    CHECKED("GetSuperclass", 0);
    Object* c = resolve(&t, klass, "GetSuperclass");
    return c != nullptr && c->type->super != nullptr ? t.local<jclass>(classObject(c->type->super))
                                                     : nullptr;
}

jmethodID methodId(JNIEnv* env, const char* function, jclass klass, const char* name,
                   const char* signature, bool isStatic) {
    FALLIBLE(function, nullptr);
    Object* c = argument(t, klass, Kind::Class, function);
    for (const ClassDef* type = c != nullptr ? c->type : nullptr; type != nullptr;
         type = superOf(type)) {
        for (const MethodDef& m : kMethods) {
            if (m.isStatic == isStatic && strcmp(m.owner, type->name) == 0 &&
                strcmp(m.name, name) == 0 && strcmp(m.signature, signature) == 0) {
                return reinterpret_cast<jmethodID>(const_cast<MethodDef*>(&m));
            }
        }
    }
    t.throwNew("java/lang/NoSuchMethodError", name);
    return nullptr;
}

jmethodID JNICALL GetMethodID(JNIEnv* env, jclass klass, const char* name, const char* signature) {
    return methodId(env, "GetMethodID", klass, name, signature, false);
}

jmethodID JNICALL GetStaticMethodID(JNIEnv* env, jclass klass, const char* name,
                                    const char* signature) {
    return methodId(env, "GetStaticMethodID", klass, name, signature, true);
}

jint JNICALL ThrowNew(JNIEnv* env, jclass klass, const char* message) {
    FALLIBLE("ThrowNew", JNI_ERR);
    Object* c = argument(t, klass, Kind::Class, "ThrowNew");
    if (c == nullptr || !c->type->throwable) {
        violation("ThrowNew of a class that is not a Throwable");
        return JNI_ERR;
    }
    t.pending = throwable(c->type->name, message);
    return JNI_OK;
}

jboolean JNICALL ExceptionCheck(JNIEnv* env) {
    CHECKED("ExceptionCheck", kSafe | kCriticalSafe);
    return t.pending != nullptr;
}

jint JNICALL PushLocalFrame(JNIEnv* env, jint capacity) {
    Thread& t = of(env);
    if (enter(&t, "PushLocalFrame", kFallible | kSafe) || capacity < 0) {
        t.pending = throwable("java/lang/OutOfMemoryError", "PushLocalFrame");
        return JNI_ENOMEM;
    }
    pushFrame(t, capacity);
    return JNI_OK;
}

jobject JNICALL PopLocalFrame(JNIEnv* env, jobject result) {
    CHECKED("PopLocalFrame", kSafe);
    if (t.depth == 0) {
        violation("PopLocalFrame without a frame pushed");
        return nullptr;
    }
    Object* o = resolve(&t, result, "PopLocalFrame");
    popFrame(t);
    return t.local(o);
}

// New*Ref: null with the VM's error pending, or with nothing pending when
// the plan fails references quietly.
jobject newRef(JNIEnv* env, const char* function, jobject object, bool global) {
    Thread& t = of(env);
    if (enter(&t, function, kFallible)) {
        if (state->plan.mode != FailMode::QuietRefs) {
            t.pending = throwable("java/lang/OutOfMemoryError", function);
        }
        return nullptr;
    }
    Object* o = resolve(&t, object, function);
    if (!global || o == nullptr) {
        return t.local(o);
    }
    auto* r = new Ref();
    r->object = o;
    MODEL_VAR(r->shared) = 1;
    push(state->refs, r);
    bump(state->held.globalRefs);
    return reinterpret_cast<jobject>(r);
}

jobject JNICALL NewGlobalRef(JNIEnv* env, jobject object) {
    return newRef(env, "NewGlobalRef", object, true);
}

jobject JNICALL NewLocalRef(JNIEnv* env, jobject object) {
    return newRef(env, "NewLocalRef", object, false);
}

// Delete*Ref: the reference must be live and of the kind the function deletes.
void deleteRef(JNIEnv* env, const char* function, jobject ref, bool global) {
    CHECKED(function, kSafe);
    Ref* r = reinterpret_cast<Ref*>(ref);
    if (r == nullptr || resolve(&t, ref, function) == nullptr) {
        return;
    }
    if ((r->owner == nullptr) != global) {
        violation("%s of a %s reference", function, global ? "local" : "global");
        return;
    }
    r->live = false;
    if (global) {
        MODEL_VAR(r->shared) = 0;
        bump(state->held.globalRefs, -1);
    } else {
        t.frames[r->frame].count--;
    }
}

void JNICALL DeleteGlobalRef(JNIEnv* env, jobject global) {
    deleteRef(env, "DeleteGlobalRef", global, true);
}

void JNICALL DeleteLocalRef(JNIEnv* env, jobject local) {
    deleteRef(env, "DeleteLocalRef", local, false);
}

jboolean JNICALL IsSameObject(JNIEnv* env, jobject a, jobject b) {
    CHECKED("IsSameObject", 0);
    return resolve(&t, a, "IsSameObject") == resolve(&t, b, "IsSameObject");
}

// ---- JNI: calls into Java ----------------------------------------------------------------

// Runs the Java method with its arguments as jvalues, decoded by its
// signature, references as the objects they name: the answer's object, or
// null (with the Java code's exception pending when it threw).
Object* invoke(Thread& t, jobject receiver, jmethodID method, va_list* list, const jvalue* array) {
    const auto* m = reinterpret_cast<const MethodDef*>(method);
    if (m == nullptr) {
        violation("a call of a null method id");
        return nullptr;
    }
    Object* self = resolve(&t, receiver, m->name);
    if (self == nullptr && !m->isStatic) {
        violation("%s called on null", m->name);
        return nullptr;
    }
    jvalue args[12] = {};
    int i = 0;
    for (const char* p = m->signature + 1; *p != ')'; i++) {
        char type = *p;
        if (array != nullptr) {
            args[i] = array[i];
        } else if (type == 'J') {
            args[i].j = va_arg(*list, jlong);
        } else if (type == 'L' || type == '[') {
            args[i].l = va_arg(*list, jobject);
        } else {
            args[i].i = va_arg(*list, int);
        }
        if (type == 'Z') {
            args[i].i = static_cast<jboolean>(args[i].i);
        } else if (type == 'L' || type == '[') {
            args[i].l = reinterpret_cast<jobject>(resolve(&t, args[i].l, m->name));
        }
        p += strspn(p, "[");
        p = *p == 'L' ? strchr(p, ';') + 1 : p + 1;
    }
    Java& j = state->java;
    __atomic_add_fetch(&j.calls[static_cast<int>(m->method)], 1, __ATOMIC_RELAXED);
    auto object = [&](int k) { return reinterpret_cast<Object*>(args[k].l); };
    switch (m->method) {
    case Method::FinishChunk:
    case Method::OnNewChunk:
        if (j.chunk) {
            j.chunk(t, m->method, args);
        }
        return nullptr;
    case Method::RetransformCallback:
        return j.transform ? j.transform(t, object(0), object(1)) : nullptr;
    case Method::ZevGet:
        return j.zevGet ? j.zevGet(t) : nullptr;
    case Method::OptionsInit:
        for (int k = 0; k < 12; k++) {
            bool reference = k == 0 || k == 1 || k == 7;  // the two Strings and the String[]
            self->fields[k] = reference ? object(k) : nullptr;
            self->values[k] = args[k];
        }
        return nullptr;
    default:  // startRecording to dumpRecording
        return j.request ? j.request(t, m->method, args) : nullptr;
    }
}

// The JNI call forms the library uses, as JNIEnv's C++ methods make them.
jobject callV(JNIEnv* env, const char* function, jobject receiver, jmethodID method,
              va_list list) {
    FALLIBLE(function, nullptr);
    va_list copy;
    va_copy(copy, list);
    Object* result = invoke(t, receiver, method, &copy, nullptr);
    va_end(copy);
    return t.local(result);
}

jobject JNICALL CallObjectMethodV(JNIEnv* env, jobject object, jmethodID method, va_list list) {
    return callV(env, "CallObjectMethod", object, method, list);
}

jobject JNICALL CallStaticObjectMethodV(JNIEnv* env, jclass klass, jmethodID method,
                                        va_list list) {
    return callV(env, "CallStaticObjectMethod", klass, method, list);
}

void JNICALL CallVoidMethodV(JNIEnv* env, jobject object, jmethodID method, va_list list) {
    callV(env, "CallVoidMethod", object, method, list);
}

jobject JNICALL CallObjectMethodA(JNIEnv* env, jobject object, jmethodID method,
                                  const jvalue* args) {
    FALLIBLE("CallObjectMethodA", nullptr);
    return t.local(invoke(t, object, method, nullptr, args));
}

jobject JNICALL NewObjectV(JNIEnv* env, jclass klass, jmethodID method, va_list list) {
    FALLIBLE("NewObject", nullptr);
    Object* c = argument(t, klass, Kind::Class, "NewObject");
    if (c == nullptr) {
        return nullptr;
    }
    jobject self = t.local(newObject(Kind::Instance, c->type));
    va_list copy;
    va_copy(copy, list);
    invoke(t, self, method, &copy, nullptr);
    va_end(copy);
    return self;
}

// ---- JNI: strings, arrays, buffers --------------------------------------------------------

jstring JNICALL NewStringUTF(JNIEnv* env, const char* chars) {
    FALLIBLE("NewStringUTF", nullptr);
    if (chars == nullptr) {
        violation("NewStringUTF of a null pointer");
        return nullptr;
    }
    if (!decodeModifiedUtf8(chars, strlen(chars), false, nullptr)) {
        violation("NewStringUTF of bytes that are not modified UTF-8");
    }
    return t.local<jstring>(newString(chars));
}

const char* JNICALL GetStringUTFChars(JNIEnv* env, jstring string, jboolean* isCopy) {
    FALLIBLE("GetStringUTFChars", nullptr);
    Object* s = argument(t, string, Kind::String, "GetStringUTFChars");
    if (s == nullptr) {
        return nullptr;
    }
    jboolean copied = JNI_TRUE;
    *(isCopy != nullptr ? isCopy : &copied) = JNI_TRUE;
    auto* chars = static_cast<char*>((::malloc)(static_cast<size_t>(s->length) + 1));
    memcpy(chars, s->text, static_cast<size_t>(s->length) + 1);
    bump(state->pinned);
    return chars;
}

void JNICALL ReleaseStringUTFChars(JNIEnv* env, jstring string, const char* chars) {
    CHECKED("ReleaseStringUTFChars", kSafe);
    argument(t, string, Kind::String, "ReleaseStringUTFChars");
    (::free)(const_cast<char*>(chars));
    bump(state->pinned, -1);
}

jsize JNICALL GetStringUTFLength(JNIEnv* env, jstring string) {
    CHECKED("GetStringUTFLength", 0);
    Object* s = argument(t, string, Kind::String, "GetStringUTFLength");
    return s != nullptr ? s->length : 0;
}

jsize JNICALL GetArrayLength(JNIEnv* env, jarray array) {
    CHECKED("GetArrayLength", 0);
    Object* a = resolve(&t, array, "GetArrayLength");
    if (a == nullptr || (a->kind != Kind::ByteArray && a->kind != Kind::ObjectArray)) {
        violation("GetArrayLength: not an array");
        return 0;
    }
    return a->length;
}

jobjectArray JNICALL NewObjectArray(JNIEnv* env, jsize length, jclass element, jobject initial) {
    FALLIBLE("NewObjectArray", nullptr);
    Object* c = argument(t, element, Kind::Class, "NewObjectArray");
    Object* first = resolve(&t, initial, "NewObjectArray");
    if (length < 0 || c == nullptr) {
        t.throwNew("java/lang/NegativeArraySizeException", "");
        return nullptr;
    }
    Object* a = newObjectArray(c->type->name, length);
    for (jsize i = 0; i < length; i++) {
        a->elements[i] = first;
    }
    return t.local<jobjectArray>(a);
}

// An array and a region of it, or null with Java's exception pending.
Object* region(Thread& t, jobject array, Kind kind, jsize start, jsize length,
               const char* function) {
    Object* a = argument(t, array, kind, function);
    if (a != nullptr &&
        (start < 0 || length < 0 || static_cast<long long>(start) + length > a->length)) {
        t.throwNew("java/lang/ArrayIndexOutOfBoundsException", "");
        return nullptr;
    }
    return a;
}

jobject JNICALL GetObjectArrayElement(JNIEnv* env, jobjectArray array, jsize index) {
    FALLIBLE("GetObjectArrayElement", nullptr);
    Object* a = region(t, array, Kind::ObjectArray, index, 1, "GetObjectArrayElement");
    return a != nullptr ? t.local(a->elements[index]) : nullptr;
}

void JNICALL SetObjectArrayElement(JNIEnv* env, jobjectArray array, jsize index, jobject value) {
    FALLIBLE("SetObjectArrayElement", );
    Object* v = resolve(&t, value, "SetObjectArrayElement");
    Object* a = region(t, array, Kind::ObjectArray, index, 1, "SetObjectArrayElement");
    if (a != nullptr && v != nullptr && v->type != nullptr && !isSubclass(v->type, a->type->name)) {
        t.throwNew("java/lang/ArrayStoreException", v->type->name);
    } else if (a != nullptr) {
        a->elements[index] = v;
    }
}

jbyteArray JNICALL NewByteArray(JNIEnv* env, jsize length) {
    FALLIBLE("NewByteArray", nullptr);
    if (length < 0) {
        t.throwNew("java/lang/NegativeArraySizeException", "");
        return nullptr;
    }
    return t.local<jbyteArray>(newByteArray(nullptr, length));
}

void JNICALL GetByteArrayRegion(JNIEnv* env, jbyteArray array, jsize start, jsize length,
                                jbyte* out) {
    FALLIBLE("GetByteArrayRegion", );
    if (Object* a = region(t, array, Kind::ByteArray, start, length, "GetByteArrayRegion")) {
        memcpy(out, a->bytes + start, static_cast<size_t>(length));
    }
}

void JNICALL SetByteArrayRegion(JNIEnv* env, jbyteArray array, jsize start, jsize length,
                                const jbyte* in) {
    FALLIBLE("SetByteArrayRegion", );
    if (Object* a = region(t, array, Kind::ByteArray, start, length, "SetByteArrayRegion")) {
        memcpy(a->bytes + start, in, static_cast<size_t>(length));
    }
}

void* JNICALL GetPrimitiveArrayCritical(JNIEnv* env, jarray array, jboolean* isCopy) {
    FALLIBLE("GetPrimitiveArrayCritical", nullptr);
    Object* a = argument(t, array, Kind::ByteArray, "GetPrimitiveArrayCritical");
    if (a == nullptr) {
        return nullptr;
    }
    jboolean copied = JNI_FALSE;
    *(isCopy != nullptr ? isCopy : &copied) = JNI_FALSE;
    t.critical = true;
    bump(state->pinned);
    return a->bytes;
}

void JNICALL ReleasePrimitiveArrayCritical(JNIEnv* env, jarray array, void* elements, jint mode) {
    CHECKED("ReleasePrimitiveArrayCritical", kSafe | kCriticalSafe);
    Object* a = argument(t, array, Kind::ByteArray, "ReleasePrimitiveArrayCritical");
    if (a != nullptr && (elements != a->bytes || mode != 0)) {
        violation("ReleasePrimitiveArrayCritical: elements %s, mode %d",
                  elements == a->bytes ? "its own" : "not its own", static_cast<int>(mode));
    }
    t.critical = false;
    bump(state->pinned, -1);
}

jobject JNICALL NewDirectByteBuffer(JNIEnv* env, void* address, jlong capacity) {
    FALLIBLE("NewDirectByteBuffer", nullptr);
    if (address == nullptr || capacity < 0) {
        violation("NewDirectByteBuffer(%p, %lld)", address, static_cast<long long>(capacity));
    }
    return t.local(newDirectBuffer(address, capacity));
}

Object* buffer(JNIEnv* env, jobject ref, const char* function) {
    CHECKED(function, 0);
    Object* b = resolve(&t, ref, function);
    return b != nullptr && b->kind == Kind::DirectBuffer ? b : nullptr;
}

void* JNICALL GetDirectBufferAddress(JNIEnv* env, jobject ref) {
    Object* b = buffer(env, ref, "GetDirectBufferAddress");
    return b != nullptr ? b->address : nullptr;
}

jlong JNICALL GetDirectBufferCapacity(JNIEnv* env, jobject ref) {
    Object* b = buffer(env, ref, "GetDirectBufferCapacity");
    return b != nullptr ? b->capacity : -1;
}

// The functions the library calls; the others are left null, so that the
// library calling one crashes at once.
#define ZEV_MODEL_JNI(X)                                                                        \
    X(FindClass) X(GetSuperclass) X(GetMethodID) X(GetStaticMethodID) X(ThrowNew)                \
    X(ExceptionCheck) X(PushLocalFrame) X(PopLocalFrame) X(NewGlobalRef) X(DeleteGlobalRef)      \
    X(NewLocalRef) X(DeleteLocalRef) X(IsSameObject) X(CallObjectMethodV) X(CallObjectMethodA)   \
    X(CallVoidMethodV) X(CallStaticObjectMethodV) X(NewObjectV) X(NewStringUTF)                  \
    X(GetStringUTFChars) X(ReleaseStringUTFChars) X(GetStringUTFLength) X(GetArrayLength)        \
    X(NewObjectArray) X(GetObjectArrayElement) X(SetObjectArrayElement) X(NewByteArray)          \
    X(GetByteArrayRegion) X(SetByteArrayRegion) X(GetPrimitiveArrayCritical)                     \
    X(ReleasePrimitiveArrayCritical) X(NewDirectByteBuffer) X(GetDirectBufferAddress)            \
    X(GetDirectBufferCapacity)
#define ZEV_MODEL_SET(function) f.function = function;

JNINativeInterface_ makeJni() {
    JNINativeInterface_ f{};
    ZEV_MODEL_JNI(ZEV_MODEL_SET)
    return f;
}

}  // namespace

const JNINativeInterface_ kJni = makeJni();

// ---- JVMTI ------------------------------------------------------------------------

namespace {

Env& envOf(jvmtiEnv* env) {
    return *static_cast<Env*>(env);
}

// A JVMTI call of the library's: allowed with an exception pending (JVMTI is
// not JNI); fallible unless it only gives something back.
jvmtiError enterJvmti(jvmtiEnv* env, const char* function, bool fallible = true) {
    if (envOf(env).disposed) {
        violation("%s on a disposed environment", function);
        return JVMTI_ERROR_INVALID_ENVIRONMENT;
    }
    unsigned call = (fallible ? unsigned{kFallible} : 0u) | kSafe | kCriticalSafe;
    bool fails = enter(&current(), function, call);
    return fails ? JVMTI_ERROR_OUT_OF_MEMORY : JVMTI_ERROR_NONE;
}

#define JVMTI_ENTER(function)                             \
    if (jvmtiError entered = enterJvmti(env, function)) { \
        return entered;                                   \
    }

jvmtiError JNICALL AddCapabilities(jvmtiEnv* env, const jvmtiCapabilities* capabilities) {
    JVMTI_ENTER("AddCapabilities");
    Env& e = envOf(env);
    e.canRetransform = e.canRetransform || capabilities->can_retransform_classes;
    return JVMTI_ERROR_NONE;
}

jvmtiError JNICALL SetEventCallbacks(jvmtiEnv* env, const jvmtiEventCallbacks* callbacks,
                                     jint size) {
    JVMTI_ENTER("SetEventCallbacks");
    if (size != static_cast<jint>(sizeof(jvmtiEventCallbacks))) {
        violation("SetEventCallbacks with size %d", static_cast<int>(size));
    }
    envOf(env).hook = callbacks->ClassFileLoadHook;
    return JVMTI_ERROR_NONE;
}

jvmtiError JNICALL SetEventNotificationMode(jvmtiEnv* env, jvmtiEventMode mode, jvmtiEvent event,
                                            jthread thread, ...) {
    JVMTI_ENTER("SetEventNotificationMode");
    if (event != JVMTI_EVENT_CLASS_FILE_LOAD_HOOK || thread != nullptr) {
        violation("SetEventNotificationMode of another event or one thread");
    }
    __atomic_store_n(&envOf(env).hookEnabled, mode == JVMTI_ENABLE, __ATOMIC_RELAXED);
    return JVMTI_ERROR_NONE;
}

jvmtiError JNICALL Allocate(jvmtiEnv* env, jlong size, unsigned char** memory) {
    JVMTI_ENTER("Allocate");
    if (size < 0) {
        return JVMTI_ERROR_ILLEGAL_ARGUMENT;
    }
    *memory = static_cast<unsigned char*>((::malloc)(static_cast<size_t>(size) + 1));
    bump(state->held.jvmtiBlocks);
    return JVMTI_ERROR_NONE;
}

// Giving a block back never fails for want of memory.
jvmtiError JNICALL Deallocate(jvmtiEnv* env, unsigned char* memory) {
    if (jvmtiError entered = enterJvmti(env, "Deallocate", false)) {
        return entered;
    }
    (::free)(memory);
    bump(state->held.jvmtiBlocks, memory != nullptr ? -1 : 0);
    return JVMTI_ERROR_NONE;
}

jvmtiError JNICALL GetObjectHashCode(jvmtiEnv* env, jobject object, jint* hash) {
    JVMTI_ENTER("GetObjectHashCode");
    Object* o = resolve(&current(), object, "GetObjectHashCode");
    if (o == nullptr) {
        return JVMTI_ERROR_INVALID_OBJECT;
    }
    *hash = o->id % 2;  // two values: classes share hashes, listed or not
    return JVMTI_ERROR_NONE;
}

jvmtiError JNICALL DisposeEnvironment(jvmtiEnv* env) {
    Env& e = envOf(env);
    if (jvmtiError entered = enterJvmti(env, "DisposeEnvironment", false)) {
        return entered;
    }
    e.disposed = true;
    e.hookEnabled = false;
    if (e.library) {
        bump(state->libraryEnvs, -1);
    }
    return JVMTI_ERROR_NONE;
}

// HotSpot's lock of the classes a redefinition changes: wait while another
// thread redefines one of them. The same thread's nested redefinition of one
// passes, and HotSpot (25 at least) then frees what the outer one still
// uses: here that is a fault.
void lockClasses(Thread& t, const List<int>& classes, bool lock) {
    state->redefinition.lock();
    for (bool busy = lock; busy;) {
        busy = false;
        for (int c : classes) {
            Thread* owner = state->redefinitions[c].owner;
            busy = busy || (owner != nullptr && owner != &t);
            if (owner == &t) {
                violation("%s: a nested redefinition of %s", t.name, kClasses[c].name);
            }
        }
        if (busy) {
            state->redefined.wait(state->redefinition);
        }
    }
    for (int c : classes) {
        Redefinition& r = state->redefinitions[c];
        r.depth += lock ? 1 : -1;
        r.owner = r.depth > 0 ? &t : nullptr;
    }
    if (!lock) {
        state->redefined.notifyAll();
    }
    state->redefinition.unlock();
}

// HotSpot's retransformation: the classes locked, each class's original
// bytes through every environment's hook in creation order, and the result
// installed only when no hook left an exception pending (which the VM then
// clears, failing the whole call).
jvmtiError doRetransform(Thread& t, Env& caller, const List<Object*>& classes) {
    if (!caller.canRetransform) {
        return JVMTI_ERROR_MUST_POSSESS_CAPABILITY;
    }
    List<int> indices;
    for (Object* c : classes) {
        if (c == nullptr || c->kind != Kind::Class) {
            return JVMTI_ERROR_INVALID_CLASS;
        }
        if (!c->type->redefinable) {
            return JVMTI_ERROR_UNMODIFIABLE_CLASS;
        }
        indices.push_back(static_cast<int>(c->type - kClasses));
    }
    lockClasses(t, indices, true);
    List<Bytes> results;
    jvmtiError result = JVMTI_ERROR_NONE;
    for (size_t k = 0; k < classes.size() && result == JVMTI_ERROR_NONE; k++) {
        Object* c = classes[k];
        Bytes bytes = c->original;
        for (int i = 0; i < state->envCount; i++) {
            Env& e = *state->envs[i];
            bool enabled = __atomic_load_n(&e.hookEnabled, __ATOMIC_RELAXED);
            if (!enabled || e.hook == nullptr || !e.canRetransform || e.disposed) {
                continue;
            }
            jint newLength = -1;
            unsigned char* newBytes = nullptr;
            pushFrame(t, 16);
            e.hook(&e, &t, t.local<jclass>(c), nullptr, c->type->name, nullptr,
                   static_cast<jint>(bytes.size()),
                   reinterpret_cast<const unsigned char*>(bytes.data()), &newLength, &newBytes);
            popFrame(t);
            if (newBytes != nullptr) {
                bytes.assign(reinterpret_cast<char*>(newBytes), static_cast<size_t>(newLength));
                (::free)(newBytes);  // the VM's now
                bump(state->held.jvmtiBlocks, e.library ? -1 : 0);
            }
        }
        if (t.pending != nullptr) {
            t.pending = nullptr;
            result = JVMTI_ERROR_FAILS_VERIFICATION;
        }
        results.push_back(bytes);
    }
    for (size_t k = 0; k < classes.size() && result == JVMTI_ERROR_NONE; k++) {
        classes[k]->current = results[k];
    }
    lockClasses(t, indices, false);
    return result;
}

jvmtiError JNICALL RetransformClasses(jvmtiEnv* env, jint count, const jclass* classes) {
    JVMTI_ENTER("RetransformClasses");
    if (count < 0 || (count > 0 && classes == nullptr)) {
        return JVMTI_ERROR_ILLEGAL_ARGUMENT;
    }
    List<Object*> objects;
    for (jint i = 0; i < count; i++) {
        objects.push_back(resolve(&current(), classes[i], "RetransformClasses"));
    }
    return doRetransform(current(), envOf(env), objects);
}

jvmtiInterface_1_ makeJvmti() {
    jvmtiInterface_1_ f{};
    ZEV_MODEL_SET(AddCapabilities) ZEV_MODEL_SET(SetEventCallbacks)
    ZEV_MODEL_SET(SetEventNotificationMode) ZEV_MODEL_SET(Allocate) ZEV_MODEL_SET(Deallocate)
    ZEV_MODEL_SET(GetObjectHashCode) ZEV_MODEL_SET(DisposeEnvironment)
    ZEV_MODEL_SET(RetransformClasses)
    return f;
}

const jvmtiInterface_1_ kJvmti = makeJvmti();

Env* newEnv(bool library) {
    if (state->envCount == 8) {
        abort();
    }
    auto* e = new Env();
    e->functions = &kJvmti;
    e->library = library;
    state->envs[state->envCount++] = e;
    bump(state->libraryEnvs, library ? 1 : 0);
    return e;
}

}  // namespace

jvmtiEnv* addAgent(ClassFileHook hook) {
    Env* e = newEnv(false);
    e->canRetransform = true;
    e->hook = hook;
    e->hookEnabled = hook != nullptr;
    return e;
}

jvmtiError retransform(Thread& t, jvmtiEnv* env, const std::vector<Object*>& classes) {
    return doRetransform(t, envOf(env), List<Object*>(classes.begin(), classes.end()));
}

int jvmtiEnvironments() {
    return static_cast<int>(peek(state->libraryEnvs));
}

// ---- the recorder interface ------------------------------------------------------------

namespace {

unsigned char gBuffer[65536];
unsigned char gInitBuffer[8192];
unsigned char gDescriptorBuffer[4096];
unsigned char gDescriptor[64];

// A slot of the recorder interface, open to a test's plan; one that takes
// the JNIEnv checks the calling thread's pending exception too.
Recorder& slot(const char* name, JNIEnv* env = nullptr) {
    enter(env != nullptr ? &of(env) : nullptr, name, 0);
    return state->recorder;
}

jlong region(void** start, unsigned char* memory, size_t size) {
    *start = state->recorder.nullBuffers ? nullptr : memory;
    return static_cast<jlong>(size);
}

VmRecorderInterface makeRecorderInterface() {
    VmRecorderInterface vm{};
    vm.is_enabled = []() -> jboolean { return slot("is_enabled").enabled; };
    vm.register_upcalls = [](const RecorderUpcalls* upcalls) -> jboolean {
        slot("register_upcalls").upcalls = upcalls;
        return JNI_TRUE;
    };
    vm.get_options = []() -> const OptionsRecord* { return &slot("get_options").options; };
    vm.recorder_command = [](jint command) -> jint {
        Recorder& r = slot("recorder_command");
        r.commands.push_back(command);
        r.started = r.started && command != 7;
        return command;
    };
    vm.prepare_shutdown = []() { slot("prepare_shutdown"); };
    vm.add = [](jint, const jbyte*, jint) { slot("add"); };
    vm.remove = [](jint id) -> jboolean { return slot("remove"), id > 0; };
    vm.buffer = [](void** start) { return slot("buffer"), region(start, gBuffer, sizeof(gBuffer)); };
    vm.flush = [](JNIEnv* env, jobject) -> jboolean { return slot("flush", env), JNI_TRUE; };
    vm.can_write = [](JNIEnv* env, jobject, jarray, jint) -> jboolean {
        return slot("can_write", env).canWrite;
    };
    vm.write = [](void*, jint, jint) { slot("write"); };
    vm.set_threshold = [](jint, jlong) -> jboolean { return slot("set_threshold").thresholdAnswer; };
    vm.set_period = [](jint, jlong) -> jboolean { return slot("set_period").thresholdAnswer; };
    vm.add_const_pool = [](void*, jint, jboolean) -> jint {
        return slot("add_const_pool").constPoolAnswer;
    };
    vm.remove_const_pool = [](jint) -> jboolean { return slot("remove_const_pool"), JNI_TRUE; };
    vm.store_const_pool = [](jint) -> jboolean { return slot("store_const_pool"), JNI_TRUE; };
    vm.init_buffer = [](void** start) {
        return slot("init_buffer"), region(start, gInitBuffer, sizeof(gInitBuffer));
    };
    vm.descriptor_buffer = [](void** start) {
        return slot("descriptor_buffer"), region(start, gDescriptorBuffer, sizeof(gDescriptorBuffer));
    };
    vm.set_repository = [](const char* path) -> jboolean {
        return slot("set_repository").setRepositoryAnswer && path != nullptr;
    };
    vm.get_descriptor = [](jint id, void** address, jlong* length, jint* result) -> jboolean {
        for (size_t i = 0; i < sizeof(gDescriptor); i++) {
            gDescriptor[i] = static_cast<unsigned char>(static_cast<unsigned>(id) + i);
        }
        *address = gDescriptor;
        *length = sizeof(gDescriptor);
        *result = id;
        return slot("get_descriptor").descriptorAnswer;
    };
    vm.get_period = [](jint id) -> jlong { return slot("get_period"), static_cast<jlong>(id) * 10; };
    vm.class_id = [](jclass) -> jlong { return slot("class_id"), 22; };
    vm.stack_trace_id = [](jint skip) -> jlong {
        return slot("stack_trace_id"), static_cast<jlong>(skip) + 23;
    };
    vm.thread_id = [](JNIEnv* env, jobject) -> jlong { return slot("thread_id", env), 24; };
    vm.getpid = [](JNIEnv* env, jobject) -> jint { return slot("getpid", env), 25; };
    vm.counter_time = [](JNIEnv* env, jobject) -> jlong { return slot("counter_time", env), 26; };
    vm.timing_init = [](JNIEnv* env, jobject) -> jlong { return slot("timing_init", env), 27; };
    vm.log = [](jint level, const char* message) {
        slot("log");
        current().log.push_back({level, Bytes(message)});
    };
    vm.is_disabled_on_command_line = []() -> jboolean {
        return slot("is_disabled_on_command_line").disabledOnCommandLine;
    };
    vm.is_started = []() -> jboolean { return slot("is_started").started; };
    vm.start_recorder = []() -> jboolean {
        Recorder& r = slot("start_recorder");
        r.started = r.started || r.startAnswer;
        return r.startAnswer;
    };
    vm.store_locale = [](const char* locale, jint, jint) -> jboolean {
        return slot("store_locale").storeLocaleAnswer && locale != nullptr;
    };
    return vm;
}

VmRecorderInterface gRecorderInterface = makeRecorderInterface();

}  // namespace

VmRecorderInterface* recorderInterface() {
    return &gRecorderInterface;
}

// ---- the plan, holdings, violations ------------------------------------------------------

void arm(const Plan& plan) {
    state->plan = plan;
    state->counted = 0;
    state->failed = 0;
    state->names.clear();
    state->armed = true;
}

std::vector<std::string> disarm() {
    state->armed = false;
    state->plan = Plan();
    return std::move(state->names);
}

long failedCalls() {
    return peek(state->failed);
}

Holdings holdings() {
    const Holdings& h = state->held;
    return {peek(h.globalRefs), peek(h.allocations), peek(h.jvmtiBlocks)};
}

List<Bytes> violations() {
    return List<Bytes>(state->violations, state->violations + std::min(peek(state->violationCount), 64L));
}

// ---- the default Java side, the JavaVM, life ------------------------------------------------

namespace {

Object* defaultRequest(Thread&, Method method, const jvalue* args) {
    static const char* const kNames[] = {"start ", "stop ", "check ", "dump "};
    return newString((kNames[static_cast<int>(method)] +
                      text(reinterpret_cast<Object*>(args[0].l))).c_str());
}

// ZEV.get(), as the recorder's own binds once: a recorder is bound, under
// the Java class's lock, when the library holds none.
Object* defaultZevGet(Thread& t) {
    state->bootstrap.lock();
    state->zev = ::recorderBound() ? state->zev : bindRecorder(t);
    Object* zev = state->zev;
    state->bootstrap.unlock();
    return zev;
}

jint JNICALL GetEnv(JavaVM*, void** penv, jint version) {
    *penv = nullptr;
    if (version == RECORDER_INTERFACE_VERSION) {
        *penv = gOptions.recorderInterface ? recorderInterface() : nullptr;
        return gOptions.recorderInterface ? JNI_OK : JNI_EVERSION;
    }
    if (version == JVMTI_VERSION_1_0) {
        if (enter(&current(), "GetEnv", kFallible)) {
            return JNI_ENOMEM;
        }
        *penv = static_cast<jvmtiEnv*>(newEnv(true));
        return JNI_OK;
    }
    *penv = static_cast<JNIEnv*>(&current());
    return JNI_OK;
}

JNIInvokeInterface_ makeInvoke() {
    JNIInvokeInterface_ f{};
    f.GetEnv = GetEnv;
    return f;
}

const JNIInvokeInterface_ kInvoke = makeInvoke();
JavaVM gJavaVm{&kInvoke};

void destroy(Object* o) {
    (::free)(o->elements);
    delete o;
}

}  // namespace

void reset() {
    if (state == nullptr) {
        return;
    }
    auto never = [](void*) { return false; };
    sweep(state->objects, never, destroy);
    sweep(state->refs, never, [](Ref* r) { delete r; });
    for (int i = 0; i < state->envCount; i++) {
        delete state->envs[i];
    }
    delete state;
    state = nullptr;
}

void collect() {
    // What is reached: the classes, the default ZEV.get()'s recorder, what a
    // live reference names, and the elements and fields of all of those.
    List<Object*> reached;
    auto reach = [&reached](Object* o) {
        if (o != nullptr && !o->marked) {
            o->marked = true;
            reached.push_back(o);
        }
    };
    std::for_each(std::begin(state->classes), std::end(state->classes), reach);
    reach(state->zev);
    for (Ref* r = state->refs; r != nullptr; r = r->all) {
        reach(r->live ? r->object : nullptr);
    }
    for (size_t i = 0; i < reached.size(); i++) {
        for (int k = 0; reached[i]->elements != nullptr && k < reached[i]->length; k++) {
            reach(reached[i]->elements[k]);
        }
        for (Object* field : reached[i]->fields) {
            reach(field);
        }
    }
    sweep(state->objects, [](Object* o) { return std::exchange(o->marked, false); }, destroy);
    sweep(state->refs, [](Ref* r) { return r->live; }, [](Ref* r) { delete r; });
}

void start(const Options& options) {
#ifdef ZEV_MODEL_CHECK
    // A model still here was left by an execution that failed: Relacy
    // abandons it mid-way, and its locks and checked fields died with it.
    state = nullptr;
#endif
    reset();
    state = new State();
    gOptions = options;
    for (int i = 0; i < kClassCount; i++) {
        Object* c = newObject(Kind::Class, &kClasses[i]);
        c->original = kClasses[i].redefinable ? Bytes("class ") + kClasses[i].name : Bytes();
        c->current = c->original;
        state->classes[i] = c;
    }
    state->java.request = defaultRequest;
    state->java.zevGet = defaultZevGet;
}

jint load(Thread&) {
    return JNI_OnLoad(&gJavaVm, nullptr);
}

Bytes finish(Thread& t) {
    Bytes problems;
    if (state->recorder.upcalls != nullptr && t.pending == nullptr) {
        jint restored = state->recorder.upcalls->release_bindings(&t);
        problems += restored != 0 ? "the last release answered an error; " : "";
    }
    for (const Bytes& v : violations()) {
        problems += "violation: " + v + "; ";
    }
    Holdings h = holdings();
    char line[160] = "";
    if (h.globalRefs > 1 || h.allocations != 0 || h.jvmtiBlocks != 0 || peek(state->pinned) != 0) {
        snprintf(line, sizeof(line), "the library holds %ld global refs, %ld blocks, %ld JVMTI "
                 "blocks, %ld pinned; ", h.globalRefs, h.allocations, h.jvmtiBlocks,
                 peek(state->pinned));
    }
    problems += line;
    for (Object* c : state->classes) {
        problems += c->current != c->original ? c->type->name + (" runs " + c->current + "; ")
                                              : Bytes();
    }
    if (t.localRefs() != 0) {
        snprintf(line, sizeof(line), "%d local refs left on %s; ", t.localRefs(), t.name);
        problems += line;
    }
    return problems;
}

}  // namespace model

// ---- the library's allocations -------------------------------------------------------------

namespace {

bool failed(const char* function) {
    return model::state != nullptr && model::enter(nullptr, function, model::kFallible);
}

void* counted(void* block) {
    if (block != nullptr && model::state != nullptr) {
        model::bump(model::state->held.allocations);
    }
    return block;
}

}  // namespace

void* zevModelMalloc(size_t size) {
    return failed("malloc") ? nullptr : counted(malloc(size));
}

void* zevModelCalloc(size_t count, size_t size) {
    return failed("calloc") ? nullptr : counted(calloc(count, size));
}

void zevModelFree(void* block) {
    if (block != nullptr && model::state != nullptr) {
        model::bump(model::state->held.allocations, -1);
    }
    free(block);
}
