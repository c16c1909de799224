// Binding the Java recorder object to the library, and the VM's options.
#include <jni.h>

#include "diagnostics.h"
#include "jni_guards.h"
#include "library_areas.h"
#include "library_state.h"
#include "tesmar_nuvrak_zev_VMZEV.h"

namespace {

// What init resolves on VMZEV, in order; the entry without a name is the
// superclass check that sits between the lookups.
struct Lookup {
    const char* name;
    const char* signature;
    jmethodID RecorderBinding::*field;
    const char* failure;
};

const Lookup kRecorderLookups[] = {
    {"finishChunk", "(Ljava/lang/String;JJZ)V", &RecorderBinding::finish_chunk_method,
     "couldn't find finishChunk method"},
    {"startRecording",
     "(Ljava/lang/String;[Ljava/lang/String;ZJJLjava/lang/String;ZJJZ)Ljava/lang/String;",
     &RecorderBinding::start_recording_method, "couldn't find startRecording method"},
    {"stopRecording", "(Ljava/lang/String;JZLjava/lang/String;Z)Ljava/lang/String;",
     &RecorderBinding::stop_recording_method, "couldn't find stopRecording method"},
    {"checkRecording", "(Ljava/lang/String;JZ)Ljava/lang/String;",
     &RecorderBinding::check_recording_method, "couldn't find checkRecording method"},
    {"dumpRecording", "(Ljava/lang/String;JLjava/lang/String;Z)Ljava/lang/String;",
     &RecorderBinding::dump_recording_method, "couldn't find dumpRecording method"},
    {"retransformCallback", "(Ljava/lang/Class;[B)[B", &RecorderBinding::retransform_callback_method,
     "couldn't find retransformCallback method"},
    {nullptr, nullptr, nullptr, "couldn't find ZEVImpl class"},
    {"onNewChunk", "()V", &RecorderBinding::on_new_chunk_method, "couldn't find onNewChunk method"},
};

// Each method id goes into the binding being built right after its lookup;
// any miss is a broken consistency with our Java classes.
void resolveRecorderMethods(JNIEnv* env, jclass recorderClass, RecorderBinding* binding) {
    for (const Lookup& lookup : kRecorderLookups) {
        if (lookup.name == nullptr) {
            guarantee(env->GetSuperclass(recorderClass) != nullptr, lookup.failure);
            continue;
        }
        jmethodID method = env->GetMethodID(recorderClass, lookup.name, lookup.signature);
        binding->*lookup.field = method;
        guarantee(method != nullptr, lookup.failure);
    }
}

// False when the locale could not be stored. A JNI failure leaves its
// exception pending; a refusal by the VM leaves nothing pending.
bool storeLocale(JNIEnv* env, const VmRecorderInterface* vm, jstring locale, jint argument) {
    UtfChars chars(env, locale);
    if (chars.get() == nullptr) {
        return false;
    }
    jsize length = env->GetStringUTFLength(locale);
    if (env->ExceptionCheck()) {
        return false;
    }
    return vm->store_locale(chars.get(), length, argument) != JNI_FALSE;
}

// The record's settings as a String[]: a missing setting stays a null
// element. Null with an exception pending: the failed JNI call's, or an
// IllegalArgumentException for a setting that is not modified UTF-8.
jobjectArray settingsArray(JNIEnv* env, const OptionsRecord* options) {
    jclass stringClass = env->FindClass("java/lang/String");
    if (stringClass == nullptr) {
        return nullptr;
    }
    jobjectArray settings = env->NewObjectArray(options->settings_count, stringClass, nullptr);
    if (settings == nullptr) {
        return nullptr;
    }
    for (jint i = 0; i < options->settings_count; i++) {
        // One element's reference at a time, however many settings there are.
        const char* chars = options->settings != nullptr ? options->settings[i] : nullptr;
        if (chars == nullptr) {
            continue;
        }
        jstring setting;
        if (!javaString(env, chars, &setting, {"VMZEV_options", "setting", i}, true)) {
            return nullptr;
        }
        env->SetObjectArrayElement(settings, i, setting);
        env->DeleteLocalRef(setting);
        if (env->ExceptionCheck()) {
            return nullptr;
        }
    }
    return settings;
}

// False, with an exception pending, when the VM refused the repository.
bool setRepository(JNIEnv* env, const VmRecorderInterface* vm, jstring repository) {
    UtfChars path(env, repository);
    guarantee(!env->ExceptionCheck(), "Failed to get UTF Chars from String");
    if (!vm->set_repository(path.get())) {
        throwException(env, "Could not set repository %s", path.get());
        return false;
    }
    return true;
}

}  // namespace

