/*
 * The smallest complete VM side of libzev, over a stock JVM created through
 * the invocation API. It shows the five things a VM does to host the library:
 *
 *   1. hold can_redefine_classes and can_retransform_classes from the VM's
 *      start (here: an -agentpath agent, the one installed beside libzev);
 *   2. implement the recorder interface, every slot (VmRecorderInterface);
 *   3. load libzev and call its JNI_OnLoad with a JavaVM whose GetEnv answers
 *      RECORDER_INTERFACE_VERSION with that table;
 *   4. bind the natives of the recorder's classes to libzev's exports;
 *   5. reach the Java recorder through the upcalls libzev registered.
 *
 * Then it drives the library once each way: Java to the VM (natives that
 * land in the table) and the VM to Java (a recording started, checked, and
 * the bindings released). Each step prints "ok" or "FAILED"; the exit status
 * is 0 when every step went as expected.
 *
 *   mini_vm [JVM option...]     e.g. mini_vm -Xcheck:jni
 *
 * ZEV_LIBRARY, ZEV_JAR and ZEV_AGENT are the installed files' paths, given by
 * the build (CMakeLists.txt, from find_package(zev)).
 */
#include <zev/vm_interface.h>

#include <dlfcn.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

// ---- 2. the recorder interface ----------------------------------------------
//
// A VM keeps real recorder state behind these; this one keeps just enough to
// answer each operation sensibly. The library calls them from any Java or VM
// thread, so shared state would need the VM's own locking.

const RecorderUpcalls* g_upcalls = nullptr;
std::string g_repository;

namespace slots {

char thread_buffer[8192];
char global_buffer[65536];
char descriptor_buffer[4096];

// The record stays valid for the VM's life: the library reads it whenever
// Java asks for the options.
OptionsRecord makeOptions() {
    static const char* const settings[] = {"default"};
    OptionsRecord o;
    std::memset(&o, 0, sizeof o);
    o.name = "mini";
    o.settings = settings;
    o.settings_count = 1;
    o.stack_depth = 64;
    o.thread_buffer_size = sizeof thread_buffer;
    o.global_buffer_count = 1;
    o.sample_threads = JNI_TRUE;
    return o;
}
const OptionsRecord options = makeOptions();

// can_write sees the Java array, write only its pinned elements: the VM
// bounds write's offset and length by the array that can_write saw on the
// same thread.
thread_local jint write_capacity = 0;

jboolean is_enabled() { return JNI_TRUE; }
jboolean register_upcalls(const RecorderUpcalls* upcalls) {
    g_upcalls = upcalls;
    return JNI_TRUE;
}
const OptionsRecord* get_options() { return &options; }
jint recorder_command(jint) { return 0; }
void prepare_shutdown() {}
void add(jint, const jbyte*, jint) {}  // the bytes are the library's copy: copy them to keep them
jboolean remove(jint) { return JNI_TRUE; }
jlong buffer(void** start) {
    *start = global_buffer;
    return sizeof global_buffer;
}
jboolean flush(JNIEnv*, jobject) { return JNI_TRUE; }
jboolean can_write(JNIEnv* env, jobject, jarray data, jint offset) {
    write_capacity = env->GetArrayLength(data);
    return offset >= 0 && offset <= write_capacity;
}
void write(void* elements, jint offset, jint length) {
    if (length < 0 || length > write_capacity - offset ||
        length > static_cast<jint>(sizeof global_buffer)) {
        return;  // never read past the array's elements
    }
    std::memcpy(global_buffer, static_cast<char*>(elements) + offset, length);
}
jboolean set_threshold(jint id, jlong) { return id >= 0; }  // false: "Illegal id" in Java
jboolean set_period(jint id, jlong) { return id >= 0; }
jint add_const_pool(void*, jint, jboolean) { return 1; }  // 0 means out of memory
jboolean remove_const_pool(jint) { return JNI_TRUE; }
jboolean store_const_pool(jint) { return JNI_TRUE; }
jlong init_buffer(void** start) {
    *start = thread_buffer;  // null would make VMZEV.init throw OutOfMemoryError
    return sizeof thread_buffer;
}
jlong descriptor_buffer_(void** start) {
    *start = descriptor_buffer;
    return sizeof descriptor_buffer;
}
jboolean set_repository(const char* path) {
    g_repository = path;
    return JNI_TRUE;
}
jboolean get_descriptor(jint id, void** address, jlong* length, jint* result) {
    *address = nullptr;  // none: Java gets an empty buffer
    *length = 0;
    *result = id;
    return JNI_TRUE;  // false ends the process ("guarantee failed")
}
jlong get_period(jint) { return -1; }
jlong class_id(jclass) { return 1; }
jlong stack_trace_id(jint) { return 0; }
jlong thread_id(JNIEnv*, jobject) { return 1; }
jint getpid(JNIEnv*, jobject) { return static_cast<jint>(::getpid()); }
jlong counter_time(JNIEnv*, jobject) {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<jlong>(now.tv_sec) * 1000000000 + now.tv_nsec;
}
jlong timing_init(JNIEnv*, jobject) { return 1000000000; }  // counter ticks per second
void log(jint level, const char* message) { std::printf("vm log %d: %s\n", level, message); }
jboolean is_disabled_on_command_line() { return JNI_FALSE; }
jboolean is_started() { return JNI_FALSE; }  // so each request first binds the recorder (ZEV.get())
jboolean start_recorder() { return JNI_TRUE; }
jboolean store_locale(const char*, jint, jint) { return JNI_TRUE; }

}  // namespace slots

