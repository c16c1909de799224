// The failure sweep: every entry point of the library, in each state that
// matters, with each of its calls into the VM failed in turn: once, then
// with every later call too, then (a reference-making call) quietly, nothing
// pending. A counting run lists the calls; each failed run is a child
// process over a fresh model, and must be survived (a sound answer, no JNI
// rule broken, nothing held that was not held before, the same call
// succeeding afterwards) or end in a guarantee the library must make there.
// Each group prints its table and writes it to failure-sweep/ in the build
// tree.
//
// A VM thread attached from native code and the Java thread that calls
// through the VM are one thing here, a model::Thread: the upcalls run once,
// on a VM thread other than the one that bound the recorder.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <sstream>
#include <string>
#include <type_traits>
#include <vector>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
#endif

#include "model.h"
#include "tesmar_nuvrak_zev_Logger.h"
#include "tesmar_nuvrak_zev_Process.h"
#include "tesmar_nuvrak_zev_Timing.h"
#include "tesmar_nuvrak_zev_VMZEV.h"
#include "tesmar_nuvrak_zev_ZEV.h"

#define VM(native) Java_tesmar_nuvrak_zev_VMZEV_##native
#define JAVA(native) Java_tesmar_nuvrak_zev_##native

namespace {

using model::Object;
using model::Thread;

// A child's VM threads and Java objects.
struct World {
    Thread main{"main"};        // loads the library, binds the recorder, calls the natives
    Thread vm{"VM Thread"};     // makes the upcalls
    Object* self = nullptr;     // the recorder object: the bound one, or a fresh VMZEV
    Object* classes = nullptr;  // Class[] {Alpha, Beta, Gamma}
    jvmtiEnv* agent = nullptr;
};

// What a call did, on the thread it ran on.
struct Outcome {
    std::string said;           // "threw <simple class name>: <message>", or the answer as shown()
    bool threw, empty, string;  // an exception pending; null, false or 0; a String
    size_t errors = 0;          // level-1 lines logged
    std::string classes;        // classesNow() after the call
};

// How a failed run is judged: a native may throw; an upcall answers nothing
// and says why; a retransformation says why or answers; the load by
// which of its steps failed.
enum class Kind { Native, Upcall, Classes, Load };

void nothing(World&) {}

// One entry point in one state.
struct Scenario {
    std::string name;
    std::function<Outcome(World&)> call;
    std::string ok;  // what it says when nothing fails (for Classes, then its classes)
    std::function<void(World&)> setUp = nothing;
    std::vector<std::string> guarantees = {};
    Kind kind = Kind::Native;
    bool cold = false;  // no request has filled the library's String class cache yet
};

struct Group {
    const char* file;
    const char* title;
    bool load, bind, start;
    std::vector<Scenario> scenarios;
    model::Options options = {};
};

const std::vector<std::string> kInitGuarantees = {
    "couldn't find VMZEV class", "couldn't find finishChunk method", "couldn't find startRecording method",
    "couldn't find stopRecording method", "couldn't find checkRecording method", "couldn't find dumpRecording method",
    "couldn't find retransformCallback method", "couldn't find onNewChunk method", "Could not create ZEV global ref",
    "Failed to get UTF Chars from String"};
const char* const kClasses[] = {"model/Alpha", "model/Beta", "model/Gamma", "model/Delta"};  // Delta never listed

// A string's text, an array's elements, NativeOptions' name, settings and dump path.
std::string shown(Object* o) {
    std::string s = o == nullptr ? "null" : o->kind == model::Kind::DirectBuffer ? "buffer" : "";
    if (o != nullptr && o->kind == model::Kind::String) {
        s = model::text(o).c_str();
    } else if (o != nullptr && o->kind == model::Kind::Instance) {
        s = shown(o->fields[0]) + " " + shown(o->fields[1]) + " " + shown(o->fields[7]);
    }
    for (int i = 0; o != nullptr && o->kind == model::Kind::ObjectArray && i < o->length; i++) {
        s += (i > 0 ? " " : "") + shown(o->elements[i]);
    }
    return s;
}

// Whether each listed class runs its own bytes (o), the callback's (p) or other (?).
std::string classesNow() {
    std::string now;
    for (const char* name : kClasses) {
        Object* c = model::classObject(name);
        now += c->current == c->original ? 'o' : c->current == c->original + " patched" ? 'p' : '?';
    }
    return now;
}

// A native as Java calls it, on the main thread in a frame of its own, or an
// upcall as the VM makes it, on the VM thread: what it did.
template <typename F>
std::function<Outcome(World&)> on(bool upcall, F f) {
    return [=](World& w) {
        Thread& t = upcall ? w.vm : w.main;
        t.attach();
        size_t mark = t.log.size();
        long value = 0;
        auto run = [&](JNIEnv* e) -> jobject {
            if constexpr (std::is_pointer_v<decltype(f(e, w))>) {
                return f(e, w);
            } else if constexpr (std::is_void_v<decltype(f(e, w))>) {
                f(e, w);
            } else {
                value = static_cast<long>(f(e, w));
            }
            return nullptr;
        };
        Object* object = upcall ? model::deref(run(&t)) : model::inFrame(t, run);
        std::string thrown = t.pendingName().c_str();
        thrown = "threw " + thrown.substr(thrown.rfind('/') + 1) + ": " + t.pendingMessage().c_str();
        return Outcome{t.pending ? thrown : object ? shown(object) : std::to_string(value), t.pending != nullptr,
                       !object && value == 0, object && object->kind == model::Kind::String, t.errorsSince(mark),
                       classesNow()};
    };
}
#define NATIVE(expr) on(false, [](JNIEnv* e, World& w) { return (void)e, (void)w, (expr); })
#define UPCALL(expr) on(true, [](JNIEnv* e, World&) { return model::recorder().upcalls->expr; })

// The natives' arguments, as local references of the main thread.
jobject me(World& w) { return w.main.local(w.self); }
jstring str(World& w, const char* s) { return w.main.local<jstring>(model::newString(s)); }
jbyteArray bytes(World& w) { return w.main.local<jbyteArray>(model::newByteArray(nullptr, 4096)); }
jobjectArray objects(World& w) { return w.main.local<jobjectArray>(model::newObjectArray("java/lang/Object", 2)); }
jobject pool(World& w) {
    static char memory[8];
    return w.main.local(model::newDirectBuffer(memory, sizeof(memory)));
}

// new_chunk answers nothing: how many times it ran the recorder's onNewChunk.
int newChunk(JNIEnv* e) {
    int& ran = model::java().calls[static_cast<int>(model::Method::OnNewChunk)];
    ran = 0;
    model::recorder().upcalls->new_chunk(e);
    return ran;
}

// The VM's options: 100 settings, every tenth missing.
const OptionsRecord& options() {
    static std::string texts[100];
    static const char* settings[100];
    static OptionsRecord record{"sweep", settings, 100, 1, 2, 3, 4, 5, "/tmp/dump", 1, 6, 7, 1};
    for (int i = 0; i < 100; i++) {
        texts[i] = "setting-" + std::to_string(i);
        settings[i] = i % 10 == 3 ? nullptr : texts[i].c_str();
    }
    return record;
}

const auto kRetransform = NATIVE((VM(retransformClasses0)(e, me(w), w.main.local<jobjectArray>(w.classes))));
const auto kInit = NATIVE(VM(init)(e, me(w), str(w, "en-GB"), 7, str(w, "/tmp/zev")));
const auto kCheck = UPCALL(check_recording(e, "r", 6, JNI_TRUE));

std::vector<Scenario> natives() {
    auto refuseIds = [](World&) { model::recorder().thresholdAnswer = false; };
    return {
        {"ZEV.isSupportedInVM", NATIVE(JAVA(ZEV_isSupportedInVM)(e, nullptr)), "1"},
        {"ZEV.isEnabled", NATIVE(JAVA(ZEV_isEnabled)(e, nullptr)), "1"},
        {"ZEV.isDisabledOnCommandLine", NATIVE(JAVA(ZEV_isDisabledOnCommandLine)(e, nullptr)), "0"},
        {"ZEV.isStarted", NATIVE(JAVA(ZEV_isStarted)(e, nullptr)), "0"},
        {"VMZEV.flush", NATIVE(VM(flush)(e, me(w))), "1"},
        {"VMZEV.threadID", NATIVE(VM(threadID)(e, me(w))), "24"},
        {"VMZEV.remove", NATIVE(VM(remove)(e, me(w), 7)), "1"},
        {"VMZEV.removeConstPool", NATIVE(VM(removeConstPool)(e, me(w), 3)), "1"},
        {"VMZEV.storeConstPool", NATIVE(VM(storeConstPool)(e, me(w), 3)), "1"},
        {"VMZEV.getPeriod", NATIVE(VM(getPeriod)(e, me(w), 5)), "50"},
        {"VMZEV.stackTraceID", NATIVE(VM(stackTraceID)(e, me(w), 2)), "25"},
        {"VMZEV.classID0", NATIVE(VM(classID0)(e, me(w), w.main.local<jclass>(w.classes->elements[0]))), "22"},
        {"VMZEV.classID0(null)", NATIVE(VM(classID0)(e, me(w), nullptr)), "22"},
        {"VMZEV.start", NATIVE(VM(start)(e, me(w), JNI_TRUE)), "0"},
        {"VMZEV.stop", NATIVE(VM(stop)(e, me(w))), "2"},
        {"VMZEV.rotate", NATIVE(VM(rotate)(e, me(w))), "3"},
        {"VMZEV.add", NATIVE(VM(add)(e, me(w), 7, bytes(w), 1, 64)), "0"},
        {"VMZEV.add, negative length", NATIVE(VM(add)(e, me(w), 7, bytes(w), 0, -1)),
         "threw OutOfMemoryError: VMZEV_add"},
        {"VMZEV.add, outside the array", NATIVE(VM(add)(e, me(w), 7, bytes(w), 4000, 200)),
         "threw ArrayIndexOutOfBoundsException: "},
        {"VMZEV.addConstPool", NATIVE(VM(addConstPool)(e, me(w), pool(w), 8, JNI_TRUE)), "0"},
        {"VMZEV.addConstPool, refused by the VM", NATIVE(VM(addConstPool)(e, me(w), pool(w), 8, JNI_TRUE)),
         "threw OutOfMemoryError: addConstPool", [](World&) { model::recorder().constPoolAnswer = 0; }},
        {"VMZEV.addConstPool, heap buffer",
         NATIVE(VM(addConstPool)(e, me(w), w.main.local(model::newInstance("java/nio/ByteBuffer")), 8, 1)),
         "threw IllegalArgumentException: addConstPool: not a direct buffer"},
        {"VMZEV.buffer", NATIVE(VM(buffer)(e, me(w))), "buffer"},
        {"VMZEV.descriptors", NATIVE(VM(descriptors)(e, me(w), 3, objects(w))), "3"},
        {"VMZEV.write", NATIVE(VM(write)(e, me(w), bytes(w), 0, 4096)), "0"},
        {"VMZEV.setThreshold", NATIVE(VM(setThreshold)(e, me(w), 5, 100)), "0"},
        {"VMZEV.setThreshold, refused id", NATIVE(VM(setThreshold)(e, me(w), -9, 100)),
         "threw Exception: Illegal id -9", refuseIds},
        {"VMZEV.setPeriod", NATIVE(VM(setPeriod)(e, me(w), 5, 20)), "0"},
        {"VMZEV.setPeriod, refused id", NATIVE(VM(setPeriod)(e, me(w), -9, 20)), "threw Exception: Illegal id -9",
         refuseIds},
        {"VMZEV.shutdown", NATIVE(VM(shutdown)(e, me(w))), "0"},
        {"Logger.output0", NATIVE(JAVA(Logger_output0)(e, nullptr, 5, str(w, "a line"))), "0"},
        {"Logger.output0(null)", NATIVE(JAVA(Logger_output0)(e, nullptr, 5, nullptr)),
         "threw NullPointerException: ", nothing, {"couldn't find NullPointerException class"}},
        {"Process.getpid", NATIVE(JAVA(Process_getpid)(e, nullptr)), "25"},
        {"Timing.init", NATIVE(JAVA(Timing_init)(e, nullptr)), "27"},
        {"Timing.counterTime", NATIVE(JAVA(Timing_counterTime)(e, nullptr)), "26"},
        {"ZEV.startHalcyra, refused by the VM", NATIVE(JAVA(ZEV_startHalcyra)(e, nullptr)), "0",
         [](World&) { model::recorder().startAnswer = false; }},
    };
}

std::vector<Scenario> binding() {
    std::string said = "sweep";  // what VMZEV.options makes of the VM's options
    for (int i = 0; i < 100; i++) {
        said += i % 10 == 3 ? " null" : " setting-" + std::to_string(i);
    }
    return {
        {"VMZEV.init", kInit, "buffer", nothing, kInitGuarantees},
        {"VMZEV.init, locale refused by the VM", kInit, "threw Exception: Failed to store locale",
         [](World&) { model::recorder().storeLocaleAnswer = false; }, kInitGuarantees},
        {"VMZEV.init, repository refused by the VM", kInit, "threw Exception: Could not set repository /tmp/zev",
         [](World&) { model::recorder().setRepositoryAnswer = false; }, kInitGuarantees},
        {"VMZEV.options, 100 settings", NATIVE(VM(options)(e, me(w))), said + " /tmp/dump"},
    };
}

// Without the recorder interface each native that needs it refuses, naming
// itself; the status natives answer false; the rest answer as with it.
std::vector<Scenario> unsupported() {
    std::vector<Scenario> all = natives(), init = binding();
    all.insert(all.end(), init.begin(), init.end());
    all.push_back({"VMZEV.retransformClasses0", kRetransform});
    for (Scenario& s : all) {
        std::string native = s.name.substr(0, s.name.find_first_of(",( "));
        std::replace(native.begin(), native.end(), '.', '_');
        native = native == "VMZEV_retransformClasses0" ? "VMZEV_retransform" : native;
        if (native.rfind("ZEV_is", 0) == 0) {
            s.ok = "0";
        } else if (native.rfind("ZEV_", 0) != 0 && native != "VMZEV_shutdown" && native.rfind("Logger", 0) != 0) {
            s.ok = "threw Exception: " + native + ": the VM has no recorder interface";
        }
    }
    return all;
}

std::vector<Scenario> upcalls(bool started) {
    static const char* const three[] = {"a", nullptr, "c"};
    static const char* const twenty[] = {"s0",  "s1",  "s2",  "s3",  "s4",  nullptr, "s6",  "s7",  "s8",  "s9",
                                         "s10", "s11", nullptr, "s13", "s14", "s15", "s16", "s17", "s18", nullptr};
    const auto start = UPCALL(start_recording(e, "r", 3, three, 1, 1, 2, "f.zev", 0, 3, 4, 1));
    std::vector<Scenario> s = {
        {"start_recording", start, "r a null c f.zev"},
        {"start_recording, 20 settings", UPCALL(start_recording(e, "r", 20, twenty, 0, 0, 0, nullptr, 0, 0, 0, 0)),
         "r s0 s1 s2 s3 s4 null s6 s7 s8 s9 s10 s11 null s13 s14 s15 s16 s17 s18 null null"},
        {"stop_recording", UPCALL(stop_recording(e, "r", 5, JNI_TRUE, "f.zev", JNI_FALSE)), "r"},
        {"check_recording", kCheck, "r"},
        {"dump_recording", UPCALL(dump_recording(e, "r", 7, "d.zev", JNI_FALSE)), "r"},
        {"finish_chunk", UPCALL(finish_chunk(e, "/tmp/c", 1, 2, JNI_FALSE)), "1"},
        {"new_chunk", on(true, [](JNIEnv* e, World&) { return newChunk(e); }), "1"},
        {"release_bindings", UPCALL(release_bindings(e)), "0"},
    };
    s.push_back(started ? Scenario{"start_recording, first of the process", start, "r a null c f.zev", nothing, {},
                                   Kind::Upcall, true}
                        : Scenario{"check_recording binding the recorder", kCheck, "r",
                                   [](World& w) { model::recorder().upcalls->release_bindings(&w.main); },
                                   kInitGuarantees});
    for (Scenario& u : s) {
        u.name += started ? ", started" : ", before start";
        u.kind = Kind::Upcall;
    }
    return s;
}

std::vector<Scenario> retransformation() {
    return {
        {"VMZEV.retransformClasses0 and its hooks", kRetransform, "0 pppo", nothing, {}, Kind::Classes},
        {"another agent's retransformation of a listed class and one not listed, list held",
         NATIVE(model::retransform(w.main, w.agent, {w.classes->elements[1], model::classObject(kClasses[3])})),
         "0 pppo", [](World& w) { kRetransform(w), w.agent = model::addAgent(nullptr); }, {}, Kind::Classes},
        {"release_bindings, list held", UPCALL(release_bindings(e)), "0 oooo", kRetransform, {}, Kind::Classes},
    };
}

// The load under a failed JVMTI call: it says which step failed, keeps no
// tool environment, refuses lists (holding none) but takes an empty one,
// and serves the rest.
std::string loadSurvived(World& w, const std::string& failed) {
    const std::map<std::string, std::string> step = {
        {"GetEnv", "Could not get JVMTI environment."}, {"AddCapabilities", "Failed to get the capabilities."},
        {"SetEventCallbacks", "Failed in call to SetEventCallbacks."}};
    std::string log = "\n";  // each line as "<level> <text>\n"
    for (const model::LogLine& l : w.main.log) log += std::to_string(l.level) + " " + l.text.c_str() + "\n";
    if (log.find("\n5 Loaded ZEV library\n") == log.npos || log.find("\n1 " + step.at(failed) + "\n") == log.npos ||
        model::jvmtiEnvironments() != 0) {
        return "the load did not say what failed, or keeps a JVMTI environment";
    }
    w.self = model::java().zevGet(w.main);
    for (int attempt = 0; attempt < 2; attempt++) {
        std::string said = kRetransform(w).said;
        w.main.clearPending();
        if (said != "threw Exception: VMZEV_retransform" ||
            w.main.log.back().text != "Unable to retransform classes since no jvmti env") {
            return "a list without a tool environment " + said;
        }
    }
    auto none = NATIVE((VM(retransformClasses0)(e, me(w), w.main.local<jobjectArray>(model::newObjectArray("java/lang/Class", 0)))));
    return none(w).threw ? "an empty list refused" : kCheck(w).said == "r" ? "" : "the upcalls do not work";
}

std::string answer(const Scenario& s, const Outcome& o) {
    return o.said + (s.kind == Kind::Classes ? " " + o.classes : "");
}

// Whether a failed run answered soundly for the kind of entry it is.
std::string judge(const Scenario& s, const Outcome& o) {
    if (o.string && o.threw) {
        return "a string answered with an exception pending";
    }
    if (o.classes.find('?') != std::string::npos) {
        return "a class runs neither its own bytes nor the callback's: " + o.classes;
    }
    bool explained = o.threw || o.errors > 0;
    bool sound = answer(s, o) == s.ok || (s.kind == Kind::Native && o.threw) ||
                 (s.kind == Kind::Upcall && o.empty && explained) ||
                 (s.kind == Kind::Classes && (explained || !o.empty));
    return sound ? "" : "an unsound answer: " + answer(s, o) + ", " + std::to_string(o.errors) + " level-1 lines";
}

// One run, in a child process of its own: the group's state and the
// scenario's, the call under the plan, judged; then the state back as it
// was, and the same call again.
[[noreturn]] void child(const Group& g, const Scenario& s, const model::Plan& plan, const std::string& failed) {
    alarm(60);
    model::start(g.options);
    World w;
    model::java().request = [](Thread&, model::Method method, const jvalue* a) {
        auto arg = [a](int i) { return shown(reinterpret_cast<Object*>(a[i].l)); };
        std::string said = method == model::Method::StartRecording ? arg(0) + " " + arg(1) + " " + arg(5) : arg(0);
        return model::newString(said.c_str());
    };
    model::java().transform = [](Thread&, Object* klass, Object*) {
        model::Bytes patched = klass->original + " patched";
        return model::newByteArray(patched.data(), static_cast<int32_t>(patched.size()));
    };
    model::recorder().options = options();
    w.classes = model::newObjectArray("java/lang/Class", 3);
    std::transform(kClasses, kClasses + 3, w.classes->elements, model::classObject);
    w.main.attach();
    if (g.load) {
        model::load(w.main);
    }
    w.self = g.bind ? model::java().zevGet(w.main) : model::newInstance("tesmar/nuvrak/zev/VMZEV");
    if (g.start) {
        NATIVE(JAVA(ZEV_startHalcyra)(e, nullptr))(w);
    }
    if (g.bind && !s.cold) {  // fills the String class cache
        UPCALL(start_recording(e, "warm", 0, nullptr, 0, 0, 0, nullptr, 0, 0, 0, 0))(w);
    }
    w.main.attach();
    model::Holdings before = model::holdings();
    s.setUp(w);
    model::arm(plan);
    Outcome o = s.call(w);
    for (const std::string& call : model::disarm()) {
        fprintf(stderr, "call %s\n", call.c_str());
    }
    std::string problem = plan.k == 0 ? (answer(s, o) == s.ok ? "" : "without a failure it said " + answer(s, o))
                          : model::failedCalls() == 0 ? "the call was not reached"
                          : s.kind == Kind::Load ? loadSurvived(w, failed) : judge(s, o);
    w.main.attach();
    w.main.clearPending();
    w.vm.clearPending();
    if (const RecorderUpcalls* up = model::recorder().upcalls) {
        up->release_bindings(&w.main);
    }
    w.self = g.bind ? model::java().zevGet(w.main) : w.self;
    model::Holdings after = model::holdings();
    if (after.globalRefs > before.globalRefs + s.cold || after.allocations > before.allocations ||
        after.jvmtiBlocks > before.jvmtiBlocks || classesNow() != "oooo") {
        problem += " after the release the library holds more than before, or the classes run " + classesNow();
    }
    if (plan.k != 0 && problem.empty()) {
        s.setUp(w);
        std::string again = answer(s, s.call(w));
        problem = again == s.ok ? "" : "the same call made again said " + again;
    }
    for (const model::Bytes& v : model::violations()) {
        problem += " violation: " + std::string(v.c_str());
    }
#if defined(__SANITIZE_ADDRESS__)
    __lsan_do_leak_check();  // a library block lost on a failure path ends the child here
#endif
    fprintf(stderr, "%s\n", problem.c_str());
    _exit(problem.empty() ? 0 : 1);
}

struct Run {
    int status;
    std::string out;  // what the child wrote on standard error
};

Run forked(const std::function<void()>& f) {
    FILE* out = tmpfile();
    fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        dup2(fileno(out), 2);
        f();
    }
    Run run{0, ""};
    waitpid(pid, &run.status, 0);
    rewind(out);
    for (int c; (c = fgetc(out)) != EOF;) {
        run.out += static_cast<char>(c);
    }
    fclose(out);
    return run;
}

