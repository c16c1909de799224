/*
 * libzev-host-agent.so: the JVMTI agent that zev-host passes to
 * JNI_CreateJavaVM (-agentpath), so that the VM holds can_redefine_classes
 * and can_retransform_classes from its OnLoad phase.
 *
 * HotSpot records the compiler's dependencies on redefinable methods only
 * when one of those capabilities was added during the OnLoad phase. libzev
 * adds them at JNI_OnLoad, after the VM has started; without this agent the
 * first redefinition in the process finds the records incomplete and throws
 * all compiled code away ("Marked all nmethods for deopt"), and the program
 * runs interpreted until the JIT has compiled it again. A VM that builds the
 * recorder in does the same as this agent by holding the capabilities from
 * its own start.
 *
 * The environment is kept for the VM's life and used for nothing else: no
 * event is enabled, no class is touched.
 */
#include <jvmti.h>

#include <cstdio>

extern "C" JNIEXPORT jint JNICALL Agent_OnLoad(JavaVM* vm, char* /*options*/, void* /*reserved*/) {
    jvmtiEnv* jvmti = nullptr;
    if (vm->GetEnv(reinterpret_cast<void**>(&jvmti), JVMTI_VERSION_1_2) != JNI_OK || !jvmti) {
        std::fputs("zev-host: the capabilities agent got no JVMTI environment;"
                   " --no-early-capabilities starts without it\n", stderr);
        return JNI_ERR;
    }
    jvmtiCapabilities capabilities{};
    capabilities.can_redefine_classes = 1;
    capabilities.can_retransform_classes = 1;
    jvmtiError error = jvmti->AddCapabilities(&capabilities);
    if (error != JVMTI_ERROR_NONE) {
        std::fprintf(stderr, "zev-host: the capabilities agent could not add its capabilities"
                             " (JVMTI error %d); --no-early-capabilities starts without it\n",
                     static_cast<int>(error));
        return JNI_ERR;
    }
    return JNI_OK;
}
