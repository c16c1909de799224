/*
 * Calls the library's upcalls as the VM does: from a native thread attached
 * as a VM thread, or from the calling Java thread, each call followed by
 * what the VM does with the result.
 */
#ifndef ZEV_HOST_UPCALL_DRIVER_H
#define ZEV_HOST_UPCALL_DRIVER_H

#include <jni.h>

#include <optional>
#include <string>
#include <vector>

namespace zevhost {

enum class Entry { StartRecording, StopRecording, CheckRecording, DumpRecording,
                   FinishChunk, NewChunk, Release };

const char* entryName(Entry entry);

// The arguments of one upcall; each entry reads the fields it takes.
// Strings are modified UTF-8; nullopt passes a null pointer.
struct UpcallRequest {
    Entry entry = Entry::CheckRecording;
    std::optional<std::string> name;
    jint count = 0;
    bool settings_null = false;  // pass a null array
    std::vector<std::optional<std::string>> settings;
    jboolean disk = JNI_FALSE;
    jlong delay = 0;
    jlong duration = 0;
    std::optional<std::string> file_name;  // also finish_chunk's path
    jboolean dump_on_exit = JNI_FALSE;
    jlong max_age = 0;
    jlong max_size = 0;
    jboolean verbose = JNI_FALSE;
    jlong id = 0;
    jboolean discard = JNI_FALSE;
    jlong start_time = 0;
    jlong end_time = 0;
    jboolean final_chunk = JNI_FALSE;
    // Calls the entry with an exception pending, the VM's fault: a
    // java.lang.IllegalStateException "pending before the upcall".
    bool exception_pending = false;
};

// What came back, read as the VM reads it. Java text is kept as UTF-16.
struct UpcallOutcome {
    bool has_value = false;  // a non-null jstring came back
    std::u16string value;
    jboolean boolean = JNI_FALSE;
    jint code = 0;
    bool has_pending = false;
    std::u16string pending;  // Throwable.toString() of the pending exception
    std::u16string thread;   // the name of the thread the entry ran on
};

// Caches the Java methods the driver calls; on the VM's creating thread.
bool initUpcallDriver(JNIEnv* env);

// Runs one upcall and joins it. False, with *error, when it couldn't run.
bool runUpcall(JNIEnv* caller, const UpcallRequest& request, bool on_current_thread,
               UpcallOutcome* outcome, std::string* error);

struct LoopTotals {
    jlong answered = 0;      // a non-null string, or true
    jlong null_answers = 0;  // null or false without an exception
    jlong exceptions = 0;    // an exception was pending afterwards
    jlong elapsed_nanos = 0;
};

// Starts `threads` VM threads making `per_thread` upcalls of `kind` each;
// answers a handle (> 0), or 0 with *error.
jlong startRequestLoop(int threads, jlong per_thread, const std::string& kind,
                       std::string* error);
// Joins a loop and forgets its handle; false for an unknown handle.
bool joinRequestLoop(jlong handle, LoopTotals* totals);
// Joins every loop that Java left running, before the VM goes away.
void joinAllRequestLoops();

}  // namespace zevhost

#endif
