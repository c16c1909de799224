/*
 * The natives of zevhost.Vm, the Java API through which tests, demos and
 * benchmarks script the reference VM, read what it saw and make upcalls.
 */
#ifndef ZEV_HOST_HOST_NATIVES_H
#define ZEV_HOST_HOST_NATIVES_H

#include <jni.h>

namespace zevhost {

// What the library's load did, for zevhost.Vm to report.
struct LoadFacts {
    jint on_load_result = 0;
    bool has_recorder_interface = false;
    int natives_bound = 0;
};

void setLoadFacts(const LoadFacts& facts);

// Binds zevhost.Vm's natives to the host. False with an exception pending
// when the host's jar doesn't match the host.
bool registerHostNatives(JNIEnv* env);

}  // namespace zevhost

#endif
