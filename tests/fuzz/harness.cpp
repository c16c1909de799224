#include "harness.h"

#include "journal.h"
#include "reference_vm.h"
#include "tesmar_nuvrak_zev_Logger.h"
#include "tesmar_nuvrak_zev_Process.h"
#include "tesmar_nuvrak_zev_Timing.h"
#include "tesmar_nuvrak_zev_VMZEV.h"
#include "tesmar_nuvrak_zev_ZEV.h"
#include "vm_interface.h"

#include <fcntl.h>
#include <fuzzer/FuzzedDataProvider.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

extern "C" JNIEXPORT jint JNICALL JNI_OnLoad(JavaVM* vm, void* reserved);

// Inside a JVM: the JVM takes SIGSEGV for itself, and never frees some memory on purpose.
extern "C" const char* __asan_default_options() {
    return "handle_segv=0:allow_user_segv_handler=1:detect_leaks=0";
}

extern "C" const char* __ubsan_default_options() {
    return "print_stacktrace=1:halt_on_error=1";
}

namespace zevfuzz {
namespace {

// ---- what went wrong ----------------------------------------------------------

std::mutex* g_findings_mutex = new std::mutex;
std::vector<std::string>* g_findings = new std::vector<std::string>;
std::string g_trace;  // what the current input ran, for the report

void finding(const std::string& what) {
    std::lock_guard<std::mutex> lock(*g_findings_mutex);
    g_findings->push_back(what);
}

std::string shown(const char* text) {
    if (text == nullptr) {
        return "null";
    }
    std::string out = "\"";
    std::size_t n = std::strlen(text);
    for (std::size_t i = 0; i < n && i < 80; ++i) {
        auto c = static_cast<unsigned char>(text[i]);
        if (c >= 0x20 && c < 0x7F && c != '"' && c != '\\') {
            out += static_cast<char>(c);
        } else {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02X", c);
            out += hex;
        }
    }
    return out + (n > 80 ? "\"...(" + std::to_string(n) + " bytes)" : "\"");
}

// ---- the JVM and the library ----------------------------------------------------

Phase g_phase = Phase::BeforeStart;
JavaVM* g_vm = nullptr;
JNIEnv* g_env = nullptr;  // the creating thread's
int g_jvm_output = -1;    // the file that the JVM's standard output goes to
off_t g_jvm_output_seen = 0;

VmRecorderInterface g_interface;  // the reference VM's, with the slots below
void (*g_reference_log)(jint, const char*) = nullptr;
const RecorderUpcalls* g_upcalls = nullptr;

// The OptionsRecord that get_options answers; its strings live in g_texts.
OptionsRecord g_options{};
std::unique_ptr<const char*[]> g_option_settings;

JNIInvokeInterface_ g_wrapped_functions;
JavaVM g_wrapped_vm;

jint JNICALL wrappedGetEnv(JavaVM*, void** penv, jint version) {
    if (version == RECORDER_INTERFACE_VERSION) {
        *penv = &g_interface;
        return JNI_OK;
    }
    return g_vm->GetEnv(penv, version);
}

const OptionsRecord* fuzzedOptions() {
    return &g_options;
}

// Every line the library logs must be whole characters, however it was cut.
void checkedLog(jint level, const char* message) {
    g_reference_log(level, message);
    if (message == nullptr) {
        finding("log called with a null message");
    } else if (endsInsideCharacter(message)) {
        finding("log line ends inside a character: " + shown(message));
    }
}

// java/lang/... and zevfuzz.Fuzz, resolved once.
struct Java {
    jclass fuzz, vmzev, zev, logger, process, timing, options, byte_buffer, object, klass;
    jfieldID answer, bootstrap, repository, current, calls, name, file_name, settings, violation;
    jmethodID install, released, get;
    jfieldID o_name, o_settings, o_disk, o_max_age, o_stack_depth, o_thread_buffer_size,
        o_global_buffer_count, o_dump_path, o_dump_on_exit, o_max_size, o_max_chunk_size,
        o_sample_threads;
    jobject probe;   // an unbound VMZEV whose natives the fuzzer calls
    jobject thrown;  // the exception an upcall is entered with
} J;

[[noreturn]] void setUpFailed(const char* what) {
    std::fprintf(stderr, "zev fuzz: set-up failed: %s\n", what);
    if (g_env != nullptr && g_env->ExceptionCheck()) {
        g_env->ExceptionDescribe();
    }
    std::abort();
}

jclass globalClass(JNIEnv* env, const char* name) {
    jclass local = env->FindClass(name);
    if (local == nullptr) {
        setUpFailed(name);
    }
    auto global = static_cast<jclass>(env->NewGlobalRef(local));
    env->DeleteLocalRef(local);
    return global;
}

jfieldID staticField(JNIEnv* env, const char* name, const char* type) {
    jfieldID field = env->GetStaticFieldID(J.fuzz, name, type);
    if (field == nullptr) {
        setUpFailed(name);
    }
    return field;
}

jfieldID optionsField(JNIEnv* env, const char* name, const char* type) {
    jfieldID field = env->GetFieldID(J.options, name, type);
    if (field == nullptr) {
        setUpFailed(name);
    }
    return field;
}

struct NativeSymbol {
    const char* symbol;
    void* function;
};

#define ZEV_NATIVE(symbol) {#symbol, reinterpret_cast<void*>(&symbol)}
const NativeSymbol kNatives[] = {
    ZEV_NATIVE(Java_tesmar_nuvrak_zev_Logger_output0),
    ZEV_NATIVE(Java_tesmar_nuvrak_zev_Process_getpid),
    ZEV_NATIVE(Java_tesmar_nuvrak_zev_Timing_counterTime),
    ZEV_NATIVE(Java_tesmar_nuvrak_zev_Timing_init),
    ZEV_NATIVE(Java_tesmar_nuvrak_zev_VMZEV_add),
    ZEV_NATIVE(Java_tesmar_nuvrak_zev_VMZEV_addConstPool),
    ZEV_NATIVE(Java_tesmar_nuvrak_zev_VMZEV_buffer),
    ZEV_NATIVE(Java_tesmar_nuvrak_zev_VMZEV_classID0),
    ZEV_NATIVE(Java_tesmar_nuvrak_zev_VMZEV_descriptors),
    ZEV_NATIVE(Java_tesmar_nuvrak_zev_VMZEV_flush),
    ZEV_NATIVE(Java_tesmar_nuvrak_zev_VMZEV_getPeriod),
    ZEV_NATIVE(Java_tesmar_nuvrak_zev_VMZEV_init),
    ZEV_NATIVE(Java_tesmar_nuvrak_zev_VMZEV_options),
    ZEV_NATIVE(Java_tesmar_nuvrak_zev_VMZEV_remove),
    ZEV_NATIVE(Java_tesmar_nuvrak_zev_VMZEV_removeConstPool),
    ZEV_NATIVE(Java_tesmar_nuvrak_zev_VMZEV_retransformClasses0),
    ZEV_NATIVE(Java_tesmar_nuvrak_zev_VMZEV_rotate),
    ZEV_NATIVE(Java_tesmar_nuvrak_zev_VMZEV_setPeriod),
    ZEV_NATIVE(Java_tesmar_nuvrak_zev_VMZEV_setThreshold),
    ZEV_NATIVE(Java_tesmar_nuvrak_zev_VMZEV_shutdown),
    ZEV_NATIVE(Java_tesmar_nuvrak_zev_VMZEV_stackTraceID),
    ZEV_NATIVE(Java_tesmar_nuvrak_zev_VMZEV_start),
    ZEV_NATIVE(Java_tesmar_nuvrak_zev_VMZEV_stop),
    ZEV_NATIVE(Java_tesmar_nuvrak_zev_VMZEV_storeConstPool),
    ZEV_NATIVE(Java_tesmar_nuvrak_zev_VMZEV_threadID),
    ZEV_NATIVE(Java_tesmar_nuvrak_zev_VMZEV_write),
    ZEV_NATIVE(Java_tesmar_nuvrak_zev_ZEV_isDisabledOnCommandLine),
    ZEV_NATIVE(Java_tesmar_nuvrak_zev_ZEV_isEnabled),
    ZEV_NATIVE(Java_tesmar_nuvrak_zev_ZEV_isStarted),
    ZEV_NATIVE(Java_tesmar_nuvrak_zev_ZEV_isSupportedInVM),
    ZEV_NATIVE(Java_tesmar_nuvrak_zev_ZEV_startHalcyra),
};
#undef ZEV_NATIVE

void* nativeFunction(const std::string& symbol) {
    for (const NativeSymbol& n : kNatives) {
        if (symbol == n.symbol) {
            return n.function;
        }
    }
    return nullptr;
}

// The harness's own JNI calls are checked like the library's: a failure
// clears its exception and counts as a finding.
bool failed(JNIEnv* env, const char* what) {
    if (!env->ExceptionCheck()) {
        return false;
    }
    env->ExceptionDescribe();
    env->ExceptionClear();
    finding(std::string("the fuzzer's own JNI call failed: ") + what);
    return true;
}

std::string utf(JNIEnv* env, jstring text) {
    const char* chars = env->GetStringUTFChars(text, nullptr);
    if (chars == nullptr) {
        setUpFailed("GetStringUTFChars");
    }
    std::string copy = chars;
    env->ReleaseStringUTFChars(text, chars);
    return copy;
}

// Binds every native that the recorder's classes declare (zevhost.Natives
// lists them) to the library's function of that JNI name, as the host does.
void bindNatives(JNIEnv* env) {
    jclass natives = env->FindClass("zevhost/Natives");
    jmethodID list = natives == nullptr ? nullptr
        : env->GetStaticMethodID(natives, "recorderNatives", "()[Ljava/lang/String;");
    auto entries = list == nullptr ? nullptr
        : static_cast<jobjectArray>(env->CallStaticObjectMethod(natives, list));
    if (entries == nullptr || env->ExceptionCheck()) {
        setUpFailed("zevhost.Natives.recorderNatives");
    }
    jsize count = env->GetArrayLength(entries) / 5;
    int bound = 0;
    for (jsize i = 0; i < count; ++i) {
        std::string field[5];
        for (int f = 0; f < 5; ++f) {
            auto text = static_cast<jstring>(env->GetObjectArrayElement(entries, 5 * i + f));
            field[f] = utf(env, text);
            env->DeleteLocalRef(text);
        }
        void* function = nativeFunction(field[3]);
        if (function == nullptr) {
            function = nativeFunction(field[4]);
        }
        if (function == nullptr) {
            setUpFailed(("no library function for " + field[3]).c_str());
        }
        jclass klass = env->FindClass(field[0].c_str());
        JNINativeMethod method = {const_cast<char*>(field[1].c_str()),
                                  const_cast<char*>(field[2].c_str()), function};
        if (klass == nullptr || env->RegisterNatives(klass, &method, 1) != JNI_OK) {
            setUpFailed(("RegisterNatives " + field[1]).c_str());
        }
        env->DeleteLocalRef(klass);
        ++bound;
    }
    if (bound != static_cast<int>(sizeof kNatives / sizeof kNatives[0])) {
        setUpFailed("the Java classes declare another set of natives than the fuzzer knows");
    }
}

// The JVM's standard output goes to a file that is scanned after every input:
// -Xcheck:jni writes its warnings there and carries on.
void captureJvmOutput() {
    char path[] = "/tmp/zev-fuzz-stdout-XXXXXX";
    g_jvm_output = mkstemp(path);
    if (g_jvm_output < 0) {
        setUpFailed("mkstemp");
    }
    unlink(path);
    std::fflush(stdout);
    if (dup2(g_jvm_output, STDOUT_FILENO) < 0) {
        setUpFailed("dup2");
    }
}

void scanJvmOutput() {
    struct stat info {};
    if (fstat(g_jvm_output, &info) != 0 || info.st_size <= g_jvm_output_seen) {
        return;
    }
    std::string text(static_cast<std::size_t>(info.st_size - g_jvm_output_seen), '\0');
    ssize_t got = pread(g_jvm_output, &text[0], text.size(), g_jvm_output_seen);
    g_jvm_output_seen = info.st_size;
    finding("the JVM printed (a -Xcheck:jni warning?):\n" +
            text.substr(0, got > 0 ? static_cast<std::size_t>(got) : 0));
}

void createJvm() {
    std::string class_path = std::string("-Djava.class.path=") + ZEV_FUZZ_CLASS_PATH;
    const char* texts[] = {"-Xcheck:jni", class_path.c_str(), "-XX:+UseSerialGC", "-Xmx512m",
                           "-XX:TieredStopAtLevel=1", "-XX:-UsePerfData"};
    JavaVMOption options[sizeof texts / sizeof texts[0]];
    for (std::size_t i = 0; i < sizeof texts / sizeof texts[0]; ++i) {
        options[i] = {const_cast<char*>(texts[i]), nullptr};
    }
    JavaVMInitArgs args{};
    args.version = JNI_VERSION_10;
    args.nOptions = static_cast<jint>(sizeof texts / sizeof texts[0]);
    args.options = options;
    if (JNI_CreateJavaVM(&g_vm, reinterpret_cast<void**>(&g_env), &args) != JNI_OK) {
        setUpFailed("JNI_CreateJavaVM");
    }
}

// The library loads over the reference VM, as in zev-host, with two slots of
// the fuzzer's own: the options it makes, and a log that checks each line.
void loadLibrary() {
    if (!zevhost::initReferenceVm(g_vm, g_env, false, false)) {
        setUpFailed("the reference VM");
    }
    // Journaling on, as in the host: rendering a line reads what each slot was handed.
    zevhost::setJournaling(true);
    g_interface = *zevhost::recorderInterface();
    g_reference_log = g_interface.log;
    g_interface.log = checkedLog;
    g_interface.get_options = fuzzedOptions;
    static const char* const kDefaultSetting[] = {"default"};
    g_options.name = "fuzz";
    g_options.settings = kDefaultSetting;
    g_options.settings_count = 1;
    g_wrapped_functions = *g_vm->functions;
    g_wrapped_functions.GetEnv = wrappedGetEnv;
    g_wrapped_vm.functions = &g_wrapped_functions;
    if (JNI_OnLoad(&g_wrapped_vm, nullptr) != JNI_VERSION_1_2) {
        setUpFailed("JNI_OnLoad");
    }
    g_upcalls = zevhost::registeredUpcalls();
    if (g_upcalls == nullptr) {
        setUpFailed("no upcalls registered");
    }
}

void resolveJava(JNIEnv* env) {
    J.fuzz = globalClass(env, "zevfuzz/Fuzz");
    J.vmzev = globalClass(env, "tesmar/nuvrak/zev/VMZEV");
    J.zev = globalClass(env, "tesmar/nuvrak/zev/ZEV");
    J.logger = globalClass(env, "tesmar/nuvrak/zev/Logger");
    J.process = globalClass(env, "tesmar/nuvrak/zev/Process");
    J.timing = globalClass(env, "tesmar/nuvrak/zev/Timing");
    J.options = globalClass(env, "tesmar/nuvrak/zev/NativeOptions");
    J.byte_buffer = globalClass(env, "java/nio/ByteBuffer");
    J.object = globalClass(env, "java/lang/Object");
    J.klass = globalClass(env, "java/lang/Class");
    J.answer = staticField(env, "answer", "I");
    J.bootstrap = staticField(env, "bootstrap", "I");
    J.repository = staticField(env, "repository", "Ljava/lang/String;");
    J.current = staticField(env, "current", "Ltesmar/nuvrak/zev/VMZEV;");
    J.calls = staticField(env, "calls", "I");
    J.name = staticField(env, "name", "Ljava/lang/String;");
    J.file_name = staticField(env, "fileName", "Ljava/lang/String;");
    J.settings = staticField(env, "settings", "[Ljava/lang/String;");
    J.violation = staticField(env, "violation", "Ljava/lang/String;");
    J.install = env->GetStaticMethodID(J.fuzz, "install", "()V");
    J.released = env->GetStaticMethodID(J.fuzz, "released", "()V");
    J.get = env->GetStaticMethodID(J.zev, "get", "()Ltesmar/nuvrak/zev/ZEV;");
    if (J.install == nullptr || J.released == nullptr || J.get == nullptr) {
        setUpFailed("zevfuzz.Fuzz's methods");
    }
    J.o_name = optionsField(env, "name", "Ljava/lang/String;");
    J.o_settings = optionsField(env, "settings", "[Ljava/lang/String;");
    J.o_disk = optionsField(env, "disk", "Z");
    J.o_max_age = optionsField(env, "maxAge", "J");
    J.o_stack_depth = optionsField(env, "stackDepth", "I");
    J.o_thread_buffer_size = optionsField(env, "threadBufferSize", "I");
    J.o_global_buffer_count = optionsField(env, "globalBufferCount", "I");
    J.o_dump_path = optionsField(env, "dumpPath", "Ljava/lang/String;");
    J.o_dump_on_exit = optionsField(env, "dumpOnExit", "Z");
    J.o_max_size = optionsField(env, "maxSize", "J");
    J.o_max_chunk_size = optionsField(env, "maxChunkSize", "J");
    J.o_sample_threads = optionsField(env, "sampleThreads", "Z");
    jmethodID constructor = env->GetMethodID(J.vmzev, "<init>", "()V");
    jobject probe = constructor == nullptr ? nullptr : env->NewObject(J.vmzev, constructor);
    jclass state = env->FindClass("java/lang/IllegalStateException");
    jmethodID exception = state == nullptr ? nullptr
        : env->GetMethodID(state, "<init>", "(Ljava/lang/String;)V");
    jstring message = env->NewStringUTF("pending when the upcall was made");
    jobject thrown = exception == nullptr || message == nullptr ? nullptr
        : env->NewObject(state, exception, message);
    if (probe == nullptr || thrown == nullptr) {
        setUpFailed("the probe recorder and the pending exception");
    }
    J.probe = env->NewGlobalRef(probe);
    J.thrown = env->NewGlobalRef(thrown);
    env->CallStaticVoidMethod(J.fuzz, J.install);
    if (env->ExceptionCheck()) {
        setUpFailed("zevfuzz.Fuzz.install");
    }
}

// Binds a recorder through ZEV.get() and starts it, for Phase::Started.
void startRecorder(JNIEnv* env) {
    jobject recorder = env->CallStaticObjectMethod(J.zev, J.get);
    if (recorder == nullptr || env->ExceptionCheck()) {
        setUpFailed("ZEV.get()");
    }
    jmethodID start = env->GetStaticMethodID(J.zev, "startHalcyra", "()Z");
    if (start == nullptr ||
        env->CallStaticBooleanMethod(J.zev, start) != JNI_TRUE || env->ExceptionCheck()) {
        setUpFailed("binding and starting the recorder");
    }
    env->DeleteLocalRef(recorder);
}

// ---- VM threads -------------------------------------------------------------------

using Task = std::function<void(JNIEnv*)>;

// One VM thread that stays attached, taking one task at a time.
struct Worker {
    std::mutex mutex;
    std::condition_variable wake;
    const Task* task = nullptr;
    bool done = false;
};
Worker* g_worker = new Worker;  // never destroyed: the process exits with it waiting

void workerLoop() {
    JNIEnv* env = nullptr;
    JavaVMAttachArgs args{JNI_VERSION_1_2, const_cast<char*>("VM Thread"), nullptr};
    if (g_vm->AttachCurrentThreadAsDaemon(reinterpret_cast<void**>(&env), &args) != JNI_OK) {
        setUpFailed("attaching the VM thread");
    }
    std::unique_lock<std::mutex> lock(g_worker->mutex);
    for (;;) {
        g_worker->wake.wait(lock, [] { return g_worker->task != nullptr; });
        (*g_worker->task)(env);
        g_worker->task = nullptr;
        g_worker->done = true;
        g_worker->wake.notify_all();
    }
}

enum class Where { Caller, VmThread, FreshVmThread };

const char* whereName(Where where) {
    switch (where) {
    case Where::Caller: return "the calling thread";
    case Where::VmThread: return "the VM thread";
    case Where::FreshVmThread: return "a newly attached VM thread";
    }
    return "?";
}

// Runs the task in a local frame of its own on the chosen thread.
void runOn(Where where, const Task& task) {
    Task framed = [&task](JNIEnv* env) {
        if (env->PushLocalFrame(64) != 0) {
            finding("PushLocalFrame failed");
            env->ExceptionClear();
            return;
        }
        task(env);
        env->PopLocalFrame(nullptr);
    };
    switch (where) {
    case Where::Caller:
        framed(g_env);
        return;
    case Where::VmThread: {
        std::unique_lock<std::mutex> lock(g_worker->mutex);
        g_worker->task = &framed;
        g_worker->done = false;
        g_worker->wake.notify_all();
        g_worker->wake.wait(lock, [] { return g_worker->done; });
        return;
    }
    case Where::FreshVmThread: {
        std::thread thread([&framed] {
            JNIEnv* env = nullptr;
            JavaVMAttachArgs args{JNI_VERSION_1_2, const_cast<char*>("VM Thread (new)"), nullptr};
            if (g_vm->AttachCurrentThread(reinterpret_cast<void**>(&env), &args) != JNI_OK) {
                finding("could not attach a VM thread");
                return;
            }
            framed(env);
            g_vm->DetachCurrentThread();
        });
        thread.join();
        return;
    }
    }
}

// ---- texts ---------------------------------------------------------------------

// The texts of one input; a deque, so that the addresses handed out stay put.
std::deque<std::string> g_texts;

void putUnit(std::string* out, unsigned unit) {
    if (unit != 0 && unit < 0x80) {
        *out += static_cast<char>(unit);
    } else if (unit < 0x800) {  // U+0000 too, as C0 80
        *out += static_cast<char>(0xC0 | (unit >> 6));
        *out += static_cast<char>(0x80 | (unit & 0x3F));
    } else {
        *out += static_cast<char>(0xE0 | (unit >> 12));
        *out += static_cast<char>(0x80 | ((unit >> 6) & 0x3F));
        *out += static_cast<char>(0x80 | (unit & 0x3F));
    }
}

void putFourByte(std::string* out, unsigned point) {
    *out += static_cast<char>(0xF0 | (point >> 18));
    *out += static_cast<char>(0x80 | ((point >> 12) & 0x3F));
    *out += static_cast<char>(0x80 | ((point >> 6) & 0x3F));
    *out += static_cast<char>(0x80 | (point & 0x3F));
}

// Modified UTF-8 from UTF-16 units of every kind: ASCII, NUL, two- and
// three-byte characters, surrogate pairs and lone surrogates.
std::string validText(FuzzedDataProvider& in, std::size_t max_units) {
    std::string out;
    std::size_t units = in.ConsumeIntegralInRange<std::size_t>(0, max_units);
    for (std::size_t i = 0; i < units && in.remaining_bytes() > 0; ++i) {
        switch (in.ConsumeIntegralInRange<int>(0, 7)) {
        case 0: case 1: case 2:
            putUnit(&out, in.ConsumeIntegralInRange<unsigned>(0x20, 0x7E));
            break;
        case 3:
            putUnit(&out, in.ConsumeIntegralInRange<unsigned>(0, 0x1F));
            break;
        case 4:
            putUnit(&out, in.ConsumeIntegralInRange<unsigned>(0x80, 0x7FF));
            break;
        case 5:
            putUnit(&out, in.ConsumeIntegralInRange<unsigned>(0x800, 0xFFFF));
            break;
        case 6: {
            unsigned point = in.ConsumeIntegralInRange<unsigned>(0x10000, 0x10FFFF) - 0x10000;
            putUnit(&out, 0xD800 + (point >> 10));
            putUnit(&out, 0xDC00 + (point & 0x3FF));
            break;
        }
        default:
            putUnit(&out, in.ConsumeIntegralInRange<unsigned>(0xD800, 0xDFFF));
            break;
        }
    }
    return out;
}

// One fault of the kinds a VM written in C hands over.
std::string faultyBytes(FuzzedDataProvider& in) {
    static const char* const kFaults[] = {
        "\xE9",             // Latin-1
        "\xA9",             // a lone continuation byte
        "\xC3",             // a lead byte without its continuation
        "\xE2\x82",         // a three-byte character cut short
        "\xC0\xAF",         // overlong '/'
        "\xC1\x81",         // overlong 'A'
        "\xE0\x80\xAF",     // overlong three-byte '/'
        "\xF0\x80\x80\xAF", // overlong four-byte '/'
        "\xF4\x90\x80\x80", // beyond U+10FFFF
        "\xF8\x88\x80\x80\x80",
        "\xFF",
        "\xC0\x80\x80",     // NUL, then a stray continuation
    };
    return kFaults[in.ConsumeIntegralInRange<std::size_t>(0, sizeof kFaults / sizeof kFaults[0] - 1)];
}

// A text, or null, of any kind the VM might send; kept for the whole input.
const char* makeText(FuzzedDataProvider& in) {
    std::string text;
    switch (in.ConsumeIntegralInRange<int>(0, 8)) {
    case 0:
        return nullptr;
    case 1: {  // plain ASCII
        text = in.ConsumeRandomLengthString(24);
        for (char& c : text) {
            c = static_cast<char>(0x20 + (static_cast<unsigned char>(c) % 0x5F));
        }
        break;
    }
    case 2: case 3:
        text = validText(in, 16);
        break;
    case 4: {  // standard UTF-8's four-byte form amid valid text
        text = validText(in, 4);
        putFourByte(&text, in.ConsumeIntegralInRange<unsigned>(0x10000, 0x10FFFF));
        text += validText(in, 4);
        break;
    }
    case 5: {  // valid text with one fault somewhere
        text = validText(in, 6) + faultyBytes(in) + validText(in, 6);
        break;
    }
    case 6: {  // raw bytes
        text = in.ConsumeRandomLengthString(32);
        text.erase(std::remove(text.begin(), text.end(), '\0'), text.end());
        break;
    }
    default: {  // long: many multi-byte characters after a few ASCII ones, for cuts
        text.assign(in.ConsumeIntegralInRange<std::size_t>(0, 3), '/');
        static const unsigned kUnits[] = {0xE9, 0x20AC, 0xD83D};
        unsigned unit = kUnits[in.ConsumeIntegralInRange<std::size_t>(0, 2)];
        std::size_t count = in.ConsumeIntegralInRange<std::size_t>(10, 200);
        for (std::size_t i = 0; i < count; ++i) {
            putUnit(&text, unit);
            if (unit == 0xD83D) {
                putUnit(&text, 0xDE00);
            }
        }
        break;
    }
    }
    g_texts.push_back(std::move(text));
    return g_texts.back().c_str();
}

// ---- oracles ---------------------------------------------------------------------

// The worst class among texts (null texts don't count).
Encoding worst(const std::vector<const char*>& texts) {
    Encoding result = Encoding::Valid;
    for (const char* text : texts) {
        if (text == nullptr) {
            continue;
        }
        std::string converted;
        Encoding e = classify(text, &converted);
        if (e == Encoding::Invalid || (e == Encoding::Convertible && result == Encoding::Valid)) {
            result = e;
        }
    }
    return result;
}

// Whether the Java string the VM's text became is that text exactly (or its
// conversion, for four-byte forms); empty when it is, else what differs.
std::string compareText(JNIEnv* env, const char* what, const char* sent, jstring received) {
    if (sent == nullptr || received == nullptr) {
        if (sent == nullptr && received == nullptr) {
            return "";
        }
        return std::string(what) + ": sent " + shown(sent) + ", Java received " +
               (received == nullptr ? "null" : "a string");
    }
    std::string expected;
    Encoding e = classify(sent, &expected);
    if (e == Encoding::Invalid) {
        return std::string(what) + ": invalid text " + shown(sent) + " reached Java";
    }
    std::string got = utf(env, received);
    if (got != expected) {
        return std::string(what) + ": sent " + shown(sent) + ", Java received " +
               shown(got.c_str());
    }
    return "";
}

jstring staticString(JNIEnv* env, jfieldID field) {
    return static_cast<jstring>(env->GetStaticObjectField(J.fuzz, field));
}

// ---- upcalls ----------------------------------------------------------------------

struct Upcall {
    int entry = 2;
    const char* name = nullptr;
    const char* file = nullptr;  // also finish_chunk's path
    jint count = 0;
    bool settings_null = false;
    std::unique_ptr<const char*[]> settings;  // exactly count addresses
    std::vector<const char*> settings_list;
    jboolean flags[4] = {};
    jlong longs[4] = {};
    int answer = 0;     // how the handler answers
    int bootstrap = 0;  // how ZEV.get() answers
    std::string repository;  // where a new binding asks for its repository; empty: the default
    bool pending = false;
    Where where = Where::Caller;
};

const char* const kEntryNames[] = {"start_recording", "stop_recording", "check_recording",
                                   "dump_recording",  "finish_chunk",   "new_chunk",
                                   "release_bindings"};

jint settingsCount(FuzzedDataProvider& in) {
    switch (in.ConsumeIntegralInRange<int>(0, 15)) {
    case 0: return in.ConsumeIntegralInRange<jint>(INT_MIN, -1);
    case 1: return in.ConsumeIntegralInRange<jint>(100, 3000);
    case 2: return in.remaining_bytes() % 3 == 0 ? in.ConsumeIntegralInRange<jint>(65000, 70000) : 9;
    default: return in.ConsumeIntegralInRange<jint>(0, 12);
    }
}

bool currentlyBound(JNIEnv* env) {
    jobject current = env->GetStaticObjectField(J.fuzz, J.current);
    bool bound = current != nullptr;
    env->DeleteLocalRef(current);
    return bound;
}

// Makes the upcall on env's thread and judges what came back.
void judgeUpcall(JNIEnv* env, const Upcall& u, std::string* problems) {
    auto problem = [&](const std::string& what) { *problems += "  " + what + "\n"; };
    bool started = g_phase == Phase::Started;
    bool bound_before = started || currentlyBound(env);
    env->SetStaticIntField(J.fuzz, J.answer, u.answer);
    env->SetStaticIntField(J.fuzz, J.bootstrap, u.bootstrap);
    jstring repository = nullptr;
    if (!u.repository.empty()) {
        repository = env->NewStringUTF(u.repository.c_str());
        if (failed(env, "NewStringUTF")) {
            return;
        }
    }
    env->SetStaticObjectField(J.fuzz, J.repository, repository);
    jint calls_before = env->GetStaticIntField(J.fuzz, J.calls);
    long long lines_before = zevhost::errorLinesOnThisThread();
    const char* const* settings = u.settings_null ? nullptr : u.settings.get();
    if (u.pending) {
        env->Throw(static_cast<jthrowable>(J.thrown));
    }
    jstring answer = nullptr;
    jboolean finished = JNI_FALSE;
    jint released = 0;
    switch (u.entry) {
    case 0:
        answer = g_upcalls->start_recording(env, u.name, u.count, settings, u.flags[0], u.longs[0],
                                            u.longs[1], u.file, u.flags[1], u.longs[2],
                                            u.longs[3], u.flags[2]);
        break;
    case 1:
        answer = g_upcalls->stop_recording(env, u.name, u.longs[0], u.flags[0], u.file, u.flags[1]);
        break;
    case 2:
        answer = g_upcalls->check_recording(env, u.name, u.longs[0], u.flags[0]);
        break;
    case 3:
        answer = g_upcalls->dump_recording(env, u.name, u.longs[0], u.file, u.flags[0]);
        break;
    case 4:
        finished = g_upcalls->finish_chunk(env, u.file, u.longs[0], u.longs[1], u.flags[0]);
        break;
    case 5:
        g_upcalls->new_chunk(env);
        break;
    default:
        released = g_upcalls->release_bindings(env);
        break;
    }
    jthrowable pending = env->ExceptionOccurred();
    env->ExceptionClear();
    long long new_lines = zevhost::errorLinesOnThisThread() - lines_before;
    bool called = env->GetStaticIntField(J.fuzz, J.calls) != calls_before;
    bool answered = answer != nullptr || finished != JNI_FALSE;

    if (answer != nullptr && pending != nullptr) {
        problem("a string answered with an exception pending");
    }
    if (u.entry == 6) {
        env->CallStaticVoidMethod(J.fuzz, J.released);
        failed(env, "Fuzz.released");
        if (released != 0) {
            problem("the restore of the listed classes failed with JVMTI error " +
                    std::to_string(released));
        }
        return;
    }
    if (u.pending) {
        if (answered || called) {
            problem("entered with an exception pending, it answered or reached Java");
        }
        if (pending == nullptr || !env->IsSameObject(pending, J.thrown)) {
            problem("entered with an exception pending, it did not leave that exception pending");
        }
        if (new_lines < 1 && !(u.entry == 4 && u.file == nullptr)) {
            problem("entered with an exception pending, it logged no level-1 line");
        }
        return;
    }
    std::vector<const char*> texts = {u.name, u.file};
    if (u.entry == 0 && settings != nullptr && u.count > 0) {
        texts.insert(texts.end(), settings, settings + u.count);
    }
    if (u.entry == 2) {
        texts = {u.name};
    } else if (u.entry == 4) {
        texts = {u.file};
    } else if (u.entry == 5) {
        texts.clear();
    }
    Encoding encoding = worst(texts);
    bool count_refused = u.entry == 0 && (u.count < 0 || (settings == nullptr && u.count > 0));
    if (called) {
        if (encoding == Encoding::Invalid) {
            problem("a request with invalid text reached Java");
        }
        if (u.entry <= 3) {
            std::string diff = compareText(env, "name", u.name, staticString(env, J.name));
            if (!diff.empty()) problem(diff);
        }
        if (u.entry == 0 || u.entry == 1 || u.entry == 3 || u.entry == 4) {
            std::string diff = compareText(env, u.entry == 4 ? "chunk path" : "file name", u.file,
                                           staticString(env, J.file_name));
            if (!diff.empty()) problem(diff);
        }
        if (u.entry == 0) {
            auto array = static_cast<jobjectArray>(env->GetStaticObjectField(J.fuzz, J.settings));
            jsize length = array == nullptr ? -1 : env->GetArrayLength(array);
            if (length != u.count) {
                problem("sent " + std::to_string(u.count) + " settings, Java received " +
                        std::to_string(length));
            } else {
                for (jsize i = 0; i < length; ++i) {
                    // Tens of thousands: the ends, where frames fill and refs are
                    // released one by one, and a sample between.
                    if (length > 4096 && i >= 1024 && i < length - 1024 && i % 97 != 0) {
                        continue;
                    }
                    auto element = static_cast<jstring>(env->GetObjectArrayElement(array, i));
                    if (failed(env, "GetObjectArrayElement")) break;
                    std::string diff = compareText(env, ("setting " + std::to_string(i)).c_str(),
                                                   settings[i], element);
                    env->DeleteLocalRef(element);
                    if (!diff.empty()) {
                        problem(diff);
                        break;
                    }
                }
            }
        }
        // What the handler did comes back as the VM reads it.
        if (u.entry <= 3) {
            bool string_expected = u.answer == 0;
            if ((answer != nullptr) != string_expected) {
                problem(std::string("the handler answered ") +
                        (string_expected ? "a string" : "null or threw") + ", the VM got " +
                        (answer != nullptr ? "a string" : "null"));
            }
            if ((pending != nullptr) != (u.answer == 2)) {
                problem("the handler's exception is not what is pending");
            }
        } else if (u.entry == 4) {
            if ((finished != JNI_FALSE) != (u.answer != 2) || (pending != nullptr) != (u.answer == 2)) {
                problem("finish_chunk's answer is not what the handler did");
            }
        }
    } else if (u.entry <= 4) {
        if (answered) {
            problem("answered without reaching Java");
        }
        bool quiet_refusal = u.entry == 4 && u.file == nullptr;
        if (!quiet_refusal && new_lines < 1) {
            problem("refused without a level-1 line");
        }
        if (quiet_refusal && pending != nullptr) {
            problem("finish_chunk(null) left an exception pending");
        }
        bool reachable = u.entry == 4 ? bound_before && u.file != nullptr
                                      : started || u.bootstrap == 0;
        if (encoding == Encoding::Valid && reachable && !count_refused) {
            problem("a request with valid text did not reach Java");
        }
    } else if (bound_before && !called) {
        problem("new_chunk did not reach the bound recorder");
    }
    if (answer != nullptr) {
        env->DeleteLocalRef(answer);
    }
}

void upcallOperation(FuzzedDataProvider& in) {
    Upcall u;
    bool releases = g_phase == Phase::BeforeStart;
    u.entry = in.ConsumeIntegralInRange<int>(0, releases ? 6 : 5);
    u.name = makeText(in);
    u.file = makeText(in);
    if (u.entry == 0) {
        u.count = settingsCount(in);
        u.settings_null = in.ConsumeIntegralInRange<int>(0, 15) == 0;
        if (u.count > 0 && !u.settings_null) {
            // Exactly count addresses: a read past them is the sanitizer's to see.
            u.settings.reset(new const char*[static_cast<std::size_t>(u.count)]);
            std::size_t distinct = in.ConsumeIntegralInRange<std::size_t>(1, 12);
            std::vector<const char*> pool;
            for (std::size_t i = 0; i < distinct; ++i) {
                pool.push_back(makeText(in));
            }
            for (std::size_t i = 0; i < static_cast<std::size_t>(u.count); ++i) {
                u.settings[i] = pool[i % pool.size()];
            }
        } else if (!u.settings_null) {
            u.settings.reset(new const char*[0]);  // a valid address with nothing behind it
        }
    }
    for (jboolean& flag : u.flags) {
        flag = in.ConsumeBool() ? JNI_TRUE : JNI_FALSE;
    }
    for (jlong& value : u.longs) {
        value = in.ConsumeIntegral<jlong>();
    }
    u.answer = in.ConsumeIntegralInRange<int>(0, 2);
    u.bootstrap = in.ConsumeIntegralInRange<int>(0, 5) < 4 ? 0 : in.ConsumeIntegralInRange<int>(1, 2);
    if (in.ConsumeIntegralInRange<int>(0, 3) == 0) {
        // A repository the VM refuses, long enough that the message naming it is cut.
        u.repository = "/nonexistent/";
        u.repository.append(in.ConsumeIntegralInRange<std::size_t>(0, 3), 'r');
        static const unsigned kUnits[] = {0xE9, 0x20AC, 0xD83D};
        unsigned unit = kUnits[in.ConsumeIntegralInRange<std::size_t>(0, 2)];
        for (std::size_t i = in.ConsumeIntegralInRange<std::size_t>(0, 40); i > 0; --i) {
            putUnit(&u.repository, unit);
            if (unit == 0xD83D) {
                putUnit(&u.repository, 0xDE00);
            }
        }
    }
    u.where = static_cast<Where>(in.ConsumeIntegralInRange<int>(0, 9) < 9
                                      ? in.ConsumeIntegralInRange<int>(0, 1) : 2);
    // An exception pending on entry: the VM's fault, which the library must survive.
    // Not for the release, whose refusal would leave the fuzzer unsure what is bound.
    u.pending = u.entry != 6 && in.ConsumeIntegralInRange<int>(0, 7) == 0;
    if (u.entry == 5 && g_phase == Phase::BeforeStart && !currentlyBound(g_env)) {
        u.entry = 2;  // new_chunk with nothing bound is a broken invariant, by contract
    }
    g_trace += std::string(kEntryNames[u.entry]) + "(name " + shown(u.name) + ", file " +
               shown(u.file) + ", count " + std::to_string(u.count) +
               (u.settings_null ? " at null" : "") + ") answer " + std::to_string(u.answer) +
               " bootstrap " + std::to_string(u.bootstrap) +
               (u.repository.empty() ? "" : " at repository " + shown(u.repository.c_str())) +
               (u.pending ? " with an exception pending" : "") + " on " + whereName(u.where) +
               "\n";
    std::string problems;
    runOn(u.where, [&](JNIEnv* env) { judgeUpcall(env, u, &problems); });
    if (!problems.empty()) {
        finding(std::string(kEntryNames[u.entry]) + ":\n" + problems);
    }
}

// ---- options ------------------------------------------------------------------------

void optionsOperation(FuzzedDataProvider& in) {
    OptionsRecord record{};
    record.name = makeText(in);
    record.settings_count = in.ConsumeIntegralInRange<int>(0, 20) == 0
                                ? in.ConsumeIntegralInRange<jint>(-5, -1)
                                : in.ConsumeIntegralInRange<jint>(0, 300);
    bool settings_null = in.ConsumeIntegralInRange<int>(0, 20) == 0;
    std::size_t slots = record.settings_count > 0 ? static_cast<std::size_t>(record.settings_count) : 0;
    g_option_settings.reset(settings_null ? nullptr : new const char*[slots]{});
    if (!settings_null) {
        std::vector<const char*> pool;
        std::size_t distinct = in.ConsumeIntegralInRange<std::size_t>(1, 6);
        for (std::size_t i = 0; i < distinct; ++i) {
            pool.push_back(makeText(in));
        }
        for (std::size_t i = 0; i < slots; ++i) {
            g_option_settings[i] = pool[i % pool.size()];
        }
    }
    record.settings = g_option_settings.get();
    record.disk = in.ConsumeIntegral<jboolean>();
    record.max_age = in.ConsumeIntegral<jlong>();
    record.stack_depth = in.ConsumeIntegral<jint>();
    record.thread_buffer_size = in.ConsumeIntegral<jint>();
    record.global_buffer_count = in.ConsumeIntegral<jint>();
    record.dump_path = makeText(in);
    record.dump_on_exit = in.ConsumeIntegral<jboolean>();
    record.max_size = in.ConsumeIntegral<jlong>();
    record.max_chunk_size = in.ConsumeIntegral<jlong>();
    record.sample_threads = in.ConsumeIntegral<jboolean>();
    g_options = record;
    g_trace += "options(name " + shown(record.name) + ", " +
               std::to_string(record.settings_count) + " settings" +
               (settings_null ? " at null" : "") + ", dump path " + shown(record.dump_path) + ")\n";

    std::string problems;
    runOn(Where::Caller, [&](JNIEnv* env) {
        auto problem = [&](const std::string& what) { problems += "  " + what + "\n"; };
        jmethodID method = env->GetMethodID(J.vmzev, "options", "()Ltesmar/nuvrak/zev/NativeOptions;");
        if (failed(env, "GetMethodID options")) return;
        jobject options = env->CallObjectMethod(J.probe, method);
        bool pending = env->ExceptionCheck();
        env->ExceptionClear();
        if (record.settings_count < 0 || settings_null) {
            return;  // the VM's own fault: surviving it is enough
        }
        std::vector<const char*> texts = {record.name, record.dump_path};
        texts.insert(texts.end(), record.settings, record.settings + slots);
        Encoding encoding = worst(texts);
        if (options != nullptr && pending) {
            problem("options answered with an exception pending");
        }
        if (options == nullptr) {
            if (!pending) {
                problem("options answered null with nothing pending");
            }
            if (encoding == Encoding::Valid) {
                problem("options with valid text refused");
            }
            return;
        }
        if (encoding == Encoding::Invalid) {
            problem("options with invalid text answered");
        }
        auto text = [&](jfieldID field) {
            return static_cast<jstring>(env->GetObjectField(options, field));
        };
        std::string diff = compareText(env, "name", record.name, text(J.o_name));
        if (!diff.empty()) problem(diff);
        diff = compareText(env, "dump path", record.dump_path, text(J.o_dump_path));
        if (!diff.empty()) problem(diff);
        auto array = static_cast<jobjectArray>(env->GetObjectField(options, J.o_settings));
        jsize length = array == nullptr ? -1 : env->GetArrayLength(array);
        if (length != record.settings_count) {
            problem("settings: " + std::to_string(record.settings_count) + " sent, " +
                    std::to_string(length) + " received");
        } else {
            for (jsize i = 0; i < length; ++i) {
                auto element = static_cast<jstring>(env->GetObjectArrayElement(array, i));
                if (failed(env, "GetObjectArrayElement")) break;
                diff = compareText(env, "setting", record.settings[i], element);
                env->DeleteLocalRef(element);
                if (!diff.empty()) {
                    problem(diff);
                    break;
                }
            }
        }
        bool numbers =
            env->GetBooleanField(options, J.o_disk) == (record.disk != 0) &&
            env->GetLongField(options, J.o_max_age) == record.max_age &&
            env->GetIntField(options, J.o_stack_depth) == record.stack_depth &&
            env->GetIntField(options, J.o_thread_buffer_size) == record.thread_buffer_size &&
            env->GetIntField(options, J.o_global_buffer_count) == record.global_buffer_count &&
            env->GetBooleanField(options, J.o_dump_on_exit) == (record.dump_on_exit != 0) &&
            env->GetLongField(options, J.o_max_size) == record.max_size &&
            env->GetLongField(options, J.o_max_chunk_size) == record.max_chunk_size &&
            env->GetBooleanField(options, J.o_sample_threads) == (record.sample_threads != 0);
        if (!numbers) {
            problem("a number or flag of the record arrived changed");
        }
    });
    if (!problems.empty()) {
        finding("options:\n" + problems);
    }
}

// ---- natives ------------------------------------------------------------------------

jint extremeInt(FuzzedDataProvider& in) {
    static const jint kValues[] = {INT_MIN, INT_MIN + 1, -65536, -2, -1, 0, 1, 2, 7, 8, 16,
                                   63, 64, 4095, 4096, 65536, INT_MAX - 1, INT_MAX};
    if (in.ConsumeBool()) {
        return in.ConsumeIntegral<jint>();
    }
    return kValues[in.ConsumeIntegralInRange<std::size_t>(0, sizeof kValues / sizeof kValues[0] - 1)];
}

jbyteArray byteArray(JNIEnv* env, FuzzedDataProvider& in) {
    if (in.ConsumeIntegralInRange<int>(0, 9) == 0) {
        return nullptr;
    }
    jbyteArray array = env->NewByteArray(in.ConsumeIntegralInRange<jint>(0, 64));
    failed(env, "NewByteArray");
    return array;
}

// A Java string from UTF-16 units: lone surrogates and NUL too; or a long one.
jstring javaText(JNIEnv* env, FuzzedDataProvider& in) {
    if (in.ConsumeIntegralInRange<int>(0, 9) == 0) {
        return nullptr;
    }
    std::vector<jchar> units;
    if (in.ConsumeBool()) {
        units.assign(in.ConsumeIntegralInRange<std::size_t>(0, 3), u'/');
        jchar unit = in.ConsumeBool() ? 0xE9 : 0x20AC;
        units.insert(units.end(), in.ConsumeIntegralInRange<std::size_t>(50, 400), unit);
    } else {
        std::size_t count = in.ConsumeIntegralInRange<std::size_t>(0, 40);
        for (std::size_t i = 0; i < count; ++i) {
            units.push_back(in.ConsumeIntegral<jchar>());
        }
    }
    jstring text = env->NewString(units.data(), static_cast<jsize>(units.size()));
    failed(env, "NewString");
    return text;
}

// One native of the recorder's classes, called through the JVM, with
// arguments at the edges. Only survival is judged: no crash, no sanitizer
// report, no JNI warning, and whatever it throws is cleared.
void nativeOperation(FuzzedDataProvider& in) {
    int which = in.ConsumeIntegralInRange<int>(0, 24);
    if (which == 23 && g_phase == Phase::BeforeStart) {
        which = 22;  // started, a later release would leave requests finding no recorder
    }
    g_trace += "native " + std::to_string(which) + "\n";
    std::vector<std::unique_ptr<std::uint8_t[]>> memory;
    runOn(Where::Caller, [&](JNIEnv* env) {
        auto method = [&](const char* name, const char* signature) {
            jmethodID id = env->GetMethodID(J.vmzev, name, signature);
            failed(env, name);
            return id;
        };
        auto stat = [&](jclass klass, const char* name, const char* signature) {
            jmethodID id = env->GetStaticMethodID(klass, name, signature);
            failed(env, name);
            return id;
        };
        auto checked = [&](jobject made) {
            failed(env, "making an argument");
            return made;
        };
        jobject p = J.probe;
        switch (which) {
        case 0: {
            jbyteArray data = byteArray(env, in);
            env->CallVoidMethod(p, method("add", "(I[BII)V"), in.ConsumeIntegralInRange<jint>(-3, 40),
                                data, extremeInt(in), extremeInt(in));
            break;
        }
        case 1: {
            jbyteArray data = byteArray(env, in);
            env->CallVoidMethod(p, method("write", "([BII)V"), data, extremeInt(in), extremeInt(in));
            break;
        }
        case 2: {
            jobject buffer = nullptr;
            int kind = in.ConsumeIntegralInRange<int>(0, 3);
            jint capacity = in.ConsumeIntegralInRange<jint>(0, 256);
            if (kind == 1) {
                jmethodID allocate = stat(J.byte_buffer, "allocate", "(I)Ljava/nio/ByteBuffer;");
                buffer = checked(env->CallStaticObjectMethod(J.byte_buffer, allocate, capacity));
            } else if (kind >= 2) {
                // Memory of exactly the buffer's capacity: a read past it is the sanitizer's.
                memory.emplace_back(new std::uint8_t[static_cast<std::size_t>(capacity) + (capacity == 0)]());
                buffer = checked(env->NewDirectByteBuffer(memory.back().get(), capacity));
            }
            env->CallVoidMethod(p, method("addConstPool", "(Ljava/nio/ByteBuffer;IZ)V"), buffer,
                                kind >= 2 && in.ConsumeBool() ? in.ConsumeIntegralInRange<jint>(0, capacity)
                                                              : extremeInt(in),
                                in.ConsumeBool());
            break;
        }
        case 3:
            env->CallVoidMethod(p, method("setThreshold", "(IJ)V"), extremeInt(in), in.ConsumeIntegral<jlong>());
            break;
        case 4:
            env->CallVoidMethod(p, method("setPeriod", "(IJ)V"), extremeInt(in), in.ConsumeIntegral<jlong>());
            break;
        case 5:
            env->CallLongMethod(p, method("getPeriod", "(I)J"), extremeInt(in));
            break;
        case 6:
            env->CallBooleanMethod(p, method("remove", "(I)Z"), extremeInt(in));
            break;
        case 7:
            env->CallBooleanMethod(p, method("removeConstPool", "(I)Z"), extremeInt(in));
            break;
        case 8:
            env->CallBooleanMethod(p, method("storeConstPool", "(I)Z"), extremeInt(in));
            break;
        case 9:
            env->CallLongMethod(p, method("stackTraceID", "(I)J"), extremeInt(in));
            break;
        case 10:
            env->CallLongMethod(p, method("classID0", "(Ljava/lang/Class;)J"),
                                in.ConsumeBool() ? nullptr : J.fuzz);
            break;
        case 11: {
            jobjectArray buffers = in.ConsumeIntegralInRange<int>(0, 5) == 0 ? nullptr
                : static_cast<jobjectArray>(checked(
                      env->NewObjectArray(in.ConsumeIntegralInRange<jint>(0, 3), J.object, nullptr)));
            env->CallIntMethod(p, method("descriptors", "(I[Ljava/lang/Object;)I"), extremeInt(in), buffers);
            break;
        }
        case 12:
            env->CallObjectMethod(p, method("buffer", "()Ljava/nio/ByteBuffer;"));
            break;
        case 13:
            env->CallBooleanMethod(p, method("flush", "()Z"));
            break;
        case 14:
            env->CallLongMethod(p, method("threadID", "()J"));
            break;
        case 15:
            env->CallIntMethod(p, method("start", "(Z)I"), in.ConsumeBool());
            break;
        case 16:
            env->CallIntMethod(p, method("stop", "()I"));
            break;
        case 17:
            env->CallIntMethod(p, method("rotate", "()I"));
            break;
        case 18: {
            int kind = in.ConsumeIntegralInRange<int>(0, 3);
            jobjectArray classes = nullptr;
            if (kind > 0) {
                classes = static_cast<jobjectArray>(
                    checked(env->NewObjectArray(kind - 1, J.klass, nullptr)));
                if (kind == 3 && classes != nullptr) {
                    env->SetObjectArrayElement(classes, 1, in.ConsumeBool() ? J.fuzz : J.options);
                    failed(env, "SetObjectArrayElement");
                }
            }
            env->CallVoidMethod(p, method("retransformClasses0", "([Ljava/lang/Class;)V"), classes);
            break;
        }
        case 19:
            env->CallStaticVoidMethod(J.logger, stat(J.logger, "output0", "(ILjava/lang/String;)V"),
                                      extremeInt(in), javaText(env, in));
            break;
        case 20:
            env->CallStaticIntMethod(J.process, stat(J.process, "getpid", "()I"));
            break;
        case 21:
            env->CallStaticLongMethod(J.timing, stat(J.timing, "init", "()J"));
            env->ExceptionClear();
            env->CallStaticLongMethod(J.timing, stat(J.timing, "counterTime", "()J"));
            break;
        case 22: {
            static const char* const kStatus[] = {"isSupportedInVM", "isEnabled",
                                                  "isDisabledOnCommandLine", "isStarted"};
            const char* name = kStatus[in.ConsumeIntegralInRange<int>(0, 3)];
            env->CallStaticBooleanMethod(J.zev, stat(J.zev, name, "()Z"));
            break;
        }
        case 23:
            env->CallStaticBooleanMethod(J.zev, stat(J.zev, "startHalcyra", "()Z"));
            break;
        default:
            env->CallVoidMethod(p, method("shutdown", "()V"));
            break;
        }
        env->ExceptionClear();
    });
}

// ---- one input --------------------------------------------------------------------

void checkJavaViolation() {
    JNIEnv* env = g_env;
    auto violation = staticString(env, J.violation);
    if (violation != nullptr) {
        finding(utf(env, violation));
        env->SetStaticObjectField(J.fuzz, J.violation, nullptr);
        env->DeleteLocalRef(violation);
    }
}

void report() {
    scanJvmOutput();
    checkJavaViolation();
    std::lock_guard<std::mutex> lock(*g_findings_mutex);
    if (g_findings->empty()) {
        return;
    }
    std::fprintf(stderr, "\n==== zev fuzz: the input ran:\n%s==== and found:\n", g_trace.c_str());
    for (const std::string& f : *g_findings) {
        std::fprintf(stderr, "%s\n", f.c_str());
    }
    std::fflush(stderr);
    std::abort();
}

// The oracle's own judgement, checked before it judges anything.
void checkOracle() {
    struct Case {
        const char* text;
        Encoding encoding;
        const char* converted;
    };
    const Case cases[] = {
        {"plain /tmp/a", Encoding::Valid, "plain /tmp/a"},
        {"\xC0\x80", Encoding::Valid, "\xC0\x80"},                       // NUL
        {"r\xC3\xA9sum\xC3\xA9", Encoding::Valid, "r\xC3\xA9sum\xC3\xA9"},
        {"\xED\xA0\xBD\xED\xB8\x80", Encoding::Valid, "\xED\xA0\xBD\xED\xB8\x80"},
        {"\xED\xB8\x80", Encoding::Valid, "\xED\xB8\x80"},              // a lone surrogate
        {"\xF0\x9F\x98\x80", Encoding::Convertible, "\xED\xA0\xBD\xED\xB8\x80"},
        {"r\xE9\xA9sum", Encoding::Invalid, nullptr},
        {"..\xC0\xAF" "etc", Encoding::Invalid, nullptr},
        {"\xE0\x80\xAF", Encoding::Invalid, nullptr},
        {"\xF4\x90\x80\x80", Encoding::Invalid, nullptr},
        {"\xF0\x9F\x98", Encoding::Invalid, nullptr},
        {"a\xA9", Encoding::Invalid, nullptr},
    };
    for (const Case& c : cases) {
        std::string converted;
        if (classify(c.text, &converted) != c.encoding ||
            (c.converted != nullptr && converted != c.converted)) {
            setUpFailed(("the oracle misjudges " + shown(c.text)).c_str());
        }
    }
    if (!endsInsideCharacter("ab\xC3") || !endsInsideCharacter("\xE2\x82") ||
        endsInsideCharacter("ab\xC3\xA9") || endsInsideCharacter("\xE2\x82\xAC") ||
        endsInsideCharacter("")) {
        setUpFailed("the oracle misjudges cut characters");
    }
}

}  // namespace

void initialize(int* argc, char*** argv, Phase phase) {
    // libFuzzer's own handlers would take the signals the JVM lives on; the
    // malloc limit allows the 2 GiB that add may legitimately copy. Flags
    // given on the command line come later and win.
    static std::vector<char*> args;
    static const char* const kDefaults[] = {
        "-handle_segv=0", "-handle_bus=0", "-handle_fpe=0", "-handle_ill=0", "-handle_usr1=0",
        "-handle_usr2=0", "-detect_leaks=0", "-malloc_limit_mb=4096", "-rss_limit_mb=8192",
        // Structured inputs: a few hundred bytes make a whole sequence of calls
        // from the start, where growing the length slowly would spend the run
        // on sequences of one or two.
        "-max_len=768", "-len_control=0"};
    args.push_back((*argv)[0]);
    for (const char* flag : kDefaults) {
        args.push_back(const_cast<char*>(flag));
    }
    for (int i = 1; i < *argc; ++i) {
        args.push_back((*argv)[i]);
    }
    args.push_back(nullptr);
    *argc = static_cast<int>(args.size()) - 1;
    *argv = args.data();

    g_phase = phase;
    checkOracle();
    captureJvmOutput();
    createJvm();
    loadLibrary();
    bindNatives(g_env);
    resolveJava(g_env);
    if (phase == Phase::Started) {
        startRecorder(g_env);
    }
    std::thread(workerLoop).detach();
    g_trace = "set-up\n";
    report();
}

void runInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider in(data, size);
    g_texts.clear();
    g_trace.clear();
    zevhost::clearJournal();
    for (int op = 0; op < 8 && in.remaining_bytes() > 0; ++op) {
        int kind = in.ConsumeIntegralInRange<int>(0, 9);
        if (kind == 0) {
            optionsOperation(in);
        } else if (kind <= 3) {
            nativeOperation(in);
        } else {
            upcallOperation(in);
        }
    }
    report();
}