bool endedBy(const Run& run, const std::vector<std::string>& guarantees) {
    const std::string prefix = "guarantee failed: ";
    size_t at = run.out.rfind(prefix);
    std::string message = at == std::string::npos ? "" : run.out.substr(at + prefix.size());
    message = message.substr(0, message.find('\n'));
    return WIFSIGNALED(run.status) && WTERMSIG(run.status) == SIGABRT &&
           std::find(guarantees.begin(), guarantees.end(), message) != guarantees.end();
}

void sweep(const Group& g) {
    std::ostringstream table;
    table << "Failure sweep, " << g.title << ":\n\n| entry point and state | failure points | failed runs "
          << "| survived | ended by a guarantee the library must make |\n|---|---:|---:|---:|---:|\n";
    for (const Scenario& s : g.scenarios) {
        Run counting = forked([&] { child(g, s, {}, ""); });
        EXPECT_EQ(counting.status, 0) << s.name << ", the counting run:\n" << counting.out;
        std::vector<std::string> calls;
        std::istringstream lines(counting.out);
        for (std::string line; std::getline(lines, line);) {
            if (line.rfind("call ", 0) == 0) {
                calls.push_back(line.substr(5));
            }
        }
        long runs = 0, survived = 0, guaranteed = 0;
        using model::FailMode;
        for (FailMode mode : {FailMode::Once, FailMode::Exhaust, FailMode::QuietRefs}) {
            for (size_t k = 1; k <= calls.size(); k++) {
                const std::string& f = calls[k - 1];
                if (mode == FailMode::QuietRefs && (f.rfind("New", 0) != 0 || f.find("Ref", 3) != f.size() - 3)) {
                    continue;
                }
                runs++;
                Run run = forked([&] { child(g, s, {static_cast<long>(k), mode}, f); });
                survived += run.status == 0;
                guaranteed += endedBy(run, s.guarantees);
                EXPECT_TRUE(run.status == 0 || endedBy(run, s.guarantees))
                    << s.name << ": call " << k << " (" << f << ") failed in mode " << static_cast<int>(mode)
                    << ", status " << run.status << ":\n" << run.out;
            }
        }
        table << "| " << s.name << " | " << calls.size() << " | " << runs << " | " << survived << " | "
              << guaranteed << " |\n";
    }
    printf("\n%s\n", table.str().c_str());
    mkdir(ZEV_SWEEP_DIR, 0755);
    std::ofstream(std::string(ZEV_SWEEP_DIR) + "/" + g.file + ".md") << table.str();
}

}  // namespace

