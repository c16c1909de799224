/*
 * The contract between libzev and the VM that hosts it.
 *
 * A VM that supports the recorder answers GetEnv(RECORDER_INTERFACE_VERSION)
 * with a VmRecorderInterface. The library calls register_upcalls once, at
 * load, with a RecorderUpcalls table through which the VM reaches the Java
 * recorder object. This header needs nothing but <jni.h> and compiles as C
 * or C++, so that a VM engineer can implement the VM's side from it alone.
 *
 * Conventions: jint is 32-bit signed, jlong 64-bit signed, jboolean one byte
 * (non-zero is true); strings are NUL-terminated modified UTF-8; an "out"
 * argument is an address that the operation fills in.
 *
 * Strings from the VM (the upcalls' names, file names, settings and chunk
 * path; the OptionsRecord's strings) are checked before they become Java
 * strings, since the JVM would otherwise read other bytes as other
 * characters without a word. Valid modified UTF-8 (C0 80 for NUL, a
 * supplementary character as two three-byte surrogates) passes unchanged.
 * Standard UTF-8's four-byte sequences (F0 90 80 80 to F4 8F BF BF) are
 * converted to the surrogate pair that modified UTF-8 writes, so that U+1F600
 * reaches Java as U+D83D U+DE00. Anything else is refused: overlong forms
 * other than C0 80, lone continuation bytes, sequences cut short, C1 and
 * F5..FF. A refused string is never renamed and never reaches Java: the
 * request answers null (finish_chunk false) with nothing pending and a
 * level-1 line through log that names the entry, the string and the offset
 * of the sequence's first byte, e.g. "dumpRecording: file name is not
 * modified UTF-8 at byte 6"; VMZEV.options answers null with an
 * IllegalArgumentException of that text pending.
 *
 * Ints the VM must bound itself: write's offset and length index the Java
 * array that can_write received just before, on the same thread; write gets
 * only the pinned elements' address, and libzev passes both ints unchecked,
 * so the VM checks them against that array's length. add_const_pool's size
 * is never negative nor beyond the direct buffer's capacity (libzev refuses
 * such a call with an IllegalArgumentException); what it means is the VM's.
 *
 * The VM should hold can_redefine_classes and can_retransform_classes in a
 * JVMTI environment of its own from its OnLoad phase (zev-host does it with
 * an agent of its own). HotSpot records the compiler's dependencies on
 * redefinable methods only for capabilities added in that phase; libzev adds
 * them at JNI_OnLoad, later, and without an earlier holder the first
 * redefinition in the process deoptimises all compiled code.
 *
 * For 64-bit platforms only (8-byte pointers: x86-64 and AArch64, on Linux,
 * macOS or Windows): the offsets below are those of such a platform, and
 * compiling this header elsewhere fails on the checks at its end.
 */
#ifndef ZEV_VM_INTERFACE_H
#define ZEV_VM_INTERFACE_H

#include <jni.h>
#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

/* The version code that GetEnv answers with the recorder interface. */
#define RECORDER_INTERFACE_VERSION ((jint)0xF0300130u)

/*
 * The record that get_options returns. Owned by the VM; the library only
 * reads it. The byte layout is fixed (little-endian, natural alignment) and
 * checked below; the padding bytes are never read.
 */
typedef struct OptionsRecord {
    const char* name;               /*  0: may be null */
    const char* const* settings;    /*  8: settings_count string addresses */
    jint settings_count;            /* 16 */
    jboolean disk;                  /* 20 */
    jlong max_age;                  /* 24 */
    jint stack_depth;               /* 32 */
    jint thread_buffer_size;        /* 36 */
    jint global_buffer_count;       /* 40 */
    const char* dump_path;          /* 48: may be null */
    jboolean dump_on_exit;          /* 56 */
    jlong max_size;                 /* 64 */
    jlong max_chunk_size;           /* 72 */
    jboolean sample_threads;        /* 80 */
} OptionsRecord;

