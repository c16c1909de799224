// zev-host: the reference VM side of the recorder interface over a real
// JVM. It creates the JVM, hands libzev a JavaVM whose GetEnv answers the
// recorder interface version with the reference VM, calls libzev's
// JNI_OnLoad, binds the natives of the recorder's classes to libzev's
// exports, and runs a Java main class.
#include "capabilities_agent.h"
#include "host_natives.h"
#include "java_vm.h"
#include "library_binding.h"
#include "options.h"
#include "reference_vm.h"
#include "upcall_driver.h"

#include <cstdio>
#include <string>
#include <vector>

namespace zevhost {
namespace {

constexpr int kStartupFailure = 2;

void printLoadReport(const Options& o, const LoadFacts& facts,
                     const std::vector<std::string>& lines) {
    std::printf("zev-host: library %s\n", o.lib.c_str());
    std::printf("zev-host: jars %s %s\n", o.zev_jar.c_str(), o.host_jar.c_str());
    std::printf("zev-host: redefinition capabilities held from the VM's start: %s\n",
                o.early_capabilities ? capabilitiesAgentPath().c_str()
                                     : "no (--no-early-capabilities)");
    std::printf("zev-host: JNI_OnLoad answered 0x%08x\n",
                static_cast<unsigned>(facts.on_load_result));
    std::printf("zev-host: the load journaled %zu line(s):\n", lines.size());
    for (const std::string& line : lines) {
        std::printf("zev-host:   %s\n", line.c_str());
    }
    std::printf("zev-host: upcalls registered: %s\n", registeredUpcalls() ? "yes" : "no");
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

int finish(JavaVM* vm, JNIEnv* env, int status) {
    describePending(env);
    joinAllRequestLoops();
    vm->DestroyJavaVM();
    return status;
}

// The whole run: parses the options, starts the JVM, loads the library and
// runs the main class. Answers the process's exit status.
int run(int argc, char** argv) {
    Options o;
    setDefaultPaths(&o);
    if (!parseOptions(argc, argv, &o)) {
        printUsage(stderr);
        return kStartupFailure;
    }
    if (o.help) {
        printUsage(stdout);
        return 0;
    }
    JavaVM* vm = nullptr;
    JNIEnv* env = nullptr;
    if (!createJvm(o, &vm, &env)) {
        return kStartupFailure;
    }
    if (!initReferenceVm(vm, env, o.trace, o.disabled) || !initUpcallDriver(env) ||
        !registerHostNatives(env)) {
        std::fputs("zev-host: could not set up the host's Java side (is zevhost.jar current?)\n",
                   stderr);
        return finish(vm, env, kStartupFailure);
    }
    JavaVM* wrapped = wrapVm(vm, o.recorder);
    void* library = nullptr;
    LoadFacts facts;
    facts.has_recorder_interface = o.recorder == RecorderMode::Present;
    if (!loadLibrary(o.lib, wrapped, &library, &facts.on_load_result)) {
        return finish(vm, env, kStartupFailure);
    }
    std::vector<std::string> load_lines = journalLines(false);
    if (!bindRecorderNatives(env, library, &facts.natives_bound)) {
        return finish(vm, env, kStartupFailure);
    }
    setLoadFacts(facts);
    if (o.verbose) {
        printLoadReport(o, facts, load_lines);
    }
    int status = runMain(env, o);
    return finish(vm, env, status);
}

}  // namespace
}  // namespace zevhost

int main(int argc, char** argv) {
    return zevhost::run(argc, argv);
}
