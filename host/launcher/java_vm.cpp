#include "java_vm.h"

#include "capabilities_agent.h"
#include "reference_vm.h"

#include <cstdio>
#include <string>
#include <vector>

namespace zevhost {
namespace {

JavaVM* g_real_vm = nullptr;
RecorderMode g_recorder_mode = RecorderMode::Present;
VmRecorderInterface* g_recorder_interface = nullptr;
JNIInvokeInterface_ g_wrapped_functions;
JavaVM g_wrapped_vm;

jint JNICALL wrappedGetEnv(JavaVM*, void** penv, jint version) {
    if (version == RECORDER_INTERFACE_VERSION) {
        switch (g_recorder_mode) {
        case RecorderMode::Present:
            *penv = g_recorder_interface;
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

}  // namespace

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
    std::string agent = "-agentpath:" + capabilitiesAgentPath();
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

JavaVM* wrapVm(JavaVM* real, RecorderMode mode) {
    g_real_vm = real;
    g_recorder_mode = mode;
    g_recorder_interface = recorderInterface();
    g_wrapped_functions = *real->functions;
    g_wrapped_functions.DestroyJavaVM = wrappedDestroyJavaVM;
    g_wrapped_functions.AttachCurrentThread = wrappedAttachCurrentThread;
    g_wrapped_functions.DetachCurrentThread = wrappedDetachCurrentThread;
    g_wrapped_functions.GetEnv = wrappedGetEnv;
    g_wrapped_functions.AttachCurrentThreadAsDaemon = wrappedAttachCurrentThreadAsDaemon;
    g_wrapped_vm.functions = &g_wrapped_functions;
    return &g_wrapped_vm;
}

}  // namespace zevhost