// ---- modified UTF-8 ------------------------------------------------------------------

Encoding classify(const std::string& text, std::string* converted) {
    converted->clear();
    Encoding result = Encoding::Valid;
    const auto* s = reinterpret_cast<const unsigned char*>(text.data());
    std::size_t n = text.size();
    auto continuation = [&](std::size_t i) { return i < n && (s[i] & 0xC0) == 0x80; };
    for (std::size_t i = 0; i < n;) {
        unsigned char b = s[i];
        if (b != 0 && b < 0x80) {
            *converted += static_cast<char>(b);
            i += 1;
        } else if (b >= 0xC0 && b < 0xE0 && continuation(i + 1)) {
            unsigned point = ((b & 0x1Fu) << 6) | (s[i + 1] & 0x3Fu);
            if (point != 0 && point < 0x80) {
                return Encoding::Invalid;  // overlong; only NUL takes two bytes
            }
            converted->append(text, i, 2);
            i += 2;
        } else if (b >= 0xE0 && b < 0xF0 && continuation(i + 1) && continuation(i + 2)) {
            unsigned point = ((b & 0x0Fu) << 12) | ((s[i + 1] & 0x3Fu) << 6) | (s[i + 2] & 0x3Fu);
            if (point < 0x800) {
                return Encoding::Invalid;
            }
            converted->append(text, i, 3);
            i += 3;
        } else if (b >= 0xF0 && b < 0xF8 && continuation(i + 1) && continuation(i + 2) &&
                   continuation(i + 3)) {
            unsigned point = ((b & 0x07u) << 18) | ((s[i + 1] & 0x3Fu) << 12) |
                             ((s[i + 2] & 0x3Fu) << 6) | (s[i + 3] & 0x3Fu);
            if (point < 0x10000 || point > 0x10FFFF) {
                return Encoding::Invalid;
            }
            point -= 0x10000;
            putUnit(converted, 0xD800 + (point >> 10));
            putUnit(converted, 0xDC00 + (point & 0x3FF));
            result = Encoding::Convertible;
            i += 4;
        } else {
            return Encoding::Invalid;
        }
    }
    return result;
}

bool endsInsideCharacter(const char* text) {
    const auto* s = reinterpret_cast<const unsigned char*>(text);
    std::size_t n = std::strlen(text);
    std::size_t trailing = 0;
    while (trailing < n && trailing < 3 && (s[n - 1 - trailing] & 0xC0) == 0x80) {
        ++trailing;
    }
    if (trailing == n) {
        return false;
    }
    unsigned char lead = s[n - 1 - trailing];
    std::size_t needed = lead >= 0xF0 ? 3 : lead >= 0xE0 ? 2 : lead >= 0xC0 ? 1 : 0;
    return needed > trailing;
}

}  // namespace zevfuzz
