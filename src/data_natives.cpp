// The data and control natives: event data, constant pools, buffers,
// descriptors, periods and thresholds, recorder commands and logging. Each
// converts its Java arguments and makes one call into the VM.
#include <jni.h>

#include <cstdlib>

#include "diagnostics.h"
#include "jni_guards.h"
#include "library_areas.h"
#include "library_state.h"
#include "tesmar_nuvrak_zev_Logger.h"
#include "tesmar_nuvrak_zev_Process.h"
#include "tesmar_nuvrak_zev_Timing.h"
#include "tesmar_nuvrak_zev_VMZEV.h"

namespace {

enum RecorderCommand : jint {
    START_TO_DISK = 0,
    START_IN_MEMORY = 1,
    STOP = 2,
    ROTATE = 3,
    SHUT_DOWN = 7,
};

// A direct buffer over VM memory. An address the VM left null becomes an
// empty buffer, never one over whatever length came with it.
jobject wrapVmMemory(JNIEnv* env, void* start, jlong length) {
    static char nothing;
    if (start == nullptr) {
        return env->NewDirectByteBuffer(&nothing, 0);
    }
    return env->NewDirectByteBuffer(start, length);
}

}  // namespace

// ---- forwarding natives ----------------------------------------------------

extern "C" JNIEXPORT jboolean JNICALL Java_tesmar_nuvrak_zev_VMZEV_flush(JNIEnv* env, jobject self) {
    const VmRecorderInterface* vm = recorderOrThrow(env, "VMZEV_flush");
    return vm == nullptr ? JNI_FALSE : vm->flush(env, self);
}

extern "C" JNIEXPORT jlong JNICALL Java_tesmar_nuvrak_zev_VMZEV_threadID(JNIEnv* env, jobject self) {
    const VmRecorderInterface* vm = recorderOrThrow(env, "VMZEV_threadID");
    return vm == nullptr ? 0 : vm->thread_id(env, self);
}

extern "C" JNIEXPORT jboolean JNICALL Java_tesmar_nuvrak_zev_VMZEV_remove(JNIEnv* env, jobject,
                                                                       jint id) {
    const VmRecorderInterface* vm = recorderOrThrow(env, "VMZEV_remove");
    return vm == nullptr ? JNI_FALSE : vm->remove(id);
}

extern "C" JNIEXPORT jboolean JNICALL Java_tesmar_nuvrak_zev_VMZEV_removeConstPool(JNIEnv* env,
                                                                                jobject, jint id) {
    const VmRecorderInterface* vm = recorderOrThrow(env, "VMZEV_removeConstPool");
    return vm == nullptr ? JNI_FALSE : vm->remove_const_pool(id);
}

extern "C" JNIEXPORT jboolean JNICALL Java_tesmar_nuvrak_zev_VMZEV_storeConstPool(JNIEnv* env,
                                                                               jobject, jint id) {
    const VmRecorderInterface* vm = recorderOrThrow(env, "VMZEV_storeConstPool");
    return vm == nullptr ? JNI_FALSE : vm->store_const_pool(id);
}

extern "C" JNIEXPORT jlong JNICALL Java_tesmar_nuvrak_zev_VMZEV_getPeriod(JNIEnv* env, jobject,
                                                                       jint id) {
    const VmRecorderInterface* vm = recorderOrThrow(env, "VMZEV_getPeriod");
    return vm == nullptr ? 0 : vm->get_period(id);
}

extern "C" JNIEXPORT jlong JNICALL Java_tesmar_nuvrak_zev_VMZEV_stackTraceID(JNIEnv* env, jobject,
                                                                          jint skip) {
    const VmRecorderInterface* vm = recorderOrThrow(env, "VMZEV_stackTraceID");
    return vm == nullptr ? 0 : vm->stack_trace_id(skip);
}

extern "C" JNIEXPORT jlong JNICALL Java_tesmar_nuvrak_zev_VMZEV_classID0(JNIEnv* env, jobject,
                                                                      jclass klass) {
    const VmRecorderInterface* vm = recorderOrThrow(env, "VMZEV_classID0");
    return vm == nullptr ? 0 : vm->class_id(klass);
}

extern "C" JNIEXPORT jint JNICALL Java_tesmar_nuvrak_zev_VMZEV_start(JNIEnv* env, jobject,
                                                                  jboolean toDisk) {
    const VmRecorderInterface* vm = recorderOrThrow(env, "VMZEV_start");
    return vm == nullptr ? 0 : vm->recorder_command(toDisk ? START_TO_DISK : START_IN_MEMORY);
}