VmRecorderInterface makeRecorderInterface() {
    VmRecorderInterface vm;
    std::memset(&vm, 0, sizeof vm);  // slots 3 and 29 stay null: the library never calls them
    vm.is_enabled = slots::is_enabled;
    vm.register_upcalls = slots::register_upcalls;
    vm.get_options = slots::get_options;
    vm.recorder_command = slots::recorder_command;
    vm.prepare_shutdown = slots::prepare_shutdown;
    vm.add = slots::add;
    vm.remove = slots::remove;
    vm.buffer = slots::buffer;
    vm.flush = slots::flush;
    vm.can_write = slots::can_write;
    vm.write = slots::write;
    vm.set_threshold = slots::set_threshold;
    vm.set_period = slots::set_period;
    vm.add_const_pool = slots::add_const_pool;
    vm.remove_const_pool = slots::remove_const_pool;
    vm.store_const_pool = slots::store_const_pool;
    vm.init_buffer = slots::init_buffer;
    vm.descriptor_buffer = slots::descriptor_buffer_;
    vm.set_repository = slots::set_repository;
    vm.get_descriptor = slots::get_descriptor;
    vm.get_period = slots::get_period;
    vm.class_id = slots::class_id;
    vm.stack_trace_id = slots::stack_trace_id;
    vm.thread_id = slots::thread_id;
    vm.getpid = slots::getpid;
    vm.counter_time = slots::counter_time;
    vm.timing_init = slots::timing_init;
    vm.log = slots::log;
    vm.is_disabled_on_command_line = slots::is_disabled_on_command_line;
    vm.is_started = slots::is_started;
    vm.start_recorder = slots::start_recorder;
    vm.store_locale = slots::store_locale;
    return vm;
}

VmRecorderInterface g_recorder_interface = makeRecorderInterface();

// ---- 3. the JavaVM that libzev is handed --------------------------------------
//
// A VM with the recorder built in answers GetEnv itself. Over a stock JVM the
// library gets a copy of the JVM's function table whose GetEnv answers the
// recorder version; the other functions take the JavaVM pointer too, so they
// forward with the real one.

JavaVM* g_real_vm = nullptr;
JNIInvokeInterface_ g_functions;
JavaVM g_library_vm;

jint JNICALL getEnv(JavaVM*, void** penv, jint version) {
    if (version == RECORDER_INTERFACE_VERSION) {
        *penv = &g_recorder_interface;
        return JNI_OK;
    }
    return g_real_vm->GetEnv(penv, version);
}
jint JNICALL destroyJavaVM(JavaVM*) { return g_real_vm->DestroyJavaVM(); }
jint JNICALL attachCurrentThread(JavaVM*, void** penv, void* args) {
    return g_real_vm->AttachCurrentThread(penv, args);
}
jint JNICALL detachCurrentThread(JavaVM*) { return g_real_vm->DetachCurrentThread(); }
jint JNICALL attachCurrentThreadAsDaemon(JavaVM*, void** penv, void* args) {
    return g_real_vm->AttachCurrentThreadAsDaemon(penv, args);
}

