/*
 * libzev as the VM loads it: opened with dlopen, its JNI_OnLoad called with
 * the JavaVM the host hands it, and the natives of the recorder's classes
 * bound to its exports with RegisterNatives.
 */
#ifndef ZEV_HOST_LIBRARY_BINDING_H
#define ZEV_HOST_LIBRARY_BINDING_H

#include <jni.h>

#include <string>

namespace zevhost {

// dlopen the library and run its JNI_OnLoad with `vm`, as the VM does when
// System.loadLibrary finds it. False, with a line on standard error, when it
// can't be loaded or answers a JNI version that doesn't exist.
bool loadLibrary(const std::string& path, JavaVM* vm, void** handle, jint* on_load_result);

// Binds every native of the recorder's classes to the library's export of
// its JNI name. zevhost.Natives lists them; the overloaded long name is
// tried when the short one is missing.
bool bindRecorderNatives(JNIEnv* env, void* library, int* bound);

// Describes and clears a pending exception; for start-up failures.
void describePending(JNIEnv* env);

}  // namespace zevhost

#endif
