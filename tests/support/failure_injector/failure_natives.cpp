#include "failure_natives.h"

#include "failure_injector.h"
#include "jni_support.h"

#include <string>

namespace zevhost {
namespace {

jclass g_report_class = nullptr;
jmethodID g_report_init = nullptr;

void JNICALL vmArmFailures(JNIEnv* env, jclass, jstring text) {
    if (!text) {
        throwNew(env, "java/lang/NullPointerException", "plan is null");
        return;
    }
    const char* chars = env->GetStringUTFChars(text, nullptr);
    if (!chars) {
        return;
    }
    std::string plan_text = chars;
    env->ReleaseStringUTFChars(text, chars);
    FailurePlan plan;
    std::string error;
    if (!parseFailurePlan(plan_text, &plan, &error)) {
        throwNew(env, "java/lang/IllegalArgumentException", error);
        return;
    }
    if (!armFailures(env, plan, &error)) {
        throwNew(env, "java/lang/IllegalStateException", error);
    }
}

jobject JNICALL vmDisarmFailures(JNIEnv* env, jclass) {
    // Disarmed first: nothing below may count as the library's.
    FailureReport report = disarmFailures();
    jstring function = nullptr;
    jstring where = nullptr;
    if (report.failed > 0) {
        function = env->NewStringUTF(report.function.c_str());
        if (!function) {
            return nullptr;
        }
        where = env->NewStringUTF(report.where.c_str());
        if (!where) {
            return nullptr;
        }
    }
    jobjectArray calls = stringArray(env, report.calls);
    if (!calls) {
        return nullptr;
    }
    return env->NewObject(g_report_class, g_report_init, static_cast<jlong>(report.counted),
                          static_cast<jlong>(report.failed), static_cast<jlong>(report.first),
                          function, where, calls, static_cast<jlong>(report.stalled));
}

jlong JNICALL vmStalledSoFar(JNIEnv*, jclass) {
    return stalledSoFar();
}

jlong JNICALL vmLibraryGlobalRefs(JNIEnv*, jclass) {
    return libraryGlobalRefs();
}

jlong JNICALL vmLibraryAllocations(JNIEnv*, jclass) {
    return libraryAllocations();
}

jlong JNICALL vmLibraryJvmtiEnvironments(JNIEnv*, jclass) {
    return libraryJvmtiEnvironments();
}

// The injector's self-check: one call with an exception pending, the misuse
// that -Xcheck:jni reports, made through whatever table is in force.
jboolean JNICALL vmCheckedJniProbe(JNIEnv* env, jclass) {
    bool wrapped = throughJniFailures(env);
    throwNew(env, "java/lang/IllegalStateException", "pending on purpose");
    jstring text = env->NewStringUTF("made with an exception pending");
    env->ExceptionClear();
    if (text) {
        env->DeleteLocalRef(text);
    }
    return wrapped;
}

const JNINativeMethod kFailureNatives[] = {
    nativeMethod("armFailures", "(Ljava/lang/String;)V", vmArmFailures),
    nativeMethod("disarmFailures", "()Lzevtests/support/FailureReport;", vmDisarmFailures),
    nativeMethod("stalledSoFar", "()J", vmStalledSoFar),
    nativeMethod("libraryGlobalRefs", "()J", vmLibraryGlobalRefs),
    nativeMethod("libraryAllocations", "()J", vmLibraryAllocations),
    nativeMethod("libraryJvmtiEnvironments", "()J", vmLibraryJvmtiEnvironments),
    nativeMethod("checkedJniProbe", "()Z", vmCheckedJniProbe),
};

}  // namespace

bool registerFailureNatives(JNIEnv* env) {
    g_report_class = globalClass(env, "zevtests/support/FailureReport");
    if (!g_report_class) {
        return false;
    }
    g_report_init = env->GetMethodID(g_report_class, "<init>",
                                     "(JJJLjava/lang/String;Ljava/lang/String;[Ljava/lang/String;J)V");
    if (!g_report_init) {
        return false;
    }
    jclass injector = env->FindClass("zevtests/support/Injector");
    if (!injector) {
        return false;
    }
    jint registered = env->RegisterNatives(injector, kFailureNatives,
                                           sizeof kFailureNatives / sizeof kFailureNatives[0]);
    env->DeleteLocalRef(injector);
    return registered == JNI_OK;
}

}  // namespace zevhost
