// A JVMTI agent for the retransformation cases (-agentpath): another tool
// whose class-file hook leaves an exception pending, as a faulty agent's
// may, while zevtests.RetransformTests.retransformThrowing runs. HotSpot
// then calls the hooks of the environments created after it, the library's
// among them, with that exception still pending.
#include <jni.h>
#include <jvmti.h>

#include <atomic>

namespace {

jvmtiEnv* agentJvmti = nullptr;
std::atomic<bool> throwing{false};

void JNICALL throwingHook(jvmtiEnv*, JNIEnv* env, jclass redefined, jobject, const char*, jobject,
                          jint, const unsigned char*, jint*, unsigned char**) {
    if (redefined != nullptr && throwing.load()) {
        env->ThrowNew(env->FindClass("java/lang/IllegalStateException"), "the test agent's hook");
    }
}

}  // namespace

extern "C" JNIEXPORT jint JNICALL Agent_OnLoad(JavaVM* vm, char*, void*) {
    jvmtiCapabilities capabilities{};
    capabilities.can_retransform_classes = 1;
    jvmtiEventCallbacks callbacks{};
    callbacks.ClassFileLoadHook = throwingHook;
    bool ready = vm->GetEnv(reinterpret_cast<void**>(&agentJvmti), JVMTI_VERSION_1_2) == JNI_OK &&
                 agentJvmti->AddCapabilities(&capabilities) == JVMTI_ERROR_NONE &&
                 agentJvmti->SetEventCallbacks(&callbacks, sizeof(callbacks)) == JVMTI_ERROR_NONE &&
                 agentJvmti->SetEventNotificationMode(
                     JVMTI_ENABLE, JVMTI_EVENT_CLASS_FILE_LOAD_HOOK, nullptr) == JVMTI_ERROR_NONE;
    return ready ? JNI_OK : JNI_ERR;
}

// HotSpot looks up natives in agent libraries too.
extern "C" JNIEXPORT jint JNICALL Java_zevtests_RetransformTests_retransformThrowing(
    JNIEnv*, jclass, jclass klass) {
    throwing = true;
    jvmtiError error = agentJvmti->RetransformClasses(1, &klass);
    throwing = false;
    return error;
}
