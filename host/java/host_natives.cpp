#include "host_natives.h"
#include "jni_support.h"

#include "reference_vm.h"
#include "upcall_driver.h"

#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

namespace zevhost {
namespace {

LoadFacts g_load_facts;
std::atomic<bool> g_on_current_thread{false};
std::atomic<jint> g_release_count{0};
// Vm.rawStrings: the upcalls' and the options' strings pass as bytes.
std::atomic<bool> g_raw_strings{false};
// Vm.exceptionPendingOnEntry: the upcalls are called with an exception pending.
std::atomic<bool> g_exception_pending{false};

jclass g_answer_class = nullptr;
jmethodID g_answer_init = nullptr;

// The low byte of each char: bytes that need not be modified UTF-8.
bool rawBytes(JNIEnv* env, jstring text, std::optional<std::string>* out) {
    jsize length = env->GetStringLength(text);
    std::vector<jchar> chars(static_cast<std::size_t>(length));
    env->GetStringRegion(text, 0, length, chars.data());
    if (env->ExceptionCheck()) {
        return false;
    }
    out->emplace();
    for (jchar c : chars) {
        (*out)->push_back(static_cast<char>(c & 0xff));
    }
    return true;
}

// A Java string as modified UTF-8 (as raw bytes when raw); nullopt for
// null. False with an exception pending when the characters can't be had.
bool utf(JNIEnv* env, jstring text, std::optional<std::string>* out, bool raw = false) {
    out->reset();
    if (!text) {
        return true;
    }
    if (raw) {
        return rawBytes(env, text, out);
    }
    const char* chars = env->GetStringUTFChars(text, nullptr);
    if (!chars) {
        return false;
    }
    out->emplace(chars);
    env->ReleaseStringUTFChars(text, chars);
    return true;
}

// Like utf, for arguments that must not be null.
bool requiredUtf(JNIEnv* env, jstring text, const char* what, std::string* out) {
    std::optional<std::string> value;
    if (!utf(env, text, &value)) {
        return false;
    }
    if (!value) {
        throwNew(env, "java/lang/NullPointerException", std::string(what) + " is null");
        return false;
    }
    *out = std::move(*value);
    return true;
}

// A string that the host hands the library as the VM's: see Vm.rawStrings.
bool vmUtf(JNIEnv* env, jstring text, std::optional<std::string>* out) {
    return utf(env, text, out, g_raw_strings.load());
}

// The elements of a String[], each as vmUtf makes it; a null array gives no elements.
bool utfArray(JNIEnv* env, jobjectArray array,
              std::vector<std::optional<std::string>>* out) {
    out->clear();
    if (!array) {
        return true;
    }
    jsize length = env->GetArrayLength(array);
    for (jsize i = 0; i < length; ++i) {
        auto element = static_cast<jstring>(env->GetObjectArrayElement(array, i));
        if (env->ExceptionCheck()) {
            return false;
        }
        std::optional<std::string> text;
        bool ok = vmUtf(env, element, &text);
        env->DeleteLocalRef(element);
        if (!ok) {
            return false;
        }
        out->push_back(std::move(text));
    }
    return true;
}

// A Java string from UTF-16 text; null when absent or on failure.
jstring javaString(JNIEnv* env, bool present, const std::u16string& text) {
    if (!present) {
        return nullptr;
    }
    return env->NewString(reinterpret_cast<const jchar*>(text.data()),
                          static_cast<jsize>(text.size()));
}

// ---- journal and script ---------------------------------------------------

jobjectArray JNICALL vmJournal(JNIEnv* env, jclass) {
    return stringArray(env, journalLines(false));
}

jobjectArray JNICALL vmTakeJournal(JNIEnv* env, jclass) {
    return stringArray(env, journalLines(true));
}

void JNICALL vmClearJournal(JNIEnv*, jclass) {
    clearJournal();
}

void JNICALL vmJournaling(JNIEnv*, jclass, jboolean on) {
    setJournaling(on);
}

jlong JNICALL vmJournalDropped(JNIEnv*, jclass) {
    return journalDropped();
}

void JNICALL vmEchoLog(JNIEnv*, jclass, jboolean on) {
    setEchoLog(on);
}

void JNICALL vmScript(JNIEnv* env, jclass, jstring op, jlongArray answers) {
    std::string name;
    if (!requiredUtf(env, op, "op", &name)) {
        return;
    }
    std::vector<long long> values;
    if (answers) {
        jsize length = env->GetArrayLength(answers);
        std::vector<jlong> raw(static_cast<std::size_t>(length));
        env->GetLongArrayRegion(answers, 0, length, raw.data());
        if (env->ExceptionCheck()) {
            return;
        }
        values.assign(raw.begin(), raw.end());
    }
    scriptAnswers(name, values);
}

void JNICALL vmAnswer(JNIEnv* env, jclass, jstring op, jlong standing) {
    std::string name;
    if (requiredUtf(env, op, "op", &name)) {
        standingAnswer(name, standing);
    }
}

void JNICALL vmClearScript(JNIEnv*, jclass) {
    clearScript();
}

void JNICALL vmRefuseId(JNIEnv*, jclass, jint id) {
    refuseId(id);
}

// ---- memory ---------------------------------------------------------------

bool knownRegion(JNIEnv* env, RegionStatus status, const std::string& region) {
    if (status == RegionStatus::Unknown) {
        throwNew(env, "java/lang/IllegalArgumentException", "no VM region \"" + region + "\"");
        return false;
    }
    return true;
}

jbyteArray JNICALL vmMemory(JNIEnv* env, jclass, jstring region) {
    std::string name;
    if (!requiredUtf(env, region, "region", &name)) {
        return nullptr;
    }
    std::vector<std::uint8_t> bytes;
    RegionStatus status = copyRegion(name, &bytes);
    if (!knownRegion(env, status, name) || status == RegionStatus::Absent) {
        return nullptr;
    }
    jbyteArray array = env->NewByteArray(static_cast<jsize>(bytes.size()));
    if (array) {
        env->SetByteArrayRegion(array, 0, static_cast<jsize>(bytes.size()),
                                reinterpret_cast<const jbyte*>(bytes.data()));
    }
    return array;
}

jlong JNICALL vmAddress(JNIEnv* env, jclass, jstring region) {
    std::string name;
    if (!requiredUtf(env, region, "region", &name)) {
        return 0;
    }
    void* start = nullptr;
    jlong length = 0;
    RegionStatus status = regionExtent(name, &start, &length);
    if (!knownRegion(env, status, name) || status == RegionStatus::Absent) {
        return 0;
    }
    return static_cast<jlong>(reinterpret_cast<std::uintptr_t>(start));
}

jboolean JNICALL vmIsVmMemory(JNIEnv* env, jclass, jobject buffer, jstring region) {
    std::string name;
    if (!requiredUtf(env, region, "region", &name)) {
        return JNI_FALSE;
    }
    void* start = nullptr;
    jlong length = 0;
    RegionStatus status = regionExtent(name, &start, &length);
    if (!knownRegion(env, status, name) || status == RegionStatus::Absent || !buffer) {
        return JNI_FALSE;
    }
    void* address = env->GetDirectBufferAddress(buffer);
    jlong capacity = env->GetDirectBufferCapacity(buffer);
    return address && address == start && capacity == length;
}

void JNICALL vmClearEvents(JNIEnv*, jclass) {
    clearEvents();
}

// ---- options --------------------------------------------------------------

void JNICALL vmSetOptions(JNIEnv* env, jclass, jstring name, jobjectArray settings,
                          jboolean disk, jlong max_age, jint stack_depth,
                          jint thread_buffer_size, jint global_buffer_count, jstring dump_path,
                          jboolean dump_on_exit, jlong max_size, jlong max_chunk_size,
                          jboolean sample_threads) {
    OptionsValues v;
    if (!vmUtf(env, name, &v.name) || !utfArray(env, settings, &v.settings) ||
        !vmUtf(env, dump_path, &v.dump_path)) {
        return;
    }
    v.disk = disk;
    v.max_age = max_age;
    v.stack_depth = stack_depth;
    v.thread_buffer_size = thread_buffer_size;
    v.global_buffer_count = global_buffer_count;
    v.dump_on_exit = dump_on_exit;
    v.max_size = max_size;
    v.max_chunk_size = max_chunk_size;
    v.sample_threads = sample_threads;
    setOptions(v);
}

// ---- upcalls --------------------------------------------------------------

jobject makeAnswer(JNIEnv* env, Entry entry, const UpcallOutcome& o) {
    jstring entry_name = env->NewStringUTF(entryName(entry));
    if (!entry_name) {
        return nullptr;
    }
    jstring value = javaString(env, o.has_value, o.value);
    if (env->ExceptionCheck()) {
        return nullptr;
    }
    jstring pending = javaString(env, o.has_pending, o.pending);
    if (env->ExceptionCheck()) {
        return nullptr;
    }
    jstring thread = javaString(env, true, o.thread);
    if (!thread) {
        return nullptr;
    }
    return env->NewObject(g_answer_class, g_answer_init, entry_name, value, o.boolean, o.code,
                          pending, thread);
}

jobject call(JNIEnv* env, UpcallRequest request) {
    UpcallOutcome outcome;
    std::string error;
    request.exception_pending = g_exception_pending.load();
    if (!runUpcall(env, request, g_on_current_thread.load(), &outcome, &error)) {
        throwNew(env, "java/lang/IllegalStateException", error);
        return nullptr;
    }
    return makeAnswer(env, request.entry, outcome);
}

jobject JNICALL vmStartRecordingRaw(JNIEnv* env, jclass, jstring name, jint count,
                                    jobjectArray settings, jboolean disk, jlong delay,
                                    jlong duration, jstring file_name, jboolean dump_on_exit,
                                    jlong max_age, jlong max_size, jboolean verbose) {
    UpcallRequest r;
    r.entry = Entry::StartRecording;
    if (!vmUtf(env, name, &r.name) || !utfArray(env, settings, &r.settings) ||
        !vmUtf(env, file_name, &r.file_name)) {
        return nullptr;
    }
    // Past the array the entry reads padding null pointers; keep that padding sane.
    constexpr jint kMaxCountBeyondArray = 1 << 20;
    if (settings && count > static_cast<jint>(r.settings.size()) &&
        count > kMaxCountBeyondArray) {
        throwNew(env, "java/lang/IllegalArgumentException",
                 "count " + std::to_string(count) + " is far beyond the settings array");
        return nullptr;
    }
    r.count = count;
    r.settings_null = settings == nullptr;
    r.disk = disk;
    r.delay = delay;
    r.duration = duration;
    r.dump_on_exit = dump_on_exit;
    r.max_age = max_age;
    r.max_size = max_size;
    r.verbose = verbose;
    return call(env, r);
}

jobject JNICALL vmStopRecording(JNIEnv* env, jclass, jstring name, jlong id, jboolean discard,
                                jstring file_name, jboolean verbose) {
    UpcallRequest r;
    r.entry = Entry::StopRecording;
    if (!vmUtf(env, name, &r.name) || !vmUtf(env, file_name, &r.file_name)) {
        return nullptr;
    }
    r.id = id;
    r.discard = discard;
    r.verbose = verbose;
    return call(env, r);
}

jobject JNICALL vmCheckRecording(JNIEnv* env, jclass, jstring name, jlong id, jboolean verbose) {
    UpcallRequest r;
    r.entry = Entry::CheckRecording;
    if (!vmUtf(env, name, &r.name)) {
        return nullptr;
    }
    r.id = id;
    r.verbose = verbose;
    return call(env, r);
}

jobject JNICALL vmDumpRecording(JNIEnv* env, jclass, jstring name, jlong id, jstring file_name,
                                jboolean verbose) {
    UpcallRequest r;
    r.entry = Entry::DumpRecording;
    if (!vmUtf(env, name, &r.name) || !vmUtf(env, file_name, &r.file_name)) {
        return nullptr;
    }
    r.id = id;
    r.verbose = verbose;
    return call(env, r);
}

jobject JNICALL vmFinishChunk(JNIEnv* env, jclass, jstring path, jlong start, jlong end,
                              jboolean final_chunk) {
    UpcallRequest r;
    r.entry = Entry::FinishChunk;
    if (!vmUtf(env, path, &r.file_name)) {
        return nullptr;
    }
    r.start_time = start;
    r.end_time = end;
    r.final_chunk = final_chunk;
    return call(env, r);
}

jobject JNICALL vmNewChunk(JNIEnv* env, jclass) {
    UpcallRequest r;
    r.entry = Entry::NewChunk;
    return call(env, r);
}

jobject JNICALL vmRelease(JNIEnv* env, jclass) {
    UpcallRequest r;
    r.entry = Entry::Release;
    if (registeredUpcalls() && registeredUpcalls()->release_bindings) {
        ++g_release_count;
    }
    return call(env, r);
}

void JNICALL vmOnCurrentThread(JNIEnv*, jclass, jboolean on) {
    g_on_current_thread = on;
}

void JNICALL vmRawStrings(JNIEnv*, jclass, jboolean on) {
    g_raw_strings = on;
}

void JNICALL vmExceptionPendingOnEntry(JNIEnv*, jclass, jboolean on) {
    g_exception_pending = on;
}

jlong JNICALL vmStartRequestLoop(JNIEnv* env, jclass, jint threads, jlong per_thread,
                                 jstring kind) {
    std::string name;
    if (!requiredUtf(env, kind, "kind", &name)) {
        return 0;
    }
    if (!registeredUpcalls()) {
        throwNew(env, "java/lang/IllegalStateException", "the library registered no upcalls");
        return 0;
    }
    std::string error;
    jlong handle = startRequestLoop(threads, per_thread, name, &error);
    if (!handle) {
        throwNew(env, "java/lang/IllegalArgumentException", error);
    }
    return handle;
}

jlongArray JNICALL vmJoinRequestLoop(JNIEnv* env, jclass, jlong handle) {
    LoopTotals totals;
    if (!joinRequestLoop(handle, &totals)) {
        throwNew(env, "java/lang/IllegalArgumentException",
                 "no running request loop " + std::to_string(handle));
        return nullptr;
    }
    const jlong values[] = {totals.answered, totals.null_answers, totals.exceptions,
                            totals.elapsed_nanos};
    return longArray(env, values, 4);
}

// ---- process and load facts -----------------------------------------------

jlong JNICALL vmResidentBytes(JNIEnv*, jclass) {
    std::FILE* statm = std::fopen("/proc/self/statm", "r");
    if (!statm) {
        return -1;
    }
    unsigned long long size = 0, resident = 0;
    int read = std::fscanf(statm, "%llu %llu", &size, &resident);
    std::fclose(statm);
    return read == 2 ? static_cast<jlong>(resident) * sysconf(_SC_PAGESIZE) : -1;
}

jlong JNICALL vmRecorderInterfaceAddress(JNIEnv*, jclass) {
    return reinterpret_cast<jlong>(recorderInterface());
}

jlong JNICALL vmRegisteredUpcallsAddress(JNIEnv*, jclass) {
    return reinterpret_cast<jlong>(registeredUpcalls());
}

jint JNICALL vmReleaseCount(JNIEnv*, jclass) {
    return g_release_count.load();
}

jboolean JNICALL vmHasRecorderInterface(JNIEnv*, jclass) {
    return g_load_facts.has_recorder_interface;
}

jboolean JNICALL vmRegisteredUpcalls(JNIEnv*, jclass) {
    return registeredUpcalls() != nullptr;
}

jint JNICALL vmOnLoadResult(JNIEnv*, jclass) {
    return g_load_facts.on_load_result;
}

jint JNICALL vmNativesBound(JNIEnv*, jclass) {
    return g_load_facts.natives_bound;
}

#define STR "Ljava/lang/String;"
#define ANSWER "Lzevhost/Answer;"

const JNINativeMethod kVmNatives[] = {
    nativeMethod("journal", "()[" STR, vmJournal),
    nativeMethod("takeJournal", "()[" STR, vmTakeJournal),
    nativeMethod("clearJournal", "()V", vmClearJournal),
    nativeMethod("journaling", "(Z)V", vmJournaling),
    nativeMethod("journalDropped", "()J", vmJournalDropped),
    nativeMethod("echoLog", "(Z)V", vmEchoLog),
    nativeMethod("script", "(" STR "[J)V", vmScript),
    nativeMethod("answer", "(" STR "J)V", vmAnswer),
    nativeMethod("clearScript", "()V", vmClearScript),
    nativeMethod("refuseId", "(I)V", vmRefuseId),
    nativeMethod("memory", "(" STR ")[B", vmMemory),
    nativeMethod("address", "(" STR ")J", vmAddress),
    nativeMethod("isVmMemory", "(Ljava/nio/ByteBuffer;" STR ")Z", vmIsVmMemory),
    nativeMethod("clearEvents", "()V", vmClearEvents),
    nativeMethod("setOptions", "(" STR "[" STR "ZJIII" STR "ZJJZ)V", vmSetOptions),
    nativeMethod("startRecordingRaw", "(" STR "I[" STR "ZJJ" STR "ZJJZ)" ANSWER, vmStartRecordingRaw),
    nativeMethod("stopRecording", "(" STR "JZ" STR "Z)" ANSWER, vmStopRecording),
    nativeMethod("checkRecording", "(" STR "JZ)" ANSWER, vmCheckRecording),
    nativeMethod("dumpRecording", "(" STR "J" STR "Z)" ANSWER, vmDumpRecording),
    nativeMethod("finishChunk", "(" STR "JJZ)" ANSWER, vmFinishChunk),
    nativeMethod("newChunk", "()" ANSWER, vmNewChunk),
    nativeMethod("release", "()" ANSWER, vmRelease),
    nativeMethod("onCurrentThread", "(Z)V", vmOnCurrentThread),
    nativeMethod("rawStrings", "(Z)V", vmRawStrings),
    nativeMethod("exceptionPendingOnEntry", "(Z)V", vmExceptionPendingOnEntry),
    nativeMethod("startRequestLoop", "(IJ" STR ")J", vmStartRequestLoop),
    nativeMethod("joinRequestLoop", "(J)[J", vmJoinRequestLoop),
    nativeMethod("residentBytes", "()J", vmResidentBytes),
    nativeMethod("releaseCount", "()I", vmReleaseCount),
    nativeMethod("recorderInterfaceAddress", "()J", vmRecorderInterfaceAddress),
    nativeMethod("registeredUpcallsAddress", "()J", vmRegisteredUpcallsAddress),
    nativeMethod("hasRecorderInterface", "()Z", vmHasRecorderInterface),
    nativeMethod("registeredUpcalls", "()Z", vmRegisteredUpcalls),
    nativeMethod("onLoadResult", "()I", vmOnLoadResult),
    nativeMethod("nativesBound", "()I", vmNativesBound),
};

#undef STR
#undef ANSWER

}  // namespace

void setLoadFacts(const LoadFacts& facts) {
    g_load_facts = facts;
}

bool registerHostNatives(JNIEnv* env) {
    g_answer_class = globalClass(env, "zevhost/Answer");
    if (!g_answer_class) {
        return false;
    }
    g_answer_init = env->GetMethodID(g_answer_class, "<init>",
                                     "(Ljava/lang/String;Ljava/lang/String;ZILjava/lang/String;"
                                     "Ljava/lang/String;)V");
    if (!g_answer_init) {
        return false;
    }
    jclass vm = env->FindClass("zevhost/Vm");
    if (!vm) {
        return false;
    }
    jint registered = env->RegisterNatives(vm, kVmNatives,
                                           sizeof kVmNatives / sizeof kVmNatives[0]);
    env->DeleteLocalRef(vm);
    return registered == JNI_OK;
}

}  // namespace zevhost