JavaVM* libraryVm(JavaVM* real) {
    g_real_vm = real;
    g_functions = *real->functions;
    g_functions.GetEnv = getEnv;
    g_functions.DestroyJavaVM = destroyJavaVM;
    g_functions.AttachCurrentThread = attachCurrentThread;
    g_functions.DetachCurrentThread = detachCurrentThread;
    g_functions.AttachCurrentThreadAsDaemon = attachCurrentThreadAsDaemon;
    g_library_vm.functions = &g_functions;
    return &g_library_vm;
}

// ---- 4. the natives of the recorder's classes -----------------------------------

struct Native {
    const char* klass;  // in tesmar/nuvrak/zev
    const char* name;
    const char* descriptor;
};

const Native kNatives[] = {
    {"ZEV", "isSupportedInVM", "()Z"},
    {"ZEV", "isEnabled", "()Z"},
    {"ZEV", "isDisabledOnCommandLine", "()Z"},
    {"ZEV", "isStarted", "()Z"},
    {"ZEV", "startHalcyra", "()Z"},
    {"VMZEV", "init", "(Ljava/lang/String;ILjava/lang/String;)Ljava/nio/ByteBuffer;"},
    {"VMZEV", "options", "()Ltesmar/nuvrak/zev/NativeOptions;"},
    {"VMZEV", "flush", "()Z"},
    {"VMZEV", "threadID", "()J"},
    {"VMZEV", "remove", "(I)Z"},
    {"VMZEV", "removeConstPool", "(I)Z"},
    {"VMZEV", "storeConstPool", "(I)Z"},
    {"VMZEV", "getPeriod", "(I)J"},
    {"VMZEV", "stackTraceID", "(I)J"},
    {"VMZEV", "classID0", "(Ljava/lang/Class;)J"},
    {"VMZEV", "start", "(Z)I"},
    {"VMZEV", "stop", "()I"},
    {"VMZEV", "rotate", "()I"},
    {"VMZEV", "add", "(I[BII)V"},
    {"VMZEV", "addConstPool", "(Ljava/nio/ByteBuffer;IZ)V"},
    {"VMZEV", "buffer", "()Ljava/nio/ByteBuffer;"},
    {"VMZEV", "descriptors", "(I[Ljava/lang/Object;)I"},
    {"VMZEV", "write", "([BII)V"},
    {"VMZEV", "setThreshold", "(IJ)V"},
    {"VMZEV", "setPeriod", "(IJ)V"},
    {"VMZEV", "shutdown", "()V"},
    {"VMZEV", "retransformClasses0", "([Ljava/lang/Class;)V"},
    {"Logger", "output0", "(ILjava/lang/String;)V"},
    {"Process", "getpid", "()I"},
    {"Timing", "init", "()J"},
    {"Timing", "counterTime", "()J"},
};

bool describedPending(JNIEnv* env) {
    if (!env->ExceptionCheck()) {
        return false;
    }
    env->ExceptionDescribe();
    env->ExceptionClear();
    return true;
}

// Each native to libzev's export of its JNI name (no name here needs escaping).
bool registerNatives(JNIEnv* env, void* library) {
    for (const Native& native : kNatives) {
        std::string klass = std::string("tesmar/nuvrak/zev/") + native.klass;
        std::string symbol =
            std::string("Java_tesmar_nuvrak_zev_") + native.klass + "_" + native.name;
        void* function = dlsym(library, symbol.c_str());
        jclass c = env->FindClass(klass.c_str());
        if (function == nullptr || c == nullptr) {
            std::fprintf(stderr, "mini_vm: cannot bind %s.%s\n", klass.c_str(), native.name);
            describedPending(env);
            return false;
        }
        JNINativeMethod method = {const_cast<char*>(native.name),
                                  const_cast<char*>(native.descriptor), function};
        jint registered = env->RegisterNatives(c, &method, 1);
        env->DeleteLocalRef(c);
        if (registered != JNI_OK || describedPending(env)) {
            return false;
        }
    }
    return true;
}

// ---- driving it --------------------------------------------------------------------