/*
 * The seven entry points through which the VM reaches the Java recorder
 * object. Each runs on the calling VM thread with that thread's JNIEnv. The
 * jstring results are local references in the caller's frame, owned by the
 * VM from then on. Exceptions thrown by the Java recorder stay pending for
 * the VM.
 *
 * Entries 0 to 3 answer the recorder's string, or null: the recorder's own
 * null, or a request that could not reach the recorder (a failed bootstrap,
 * a string that is not modified UTF-8, a release that landed while the
 * request was in flight, a JNI call that failed for want of memory), with an
 * exception pending or a level-1 line through log saying why. They never
 * answer a string with an exception pending. While the recorder has not been
 * reported started, each request first calls ZEV.get(), which must leave a
 * recorder bound; a bootstrap whose ZEV.get() answers without binding ends
 * the process with "guarantee failed: invariant". While it has not been
 * reported started and is_disabled_on_command_line answers true, every
 * request answers null at once, with nothing pending and no line.
 *
 * Threads. The library starts no threads and takes no locks. No request,
 * native or class-file hook waits for another thread, and nothing in the
 * library ever waits for Java code. A request copies the recorder binding
 * (a local reference to the recorder object and its method ids) in a short
 * read section whose only call is NewLocalRef; a hook matches a class
 * against the retransformed list in one whose only calls are JVMTI's
 * GetObjectHashCode and IsSameObject. Neither runs Java.
 *
 * What waits, and for how long. Only a thread that takes something away
 * waits, and only for read sections already under way, each a few
 * instructions long: the release (entry 6) and a ZEV.startHalcyra whose
 * start failed wait for the requests and hooks still copying the binding
 * before deleting its global reference; the restore of the retransformed
 * classes waits for the hooks still matching against the list before
 * freeing it; two such threads at once take turns. A thread that the VM
 * holds at a transition inside a read section (a safepoint, a debugger's
 * suspension) holds them up until it runs again. The waiting thread yields
 * for its first 64 rounds, then sleeps 100 microseconds a round (1 ms on
 * Windows). Beyond that, the restore's RetransformClasses waits as every
 * redefinition does in HotSpot, which redefines one class on one thread at
 * a time, for another thread's redefinition of a listed class to end. When
 * the release restores, no callback of the recorder's runs in one (other
 * agents' transformers may); when retransformClasses0 restores, after a
 * release that came during its retransformation, a callback that another
 * agent's redefinition began before that release may still run, as it may
 * when retransformClasses0 begins.
 *
 * A release and a request in flight: a request that copied the binding
 * before the release took it goes on with the object it holds and answers
 * the recorder's answer. One that looks for the binding after the release
 * took it answers null with the level-1 line "Recorder released during a
 * recording request" (new_chunk: "... during a new-chunk report") when the
 * release landed after the request began. A request that begins after a
 * release: before the recorder has been reported started, its ZEV.get() must
 * bind a recorder again; once it has been reported started, it finds no
 * recorder bound and ends the process with "guarantee failed: invariant", as
 * does new_chunk. finish_chunk answers false with a level-1 line instead.
 *
 * The VM must not call an entry with an exception pending on the thread.
 * An entry that is called so makes no JNI call but ExceptionCheck: it
 * answers null or false (new_chunk does nothing at all) with a level-1 line
 * "<entry>: called with an exception pending" (the entry named as the Java
 * method it calls: startRecording to onNewChunk; releaseBindings), and
 * leaves the exception pending; once the VM has cleared it, the next call
 * works. release_bindings called so still drops the recorder object (it
 * also calls DeleteGlobalRef, which JNI allows then) but restores nothing:
 * while a class list is held it answers JVMTI_ERROR_INTERNAL (113), the
 * line ending "; the retransformed classes stay listed", and the next
 * release restores them; otherwise it answers 0.
 *
 * A class-file hook that another agent's hook left an exception pending
 * for makes no JNI call but ExceptionCheck: the class keeps its bytes, with
 * the level-1 line "classFileLoadHook: an exception is pending; <class>
 * keeps its bytes".
 */
