// Small JNI helpers shared by the host's parts.
#ifndef ZEV_HOST_JNI_SUPPORT_H
#define ZEV_HOST_JNI_SUPPORT_H

#include <jni.h>

namespace zevhost {

// A global reference to the named class, kept for the life of the process;
// null when the class is missing (its exception is then pending) or no global
// reference could be made.
inline jclass globalClass(JNIEnv* env, const char* name) {
    jclass local = env->FindClass(name);
    if (!local) {
        return nullptr;
    }
    auto global = static_cast<jclass>(env->NewGlobalRef(local));
    env->DeleteLocalRef(local);
    return global;
}

}  // namespace zevhost

#endif
