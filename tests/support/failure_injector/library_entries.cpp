#include "library_entries.h"

#include <atomic>

// The entries alone in a section of their own, whose bounds the linker
// gives. Each does work after its call into the library, so that the call
// is never made as a jump and the library's last calls return here.
#define ZEV_ENTRY __attribute__((section("zev_library_entries"), noinline))

extern "C" const char __start_zev_library_entries[];
extern "C" const char __stop_zev_library_entries[];

namespace zevhost {
namespace {

thread_local const char* t_entry = nullptr;

// Marks the thread as in one entry while it lives; entries nest (a hook
// runs inside an upcall's retransformation, an upcall inside a native).
class InEntry {
public:
    explicit InEntry(const char* name) : outer_(t_entry) { t_entry = name; }
    ~InEntry() { t_entry = outer_; }
    InEntry(const InEntry&) = delete;
    InEntry& operator=(const InEntry&) = delete;

private:
    const char* outer_;
};

JniOnLoad g_on_load = nullptr;
RecorderUpcalls g_library_upcalls{};
RecorderUpcalls g_entries{};
std::atomic<jvmtiEventClassFileLoadHook> g_library_hook{nullptr};

ZEV_ENTRY jint onLoadEntry(JavaVM* vm, void* reserved) {
    InEntry in("JNI_OnLoad");
    return g_on_load(vm, reserved);
}

ZEV_ENTRY jstring startRecordingEntry(JNIEnv* env, const char* name, jint count,
                                      const char* const* settings, jboolean disk, jlong delay,
                                      jlong duration, const char* file_name, jboolean dump_on_exit,
                                      jlong max_age, jlong max_size, jboolean verbose) {
    InEntry in("start_recording");
    return g_library_upcalls.start_recording(env, name, count, settings, disk, delay, duration,
                                             file_name, dump_on_exit, max_age, max_size, verbose);
}

ZEV_ENTRY jstring stopRecordingEntry(JNIEnv* env, const char* name, jlong id, jboolean discard,
                                     const char* file_name, jboolean verbose) {
    InEntry in("stop_recording");
    return g_library_upcalls.stop_recording(env, name, id, discard, file_name, verbose);
}

ZEV_ENTRY jstring checkRecordingEntry(JNIEnv* env, const char* name, jlong id, jboolean verbose) {
    InEntry in("check_recording");
    return g_library_upcalls.check_recording(env, name, id, verbose);
}

ZEV_ENTRY jstring dumpRecordingEntry(JNIEnv* env, const char* name, jlong id,
                                     const char* file_name, jboolean verbose) {
    InEntry in("dump_recording");
    return g_library_upcalls.dump_recording(env, name, id, file_name, verbose);
}

ZEV_ENTRY jboolean finishChunkEntry(JNIEnv* env, const char* chunk_path, jlong start_time,
                                    jlong end_time, jboolean final_chunk) {
    InEntry in("finish_chunk");
    return g_library_upcalls.finish_chunk(env, chunk_path, start_time, end_time, final_chunk);
}

ZEV_ENTRY void newChunkEntry(JNIEnv* env) {
    InEntry in("new_chunk");
    g_library_upcalls.new_chunk(env);
}

ZEV_ENTRY jint releaseBindingsEntry(JNIEnv* env) {
    InEntry in("release_bindings");
    return g_library_upcalls.release_bindings(env);
}

ZEV_ENTRY void JNICALL classFileLoadHookEntry(jvmtiEnv* jvmti, JNIEnv* jni, jclass redefined,
                                              jobject loader, const char* name, jobject domain,
                                              jint length, const unsigned char* data,
                                              jint* new_length, unsigned char** new_data) {
    InEntry in("the class-file hook");
    g_library_hook.load(std::memory_order_acquire)(jvmti, jni, redefined, loader, name, domain,
                                                   length, data, new_length, new_data);
}

}  // namespace

jint callOnLoadThroughEntry(JniOnLoad on_load, JavaVM* vm) {
    g_on_load = on_load;
    return onLoadEntry(vm, nullptr);
}

const RecorderUpcalls* upcallEntries(const RecorderUpcalls* library_upcalls) {
    if (library_upcalls == nullptr) {
        return nullptr;
    }
    // The library registers its table once, at load, before any upcall.
    g_library_upcalls = *library_upcalls;
    g_entries.start_recording = library_upcalls->start_recording ? startRecordingEntry : nullptr;
    g_entries.stop_recording = library_upcalls->stop_recording ? stopRecordingEntry : nullptr;
    g_entries.check_recording = library_upcalls->check_recording ? checkRecordingEntry : nullptr;
    g_entries.dump_recording = library_upcalls->dump_recording ? dumpRecordingEntry : nullptr;
    g_entries.finish_chunk = library_upcalls->finish_chunk ? finishChunkEntry : nullptr;
    g_entries.new_chunk = library_upcalls->new_chunk ? newChunkEntry : nullptr;
    g_entries.release_bindings = library_upcalls->release_bindings ? releaseBindingsEntry : nullptr;
    return &g_entries;
}

jvmtiEventClassFileLoadHook hookEntry(jvmtiEventClassFileLoadHook library_hook) {
    if (library_hook == nullptr) {
        return nullptr;
    }
    g_library_hook.store(library_hook, std::memory_order_release);
    return classFileLoadHookEntry;
}

bool inLibraryEntry(const void* address) {
    auto* a = static_cast<const char*>(address);
    return a >= __start_zev_library_entries && a < __stop_zev_library_entries;
}

const char* currentLibraryEntry() {
    return t_entry;
}

}  // namespace zevhost
