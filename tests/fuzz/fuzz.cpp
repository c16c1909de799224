// libFuzzer over the library's entry points on the model of the VM's side. An
// input makes up to eight operations (the upcalls with the strings a VM
// written in C hands over, the recorder's natives with
// arguments at their edges, retransformations through the library and
// through another agent), then a last release after which the library holds
// nothing and every class runs its own bytes. fuzz_upcalls runs before the
// recorder is reported started; fuzz_started after, where a release is
// followed at once by a new binding, as a request would otherwise find none.
// A finding prints the operations and what broke, then aborts.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstdio>
#include <cstring>
#include <deque>
#include <memory>
#include <numeric>
#include <string>
#include <vector>

#include "model.h"
#include "tesmar_nuvrak_zev_Logger.h"
#include "tesmar_nuvrak_zev_VMZEV.h"
#include "tesmar_nuvrak_zev_ZEV.h"

bool recorderBound();             // the library's
bool retransformedClassesHeld();  // the library's
#define ZEV(native) Java_tesmar_nuvrak_zev_##native

namespace {

using model::Object;
using model::Thread;
constexpr bool kStarted = ZEV_FUZZ_STARTED;  // after the recorder is reported started

FuzzedDataProvider* in;
std::string trace;                               // what the input did, for the report
std::deque<std::string> texts;                   // the input's strings: their addresses stay put
Thread* threads[2];
Thread* t;  // the thread of the operation under way
const RecorderUpcalls* up;
jvmtiEnv* agent;  // another agent's environment, made before ours: its hook runs first
// How the Java side, the other agent and the VM behave in this operation.
int answer, getMode, transformMode;
bool agentThrows, getAnswered;
std::string repository;  // where ZEV.get() binds a recorder
Object* recorder;        // the VMZEV it bound
jvalue seen[12];         // the arguments of the last request that reached Java
bool requested;          // whether a request reached Java in this operation

template <typename... Args>
std::string format(const char* format, Args... args) {
    char text[1024];
    return snprintf(text, sizeof text, format, args...), text;
}

std::string shown(const char* text) {  // escaped, cut after 60 bytes
    std::string out = "\"";
    for (size_t i = 0; text && text[i] && i < 60; i++) {
        auto c = static_cast<unsigned char>(text[i]);
        out += isprint(c) ? std::string(1, text[i]) : format("\\x%02X", c);
    }
    return !text ? "null" : out + (strlen(text) > 60 ? "...\"" : "\"");
}

[[noreturn]] void fail(const std::string& what) {
    fprintf(stderr, "\n==== zev fuzz: the input ran:\n%s\n==== and broke: %s\n", trace.c_str(), what.c_str());
    abort();
}

void check(bool ok, const char* what) { ok ? void() : fail(what); }
int pick(int n) { return in->ConsumeIntegralInRange<int>(0, n - 1); }

bool decodes(const char* text, bool fourByte, std::u16string* units = nullptr) {
    return model::decodeModifiedUtf8(text, strlen(text), fourByte, units);
}

// Whether the strings a call sent, and the count strings of its list, all
// decode (a null string counts as whole).
bool allDecode(std::vector<const char*> sent, const char* const* list, jint count) {
    if (list && count > 0) sent.insert(sent.end(), list, list + count);
    return std::all_of(sent.begin(), sent.end(), [](const char* s) { return !s || decodes(s, true); });
}

// ---- the VM's strings --------------------------------------------------------

char byte(unsigned value) { return static_cast<char>(value); }

// A code point as modified UTF-8 writes it, or in standard UTF-8's four bytes.
std::string utf8(unsigned p, bool fourByte = false) {
    if (p >= 0x10000 && !fourByte) return utf8(0xD800 + ((p - 0x10000) >> 10)) + utf8(0xDC00 + (p & 0x3FF));
    if (p >= 0x10000) {
        return {byte(0xF0 | p >> 18), byte(0x80 | (p >> 12 & 0x3F)), byte(0x80 | (p >> 6 & 0x3F)), byte(0x80 | (p & 0x3F))};
    }
    if (p != 0 && p < 0x80) return std::string(1, byte(p));
    if (p < 0x800) return {byte(0xC0 | p >> 6), byte(0x80 | (p & 0x3F))};
    return {byte(0xE0 | p >> 12), byte(0x80 | (p >> 6 & 0x3F)), byte(0x80 | (p & 0x3F))};
}

// Modified UTF-8 of every kind: ASCII, NUL, two and three bytes, surrogate
// pairs and lone halves of them.
std::string valid(int most) {
    static const unsigned kRanges[][2] = {{0x20, 0x7E}, {0x20, 0x7E}, {0, 0x1F}, {0x80, 0x7FF},
                                          {0x800, 0xFFFF}, {0xD800, 0xDFFF}, {0x10000, 0x10FFFF}};
    std::string s;
    for (int n = pick(most + 1); n > 0; n--) {
        const unsigned* range = kRanges[pick(7)];
        s += utf8(in->ConsumeIntegralInRange(range[0], range[1]));
    }
    return s;
}

// A few ASCII characters, then one character many times: long enough to be
// cut in a message, or converted off the stack.
std::string longText(bool fourByte) {
    static const unsigned kPoints[] = {0xE9, 0x20AC, 0x1F600};
    std::string s(pick(4), '/'), unit = utf8(kPoints[pick(3)], fourByte && in->ConsumeBool());
    for (int n = pick(300); n > 0; n--) s += unit;
    return s;
}

// A string as a VM written in C hands it over, or null; noted in the trace.
const char* vmText() {
    static const char* const kFaults[] = {"\xE9", "\xA9", "\xC3", "\xE2\x82", "\xF0\x9F\x98", "\xC0\xAF", "\xC1\x81",
        "\xE0\x80\xAF", "\xF0\x80\x80\xAF", "\xF4\x90\x80\x80", "\xED\xA0", "\xF8\x88\x80\x80\x80", "\xFF", "\xC0\x80\x80"};
    switch (pick(8)) {
    case 0: return trace += " null", nullptr;
    case 1: texts.push_back(in->ConsumeRandomLengthString(32)); break;  // raw bytes
    case 2: texts.push_back(valid(16)); break;
    case 3: texts.push_back(valid(4) + utf8(in->ConsumeIntegralInRange(0x10000u, 0x10FFFFu), true) + valid(4)); break;
    case 4: texts.push_back(valid(6) + kFaults[pick(14)] + valid(6)); break;
    case 5: texts.push_back(longText(true)); break;
    default: texts.push_back(std::string(pick(20), 'a'));
    }
    return trace += " " + shown(texts.back().c_str()), texts.back().c_str();
}

// Exactly n addresses of VM strings, a few of them repeated.
const char** list(jint n) {
    auto** l = new const char*[n > 0 ? n : 0];
    for (jint i = 0, distinct = 1 + pick(12); i < n; i++) l[i] = i < distinct ? vmText() : l[i % distinct];
    return l;
}

// The Java string a VM string became holds the same characters.
void same(const char* sent, Object* got) {
    std::u16string vm, java;
    if (!sent != !got || (got && !(decodes(sent, true, &vm) && decodes(got->text, false, &java) && vm == java)))
        fail("sent " + shown(sent) + ", Java got " + shown(got ? got->text : nullptr));
}

Object* object(jvalue v) { return reinterpret_cast<Object*>(v.l); }

void sameList(const char* const* sent, jint count, Object* got) {
    check(got->length == count, "a String[] of another length than its count");
    for (jint i = 0; i < count; i++) same(sent ? sent[i] : nullptr, got->elements[i]);
}

// ---- the Java side -----------------------------------------------------------

void quiet() {  // nothing goes wrong
    answer = getMode = transformMode = 0, agentThrows = model::recorder().nullBuffers = false, repository = "/tmp";
}

// The handler of requests and chunks: keeps what reached it, then answers a
// string, or null, or throws.
Object* request(Thread& on, model::Method, const jvalue* args) {
    memcpy(seen, args, sizeof seen);
    requested = true;
    if (answer == 2) on.throwNew("java/lang/IllegalStateException", "the handler threw");
    return answer == 0 ? model::newString("/tmp/answer") : nullptr;
}

// ZEV.get(): binds a recorder when none is bound (VMZEV.init's exception is
// then its own), or answers null, or throws.
Object* zevGet(Thread& on) {
    if (getMode == 2) on.throwNew("java/lang/IllegalStateException", "ZEV.get() threw");
    if (getMode == 0 && !recorderBound()) {
        model::recorder().setRepositoryAnswer = repository == "/tmp";
        recorder = model::bindRecorder(on, "en-US", repository.c_str());
    }
    return (getAnswered = getMode == 0 && recorder && !on.pending) ? recorder : nullptr;
}

Object* transform(Thread& on, Object* klass, Object*) {
    if (transformMode == 1) return nullptr;
    if (transformMode == 2) on.throwNew("java/lang/IllegalStateException", "the callback threw");
    if (transformMode == 3) up->release_bindings(&on);  // the VM releases us from inside the callback
    model::Bytes bytes = klass->original + " probed";
    return on.pending ? nullptr : model::newByteArray(bytes.data(), static_cast<int32_t>(bytes.size()));
}

void JNICALL agentHook(jvmtiEnv*, JNIEnv* env, jclass, jobject, const char*, jobject, jint,
                       const unsigned char*, jint*, unsigned char**) {
    if (agentThrows) model::of(env).throwNew("java/lang/IllegalStateException", "another agent's hook threw");
}

int javaCalls() { return std::accumulate(std::begin(model::java().calls), std::end(model::java().calls), 0); }

void rebindIfStarted() {  // once started, a request must find a recorder
    if (!kStarted || recorderBound()) return;
    quiet(), threads[0]->attach(), zevGet(*threads[0]);
    check(recorderBound() && !threads[0]->pending, "no new binding after a release");
}

// ---- operations --------------------------------------------------------------

size_t mark;   // t's log lines before the operation
Object* left;  // the exception the operation left pending

jobject probe() { return t->local(model::newInstance("tesmar/nuvrak/zev/VMZEV")); }

// Runs call on one of the VM's threads, in a local frame, and judges what
// every operation must hold: no violation, every line logged and message
// thrown on whole characters, the frames popped. Answers what call answered;
// the exception it left pending is in left, cleared.
Object* run(const std::function<jobject(JNIEnv*)>& call) {
    t = threads[pick(2)];
    trace += format(" on %s;", t->name);
    t->attach();
    mark = t->log.size();
    Object* answered = model::inFrame(*t, call);
    if (!model::violations().empty()) fail("the model saw: " + std::string(model::violations()[0].c_str()));
    for (size_t i = mark; i < t->log.size(); i++)
        if (!decodes(t->log[i].text.c_str(), true)) fail("a line ends inside a character: " + shown(t->log[i].text.c_str()));
    left = t->pending;
    t->clearPending();
    if (left && !decodes(left->text, false)) fail("a message ends inside a character: " + shown(left->text));
    check(t->depth == 0, "a local frame left pushed");
    return answered;
}

void upcall() {
    static const int kNameAt[] = {0, 0, 0, 0, -1, -1, -1}, kFileAt[] = {5, 3, -1, 2, 0, -1, -1};
    int entry = pick(7), kind = pick(16);
    if (entry == 5 && !recorderBound()) entry = 2;  // new_chunk with nothing bound breaks the contract
    jint count = entry || kind > 1 ? pick(13) : kind ? pick(1900) + 100 : in->ConsumeIntegralInRange(INT_MIN, -1);
    bool pending = pick(8) == 0, bound = recorderBound(), held = retransformedClassesHeld(), finished = false, dropped = false;
    answer = pick(3), getMode = kStarted || pick(3) ? 0 : pick(3), getAnswered = requested = false;
    repository = pick(4) ? "/tmp" : "/nonexistent/" + longText(false);  // the VM refuses it
    trace += format("\nupcall %d, answer %d, get %d, repository %s%s, count %d:", entry, answer, getMode,
                    shown(repository.c_str()).c_str(), pending ? ", pending" : "", count);
    const char* name = kNameAt[entry] < 0 ? nullptr : vmText();
    const char* file = kFileAt[entry] < 0 ? nullptr : vmText();
    std::unique_ptr<const char*[]> settings(entry == 0 && pick(16) ? list(count) : nullptr);  // exactly count, or null
    jlong l[4];
    for (jlong& value : l) value = in->ConsumeIntegral<jlong>();
    jboolean flag = in->ConsumeIntegral<jboolean>();
    int calls = javaCalls();
    jint restored = 0;
    Object* thrown = nullptr;
    Object* answered = run([&](JNIEnv* env) -> jobject {
        if (pending) t->throwNew("java/lang/IllegalStateException", "pending on entry"), thrown = t->pending;
        switch (entry) {
        case 0: return up->start_recording(env, name, count, settings.get(), flag, l[0], l[1], file, flag, l[2], l[3], flag);
        case 1: return up->stop_recording(env, name, l[0], flag, file, flag);
        case 2: return up->check_recording(env, name, l[0], flag);
        case 3: return up->dump_recording(env, name, l[0], file, flag);
        case 4: return finished = up->finish_chunk(env, file, l[0], l[1], flag), nullptr;
        case 5: return up->new_chunk(env), nullptr;
        default: return restored = up->release_bindings(env), dropped = !recorderBound(), nullptr;
        }
    });
    bool refused = !answered && !finished, logged = t->errorsSince(mark) > 0;
    bool countRefused = !entry && (count < 0 || (!settings && count));
    bool reachable = entry == 4 ? bound && file : entry == 5 ? bound : kStarted || getAnswered;
    check(!answered || !left, "a string answered with an exception pending");
    check(entry != 6 || dropped, "a release left the recorder bound");
    check(!pending || (refused && javaCalls() == calls && logged && left == thrown && restored == (entry == 6 && held ? 113 : 0)),
          "entered with an exception pending, it answered, reached Java, logged nothing or lost the exception");
    if (pending || entry == 6) return;
    check(requested || (refused && (logged || (entry == 4 && !file))),
          "refused without a level-1 line, or answered without reaching Java");
    check(requested == (allDecode({name, file}, settings.get(), count) && reachable && !countRefused),
          requested ? "a string that is not modified UTF-8 reached Java" : "a request with modified UTF-8 did not reach Java");
    if (!requested) return;
    if (kNameAt[entry] >= 0) same(name, object(seen[kNameAt[entry]]));
    if (kFileAt[entry] >= 0) same(file, object(seen[kFileAt[entry]]));
    if (entry == 0) sameList(settings.get(), count, object(seen[1]));
    check((entry > 4 || !left == (answer != 2)) && (entry > 3 || !answered == (answer != 0)) &&
              (entry != 4 || finished == (answer != 2)),
          "the handler's answer, null or exception came back changed");
}

jint edge() {
    static const jint kEdges[] = {INT_MIN, INT_MIN + 1, -65536, -1, 0, 1, 2, 7, 63, 64, 4096, 65536, INT_MAX - 1, INT_MAX};
    return in->ConsumeBool() ? in->ConsumeIntegral<jint>() : kEdges[pick(14)];
}

// A native of the recorder's classes, with arguments at their edges, over
// arrays and buffers of exactly their length.
void native() {
    int which = pick(8), length = pick(66) - 1;  // -1: null
    jint a = edge(), b = edge(), c = edge(), size = in->ConsumeBool() ? pick(length + 2) : a;
    jlong value = in->ConsumeIntegral<jlong>();
    bool flag = in->ConsumeBool();
    std::string message = in->ConsumeBool() ? valid(40) : longText(false);
    std::unique_ptr<unsigned char[]> memory(new unsigned char[length > 0 ? length : 0]());
    model::Recorder& vm = model::recorder();
    vm.nullBuffers = pick(4) == 0, vm.thresholdAnswer = pick(4), vm.constPoolAnswer = pick(4) ? 1 : 0;
    vm.canWrite = length >= 0 && b >= 0 && c >= 0 && b + static_cast<long long>(c) <= length;  // the VM checks its range
    trace += format("\nnative %d (%d, %d, %d, %d), array %d%s", which, a, b, c, size, length, flag ? ", flag" : "");
    Object* array = length < 0 ? nullptr : model::newByteArray(nullptr, length);
    Object* buffers = length < 0 ? nullptr : model::newObjectArray("java/lang/Object", length % 4);
    Object* pool = length < 0 ? nullptr
                   : flag     ? model::newDirectBuffer(memory.get(), length) : model::newInstance("java/nio/ByteBuffer");
    Object* text = flag ? nullptr : model::newString(message.c_str());
    run([&](JNIEnv* env) -> jobject {
        jobject self = probe();
        auto bytes = t->local<jbyteArray>(array);
        switch (which) {
        case 0:
            if (c > 65536) model::arm({1, model::FailMode::Once, nullptr});  // no gigabytes for the copy
            return ZEV(VMZEV_add)(env, self, a, bytes, b, c), model::disarm(), nullptr;
        case 1: return ZEV(VMZEV_write)(env, self, bytes, b, c), nullptr;
        case 2: return ZEV(VMZEV_addConstPool)(env, self, t->local(pool), size, flag), nullptr;
        case 3: return (flag ? ZEV(VMZEV_setThreshold) : ZEV(VMZEV_setPeriod))(env, self, a, value), nullptr;
        case 4: return ZEV(VMZEV_descriptors)(env, self, a, t->local<jobjectArray>(buffers)), nullptr;
        case 5: return ZEV(VMZEV_buffer)(env, self);
        case 6: return ZEV(Logger_output0)(env, nullptr, a, t->local<jstring>(text)), nullptr;
        default:  // startHalcyra fails before the start
            return flag ? (void)ZEV(ZEV_startHalcyra)(env, nullptr) : ZEV(VMZEV_shutdown)(env, self), nullptr;
        }
    });
    check(which != 6 || flag || t->log.back().text == message.c_str(), "Logger.output0 logged another text");
}

void retransform() {
    static const char* const kClasses[] = {"model/Alpha", "model/Beta", "model/Gamma", "model/Delta", "model/Epsilon"};
    int length = pick(5) - 1;  // -1: null
    bool byAgent = pick(3) == 0;
    transformMode = pick(4), agentThrows = pick(4) == 0;
    std::vector<Object*> classes;
    for (int i = 0; i < length; i++) classes.push_back(pick(8) ? model::classObject(kClasses[pick(5)]) : nullptr);
    trace += format("\n%s %d classes, callback %d%s", byAgent ? "another agent retransforms" : "retransformClasses0 of",
                    length, transformMode, agentThrows ? ", the agent's hook throws" : "");
    run([&](JNIEnv* env) -> jobject {
        if (byAgent) return model::retransform(*t, agent, classes), nullptr;
        Object* array = length < 0 ? nullptr : model::newObjectArray("java/lang/Class", length);
        std::copy(classes.begin(), classes.end(), array ? array->elements : nullptr);
        return ZEV(VMZEV_retransformClasses0)(env, probe(), t->local<jobjectArray>(array)), nullptr;
    });
}

}  // namespace

