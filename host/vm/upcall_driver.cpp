#include "upcall_driver.h"
#include "jni_support.h"

#include "reference_vm.h"
#include "vm_interface.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <map>
#include <memory>
#include <cstring>
#include <mutex>
#include <system_error>
#include <thread>

namespace zevhost {
namespace {

constexpr int kMaxLoopThreads = 1024;

jclass g_thread_class = nullptr;
jmethodID g_current_thread = nullptr;
jmethodID g_thread_get_name = nullptr;
jmethodID g_object_to_string = nullptr;

// The C arguments of a request, pointing into the request's strings.
struct PreparedCall {
    explicit PreparedCall(const UpcallRequest& r) : request(r) {
        name = r.name ? r.name->c_str() : nullptr;
        file_name = r.file_name ? r.file_name->c_str() : nullptr;
        if (!r.settings_null) {
            for (const auto& s : r.settings) {
                settings.push_back(s ? s->c_str() : nullptr);
            }
            // A count beyond the array reads null pointers rather than foreign memory.
            std::size_t wanted = r.count > 0 ? static_cast<std::size_t>(r.count) : 0;
            settings.resize(std::max(settings.size(), wanted) + 1, nullptr);
        }
    }

    const char* const* settingsArray() const {
        return request.settings_null ? nullptr : settings.data();
    }

