/*
 * zev-host: plays the VM's side of the recorder interface over a real JVM.
 *
 * It creates the JVM through the invocation API, hands libzev a JavaVM of its
 * own whose GetEnv answers the recorder interface version with the reference
 * VM, calls libzev's JNI_OnLoad, binds the natives of the recorder's classes
 * to libzev's exports, and runs a Java main class.
 */
#include "capabilities_agent.h"
#include "failure_injector.h"
#include "failure_natives.h"
#include "host_natives.h"
#include "library_image.h"
#include "reference_vm.h"
#include "upcall_driver.h"
#include "vm_interface.h"

#include <dlfcn.h>
#include <jvmti.h>
#include <limits.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr int kStartupFailure = 2;

const char kUsage[] =
    "usage: zev-host [options] MainClass [args...]\n"
    "\n"
    "Runs MainClass in a JVM whose recorder interface is the reference VM,\n"
    "with libzev loaded and the recorder's natives bound to it.\n"
    "\n"
    "  -cp, -classpath, --classpath, --class-path PATH\n"
    "                     add PATH to the class path (after zev.jar and zevhost.jar)\n"
    "  --lib PATH         the libzev.so to load (default: " ZEV_HOST_INSTALLED_LIB "\n"
    "                     from the host's directory when installed, else the build tree's)\n"
    "  --zev-jar PATH     the recorder's classes (default: " ZEV_HOST_INSTALLED_ZEV_JAR "\n"
    "                     from the host's directory, else the build tree's)\n"
    "  --host-jar PATH    the host's classes (default: " ZEV_HOST_INSTALLED_HOST_JAR "\n"
    "                     from the host's directory, else the build tree's)\n"
    "  --no-recorder      GetEnv refuses the recorder interface (JNI_EVERSION)\n"
    "  --null-recorder    GetEnv answers JNI_OK with a null recorder interface\n"
    "  --disabled         the recorder is disabled on the command line\n"
    "  --trace            print each journal line as it happens, prefixed with \"vm: \"\n"
    "  --fail PLAN        arm the failure injector for the whole run (see zevhost.Vm),\n"
    "                     e.g. --fail 3,exhaust; its report goes to standard error\n"
    "  --no-early-capabilities\n"
    "                     start the JVM without the host's agent that holds the\n"
    "                     redefinition capabilities from its start, so that the first\n"
    "                     retransformation throws all compiled code away (for comparison)\n"
    "  --verbose          print a report of the library's load\n"
    "  --help             print this and exit\n"
    "  -...               any other option goes to the JVM (-Xcheck:jni, -Dx=y, -ea, ...)\n"
    "\n"
    "Exit status: that of the Java program (1 when main threw), 2 when the host\n"
    "could not start it.\n";

enum class RecorderMode { Present, Absent, Null };

struct Options {
    std::string lib;
    std::string zev_jar;
    std::string host_jar;
    std::vector<std::string> class_path;
    std::vector<std::string> jvm_options;
    RecorderMode recorder = RecorderMode::Present;
    bool disabled = false;
    bool trace = false;
    bool verbose = false;
    bool early_capabilities = true;
    std::string fail_plan;
    bool help = false;
    std::string main_class;
    std::vector<std::string> args;
};

std::string canonical(const std::string& path) {
    char resolved[PATH_MAX];
    return realpath(path.c_str(), resolved) ? std::string(resolved) : std::string();
}

// An installed host (bin/ beside lib/ and share/java/) uses the library and
// the jars of its own prefix, wherever the prefix has been moved; the host in
// the build tree has no such layout around it and uses the build tree's.
void setDefaultPaths(Options* o) {
    o->lib = ZEV_HOST_DEFAULT_LIB;
    o->zev_jar = ZEV_HOST_DEFAULT_ZEV_JAR;
    o->host_jar = ZEV_HOST_DEFAULT_HOST_JAR;
    std::string exe = canonical("/proc/self/exe");
    std::size_t slash = exe.rfind('/');
    if (slash == std::string::npos) {
        return;
    }
    std::string dir = exe.substr(0, slash + 1);
    std::string lib = canonical(dir + ZEV_HOST_INSTALLED_LIB);
    std::string zev_jar = canonical(dir + ZEV_HOST_INSTALLED_ZEV_JAR);
    std::string host_jar = canonical(dir + ZEV_HOST_INSTALLED_HOST_JAR);
    if (!lib.empty() && !zev_jar.empty() && !host_jar.empty()) {
        o->lib = lib;
        o->zev_jar = zev_jar;
        o->host_jar = host_jar;
    }
}

