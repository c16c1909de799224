/*
 * The JVM: created through the invocation API, and the JavaVM that libzev
 * is handed in its place, whose GetEnv answers the recorder interface
 * version with the reference VM.
 */
#ifndef ZEV_HOST_JAVA_VM_H
#define ZEV_HOST_JAVA_VM_H

#include "options.h"

#include <jni.h>

namespace zevhost {

// Creates the JVM with the options' class path and JVM options; false, with
// a line on standard error, when it can't be created.
bool createJvm(const Options& o, JavaVM** vm, JNIEnv** env);

// The JavaVM the library sees: the real VM's functions, but GetEnv answers
// the recorder version as `mode` says.
JavaVM* wrapVm(JavaVM* real, RecorderMode mode);

}  // namespace zevhost

#endif