    const UpcallRequest& request;
    const char* name;
    const char* file_name;
    std::vector<const char*> settings;
};

bool hasEntry(const RecorderUpcalls* t, Entry entry) {
    switch (entry) {
    case Entry::StartRecording: return t->start_recording != nullptr;
    case Entry::StopRecording: return t->stop_recording != nullptr;
    case Entry::CheckRecording: return t->check_recording != nullptr;
    case Entry::DumpRecording: return t->dump_recording != nullptr;
    case Entry::FinishChunk: return t->finish_chunk != nullptr;
    case Entry::NewChunk: return t->new_chunk != nullptr;
    case Entry::Release: return t->release_bindings != nullptr;
    }
    return false;
}

// Makes the call; the result is a local reference in the caller's frame.
jstring invoke(JNIEnv* env, const RecorderUpcalls* t, const PreparedCall& c,
               jboolean* boolean, jint* code) {
    const UpcallRequest& r = c.request;
    switch (r.entry) {
    case Entry::StartRecording:
        return t->start_recording(env, c.name, r.count, c.settingsArray(), r.disk, r.delay,
                                  r.duration, c.file_name, r.dump_on_exit, r.max_age,
                                  r.max_size, r.verbose);
    case Entry::StopRecording:
        return t->stop_recording(env, c.name, r.id, r.discard, c.file_name, r.verbose);
    case Entry::CheckRecording:
        return t->check_recording(env, c.name, r.id, r.verbose);
    case Entry::DumpRecording:
        return t->dump_recording(env, c.name, r.id, c.file_name, r.verbose);
    case Entry::FinishChunk:
        *boolean = t->finish_chunk(env, c.file_name, r.start_time, r.end_time, r.final_chunk);
        return nullptr;
    case Entry::NewChunk:
        t->new_chunk(env);
        return nullptr;
    case Entry::Release:
        *code = t->release_bindings(env);
        return nullptr;
    }
    return nullptr;
}

// A Java string's UTF-16 text. No exception may be pending.
std::u16string javaText(JNIEnv* env, jstring text) {
    jsize length = env->GetStringLength(text);
    const jchar* chars = env->GetStringChars(text, nullptr);
    if (!chars) {
        env->ExceptionClear();
        return u"?";
    }
    std::u16string copy(reinterpret_cast<const char16_t*>(chars), static_cast<std::size_t>(length));
    env->ReleaseStringChars(text, chars);
    return copy;
}

// Throwable.toString(), as the VM reports an exception. Runs with none pending.
std::u16string describeThrowable(JNIEnv* env, jthrowable thrown) {
    auto text = static_cast<jstring>(env->CallObjectMethod(thrown, g_object_to_string));
    if (env->ExceptionCheck() || !text) {
        env->ExceptionClear();
        return u"? (toString failed)";
    }
    return javaText(env, text);
}

std::u16string currentThreadName(JNIEnv* env) {
    jobject thread = env->CallStaticObjectMethod(g_thread_class, g_current_thread);
    if (env->ExceptionCheck() || !thread) {
        env->ExceptionClear();
        return u"?";
    }
    auto name = static_cast<jstring>(env->CallObjectMethod(thread, g_thread_get_name));
    if (env->ExceptionCheck() || !name) {
        env->ExceptionClear();
        return u"?";
    }
    return javaText(env, name);
}

// HotSpot refuses a local frame above MaxJNILocalCapacity, 65536 by default.
constexpr jlong kMaxFrameCapacity = 65536;

// Enough local capacity for the strings and the array the entry creates, up
// to what the JVM grants; beyond that, references beyond the capacity still
// work, and a careful entry releases them one by one.
jint frameCapacity(const UpcallRequest& r) {
    jlong settings = std::max<jlong>({0, r.count, static_cast<jlong>(r.settings.size())});
    return static_cast<jint>(std::min<jlong>(settings + 16, kMaxFrameCapacity));
}

// One upcall in a local frame of its own, on the thread that owns env.
bool callInFrame(JNIEnv* env, const RecorderUpcalls* table, const UpcallRequest& request,
                 UpcallOutcome* outcome, std::string* error) {
    if (env->PushLocalFrame(frameCapacity(request)) != 0) {
        env->ExceptionClear();
        *error = "no room for a local frame";
        return false;
    }
    outcome->thread = currentThreadName(env);
    PreparedCall call(request);
    if (request.exception_pending) {
        jclass thrown = env->FindClass("java/lang/IllegalStateException");
        if (!thrown || env->ThrowNew(thrown, "pending before the upcall") != 0) {
            env->ExceptionClear();
            env->PopLocalFrame(nullptr);
            *error = "could not throw before the upcall";
            return false;
        }
    }
    jstring result = invoke(env, table, call, &outcome->boolean, &outcome->code);
    // The VM reads the exception first: nothing else may run while it is pending.
    jthrowable thrown = env->ExceptionOccurred();
    if (thrown) {
        env->ExceptionClear();
        outcome->has_pending = true;
        outcome->pending = describeThrowable(env, thrown);
        env->DeleteLocalRef(thrown);
    }
    if (result) {
        outcome->has_value = true;
        outcome->value = javaText(env, result);
        env->DeleteLocalRef(result);
    }
    env->PopLocalFrame(nullptr);
    return true;
}

const RecorderUpcalls* usableTable(Entry entry, std::string* error) {
    const RecorderUpcalls* table = registeredUpcalls();
    if (!table) {
        *error = "the library registered no upcalls";
        return nullptr;
    }
    if (!hasEntry(table, entry)) {
        *error = std::string("the registered upcall table has no ") + entryName(entry);
        return nullptr;
    }
    return table;
}

// ---- request loops ----------------------------------------------------------

struct LoopKind {
    const char* name;
    std::vector<Entry> rotation;
};

const LoopKind kLoopKinds[] = {
    {"start", {Entry::StartRecording}},
    {"check", {Entry::CheckRecording}},
    {"stop", {Entry::StopRecording}},
    {"dump", {Entry::DumpRecording}},
    {"finish", {Entry::FinishChunk}},
    {"new_chunk", {Entry::NewChunk}},
    {"mixed", {Entry::StartRecording, Entry::CheckRecording, Entry::StopRecording,
               Entry::DumpRecording, Entry::FinishChunk}},
};

UpcallRequest loopRequest(Entry entry) {
    UpcallRequest r;
    r.entry = entry;
    r.name = "loop";
    if (entry == Entry::StartRecording) {
        r.count = 2;
        r.settings = {std::string("default"), std::string("profile")};
        r.file_name = "loop.zev";
    } else if (entry == Entry::DumpRecording) {
        r.file_name = "loop.zev";
    } else if (entry == Entry::FinishChunk) {
        r.file_name = "/tmp/zev-loop.chunk";
        r.end_time = 1;
    }
    return r;
}

struct RequestLoop {
    std::vector<std::thread> threads;
    std::atomic<jlong> answered{0};
    std::atomic<jlong> null_answers{0};
    std::atomic<jlong> exceptions{0};
    std::atomic<jlong> last_finish{0};
    jlong started_at = 0;
};

void noteFinish(RequestLoop* loop) {
    jlong finish = nowNanos();
    jlong seen = loop->last_finish.load();
    while (finish > seen && !loop->last_finish.compare_exchange_weak(seen, finish)) {
    }
}

void runLoopThread(RequestLoop* loop, const RecorderUpcalls* table, const LoopKind* kind,
                   jlong requests, int index) {
    std::vector<UpcallRequest> requests_by_entry;
    for (Entry e : kind->rotation) {
        requests_by_entry.push_back(loopRequest(e));
    }
    std::vector<PreparedCall> calls(requests_by_entry.begin(), requests_by_entry.end());
    jlong answered = 0, nulls = 0, exceptions = 0;
    std::string name = "VM Thread " + std::to_string(index);
    JNIEnv* env = nullptr;
    JavaVMAttachArgs args{JNI_VERSION_1_2, const_cast<char*>(name.c_str()), nullptr};
    if (realVm()->AttachCurrentThread(reinterpret_cast<void**>(&env), &args) != JNI_OK) {
        exceptions = requests;  // none of them could be made
    } else {
        for (jlong i = 0; i < requests; ++i) {
            const PreparedCall& call = calls[static_cast<std::size_t>(i % calls.size())];
            // No frame of the VM's own around the request: like a VM thread
            // that never returns to Java, whatever the entry leaves stays.
            jboolean boolean = JNI_FALSE;
            jint code = 0;
            jstring result = invoke(env, table, call, &boolean, &code);
            if (env->ExceptionCheck()) {
                env->ExceptionClear();
                ++exceptions;
            } else if (result || boolean || call.request.entry == Entry::NewChunk) {
                ++answered;
            } else {
                ++nulls;
            }
            if (result) {
                env->DeleteLocalRef(result);
            }
        }
        realVm()->DetachCurrentThread();
    }
    loop->answered += answered;
    loop->null_answers += nulls;
    loop->exceptions += exceptions;
    noteFinish(loop);
}

struct LoopRegistry {
    std::mutex mutex;
    jlong next_handle = 1;
    std::map<jlong, std::unique_ptr<RequestLoop>> loops;
};

// Never destroyed: loop threads may still run while the process exits.
LoopRegistry& registry() {
    static LoopRegistry* instance = new LoopRegistry;
    return *instance;
}

void joinThreads(RequestLoop* loop) {
    for (auto& t : loop->threads) {
        if (t.joinable()) {
            t.join();
        }
    }
}

// Takes a loop out of the registry; null for an unknown handle.
std::unique_ptr<RequestLoop> takeLoop(jlong handle) {
    LoopRegistry& r = registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    auto it = r.loops.find(handle);
    if (it == r.loops.end()) {
        return nullptr;
    }
    std::unique_ptr<RequestLoop> loop = std::move(it->second);
    r.loops.erase(it);
    return loop;
}

jlong registerLoop(std::unique_ptr<RequestLoop> loop) {
    LoopRegistry& r = registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    jlong handle = r.next_handle++;
    r.loops.emplace(handle, std::move(loop));
    return handle;
}

// Starts a loop of `threads` threads, each running body(loop, index), and
// answers its handle; 0 when a thread could not be started, after joining
// those that were.
template <typename Body>
jlong startLoop(int threads, std::string* error, Body body) {
    auto loop = std::make_unique<RequestLoop>();
    loop->started_at = nowNanos();
    try {
        for (int i = 0; i < threads; ++i) {
            loop->threads.emplace_back(body, loop.get(), i);
        }
    } catch (const std::system_error& e) {
        joinThreads(loop.get());
        *error = std::string("could not start a VM thread: ") + e.what();
        return 0;
    }
    return registerLoop(std::move(loop));
}

}  // namespace

const char* entryName(Entry entry) {
    switch (entry) {
    case Entry::StartRecording: return "start_recording";
    case Entry::StopRecording: return "stop_recording";
    case Entry::CheckRecording: return "check_recording";
    case Entry::DumpRecording: return "dump_recording";
    case Entry::FinishChunk: return "finish_chunk";
    case Entry::NewChunk: return "new_chunk";
    case Entry::Release: return "release_bindings";
    }
    return "?";
}

bool initUpcallDriver(JNIEnv* env) {
    g_thread_class = globalClass(env, "java/lang/Thread");
    if (!g_thread_class) {
        return false;
    }
    g_current_thread = env->GetStaticMethodID(g_thread_class, "currentThread", "()Ljava/lang/Thread;");
    if (!g_current_thread) {
        return false;
    }
    g_thread_get_name = env->GetMethodID(g_thread_class, "getName", "()Ljava/lang/String;");
    if (!g_thread_get_name) {
        return false;
    }
    jclass object = env->FindClass("java/lang/Object");
    if (!object) {
        return false;
    }
    g_object_to_string = env->GetMethodID(object, "toString", "()Ljava/lang/String;");
    env->DeleteLocalRef(object);
    return g_object_to_string != nullptr;
}

bool runUpcall(JNIEnv* caller, const UpcallRequest& request, bool on_current_thread,
               UpcallOutcome* outcome, std::string* error) {
    const RecorderUpcalls* table = usableTable(request.entry, error);
    if (!table) {
        return false;
    }
    if (on_current_thread) {
        return callInFrame(caller, table, request, outcome, error);
    }
    bool called = false;
    bool ran = onVmThread(realVm(), "VM Thread", [&](JNIEnv* env) {
        called = callInFrame(env, table, request, outcome, error);
    }, error);
    return ran && called;
}

jlong startRequestLoop(int threads, jlong per_thread, const std::string& kind,
                       std::string* error) {
    const LoopKind* found = nullptr;
    for (const LoopKind& k : kLoopKinds) {
        if (kind == k.name) {
            found = &k;
        }
    }
    if (!found) {
        *error = "unknown request kind \"" + kind +
                 "\" (start, check, stop, dump, finish, new_chunk, mixed)";
        return 0;
    }
    if (threads < 1 || threads > kMaxLoopThreads || per_thread < 0) {
        *error = "threads must be 1.." + std::to_string(kMaxLoopThreads) +
                 " and requests per thread not negative";
        return 0;
    }
    const RecorderUpcalls* table = nullptr;
    for (Entry e : found->rotation) {
        table = usableTable(e, error);
        if (!table) {
            return 0;
        }
    }
    return startLoop(threads, error, [=](RequestLoop* loop, int i) {
        runLoopThread(loop, table, found, per_thread, i);
    });
}

bool joinRequestLoop(jlong handle, LoopTotals* totals) {
    std::unique_ptr<RequestLoop> loop = takeLoop(handle);
    if (!loop) {
        return false;
    }
    joinThreads(loop.get());
    totals->answered = loop->answered;
    totals->null_answers = loop->null_answers;
    totals->exceptions = loop->exceptions;
    totals->elapsed_nanos = std::max<jlong>(0, loop->last_finish - loop->started_at);
    return true;
}

void joinAllRequestLoops() {
    std::map<jlong, std::unique_ptr<RequestLoop>> loops;
    {
        LoopRegistry& r = registry();
        std::lock_guard<std::mutex> lock(r.mutex);
        loops.swap(r.loops);
    }
    for (auto& entry : loops) {
        joinThreads(entry.second.get());
    }
}

}  // namespace zevhost