int g_failures = 0;

void step(bool ok, const char* what) {
    std::printf("%s: %s\n", ok ? "ok" : "FAILED", what);
    if (!ok) {
        ++g_failures;
    }
}

// An upcall's answer as text, its local reference released; "(null)" for none.
std::string answer(JNIEnv* env, jstring s) {
    if (describedPending(env) || s == nullptr) {
        return "(null)";
    }
    const char* chars = env->GetStringUTFChars(s, nullptr);
    std::string copy = chars != nullptr ? chars : "(null)";
    if (chars != nullptr) {
        env->ReleaseStringUTFChars(s, chars);
    }
    env->DeleteLocalRef(s);
    return copy;
}

}  // namespace

int main(int argc, char** argv) {
    // 1. The JVM, holding the redefinition capabilities from its start.
    std::vector<std::string> texts(argv + 1, argv + argc);
    texts.push_back(std::string("-Djava.class.path=") + ZEV_JAR);
    texts.push_back(std::string("-agentpath:") + ZEV_AGENT);
    std::vector<JavaVMOption> options;
    for (std::string& text : texts) {
        options.push_back({text.data(), nullptr});
    }
    JavaVMInitArgs args{};
    args.version = JNI_VERSION_10;
    args.nOptions = static_cast<jint>(options.size());
    args.options = options.data();
    JavaVM* real = nullptr;
    JNIEnv* env = nullptr;
    if (JNI_CreateJavaVM(&real, reinterpret_cast<void**>(&env), &args) != JNI_OK) {
        std::fputs("mini_vm: could not create the JVM\n", stderr);
        return 2;
    }

    // 3. libzev loaded as a VM loads a JNI library, with the recorder interface.
    void* library = dlopen(ZEV_LIBRARY, RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) {
        std::fprintf(stderr, "mini_vm: %s\n", dlerror());
        return 2;
    }
    auto onLoad = reinterpret_cast<jint(JNICALL*)(JavaVM*, void*)>(dlsym(library, "JNI_OnLoad"));
    step(onLoad != nullptr && onLoad(libraryVm(real), nullptr) == JNI_VERSION_1_2,
         "JNI_OnLoad answered JNI 1.2");
    step(g_upcalls != nullptr, "libzev registered its upcalls");

    // 4. The natives.
    bool bound = registerNatives(env, library);
    step(bound, "the natives bound to libzev's exports");
    if (g_upcalls == nullptr || !bound) {
        return 1;
    }

    // Java to the VM: natives that answer from this table.
    jclass process = env->FindClass("tesmar/nuvrak/zev/Process");
    jint pid = env->CallStaticIntMethod(process, env->GetStaticMethodID(process, "getpid", "()I"));
    step(!describedPending(env) && pid == getpid(), "Process.getpid() answered by the VM's getpid");
    jclass timing = env->FindClass("tesmar/nuvrak/zev/Timing");
    jlong ticks = env->CallStaticLongMethod(timing, env->GetStaticMethodID(timing, "init", "()J"));
    step(!describedPending(env) && ticks == 1000000000,
         "Timing.init() answered by the VM's timing_init");

    // 5. The VM to Java: the first request binds the recorder through ZEV.get().
    const char* settings[] = {"default"};
    std::string started = answer(env, g_upcalls->start_recording(
                                          env, "mini", 1, settings, JNI_FALSE, 0, 0, nullptr,
                                          JNI_FALSE, 0, 0, JNI_FALSE));
    std::printf("start_recording -> %s\n", started.c_str());
    step(started != "(null)", "start_recording reached the recorder");
    step(!g_repository.empty(), "the recorder's binding handed the VM its repository");
    std::string checked = answer(env, g_upcalls->check_recording(env, "mini", 0, JNI_FALSE));
    std::printf("check_recording -> %s\n", checked.c_str());
    step(checked.find("\"mini\" is running") != std::string::npos,
         "check_recording found the recording");
    step(g_upcalls->release_bindings(env) == 0 && !describedPending(env),
         "release_bindings answered 0");

    real->DestroyJavaVM();
    std::printf("mini_vm: %s\n", g_failures == 0 ? "PASS" : "FAIL");
    return g_failures == 0 ? 0 : 1;
}
