/*
 * The VM's own versions of what libzev does on its hot paths, for the
 * benchmarks to measure libzev against in the same process: natives that
 * make the same recorder-interface calls as libzev's, a start-recording
 * request made with plain JNI from an attached VM thread, and a request loop
 * that pauses on its VM thread so that memory can be read while it is still
 * attached. Bound to zevhost.Baseline.
 */
#ifndef ZEV_HOST_BASELINES_H
#define ZEV_HOST_BASELINES_H

#include <jni.h>

namespace zevhost {

// Binds zevhost.Baseline's natives. False with an exception pending when
// the host's jar doesn't match the host.
bool registerBaselineNatives(JNIEnv* env);

}  // namespace zevhost

#endif