extern "C" JNIEXPORT jint JNICALL Java_tesmar_nuvrak_zev_VMZEV_stop(JNIEnv* env, jobject) {
    const VmRecorderInterface* vm = recorderOrThrow(env, "VMZEV_stop");
    return vm == nullptr ? 0 : vm->recorder_command(STOP);
}

extern "C" JNIEXPORT jint JNICALL Java_tesmar_nuvrak_zev_VMZEV_rotate(JNIEnv* env, jobject) {
    const VmRecorderInterface* vm = recorderOrThrow(env, "VMZEV_rotate");
    return vm == nullptr ? 0 : vm->recorder_command(ROTATE);
}

extern "C" JNIEXPORT jint JNICALL Java_tesmar_nuvrak_zev_Process_getpid(JNIEnv* env, jclass self) {
    const VmRecorderInterface* vm = recorderOrThrow(env, "Process_getpid");
    return vm == nullptr ? 0 : vm->getpid(env, self);
}

extern "C" JNIEXPORT jlong JNICALL Java_tesmar_nuvrak_zev_Timing_counterTime(JNIEnv* env,
                                                                          jclass self) {
    const VmRecorderInterface* vm = recorderOrThrow(env, "Timing_counterTime");
    return vm == nullptr ? 0 : vm->counter_time(env, self);
}

extern "C" JNIEXPORT jlong JNICALL Java_tesmar_nuvrak_zev_Timing_init(JNIEnv* env, jclass self) {
    const VmRecorderInterface* vm = recorderOrThrow(env, "Timing_init");
    return vm == nullptr ? 0 : vm->timing_init(env, self);
}

// ---- converting natives ----------------------------------------------------

extern "C" JNIEXPORT void JNICALL Java_tesmar_nuvrak_zev_VMZEV_add(JNIEnv* env, jobject, jint id,
                                                                jbyteArray data, jint offset,
                                                                jint length) {
    const VmRecorderInterface* vm = recorderOrThrow(env, "VMZEV_add");
    if (vm == nullptr) {
        return;
    }
    if (data == nullptr) {
        throwNullPointer(env);
        return;
    }
    // A negative length cannot be allocated; an empty add is still an add.
    jbyte* copy = length < 0 ? nullptr
                             : static_cast<jbyte*>(malloc(length == 0 ? 1 : static_cast<size_t>(length)));
    if (copy == nullptr) {
        throwByName(env, "java/lang/OutOfMemoryError", "VMZEV_add");
        return;
    }
    env->GetByteArrayRegion(data, offset, length, copy);
    if (env->ExceptionCheck()) {
        free(copy);  // the region was outside the array: the VM gets nothing
        return;
    }
    vm->add(id, copy, length);
    free(copy);
}

extern "C" JNIEXPORT void JNICALL Java_tesmar_nuvrak_zev_VMZEV_addConstPool(JNIEnv* env, jobject,
                                                                         jobject pool, jint size,
                                                                         jboolean flag) {
    const VmRecorderInterface* vm = recorderOrThrow(env, "VMZEV_addConstPool");
    if (vm == nullptr) {
        return;
    }
    if (pool == nullptr) {
        throwNullPointer(env);
        return;
    }
    void* address = env->GetDirectBufferAddress(pool);
    if (address == nullptr) {
        throwByName(env, "java/lang/IllegalArgumentException", "addConstPool: not a direct buffer");
        return;
    }
    // The VM gets the address alone and cannot know where the buffer ends.
    jlong capacity = env->GetDirectBufferCapacity(pool);
    if (env->ExceptionCheck()) {
        return;
    }
    if (size < 0 || size > capacity) {
        throwByName(env, "java/lang/IllegalArgumentException",
                    "addConstPool: size %d, buffer capacity %lld", static_cast<int>(size),
                    static_cast<long long>(capacity));
        return;
    }
    if (vm->add_const_pool(address, size, flag) == 0) {
        throwByName(env, "java/lang/OutOfMemoryError", "addConstPool");
    }
}

extern "C" JNIEXPORT jobject JNICALL Java_tesmar_nuvrak_zev_VMZEV_buffer(JNIEnv* env, jobject) {
    const VmRecorderInterface* vm = recorderOrThrow(env, "VMZEV_buffer");
    if (vm == nullptr) {
        return nullptr;
    }
    void* start = nullptr;
    jlong length = vm->buffer(&start);
    if (start == nullptr) {
        throwByName(env, "java/lang/OutOfMemoryError", "VMZEV_buffer");
        return nullptr;
    }
    return env->NewDirectByteBuffer(start, length);
}