// Launcher options whose value the JVM wants joined with '='.
bool takesJoinedValue(const std::string& option) {
    static const char* const kOptions[] = {
        "--add-opens", "--add-exports", "--add-reads", "--add-modules", "--module-path",
        "--upgrade-module-path", "--limit-modules", "--patch-module"};
    for (const char* o : kOptions) {
        if (option == o) {
            return true;
        }
    }
    return false;
}

bool parseOptions(int argc, char** argv, Options* o) {
    int i = 1;
    auto value = [&](const std::string& option, std::string* out) {
        if (i + 1 >= argc) {
            std::fprintf(stderr, "zev-host: %s needs a value\n", option.c_str());
            return false;
        }
        *out = argv[++i];
        return true;
    };
    for (; i < argc; ++i) {
        std::string arg = argv[i];
        std::string v;
        if (arg.empty() || arg[0] != '-') {
            break;
        }
        if (arg == "-cp" || arg == "-classpath" || arg == "--classpath" || arg == "--class-path") {
            if (!value(arg, &v)) return false;
            o->class_path.push_back(v);
        } else if (arg == "--lib") {
            if (!value(arg, &o->lib)) return false;
        } else if (arg == "--zev-jar") {
            if (!value(arg, &o->zev_jar)) return false;
        } else if (arg == "--host-jar") {
            if (!value(arg, &o->host_jar)) return false;
        } else if (arg == "--no-recorder") {
            o->recorder = RecorderMode::Absent;
        } else if (arg == "--null-recorder") {
            o->recorder = RecorderMode::Null;
        } else if (arg == "--disabled") {
            o->disabled = true;
        } else if (arg == "--fail") {
            if (!value(arg, &o->fail_plan)) return false;
        } else if (arg == "--trace") {
            o->trace = true;
        } else if (arg == "--no-early-capabilities") {
            o->early_capabilities = false;
        } else if (arg == "--verbose") {
            o->verbose = true;
        } else if (arg == "--help" || arg == "-h") {
            o->help = true;
            return true;
        } else if (takesJoinedValue(arg)) {
            if (!value(arg, &v)) return false;
            o->jvm_options.push_back(arg + "=" + v);
        } else {
            o->jvm_options.push_back(arg);
        }
    }
    if (i >= argc) {
        std::fputs("zev-host: no main class given\n", stderr);
        return false;
    }
    o->main_class = argv[i++];
    o->args.assign(argv + i, argv + argc);
    return true;
}

// ---- the JavaVM that libzev sees ----------------------------------------------

JavaVM* g_real_vm = nullptr;
RecorderMode g_recorder_mode = RecorderMode::Present;
JNIInvokeInterface_ g_wrapped_functions;
JavaVM g_wrapped_vm;

jint JNICALL wrappedGetEnv(JavaVM*, void** penv, jint version) {
    if ((version & JVMTI_VERSION_MASK_INTERFACE_TYPE) == JVMTI_VERSION_INTERFACE_JVMTI) {
        return zevhost::libraryJvmtiEnv(g_real_vm, penv, version, __builtin_return_address(0));
    }
    if (version == RECORDER_INTERFACE_VERSION) {
        switch (g_recorder_mode) {
        case RecorderMode::Present:
            *penv = zevhost::recorderInterface();
            return JNI_OK;
        case RecorderMode::Null:
            *penv = nullptr;
            return JNI_OK;
        case RecorderMode::Absent:
            *penv = nullptr;
            return JNI_EVERSION;
        }
    }
    return g_real_vm->GetEnv(penv, version);
}

// Everything else reaches the real VM with the real VM's own pointer.
jint JNICALL wrappedDestroyJavaVM(JavaVM*) {
    return g_real_vm->DestroyJavaVM();
}

jint JNICALL wrappedAttachCurrentThread(JavaVM*, void** penv, void* args) {
    return g_real_vm->AttachCurrentThread(penv, args);
}

jint JNICALL wrappedDetachCurrentThread(JavaVM*) {
    return g_real_vm->DetachCurrentThread();
}

jint JNICALL wrappedAttachCurrentThreadAsDaemon(JavaVM*, void** penv, void* args) {
    return g_real_vm->AttachCurrentThreadAsDaemon(penv, args);
}

