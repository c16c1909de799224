#include "reference_vm.h"
#include "jni_support.h"
#include "journal.h"
#include "script.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <map>
#include <memory>
#include <mutex>
#include <set>

namespace zevhost {
namespace {

// What write stored is kept up to this many of the newest bytes.
constexpr std::size_t kEventsKept = 8u << 20;

constexpr jlong kBufferSize = 64 * 1024;
constexpr jlong kInitBufferSize = 8 * 1024;
constexpr jlong kDescriptorBufferSize = 4 * 1024;
constexpr jlong kDescriptorSize = 64;

struct Region {
    explicit Region(jlong size) : bytes(new std::uint8_t[size]()), size(size), last_length(size) {}
    std::unique_ptr<std::uint8_t[]> bytes;
    jlong size;
    jlong last_length;  // what the region's operation last answered
};

struct OptionsStorage {
    OptionsValues values;
    std::vector<const char*> settings;
    OptionsRecord record{};
};

// Everything the VM knows. Allocated once and never destroyed, so that calls
// arriving on other threads while the process exits find it intact.
struct State {
    // Guards the VM's data below; held only around plain memory work.
    std::mutex data_mutex;
    Region buffer{kBufferSize};
    Region init_buffer{kInitBufferSize};
    Region descriptor_buffer{kDescriptorBufferSize};
    std::map<jint, std::unique_ptr<Region>> descriptors;
    std::map<jint, std::vector<std::uint8_t>> added;
    std::set<jint> known_ids;
    std::set<jint> const_pools;
    jint next_const_pool = 1;
    std::map<jint, jlong> thresholds;
    std::map<jint, jlong> periods;
    jlong next_stack_trace = 1;
    bool started = false;
    std::string repository;
    std::vector<std::unique_ptr<OptionsStorage>> options;  // the last one is current

    std::mutex events_mutex;
    std::vector<std::uint8_t> events;

    std::mutex class_mutex;
    std::vector<jobject> classes;  // global references; a class's id is its index + 1
};

State& state() {
    static State* instance = new State;
    return *instance;
}

JavaVM* g_real_vm = nullptr;
std::atomic<bool> g_disabled{false};
std::atomic<const RecorderUpcalls*> g_upcalls{nullptr};
std::atomic<jlong> g_next_thread_id{1};

jclass g_class_class = nullptr;
jmethodID g_class_get_name = nullptr;
jmethodID g_class_get_simple_name = nullptr;

// The array length that can_write saw on this thread, so that write, which
// only gets raw elements, never reads past the array. -1: unknown.
thread_local jlong t_can_write_length = -1;

// Level-1 log lines, in all and on this thread, journaled or not.
std::atomic<long long> g_error_lines{0};
thread_local long long t_error_lines = 0;

// ---- rendering Java values --------------------------------------------------

// The calling thread's own JNIEnv, or null when it is not attached.
JNIEnv* ownEnv() {
    JNIEnv* env = nullptr;
    if (!g_real_vm ||
        g_real_vm->GetEnv(reinterpret_cast<void**>(&env), JNI_VERSION_1_2) != JNI_OK) {
        return nullptr;
    }
    return env;
}

// A local frame for the JNI calls a slot makes on its caller's behalf, so
// that the caller's local references stay as they were. ok() is false when
// the thread can't make JNI calls now (detached, or an exception pending).
class CallerFrame {
public:
    CallerFrame() : env_(ownEnv()) {
        if (env_ && !env_->ExceptionCheck()) {
            if (env_->PushLocalFrame(8) == 0) {
                pushed_ = true;
            } else {
                env_->ExceptionClear();
            }
        }
    }
    ~CallerFrame() {
        if (pushed_) {
            // Anything our calls threw is ours, not the caller's.
            if (env_->ExceptionCheck()) {
                env_->ExceptionClear();
            }
            env_->PopLocalFrame(nullptr);
        }
    }
    CallerFrame(const CallerFrame&) = delete;
    CallerFrame& operator=(const CallerFrame&) = delete;