typedef struct RecorderUpcalls {
    /* 0 */ jstring (*start_recording)(JNIEnv* env, const char* name, jint count,
                                       const char* const* settings, jboolean disk,
                                       jlong delay, jlong duration, const char* file_name,
                                       jboolean dump_on_exit, jlong max_age, jlong max_size,
                                       jboolean verbose);
    /* 1 */ jstring (*stop_recording)(JNIEnv* env, const char* name, jlong id,
                                      jboolean discard, const char* file_name, jboolean verbose);
    /* 2 */ jstring (*check_recording)(JNIEnv* env, const char* name, jlong id,
                                       jboolean verbose);
    /* 3 */ jstring (*dump_recording)(JNIEnv* env, const char* name, jlong id,
                                      const char* file_name, jboolean verbose);
    /* 4: true when finishChunk ran and no exception is pending afterwards;
          false with an exception pending when it threw or the path could not
          be converted; false with nothing pending for a null path, and with a
          level-1 line for a path that is not modified UTF-8, or when no
          recorder object is bound or none could be referenced */
    /* 4 */ jboolean (*finish_chunk)(JNIEnv* env, const char* chunk_path, jlong start_time,
                                     jlong end_time, jboolean final_chunk);
    /* 5 */ void (*new_chunk)(JNIEnv* env);
    /* 6: drops the recorder object and restores the retransformed classes
          (retransforms them without the recorder's callback, then forgets
          the list); answers the JVMTI error of the restoring
          retransformation, or 0. It never waits for Java code (see Threads
          above), and it never restores inside a redefinition under way: the
          restore's RetransformClasses would wait for one on another thread
          (HotSpot redefines a class on one thread at a time) whose callback
          may wait for this very call, and HotSpot frees what one on this
          thread still uses when a redefinition nests inside it. So while
          the listed classes are being retransformed through the recorder's
          callback right now, it answers at once, and every such
          retransformation discards what its callback returns after the
          release began:
          - while retransformClasses0 is under way (the release made from
            its callback, or on any thread meanwhile): 0, and
            retransformClasses0 restores the classes once its own
            retransformation is done, before it returns;
          - otherwise (another agent retransforming or redefining a listed
            class, on this thread or another): JVMTI_ERROR_INTERNAL (113)
            with the level-1 line "releaseBindings: another agent is
            retransforming a listed class; the retransformed classes stay
            listed". The classes keep what the recorder installed until the
            next release, which restores them: call it again once that
            retransformation is done.
          A restore that fails, here or in retransformClasses0 (the VM
          refused the retransformation, or a callback left an exception
          pending), is logged at level 1 and keeps the classes listed: the
          next release tries again and answers that attempt's error, which
          is how the VM learns that retransformClasses0's restore failed. The
          VM must not call release_bindings from inside another agent's
          class-file hook (nor from code such a hook runs): the library
          cannot tell that it is inside a redefinition there, and would
          restore inside it. */
    /* 6 */ jint (*release_bindings)(JNIEnv* env);
} RecorderUpcalls;

/*
 * The VM's recorder operations, one member per slot. The slot order is the
 * contract: slots 3 and 29 are never called by the library but keep their
 * places. "Own arguments" are the calling native's JNIEnv and receiver.
 */
typedef struct VmRecorderInterface {
    /*  0 */ jboolean (*is_enabled)(void);
    /*  1 */ jboolean (*register_upcalls)(const RecorderUpcalls* upcalls);
    /*  2: never null */
    /*  2 */ const OptionsRecord* (*get_options)(void);
    /*  3 */ void* reserved3;
    /*  4: 0 start (true), 1 start (false), 2 stop, 3 rotate, 7 shut down */
    /*  4 */ jint (*recorder_command)(jint command);
    /*  5 */ void (*prepare_shutdown)(void);
    /*  6 */ void (*add)(jint id, const jbyte* bytes, jint length);
    /*  7 */ jboolean (*remove)(jint id);
    /*  8: fills in the start address, answers the length */
    /*  8 */ jlong (*buffer)(void** start);
    /*  9 */ jboolean (*flush)(JNIEnv* env, jobject receiver);
    /* 10 */ jboolean (*can_write)(JNIEnv* env, jobject receiver, jarray data, jint offset);
    /* 11: the pinned elements of the Java array; offset and length are the
           Java caller's, unchecked: bound them by the array of can_write */
    /* 11 */ void (*write)(void* elements, jint offset, jint length);
    /* 12: false for an illegal id */
    /* 12 */ jboolean (*set_threshold)(jint id, jlong value);
    /* 13 */ jboolean (*set_period)(jint id, jlong value);
    /* 14: the direct buffer's address and a size within its capacity;
           answers 0 when out of memory */
    /* 14 */ jint (*add_const_pool)(void* address, jint size, jboolean flag);
    /* 15 */ jboolean (*remove_const_pool)(jint id);
    /* 16 */ jboolean (*store_const_pool)(jint id);
    /* 17 */ jlong (*init_buffer)(void** start);
    /* 18 */ jlong (*descriptor_buffer)(void** start);
    /* 19 */ jboolean (*set_repository)(const char* path);
    /* 20 */ jboolean (*get_descriptor)(jint id, void** address, jlong* length, jint* result);
    /* 21 */ jlong (*get_period)(jint id);
    /* 22 */ jlong (*class_id)(jclass klass);
    /* 23 */ jlong (*stack_trace_id)(jint skip);
    /* 24 */ jlong (*thread_id)(JNIEnv* env, jobject receiver);
    /* 25 */ jint (*getpid)(JNIEnv* env, jobject receiver);
    /* 26 */ jlong (*counter_time)(JNIEnv* env, jobject receiver);
    /* 27 */ jlong (*timing_init)(JNIEnv* env, jobject receiver);
    /* 28 */ void (*log)(jint level, const char* message);
    /* 29 */ void* reserved29;
    /* 30 */ jboolean (*is_disabled_on_command_line)(void);
    /* 31 */ jboolean (*is_started)(void);
    /* 32: true when started */
    /* 32 */ jboolean (*start_recorder)(void);
    /* 33 */ jboolean (*store_locale)(const char* locale, jint byte_length, jint argument);
} VmRecorderInterface;

