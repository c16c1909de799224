/*
 * The natives through which zevtests.support.Injector arms the failure injector and reads
 * what the library holds.
 */
#ifndef ZEV_HOST_FAILURE_NATIVES_H
#define ZEV_HOST_FAILURE_NATIVES_H

#include <jni.h>

namespace zevhost {

// Binds the natives of zevtests.support.Injector. False with an exception
// pending when the injector's jar doesn't match the host.
bool registerFailureNatives(JNIEnv* env);

}  // namespace zevhost

#endif