    bool ok() const { return pushed_; }
    JNIEnv* env() const { return env_; }

private:
    JNIEnv* env_;
    bool pushed_ = false;
};

std::string renderEnv(JNIEnv* given) {
    JNIEnv* own = ownEnv();
    return own && own == given ? "env" : "WRONG_ENV";
}

// Class.getName or Class.getSimpleName; "?" when Java can't tell.
std::string className(JNIEnv* env, jclass klass, bool simple) {
    auto name = static_cast<jstring>(
        env->CallObjectMethod(klass, simple ? g_class_get_simple_name : g_class_get_name));
    if (env->ExceptionCheck() || !name) {
        env->ExceptionClear();
        return "?";
    }
    const char* chars = env->GetStringUTFChars(name, nullptr);
    if (!chars) {
        env->ExceptionClear();
        return "?";
    }
    std::string text = chars;
    env->ReleaseStringUTFChars(name, chars);
    return text;
}

// An instance receiver as its class's simple name, a static native's class
// receiver as "class Name".
std::string renderReceiver(jobject receiver) {
    if (!receiver) {
        return "null";
    }
    CallerFrame frame;
    if (!frame.ok()) {
        return "?";
    }
    JNIEnv* env = frame.env();
    if (env->IsInstanceOf(receiver, g_class_class)) {
        return "class " + className(env, static_cast<jclass>(receiver), true);
    }
    return className(env, env->GetObjectClass(receiver), true);
}

// An array as its element type and length: "byte[16]".
std::string renderArray(jarray array, jlong* length) {
    *length = -1;
    if (!array) {
        return "null";
    }
    CallerFrame frame;
    if (!frame.ok()) {
        return "?";
    }
    JNIEnv* env = frame.env();
    *length = env->GetArrayLength(array);
    std::string type = className(env, env->GetObjectClass(array), true);
    std::size_t brackets = type.find("[]");
    if (brackets == std::string::npos) {
        return type;
    }
    return type.insert(brackets + 1, std::to_string(*length));
}

jlong arrayLength(jarray array) {
    if (!array) {
        return -1;
    }
    CallerFrame frame;
    return frame.ok() ? frame.env()->GetArrayLength(array) : -1;
}

std::string renderClassName(jclass klass) {
    if (!klass) {
        return "null";
    }
    CallerFrame frame;
    return frame.ok() ? className(frame.env(), klass, false) : "?";
}

// ---- memory helpers -------------------------------------------------------------

// Hands out a region through an out address. A scripted 0 leaves the address
// null and answers 0; another scripted length answers that much of the region.
// "<op>.unfilled" leaves the out address as the caller set it.
jlong handOutRegion(const char* op, const std::string& unfilled_key, Region& region,
                    void** start) {
    if (journalWanted()) {
        Line(op).commit();
    }
    std::optional<long long> length = scripted(op);
    if (scripted(unfilled_key.c_str()).value_or(0) != 0) {
        return length.value_or(0);
    }
    if (!start) {
        return 0;
    }
    std::lock_guard<std::mutex> lock(state().data_mutex);
    if (length && *length <= 0) {
        *start = nullptr;
        region.last_length = 0;
        return 0;
    }
    *start = region.bytes.get();
    region.last_length = length ? std::min<long long>(*length, region.size) : region.size;
    return region.last_length;
}

Region& descriptorRegion(jint id) {  // data_mutex held
    auto& slot = state().descriptors[id];
    if (!slot) {
        slot = std::make_unique<Region>(kDescriptorSize);
        for (jlong i = 0; i < kDescriptorSize; ++i) {
            slot->bytes[i] = static_cast<std::uint8_t>(id + i);
        }
    }
    return *slot;
}

// A VM slow to answer: the answer is decided first, then the call takes the
// scripted "<op>.delay" milliseconds, as a VM busy elsewhere would.
jboolean answeredAfterDelay(const char* op, jboolean answer) {
    if (auto delay = scripted((std::string(op) + ".delay").c_str())) {
        struct timespec pause = {static_cast<time_t>(*delay / 1000),
                                 static_cast<long>(*delay % 1000) * 1000000L};
        nanosleep(&pause, nullptr);
    }
    return answer;
}

// ---- the slots ------------------------------------------------------------

jboolean isEnabled() {
    if (journalWanted()) {
        Line("is_enabled").commit();
    }
    return answeredAfterDelay("is_enabled", asBoolean(answerOr("is_enabled", 1)));
}

jboolean registerUpcalls(const RecorderUpcalls* upcalls) {
    if (journalWanted()) {
        Line("register_upcalls").commit();
    }
    g_upcalls.store(upcalls);
    return asBoolean(answerOr("register_upcalls", 1));
}

const OptionsRecord* getOptions() {
    if (journalWanted()) {
        Line("get_options").commit();
    }
    State& s = state();
    std::lock_guard<std::mutex> lock(s.data_mutex);
    return &s.options.back()->record;
}

jint recorderCommand(jint command) {
    if (journalWanted()) {
        Line("recorder_command").num(command).commit();
    }
    if (command == 7) {
        std::lock_guard<std::mutex> lock(state().data_mutex);
        state().started = false;
    }
    return static_cast<jint>(answerOr("recorder_command", 0));
}

void prepareShutdown() {
    if (journalWanted()) {
        Line("prepare_shutdown").commit();
    }
}

void add(jint id, const jbyte* bytes, jint length) {
    if (journalWanted()) {
        Line("add").num(id).bytes(bytes, length).num(length).commit();
    }
    State& s = state();
    std::lock_guard<std::mutex> lock(s.data_mutex);
    const auto* first = reinterpret_cast<const std::uint8_t*>(bytes);
    if (first && length > 0) {
        s.added[id].assign(first, first + length);
    } else {
        s.added[id].clear();
    }
    s.known_ids.insert(id);
}

jboolean remove(jint id) {
    if (journalWanted()) {
        Line("remove").num(id).commit();
    }
    if (auto answer = scripted("remove")) {
        return asBoolean(*answer);
    }
    std::lock_guard<std::mutex> lock(state().data_mutex);
    return state().known_ids.erase(id) != 0;
}

jlong buffer(void** start) {
    return handOutRegion("buffer", "buffer.unfilled", state().buffer, start);
}

jboolean flush(JNIEnv* env, jobject receiver) {
    if (journalWanted()) {
        Line("flush").raw(renderEnv(env)).raw(renderReceiver(receiver)).commit();
    }
    return asBoolean(answerOr("flush", 1));
}

jboolean canWrite(JNIEnv* env, jobject receiver, jarray data, jint offset) {
    if (journalWanted()) {
        jlong length = -1;
        std::string array = renderArray(data, &length);
        Line("can_write").raw(renderEnv(env)).raw(renderReceiver(receiver)).raw(array)
            .num(offset).commit();
        t_can_write_length = length;
    } else {
        t_can_write_length = arrayLength(data);
    }
    return asBoolean(answerOr("can_write", 1));
}

// Runs while the caller holds the array pinned: no JNI here.
void write(void* elements, jint offset, jint length) {
    jlong known = t_can_write_length;
    t_can_write_length = -1;
    auto* first = static_cast<std::uint8_t*>(elements);
    jlong begin = offset, end = static_cast<jlong>(offset) + length;
    if (known >= 0) {
        begin = std::min(begin, known);
        end = std::min(end, known);
    }
    if (!first || begin < 0 || end < begin) {
        begin = end = 0;
    }
    if (journalWanted()) {
        Line("write").bytes(first + begin, end - begin).num(offset).num(length).commit();
    }
    if (end > begin) {
        State& s = state();
        std::lock_guard<std::mutex> lock(s.events_mutex);
        s.events.insert(s.events.end(), first + begin, first + end);
        if (s.events.size() > 2 * kEventsKept) {
            s.events.erase(s.events.begin(), s.events.end() - kEventsKept);
        }
    }
    if (auto stamp = scripted("write.stamp")) {
        if (first && offset >= 0 && (known < 0 || offset < known)) {
            first[offset] = static_cast<std::uint8_t>(*stamp);
        }
    }
}

jboolean rememberIdValue(const char* op, std::map<jint, jlong> State::*values, jint id,
                         jlong value) {
    if (journalWanted()) {
        Line(op).num(id).num(value).commit();
    }
    std::optional<long long> answer = scripted(op);
    jboolean accepted = answer ? asBoolean(*answer) : id >= 0 && !isRefused(id);
    if (accepted) {
        std::lock_guard<std::mutex> lock(state().data_mutex);
        (state().*values)[id] = value;
    }
    return accepted;
}

jboolean setThreshold(jint id, jlong value) {
    return rememberIdValue("set_threshold", &State::thresholds, id, value);
}

jboolean setPeriod(jint id, jlong value) {
    return rememberIdValue("set_period", &State::periods, id, value);
}

jint addConstPool(void* address, jint size, jboolean flag) {
    if (journalWanted()) {
        Line("add_const_pool").bytes(address, size).num(size).flag(flag).commit();
    }
    std::optional<long long> answer = scripted("add_const_pool");
    State& s = state();
    std::lock_guard<std::mutex> lock(s.data_mutex);
    jint id = answer ? static_cast<jint>(*answer) : s.next_const_pool++;
    if (id != 0) {
        s.const_pools.insert(id);
    }
    return id;
}

jboolean removeConstPool(jint id) {
    if (journalWanted()) {
        Line("remove_const_pool").num(id).commit();
    }
    if (auto answer = scripted("remove_const_pool")) {
        return asBoolean(*answer);
    }
    std::lock_guard<std::mutex> lock(state().data_mutex);
    return state().const_pools.erase(id) != 0;
}

jboolean storeConstPool(jint id) {
    if (journalWanted()) {
        Line("store_const_pool").num(id).commit();
    }
    if (auto answer = scripted("store_const_pool")) {
        return asBoolean(*answer);
    }
    std::lock_guard<std::mutex> lock(state().data_mutex);
    return state().const_pools.count(id) != 0;
}

jlong initBuffer(void** start) {
    return handOutRegion("init_buffer", "init_buffer.unfilled", state().init_buffer, start);
}

jlong descriptorBuffer(void** start) {
    return handOutRegion("descriptor_buffer", "descriptor_buffer.unfilled",
                         state().descriptor_buffer, start);
}

jboolean setRepository(const char* path) {
    if (journalWanted()) {
        Line("set_repository").str(path).commit();
    }
    std::optional<long long> answer = scripted("set_repository");
    struct stat info {};
    bool usable = path && ::stat(path, &info) == 0 && S_ISDIR(info.st_mode) &&
                  ::access(path, W_OK) == 0;
    jboolean accepted = answer ? asBoolean(*answer) : usable;
    if (accepted && path) {
        std::lock_guard<std::mutex> lock(state().data_mutex);
        state().repository = path;
    }
    return accepted;
}

jboolean getDescriptor(jint id, void** address, jlong* length, jint* result) {
    if (journalWanted()) {
        Line("get_descriptor").num(id).commit();
    }
    jboolean found = asBoolean(answerOr("get_descriptor", 1));
    std::optional<long long> scripted_length = scripted("get_descriptor.length");
    jint scripted_result = static_cast<jint>(answerOr("get_descriptor.result", id));
    if (scripted("get_descriptor.unfilled").value_or(0) != 0) {
        return found;
    }
    std::lock_guard<std::mutex> lock(state().data_mutex);
    Region& region = descriptorRegion(id);
    if (scripted_length && *scripted_length <= 0) {
        region.last_length = 0;
        if (address) *address = nullptr;
    } else {
        region.last_length = scripted_length ? std::min<long long>(*scripted_length, region.size)
                                             : region.size;
        if (address) *address = region.bytes.get();
    }
    if (length) *length = region.last_length;
    if (result) *result = scripted_result;
    return found;
}

jlong getPeriod(jint id) {
    if (journalWanted()) {
        Line("get_period").num(id).commit();
    }
    if (auto answer = scripted("get_period")) {
        return *answer;
    }
    std::lock_guard<std::mutex> lock(state().data_mutex);
    auto it = state().periods.find(id);
    return it == state().periods.end() ? -1 : it->second;
}

// One id per class object, for as long as the process lives.
jlong classIdOf(jclass klass) {
    if (!klass) {
        return 0;
    }
    CallerFrame frame;
    if (!frame.ok()) {
        return 0;
    }
    JNIEnv* env = frame.env();
    State& s = state();
    std::lock_guard<std::mutex> lock(s.class_mutex);
    for (std::size_t i = 0; i < s.classes.size(); ++i) {
        if (env->IsSameObject(s.classes[i], klass)) {
            return static_cast<jlong>(i) + 1;
        }
    }
    jobject global = env->NewGlobalRef(klass);
    if (!global) {
        return 0;
    }
    s.classes.push_back(global);
    return static_cast<jlong>(s.classes.size());
}

jlong classId(jclass klass) {
    if (journalWanted()) {
        Line("class_id").raw(renderClassName(klass)).commit();
    }
    if (auto answer = scripted("class_id")) {
        return *answer;
    }
    return classIdOf(klass);
}

jlong stackTraceId(jint skip) {
    if (journalWanted()) {
        Line("stack_trace_id").num(skip).commit();
    }
    if (auto answer = scripted("stack_trace_id")) {
        return *answer;
    }
    std::lock_guard<std::mutex> lock(state().data_mutex);
    return state().next_stack_trace++;
}

jlong threadId(JNIEnv* env, jobject receiver) {
    if (journalWanted()) {
        Line("thread_id").raw(renderEnv(env)).raw(renderReceiver(receiver)).commit();
    }
    if (auto answer = scripted("thread_id")) {
        return *answer;
    }
    thread_local jlong id = g_next_thread_id.fetch_add(1);
    return id;
}

jint getpid(JNIEnv* env, jobject receiver) {
    if (journalWanted()) {
        Line("getpid").raw(renderEnv(env)).raw(renderReceiver(receiver)).commit();
    }
    return static_cast<jint>(answerOr("getpid", ::getpid()));
}

jlong counterTime(JNIEnv* env, jobject receiver) {
    if (journalWanted()) {
        Line("counter_time").raw(renderEnv(env)).raw(renderReceiver(receiver)).commit();
    }
    if (auto answer = scripted("counter_time")) {
        return *answer;
    }
    timespec now {};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<jlong>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

jlong timingInit(JNIEnv* env, jobject receiver) {
    if (journalWanted()) {
        Line("timing_init").raw(renderEnv(env)).raw(renderReceiver(receiver)).commit();
    }
    return answerOr("timing_init", 1000000000);
}

void log(jint level, const char* message) {
    if (level == 1) {
        ++g_error_lines;
        ++t_error_lines;
    }
    bool echo = echoLog();
    if (echo || journalWanted()) {
        Line("log").num(level).str(message).commit(echo);
    }
}

jboolean isDisabledOnCommandLine() {
    if (journalWanted()) {
        Line("is_disabled_on_command_line").commit();
    }
    return asBoolean(answerOr("is_disabled_on_command_line", g_disabled.load() ? 1 : 0));
}

jboolean isStarted() {
    if (journalWanted()) {
        Line("is_started").commit();
    }
    if (auto answer = scripted("is_started")) {
        return asBoolean(*answer);
    }
    std::lock_guard<std::mutex> lock(state().data_mutex);
    return state().started;
}

jboolean startRecorder() {
    if (journalWanted()) {
        Line("start_recorder").commit();
    }
    jboolean started = asBoolean(answerOr("start_recorder", 1));
    if (started) {
        std::lock_guard<std::mutex> lock(state().data_mutex);
        state().started = true;
    }
    return started;
}

jboolean storeLocale(const char* locale, jint byte_length, jint argument) {
    if (journalWanted()) {
        Line("store_locale").str(locale).num(byte_length).num(argument).commit();
    }
    return asBoolean(answerOr("store_locale", locale && *locale ? 1 : 0));
}

VmRecorderInterface g_interface = {
    isEnabled,
    registerUpcalls,
    getOptions,
    nullptr,
    recorderCommand,
    prepareShutdown,
    add,
    remove,
    buffer,
    flush,
    canWrite,
    write,
    setThreshold,
    setPeriod,
    addConstPool,
    removeConstPool,
    storeConstPool,
    initBuffer,
    descriptorBuffer,
    setRepository,
    getDescriptor,
    getPeriod,
    classId,
    stackTraceId,
    threadId,
    getpid,
    counterTime,
    timingInit,
    log,
    nullptr,
    isDisabledOnCommandLine,
    isStarted,
    startRecorder,
    storeLocale,
};

// ---- regions by name --------------------------------------------------------

bool parseId(const std::string& text, jint* id) {
    if (text.empty()) {
        return false;
    }
    char* end = nullptr;
    errno = 0;
    long value = std::strtol(text.c_str(), &end, 10);
    if (errno != 0 || *end != '\0' || value < INT32_MIN || value > INT32_MAX) {
        return false;
    }
    *id = static_cast<jint>(value);
    return true;
}

bool hasPrefix(const std::string& text, const char* prefix, std::string* rest) {
    std::size_t n = std::strlen(prefix);
    if (text.compare(0, n, prefix) != 0) {
        return false;
    }
    *rest = text.substr(n);
    return true;
}

// The region of VM memory behind a name; data_mutex held.
RegionStatus findRegion(const std::string& name, Region** region) {
    State& s = state();
    std::string rest;
    jint id = 0;
    if (name == "buffer") {
        *region = &s.buffer;
    } else if (name == "init_buffer") {
        *region = &s.init_buffer;
    } else if (name == "descriptor_buffer") {
        *region = &s.descriptor_buffer;
    } else if (hasPrefix(name, "descriptor:", &rest) && parseId(rest, &id)) {
        auto it = s.descriptors.find(id);
        if (it == s.descriptors.end()) {
            return RegionStatus::Absent;
        }
        *region = it->second.get();
    } else {
        return RegionStatus::Unknown;
    }
    return RegionStatus::Found;
}

}  // namespace

bool initReferenceVm(JavaVM* real_vm, JNIEnv* env, bool trace, bool disabled_on_command_line) {
    g_real_vm = real_vm;
    setTrace(trace);
    g_disabled = disabled_on_command_line;
    setOptions(OptionsValues{});
    g_class_class = globalClass(env, "java/lang/Class");
    if (!g_class_class) {
        return false;
    }
    g_class_get_name = env->GetMethodID(g_class_class, "getName", "()Ljava/lang/String;");
    if (!g_class_get_name) {
        return false;
    }
    g_class_get_simple_name =
        env->GetMethodID(g_class_class, "getSimpleName", "()Ljava/lang/String;");
    return g_class_get_simple_name != nullptr;
}

long long errorLines() {
    return g_error_lines.load();
}

long long errorLinesOnThisThread() {
    return t_error_lines;
}

JavaVM* realVm() {
    return g_real_vm;
}

VmRecorderInterface* recorderInterface() {
    return &g_interface;
}

const RecorderUpcalls* registeredUpcalls() {
    return g_upcalls.load();
}

RegionStatus copyRegion(const std::string& name, std::vector<std::uint8_t>* out) {
    State& s = state();
    std::string rest;
    jint id = 0;
    if (name == "events") {
        std::lock_guard<std::mutex> lock(s.events_mutex);
        std::size_t skip = s.events.size() > kEventsKept ? s.events.size() - kEventsKept : 0;
        out->assign(s.events.begin() + skip, s.events.end());
        return RegionStatus::Found;
    }
    std::lock_guard<std::mutex> lock(s.data_mutex);
    if (hasPrefix(name, "add:", &rest) && parseId(rest, &id)) {
        auto it = s.added.find(id);
        if (it == s.added.end()) {
            return RegionStatus::Absent;
        }
        *out = it->second;
        return RegionStatus::Found;
    }
    Region* region = nullptr;
    RegionStatus status = findRegion(name, &region);
    if (status == RegionStatus::Found) {
        out->assign(region->bytes.get(), region->bytes.get() + region->size);
    }
    return status;
}

RegionStatus regionExtent(const std::string& name, void** start, jlong* length) {
    std::lock_guard<std::mutex> lock(state().data_mutex);
    Region* region = nullptr;
    RegionStatus status = findRegion(name, &region);
    if (status == RegionStatus::Found) {
        *start = region->bytes.get();
        *length = region->last_length;
    }
    return status;
}

void clearEvents() {
    State& s = state();
    std::lock_guard<std::mutex> lock(s.events_mutex);
    s.events.clear();
}

void setOptions(const OptionsValues& values) {
    auto storage = std::make_unique<OptionsStorage>();
    storage->values = values;
    const OptionsValues& v = storage->values;
    for (const auto& setting : v.settings) {
        storage->settings.push_back(setting ? setting->c_str() : nullptr);
    }
    storage->settings.push_back(nullptr);  // never an empty vector: the address is never null
    OptionsRecord& r = storage->record;
    r.name = v.name ? v.name->c_str() : nullptr;
    r.settings = storage->settings.data();
    r.settings_count = static_cast<jint>(v.settings.size());
    r.disk = v.disk;
    r.max_age = v.max_age;
    r.stack_depth = v.stack_depth;
    r.thread_buffer_size = v.thread_buffer_size;
    r.global_buffer_count = v.global_buffer_count;
    r.dump_path = v.dump_path ? v.dump_path->c_str() : nullptr;
    r.dump_on_exit = v.dump_on_exit;
    r.max_size = v.max_size;
    r.max_chunk_size = v.max_chunk_size;
    r.sample_threads = v.sample_threads;
    State& s = state();
    std::lock_guard<std::mutex> lock(s.data_mutex);
    s.options.push_back(std::move(storage));
}

}  // namespace zevhost