TEST(FailureSweep, TheLoadsToolEnvironment) {
    sweep({"load", "the load (JNI_OnLoad's tool environment)", false, false, false,
           {{"JNI_OnLoad, its tool environment", NATIVE((model::load(w.main), model::jvmtiEnvironments())), "1",
             nothing, {}, Kind::Load}}});
}

TEST(FailureSweep, Natives) {
    sweep({"natives", "natives, valid and refused arguments", true, true, false, natives()});
}

TEST(FailureSweep, NativesWithoutTheRecorderInterface) {
    sweep({"unsupported", "natives on a VM without the recorder interface", true, false, false, unsupported(),
           {false}});
}

TEST(FailureSweep, Binding) {
    sweep({"binding", "init and options", true, false, false, binding()});
}

TEST(FailureSweep, UpcallsBeforeTheStart) {
    sweep({"upcalls-before-start", "the seven upcalls before the start", true, true, false, upcalls(false)});
}

TEST(FailureSweep, UpcallsAfterTheStart) {
    sweep({"upcalls-after-start", "the seven upcalls after the start", true, true, true, upcalls(true)});
}

TEST(FailureSweep, Retransformation) {
    sweep({"retransformation", "retransformation, its hooks, another agent's, the release", true, true, false,
           retransformation()});
}
