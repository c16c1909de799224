/*
 * The natives through which zevhost.Vm arms the failure injector and reads
 * what the library holds.
 */
#ifndef ZEV_HOST_FAILURE_NATIVES_H
#define ZEV_HOST_FAILURE_NATIVES_H

#include <jni.h>

namespace zevhost {

// Binds the injector's natives of zevhost.Vm. False with an exception
// pending when the host's jar doesn't match the host.
bool registerFailureNatives(JNIEnv* env);

}  // namespace zevhost

#endif