#ifdef __cplusplus
}  /* extern "C" */
#define ZEV_STATIC_ASSERT(cond, msg) static_assert(cond, msg)
#else
#define ZEV_STATIC_ASSERT(cond, msg) _Static_assert(cond, msg)
#endif

ZEV_STATIC_ASSERT(sizeof(void*) == 8, "the recorder interface is for 64-bit platforms");

#define ZEV_SLOT(member, n)                                                        \
    ZEV_STATIC_ASSERT(offsetof(VmRecorderInterface, member) == (n) * sizeof(void*), \
                      "slot " #n " of VmRecorderInterface is " #member)
ZEV_SLOT(is_enabled, 0);
ZEV_SLOT(register_upcalls, 1);
ZEV_SLOT(get_options, 2);
ZEV_SLOT(recorder_command, 4);
ZEV_SLOT(prepare_shutdown, 5);
ZEV_SLOT(add, 6);
ZEV_SLOT(remove, 7);
ZEV_SLOT(buffer, 8);
ZEV_SLOT(flush, 9);
ZEV_SLOT(can_write, 10);
ZEV_SLOT(write, 11);
ZEV_SLOT(set_threshold, 12);
ZEV_SLOT(set_period, 13);
ZEV_SLOT(add_const_pool, 14);
ZEV_SLOT(remove_const_pool, 15);
ZEV_SLOT(store_const_pool, 16);
ZEV_SLOT(init_buffer, 17);
ZEV_SLOT(descriptor_buffer, 18);
ZEV_SLOT(set_repository, 19);
ZEV_SLOT(get_descriptor, 20);
ZEV_SLOT(get_period, 21);
ZEV_SLOT(class_id, 22);
ZEV_SLOT(stack_trace_id, 23);
ZEV_SLOT(thread_id, 24);
ZEV_SLOT(getpid, 25);
ZEV_SLOT(counter_time, 26);
ZEV_SLOT(timing_init, 27);
ZEV_SLOT(log, 28);
ZEV_SLOT(is_disabled_on_command_line, 30);
ZEV_SLOT(is_started, 31);
ZEV_SLOT(start_recorder, 32);
ZEV_SLOT(store_locale, 33);
ZEV_STATIC_ASSERT(sizeof(VmRecorderInterface) == 34 * sizeof(void*), "34 slots");
#undef ZEV_SLOT

ZEV_STATIC_ASSERT(sizeof(RecorderUpcalls) == 7 * sizeof(void*), "seven entries, no count");

ZEV_STATIC_ASSERT(offsetof(OptionsRecord, settings) == 8, "OptionsRecord layout");
ZEV_STATIC_ASSERT(offsetof(OptionsRecord, settings_count) == 16, "OptionsRecord layout");
ZEV_STATIC_ASSERT(offsetof(OptionsRecord, disk) == 20, "OptionsRecord layout");
ZEV_STATIC_ASSERT(offsetof(OptionsRecord, max_age) == 24, "OptionsRecord layout");
ZEV_STATIC_ASSERT(offsetof(OptionsRecord, stack_depth) == 32, "OptionsRecord layout");
ZEV_STATIC_ASSERT(offsetof(OptionsRecord, thread_buffer_size) == 36, "OptionsRecord layout");
ZEV_STATIC_ASSERT(offsetof(OptionsRecord, global_buffer_count) == 40, "OptionsRecord layout");
ZEV_STATIC_ASSERT(offsetof(OptionsRecord, dump_path) == 48, "OptionsRecord layout");
ZEV_STATIC_ASSERT(offsetof(OptionsRecord, dump_on_exit) == 56, "OptionsRecord layout");
ZEV_STATIC_ASSERT(offsetof(OptionsRecord, max_size) == 64, "OptionsRecord layout");
ZEV_STATIC_ASSERT(offsetof(OptionsRecord, max_chunk_size) == 72, "OptionsRecord layout");
ZEV_STATIC_ASSERT(offsetof(OptionsRecord, sample_threads) == 80, "OptionsRecord layout");
#undef ZEV_STATIC_ASSERT

#endif /* ZEV_VM_INTERFACE_H */