JavaVM* wrapVm(JavaVM* real, RecorderMode mode) {
    g_real_vm = real;
    g_recorder_mode = mode;
    g_wrapped_functions = *real->functions;
    g_wrapped_functions.DestroyJavaVM = wrappedDestroyJavaVM;
    g_wrapped_functions.AttachCurrentThread = wrappedAttachCurrentThread;
    g_wrapped_functions.DetachCurrentThread = wrappedDetachCurrentThread;
    g_wrapped_functions.GetEnv = wrappedGetEnv;
    g_wrapped_functions.AttachCurrentThreadAsDaemon = wrappedAttachCurrentThreadAsDaemon;
    g_wrapped_vm.functions = &g_wrapped_functions;
    return &g_wrapped_vm;
}

// ---- start-up steps -----------------------------------------------------------

bool createJvm(const Options& o, JavaVM** vm, JNIEnv** env) {
    std::string class_path = "-Djava.class.path=" + o.zev_jar + ":" + o.host_jar;
    for (const std::string& p : o.class_path) {
        class_path += ":" + p;
    }
    std::vector<JavaVMOption> options;
    for (const std::string& option : o.jvm_options) {
        options.push_back({const_cast<char*>(option.c_str()), nullptr});
    }
    options.push_back({const_cast<char*>(class_path.c_str()), nullptr});
    std::string agent = "-agentpath:" + zevhost::capabilitiesAgentPath();
    if (o.early_capabilities) {
        options.push_back({const_cast<char*>(agent.c_str()), nullptr});
    }
#ifdef ZEV_HOST_SANITIZED
    // Programs that judge the process's memory need to know that freed memory
    // waits in the sanitizer's quarantine instead of going back at once.
    options.push_back({const_cast<char*>("-Dzevhost.sanitized=true"), nullptr});
#endif
    JavaVMInitArgs args{};
    args.version = JNI_VERSION_10;
    args.nOptions = static_cast<jint>(options.size());
    args.options = options.data();
    args.ignoreUnrecognized = JNI_FALSE;
    jint created = JNI_CreateJavaVM(vm, reinterpret_cast<void**>(env), &args);
    if (created != JNI_OK) {
        std::fprintf(stderr, "zev-host: could not create the Java VM (error %d)\n", created);
        return false;
    }
    return true;
}

bool isSupportedJniVersion(jint version) {
    switch (version) {
    case JNI_VERSION_1_1: case JNI_VERSION_1_2: case JNI_VERSION_1_4: case JNI_VERSION_1_6:
    case JNI_VERSION_1_8: case JNI_VERSION_9: case JNI_VERSION_10:
        return true;
    default:
        return false;
    }
}

// dlopen the library and run its JNI_OnLoad with the wrapped VM, as the VM
// does when System.loadLibrary finds it. In between, the failure injector
// takes over the library's allocator imports and, under --fail, is armed.
bool loadLibrary(const Options& o, JNIEnv* env, JavaVM* wrapped, void** handle,
                 jint* on_load_result) {
    *handle = dlopen(o.lib.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!*handle) {
        std::fprintf(stderr, "zev-host: cannot load %s: %s\n", o.lib.c_str(), dlerror());
        return false;
    }
    std::string error;
    if (!zevhost::openLibraryImage(*handle, &error) || !zevhost::hookLibraryAllocations(&error)) {
        std::fprintf(stderr, "zev-host: %s: %s\n", o.lib.c_str(), error.c_str());
        return false;
    }
    if (!o.fail_plan.empty()) {
        zevhost::FailurePlan plan;
        if (!zevhost::parseFailurePlan(o.fail_plan, &plan, &error) ||
            !zevhost::armFailures(env, plan, &error)) {
            std::fprintf(stderr, "zev-host: --fail %s: %s\n", o.fail_plan.c_str(), error.c_str());
            return false;
        }
    }
    using OnLoad = jint(JNICALL*)(JavaVM*, void*);
    auto on_load = reinterpret_cast<OnLoad>(dlsym(*handle, "JNI_OnLoad"));
    if (!on_load) {
        std::fprintf(stderr, "zev-host: libzev.so does not export JNI_OnLoad\n");
        return false;
    }
    *on_load_result = on_load(wrapped, nullptr);
    if (!isSupportedJniVersion(*on_load_result)) {
        std::fprintf(stderr, "zev-host: JNI_OnLoad answered unsupported JNI version 0x%08x\n",
                     static_cast<unsigned>(*on_load_result));
        return false;
    }
    return true;
}

// Describes and clears a pending exception; for start-up failures.
void describePending(JNIEnv* env) {
    if (env->ExceptionCheck()) {
        env->ExceptionDescribe();
        env->ExceptionClear();
    }
}

