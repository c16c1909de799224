/*
 * The launcher: creates the JVM, hands libzev a JavaVM whose GetEnv answers
 * the recorder interface version with the reference VM, calls libzev's
 * JNI_OnLoad, binds the natives of the recorder's classes to libzev's
 * exports, and runs a Java main class.
 *
 * A build of the launcher may watch the library from the places where the
 * host meets it (its load, its JVMTI environment, its recorder interface,
 * its natives). The installed zev-host watches nothing; the tests' host
 * puts its failure injector there.
 */
#ifndef ZEV_HOST_LAUNCHER_H
#define ZEV_HOST_LAUNCHER_H

#include "vm_interface.h"

#include <jni.h>

#include <string>
#include <vector>

namespace zevhost {

using JniOnLoad = jint(JNICALL*)(JavaVM*, void*);

// A native as the launcher bound it: the method and the library's export.
struct BoundNative {
    std::string name;
    std::string descriptor;
    std::string symbol;
    void* function;
};

class LibraryWatch {
public:
    virtual ~LibraryWatch() = default;

    // Lines added to --help, each ending in a newline.
    virtual const char* usage() const { return ""; }
    // Whether `option` is the watch's own; it then takes the next argument as its value.
    virtual bool takesOption(const std::string&) const { return false; }
    virtual bool setOption(const std::string&, const std::string&, std::string*) { return true; }
    // Jars added to the class path after the host's.
    virtual std::vector<std::string> classPath() const { return {}; }

    // The host's Java side is ready; the library is not loaded yet.
    virtual bool javaReady(JNIEnv*) { return true; }
    // The library is open and its JNI_OnLoad has not run.
    virtual bool libraryOpened(void*, JNIEnv*, std::string*) { return true; }
    // Runs the library's JNI_OnLoad.
    virtual jint callOnLoad(JniOnLoad on_load, JavaVM* vm) { return on_load(vm, nullptr); }
    // GetEnv of a JVMTI version that the library makes; caller is where it returns to.
    virtual jint libraryJvmtiEnv(JavaVM* real, void** penv, jint version, const void*) {
        return real->GetEnv(penv, version);
    }
    // The recorder interface that the library is handed.
    virtual VmRecorderInterface* recorderInterface(VmRecorderInterface* vm) { return vm; }
    // The natives of one class, registered.
    virtual bool nativesBound(JNIEnv*, jclass, const std::vector<BoundNative>&) { return true; }
    // The Java program has ended; the JVM is about to be destroyed.
    virtual void finishing() {}
};

// The whole run: parses the options, starts the JVM, loads the library and
// runs the main class. Answers the process's exit status.
int runLauncher(int argc, char** argv, LibraryWatch& watch);

}  // namespace zevhost

#endif