// Before ASan reports what it found.
extern "C" void __asan_on_error() { fprintf(stderr, "\n==== zev fuzz: the input ran:\n%s\n", trace.c_str()); }

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    model::start();
    agent = model::addAgent(agentHook);
    threads[0] = new Thread("the VM thread that loaded us"), threads[1] = new Thread("another VM thread");
    threads[0]->attach();
    model::load(*threads[0]);
    up = model::recorder().upcalls;
    model::recorder().startAnswer = kStarted;  // before the start, startHalcyra fails and drops the binding
    // A VM reads the constant pool it is handed: a read past the buffer is ASan's to see.
    model::recorderInterface()->add_const_pool = [](void* pool, jint size, jboolean) -> jint {
        return memchr(pool, 1, static_cast<size_t>(size)) ? 0 : model::recorder().constPoolAnswer;
    };
    // The handler, for chunks too; the retransformation callback; ZEV.get().
    model::java() = {request, [](Thread& on, model::Method method, const jvalue* args) { request(on, method, args); },
                     transform, zevGet};
    quiet();  // the first request binds, and caches the String class for good
    model::inFrame(*threads[0],
                   [](JNIEnv* env) { return up->start_recording(env, "", 0, nullptr, 0, 0, 0, nullptr, 0, 0, 0, 0); });
    kStarted ? ZEV(ZEV_startHalcyra)(threads[0], nullptr) : up->release_bindings(threads[0]);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static void (*const kOperations[])() = {upcall, upcall, upcall, upcall, upcall, native, native, retransform};
    FuzzedDataProvider provider(data, size);
    in = &provider;  // every input begins quiet: the last one ended so
    for (int op = 0; op < 8 && in->remaining_bytes() > 0; op++) kOperations[pick(8)](), rebindIfStarted();
    // The last release, with nothing in the way: it restores every class, and the library holds nothing.
    quiet(), threads[0]->attach(), trace += "\nthe last release";
    model::Bytes problems = model::finish(*threads[0]);
    if (!problems.empty()) fail(problems.c_str());
    rebindIfStarted();
    for (Thread* each : threads) each->log.clear();
    model::recorder().commands.clear(), texts.clear(), trace.clear();
    model::collect();
    return 0;
}