extern "C" JNIEXPORT jint JNICALL Java_tesmar_nuvrak_zev_VMZEV_descriptors(JNIEnv* env, jobject,
                                                                        jint id,
                                                                        jobjectArray buffers) {
    const VmRecorderInterface* vm = recorderOrThrow(env, "VMZEV_descriptors");
    if (vm == nullptr) {
        return 0;
    }
    if (buffers == nullptr) {
        throwNullPointer(env);
        return 0;
    }
    void* descriptorStart = nullptr;
    jlong descriptorLength = vm->descriptor_buffer(&descriptorStart);
    jobject descriptorBuffer = wrapVmMemory(env, descriptorStart, descriptorLength);
    if (descriptorBuffer == nullptr) {
        return 0;
    }

    void* start = nullptr;
    jlong length = 0;
    jint result = 0;
    guarantee(vm->get_descriptor(id, &start, &length, &result), "get_descriptor failed");
    jobject descriptor = wrapVmMemory(env, start, length);
    if (descriptor == nullptr) {
        return 0;
    }

    env->SetObjectArrayElement(buffers, 0, descriptorBuffer);
    if (env->ExceptionCheck()) {
        return 0;
    }
    env->SetObjectArrayElement(buffers, 1, descriptor);
    if (env->ExceptionCheck()) {
        return 0;
    }
    return result;
}

extern "C" JNIEXPORT void JNICALL Java_tesmar_nuvrak_zev_VMZEV_write(JNIEnv* env, jobject self,
                                                                  jbyteArray data, jint offset,
                                                                  jint length) {
    const VmRecorderInterface* vm = recorderOrThrow(env, "VMZEV_write");
    if (vm == nullptr) {
        return;
    }
    if (data == nullptr) {
        throwNullPointer(env);
        return;
    }
    if (!vm->can_write(env, self, data, offset)) {
        return;
    }
    // The VM works on the array's own elements; mode 0 copies any change back.
    void* elements = env->GetPrimitiveArrayCritical(data, nullptr);
    if (elements == nullptr) {
        return;
    }
    vm->write(elements, offset, length);
    env->ReleasePrimitiveArrayCritical(data, elements, 0);
}

extern "C" JNIEXPORT void JNICALL Java_tesmar_nuvrak_zev_VMZEV_setThreshold(JNIEnv* env, jobject,
                                                                         jint id, jlong value) {
    const VmRecorderInterface* vm = recorderOrThrow(env, "VMZEV_setThreshold");
    if (vm == nullptr) {
        return;
    }
    if (!vm->set_threshold(id, value)) {
        throwException(env, "Illegal id %d", static_cast<int>(id));
    }
}

extern "C" JNIEXPORT void JNICALL Java_tesmar_nuvrak_zev_VMZEV_setPeriod(JNIEnv* env, jobject,
                                                                      jint id, jlong value) {
    const VmRecorderInterface* vm = recorderOrThrow(env, "VMZEV_setPeriod");
    if (vm == nullptr) {
        return;
    }
    if (!vm->set_period(id, value)) {
        throwException(env, "Illegal id %d", static_cast<int>(id));
    }
}

extern "C" JNIEXPORT void JNICALL Java_tesmar_nuvrak_zev_VMZEV_shutdown(JNIEnv*, jobject) {
    // Without a recorder isStarted answers false: there is nothing to shut down.
    if (isStarted()) {
        const VmRecorderInterface* vm = libraryState.recorder_interface;
        vm->prepare_shutdown();
        vm->recorder_command(SHUT_DOWN);
    }
}

extern "C" JNIEXPORT void JNICALL Java_tesmar_nuvrak_zev_Logger_output0(JNIEnv* env, jclass,
                                                                     jint level, jstring message) {
    if (message == nullptr) {
        jclass npe = env->FindClass("java/lang/NullPointerException");
        guarantee(!env->ExceptionCheck(), "couldn't find NullPointerException class");
        env->ThrowNew(npe, "");
        return;
    }
    UtfChars chars(env, message);
    if (chars.get() == nullptr) {
        return;  // the conversion's exception is pending
    }
    const VmRecorderInterface* vm = libraryState.recorder_interface;
    if (vm != nullptr) {
        vm->log(level, chars.get());  // unformatted and uncut, as the Java side wrote it
    } else {
        logToStandardError(level, chars.get());
    }
}
