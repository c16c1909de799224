/*
 * The smallest VM side that a VM engineer could write from the installed
 * header: it creates a JVM, hands libzev a JavaVM whose GetEnv answers the
 * recorder interface version with its own table, loads libzev and binds the
 * natives it uses, then makes one native call (Process.getpid) and two
 * upcalls (start_recording, check_recording) through the table libzev
 * registered. Exits non-zero on the first thing that is not as expected.
 */
#include <zev/vm_interface.h>

#include <dlfcn.h>

#include <cstdio>
#include <cstring>
#include <string>

namespace {

constexpr jint kPid = 4711;  // not the process's: it must come from this table

int g_failures = 0;

void check(bool ok, const char* what) {
    std::printf("%s: %s\n", ok ? "ok" : "FAILED", what);
    if (!ok) {
        ++g_failures;
    }
}

// ---- the recorder interface: only the operations this program leads to ----

const RecorderUpcalls* g_upcalls = nullptr;
char g_buffer[4096];
std::string g_repository;

jboolean isEnabled() { return JNI_TRUE; }
jboolean notDisabled() { return JNI_FALSE; }
jboolean startRecorder() { return JNI_TRUE; }
jboolean registerUpcalls(const RecorderUpcalls* upcalls) {
    g_upcalls = upcalls;
    return JNI_TRUE;
}
void vmLog(jint level, const char* message) { std::printf("vm log %d: %s\n", level, message); }
jboolean storeLocale(const char*, jint, jint) { return JNI_TRUE; }
jboolean setRepository(const char* path) {
    g_repository = path;
    return JNI_TRUE;
}
jlong initBuffer(void** start) {
    *start = g_buffer;
    return sizeof g_buffer;
}
jint vmGetpid(JNIEnv*, jobject) { return kPid; }

VmRecorderInterface makeInterface() {
    VmRecorderInterface vm;
    std::memset(&vm, 0, sizeof vm);
    vm.is_enabled = isEnabled;
    vm.register_upcalls = registerUpcalls;
    vm.log = vmLog;
    vm.is_disabled_on_command_line = notDisabled;
    vm.is_started = notDisabled;
    vm.start_recorder = startRecorder;
    vm.store_locale = storeLocale;
    vm.set_repository = setRepository;
    vm.init_buffer = initBuffer;
    vm.getpid = vmGetpid;
    return vm;
}

VmRecorderInterface g_interface = makeInterface();

// ---- the JavaVM that libzev sees: the real one, but for GetEnv -------------

JavaVM* g_real_vm = nullptr;
JNIInvokeInterface_ g_functions;
JavaVM g_vm;

jint JNICALL getEnv(JavaVM*, void** penv, jint version) {
    if (version == RECORDER_INTERFACE_VERSION) {
        *penv = &g_interface;
        return JNI_OK;
    }
    return g_real_vm->GetEnv(penv, version);
}
jint JNICALL destroy(JavaVM*) { return g_real_vm->DestroyJavaVM(); }
jint JNICALL attach(JavaVM*, void** penv, void* args) {
    return g_real_vm->AttachCurrentThread(penv, args);
}
jint JNICALL detach(JavaVM*) { return g_real_vm->DetachCurrentThread(); }
jint JNICALL attachDaemon(JavaVM*, void** penv, void* args) {
    return g_real_vm->AttachCurrentThreadAsDaemon(penv, args);
}

JavaVM* wrap(JavaVM* real) {
    g_real_vm = real;
    g_functions = *real->functions;
    g_functions.GetEnv = getEnv;
    g_functions.DestroyJavaVM = destroy;
    g_functions.AttachCurrentThread = attach;
    g_functions.DetachCurrentThread = detach;
    g_functions.AttachCurrentThreadAsDaemon = attachDaemon;
    g_vm.functions = &g_functions;
    return &g_vm;
}

bool pending(JNIEnv* env) {
    if (!env->ExceptionCheck()) {
        return false;
    }
    env->ExceptionDescribe();
    env->ExceptionClear();
    return true;
}

bool bind(JNIEnv* env, void* library, const char* klass, const char* name,
          const char* descriptor, const char* symbol) {
    void* function = dlsym(library, symbol);
    jclass c = env->FindClass(klass);
    if (function == nullptr || c == nullptr) {
        pending(env);
        return false;
    }
    JNINativeMethod method = {const_cast<char*>(name), const_cast<char*>(descriptor), function};
    jint registered = env->RegisterNatives(c, &method, 1);
    env->DeleteLocalRef(c);
    return registered == JNI_OK && !pending(env);
}

// Answers the upcall's string and releases it; "(null)" for none.
std::string take(JNIEnv* env, jstring s) {
    if (pending(env) || s == nullptr) {
        return "(null)";
    }
    const char* chars = env->GetStringUTFChars(s, nullptr);
    std::string copy = chars ? chars : "(null)";
    if (chars) {
        env->ReleaseStringUTFChars(s, chars);
    }
    env->DeleteLocalRef(s);
    return copy;
}

}  // namespace

