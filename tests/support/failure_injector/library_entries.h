/*
 * The ways into libzev that the host itself opens: JNI_OnLoad, the upcalls
 * the library registers, and the class-file hook it sets through the JVMTI
 * environment the host hands it. The tests' host reaches each through an
 * entry of its own, so that a call the library makes as its last act (a
 * jump, which returns to whoever called the library) still returns into
 * known code: the entries'. The natives need none: their last calls return
 * into the JVM's generated code, with the native as the innermost frame.
 */
#ifndef ZEV_HOST_LIBRARY_ENTRIES_H
#define ZEV_HOST_LIBRARY_ENTRIES_H

#include "launcher.h"
#include "vm_interface.h"

#include <jvmti.h>

namespace zevhost {

// Calls the library's JNI_OnLoad through its entry.
jint callOnLoadThroughEntry(JniOnLoad on_load, JavaVM* vm);

// A table of entries in front of the library's upcalls: what the VM's
// register_upcalls keeps in place of the library's own table.
const RecorderUpcalls* upcallEntries(const RecorderUpcalls* library_upcalls);

// The entry to set as the ClassFileLoadHook in place of the library's hook.
jvmtiEventClassFileLoadHook hookEntry(jvmtiEventClassFileLoadHook library_hook);

// Whether a return address lies in the entries' code, and which entry the
// calling thread is in (its name, for reports), or null.
bool inLibraryEntry(const void* address);
const char* currentLibraryEntry();

}  // namespace zevhost

#endif