std::string javaUtf(JNIEnv* env, jobjectArray array, jsize index) {
    auto text = static_cast<jstring>(env->GetObjectArrayElement(array, index));
    if (!text) {
        return std::string();
    }
    const char* chars = env->GetStringUTFChars(text, nullptr);
    std::string copy = chars ? chars : "";
    if (chars) {
        env->ReleaseStringUTFChars(text, chars);
    }
    env->DeleteLocalRef(text);
    return copy;
}

struct NativeMethod {
    std::string name;
    std::string descriptor;
    std::string symbol;
    void* function;
};

// Tells the failure injector which method a bound native is. The list does
// not say whether it is static.
bool noteBoundNative(JNIEnv* env, jclass klass, const NativeMethod& m) {
    jmethodID method = env->GetMethodID(klass, m.name.c_str(), m.descriptor.c_str());
    if (!method) {
        env->ExceptionClear();
        method = env->GetStaticMethodID(klass, m.name.c_str(), m.descriptor.c_str());
    }
    if (!method) {
        describePending(env);
        return false;
    }
    zevhost::noteLibraryNative(method, m.symbol);
    return true;
}

// Binds every native of the recorder's classes to libzev's export of its
// JNI name. zevhost.Natives lists them; the overloaded long name is tried
// when the short one is missing.
bool bindRecorderNatives(JNIEnv* env, void* library, int* bound) {
    jclass natives = env->FindClass("zevhost/Natives");
    if (!natives) {
        describePending(env);
        return false;
    }
    jmethodID list = env->GetStaticMethodID(natives, "recorderNatives", "()[Ljava/lang/String;");
    if (!list) {
        describePending(env);
        return false;
    }
    auto entries = static_cast<jobjectArray>(env->CallStaticObjectMethod(natives, list));
    if (env->ExceptionCheck() || !entries) {
        std::fputs("zev-host: could not list the recorder's natives\n", stderr);
        describePending(env);
        return false;
    }
    jsize count = env->GetArrayLength(entries) / 5;
    // Class by class, in the order listed (grouped by class).
    std::string current_class;
    std::vector<NativeMethod> methods;
    auto flush = [&]() -> bool {
        if (methods.empty()) {
            return true;
        }
        jclass klass = env->FindClass(current_class.c_str());
        if (!klass) {
            describePending(env);
            return false;
        }
        std::vector<JNINativeMethod> table;
        for (NativeMethod& m : methods) {
            table.push_back({const_cast<char*>(m.name.c_str()),
                             const_cast<char*>(m.descriptor.c_str()), m.function});
        }
        jint registered = env->RegisterNatives(klass, table.data(), static_cast<jint>(table.size()));
        if (registered != JNI_OK) {
            std::fprintf(stderr, "zev-host: could not register the natives of %s\n",
                         current_class.c_str());
            describePending(env);
            env->DeleteLocalRef(klass);
            return false;
        }
        for (const NativeMethod& m : methods) {
            if (!noteBoundNative(env, klass, m)) {
                env->DeleteLocalRef(klass);
                return false;
            }
        }
        env->DeleteLocalRef(klass);
        *bound += static_cast<int>(methods.size());
        methods.clear();
        return true;
    };
    for (jsize i = 0; i < count; ++i) {
        std::string klass = javaUtf(env, entries, 5 * i);
        std::string name = javaUtf(env, entries, 5 * i + 1);
        std::string descriptor = javaUtf(env, entries, 5 * i + 2);
        std::string short_symbol = javaUtf(env, entries, 5 * i + 3);
        std::string long_symbol = javaUtf(env, entries, 5 * i + 4);
        if (env->ExceptionCheck()) {
            describePending(env);
            return false;
        }
        if (klass != current_class) {
            if (!flush()) {
                return false;
            }
            current_class = klass;
        }
        std::string symbol = short_symbol;
        void* function = dlsym(library, symbol.c_str());
        if (!function) {
            symbol = long_symbol;
            function = dlsym(library, symbol.c_str());
        }
        if (!function) {
            std::fprintf(stderr, "zev-host: libzev.so does not export %s\n", short_symbol.c_str());
            return false;
        }
        methods.push_back({name, descriptor, symbol, function});
    }
    bool flushed = flush();
    env->DeleteLocalRef(entries);
    return flushed;
}