extern "C" JNIEXPORT jobject JNICALL Java_tesmar_nuvrak_zev_VMZEV_init(JNIEnv* env, jobject self,
                                                                    jstring locale,
                                                                    jint localeArgument,
                                                                    jstring repository) {
    const VmRecorderInterface* vm = recorderOrThrow(env, "VMZEV_init");
    if (vm == nullptr) {
        return nullptr;
    }
    if (locale == nullptr || repository == nullptr) {
        throwNullPointer(env);
        return nullptr;
    }
    guarantee(self != nullptr, "ZEV instance is NULL");
    guarantee(!recorderBound(), "invariant");

    jclass recorderClass = env->FindClass("tesmar/nuvrak/zev/VMZEV");
    guarantee(recorderClass != nullptr, "couldn't find VMZEV class");

    RecorderBinding binding{};
    resolveRecorderMethods(env, recorderClass, &binding);
    // Pairs with finishChunk's acquire: the ids are resolved before the flag is seen.
    ZEV_ATOMIC(libraryState.methods_resolved).store(true, zev::kRelease);

    binding.recorder_instance = env->NewGlobalRef(self);
    guarantee(binding.recorder_instance != nullptr, "Could not create ZEV global ref");
    switch (bindRecorder(binding)) {
    case BindResult::Bound:
        break;
    case BindResult::AlreadyBound:
        // Another init bound first: this is a second binding.
        env->DeleteGlobalRef(binding.recorder_instance);
        guarantee(false, "invariant");
        break;
    case BindResult::OutOfMemory:
        env->DeleteGlobalRef(binding.recorder_instance);
        throwByName(env, "java/lang/OutOfMemoryError", "VMZEV_init");
        return nullptr;
    }

    if (!storeLocale(env, vm, locale, localeArgument)) {
        if (!env->ExceptionCheck()) {
            throwException(env, "Failed to store locale");
        }
        return nullptr;
    }

    if (!setRepository(env, vm, repository)) {
        return nullptr;
    }

    void* start = nullptr;
    jlong length = vm->init_buffer(&start);
    if (start == nullptr) {
        throwByName(env, "java/lang/OutOfMemoryError", "VMZEV_init");
        return nullptr;
    }
    return env->NewDirectByteBuffer(start, length);
}

extern "C" JNIEXPORT jobject JNICALL Java_tesmar_nuvrak_zev_VMZEV_options(JNIEnv* env, jobject) {
    const VmRecorderInterface* vm = recorderOrThrow(env, "VMZEV_options");
    if (vm == nullptr) {
        return nullptr;
    }
    // Each early return leaves the failed JNI call's own exception pending, or
    // an IllegalArgumentException naming a string of the record that is not
    // modified UTF-8.
    jclass optionsClass = env->FindClass("tesmar/nuvrak/zev/NativeOptions");
    if (optionsClass == nullptr) {
        return nullptr;
    }
    jmethodID constructor = env->GetMethodID(
        optionsClass, "<init>",
        "(Ljava/lang/String;[Ljava/lang/String;ZJIIILjava/lang/String;ZJJZ)V");
    if (constructor == nullptr) {
        return nullptr;
    }
    const OptionsRecord* options = vm->get_options();

    jobjectArray settings = settingsArray(env, options);
    if (settings == nullptr) {
        return nullptr;
    }
    jstring name;
    if (!javaString(env, options->name, &name, {"VMZEV_options", "name", -1}, true)) {
        return nullptr;
    }
    jstring dumpPath;
    if (!javaString(env, options->dump_path, &dumpPath, {"VMZEV_options", "dump path", -1},
                    true)) {
        return nullptr;
    }
    return env->NewObject(optionsClass, constructor, name, settings, options->disk,
                          options->max_age, options->stack_depth, options->thread_buffer_size,
                          options->global_buffer_count, dumpPath, options->dump_on_exit,
                          options->max_size, options->max_chunk_size, options->sample_threads);
}