int main() {
    std::string class_path = std::string("-Djava.class.path=") + ZEV_JAR;
    JavaVMOption options[] = {{const_cast<char*>("-Xcheck:jni"), nullptr},
                              {const_cast<char*>(class_path.c_str()), nullptr}};
    JavaVMInitArgs args{};
    args.version = JNI_VERSION_10;
    args.nOptions = 2;
    args.options = options;
    JavaVM* real = nullptr;
    JNIEnv* env = nullptr;
    if (JNI_CreateJavaVM(&real, reinterpret_cast<void**>(&env), &args) != JNI_OK) {
        std::fputs("mini_vm: could not create the JVM\n", stderr);
        return 2;
    }

    void* library = dlopen(ZEV_LIBRARY, RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) {
        std::fprintf(stderr, "mini_vm: %s\n", dlerror());
        return 2;
    }
    auto on_load = reinterpret_cast<jint(JNICALL*)(JavaVM*, void*)>(dlsym(library, "JNI_OnLoad"));
    check(on_load != nullptr && on_load(wrap(real), nullptr) == JNI_VERSION_1_2,
          "JNI_OnLoad answered JNI 1.2");
    check(g_upcalls != nullptr, "libzev registered its upcalls");
    if (g_upcalls == nullptr) {
        return 1;
    }

    check(bind(env, library, "tesmar/nuvrak/zev/Process", "getpid", "()I",
               "Java_tesmar_nuvrak_zev_Process_getpid") &&
              bind(env, library, "tesmar/nuvrak/zev/VMZEV", "init",
                   "(Ljava/lang/String;ILjava/lang/String;)Ljava/nio/ByteBuffer;",
                   "Java_tesmar_nuvrak_zev_VMZEV_init"),
          "natives bound to libzev's exports");

    // Java to the VM: Process.getpid() reaches this table's getpid.
    jclass process = env->FindClass("tesmar/nuvrak/zev/Process");
    jmethodID getpid_method = process ? env->GetStaticMethodID(process, "getpid", "()I") : nullptr;
    jint pid = getpid_method ? env->CallStaticIntMethod(process, getpid_method) : 0;
    check(!pending(env) && pid == kPid, "Process.getpid() answered the VM's 4711");

    // The VM to Java: the first request bootstraps the recorder through ZEV.get().
    const char* settings[] = {"default"};
    std::string started_answer =
        take(env, g_upcalls->start_recording(env, "downstream", 1, settings, JNI_FALSE, 0, 0,
                                             nullptr, JNI_FALSE, 0, 0, JNI_FALSE));
    std::printf("start_recording -> %s\n", started_answer.c_str());
    check(started_answer != "(null)", "start_recording answered");
    check(!g_repository.empty(), "VMZEV.init set the repository");
    std::string checked =
        take(env, g_upcalls->check_recording(env, "downstream", 0, JNI_FALSE));
    std::printf("check_recording -> %s\n", checked.c_str());
    check(checked.find("\"downstream\" is running") != std::string::npos,
          "check_recording found the recording");
    check(g_upcalls->release_bindings(env) == 0 && !pending(env), "release_bindings answered 0");

    real->DestroyJavaVM();
    std::printf("mini_vm: %s\n", g_failures == 0 ? "PASS" : "FAIL");
    return g_failures == 0 ? 0 : 1;
}