void printLoadReport(const Options& o, const zevhost::LoadFacts& facts,
                     const std::vector<std::string>& lines) {
    std::printf("zev-host: library %s\n", o.lib.c_str());
    std::printf("zev-host: jars %s %s\n", o.zev_jar.c_str(), o.host_jar.c_str());
    std::printf("zev-host: redefinition capabilities held from the VM's start: %s\n",
                o.early_capabilities ? zevhost::capabilitiesAgentPath().c_str()
                                     : "no (--no-early-capabilities)");
    std::printf("zev-host: JNI_OnLoad answered 0x%08x\n",
                static_cast<unsigned>(facts.on_load_result));
    std::printf("zev-host: the load journaled %zu line(s):\n", lines.size());
    for (const std::string& line : lines) {
        std::printf("zev-host:   %s\n", line.c_str());
    }
    std::printf("zev-host: upcalls registered: %s\n",
                zevhost::registeredUpcalls() ? "yes" : "no");
    std::printf("zev-host: natives bound: %d\n", facts.natives_bound);
    std::fflush(stdout);
}

// Runs MainClass.main(args); answers the exit status.
int runMain(JNIEnv* env, const Options& o) {
    std::string internal = o.main_class;
    for (char& c : internal) {
        if (c == '.') c = '/';
    }
    jclass main_class = env->FindClass(internal.c_str());
    if (!main_class) {
        std::fprintf(stderr, "zev-host: cannot find main class %s\n", o.main_class.c_str());
        describePending(env);
        return kStartupFailure;
    }
    jmethodID main = env->GetStaticMethodID(main_class, "main", "([Ljava/lang/String;)V");
    if (!main) {
        std::fprintf(stderr, "zev-host: %s has no static main(String[])\n", o.main_class.c_str());
        describePending(env);
        return kStartupFailure;
    }
    jclass string_class = env->FindClass("java/lang/String");
    if (!string_class) {
        describePending(env);
        return kStartupFailure;
    }
    jobjectArray args = env->NewObjectArray(static_cast<jsize>(o.args.size()), string_class, nullptr);
    if (!args) {
        describePending(env);
        return kStartupFailure;
    }
    for (std::size_t i = 0; i < o.args.size(); ++i) {
        jstring arg = env->NewStringUTF(o.args[i].c_str());
        if (!arg) {
            describePending(env);
            return kStartupFailure;
        }
        env->SetObjectArrayElement(args, static_cast<jsize>(i), arg);
        env->DeleteLocalRef(arg);
    }
    env->CallStaticVoidMethod(main_class, main, args);
    if (env->ExceptionCheck()) {
        env->ExceptionDescribe();
        env->ExceptionClear();
        return 1;
    }
    return 0;
}

int finish(JavaVM* vm, JNIEnv* env, int status, const Options& o) {
    describePending(env);
    zevhost::joinAllRequestLoops();
    if (!o.fail_plan.empty()) {
        zevhost::FailureReport report = zevhost::disarmFailures();
        std::fprintf(stderr, "zev-host: --fail %s: %lld counted, %lld failed", o.fail_plan.c_str(),
                     report.counted, report.failed);
        if (report.failed > 0) {
            std::fprintf(stderr, ", first %s (call %lld) in %s", report.function.c_str(),
                         report.first, report.where.c_str());
        }
        std::fputs("\n", stderr);
    }
    vm->DestroyJavaVM();
    return status;
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    setDefaultPaths(&o);
    if (!parseOptions(argc, argv, &o)) {
        std::fputs(kUsage, stderr);
        return kStartupFailure;
    }
    if (o.help) {
        std::fputs(kUsage, stdout);
        return 0;
    }
    JavaVM* vm = nullptr;
    JNIEnv* env = nullptr;
    if (!createJvm(o, &vm, &env)) {
        return kStartupFailure;
    }
    if (!zevhost::initReferenceVm(vm, env, o.trace, o.disabled) ||
        !zevhost::initUpcallDriver(env) || !zevhost::registerHostNatives(env) ||
        !zevhost::registerFailureNatives(env)) {
        std::fputs("zev-host: could not set up the host's Java side (is zevhost.jar current?)\n",
                   stderr);
        return finish(vm, env, kStartupFailure, o);
    }
    JavaVM* wrapped = wrapVm(vm, o.recorder);
    void* library = nullptr;
    zevhost::LoadFacts facts;
    facts.has_recorder_interface = o.recorder == RecorderMode::Present;
    if (!loadLibrary(o, env, wrapped, &library, &facts.on_load_result)) {
        return finish(vm, env, kStartupFailure, o);
    }
    std::vector<std::string> load_lines = zevhost::journalLines(false);
    if (!bindRecorderNatives(env, library, &facts.natives_bound)) {
        return finish(vm, env, kStartupFailure, o);
    }
    zevhost::setLoadFacts(facts);
    if (o.verbose) {
        printLoadReport(o, facts, load_lines);
    }
    int status = runMain(env, o);
    return finish(vm, env, status, o);
}
