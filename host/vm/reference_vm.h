/*
 * The reference VM's side of the recorder interface: an in-memory VM that
 * journals every call, answers from a per-test script or from its own state,
 * and owns real, stable memory for the regions it hands out.
 */
#ifndef ZEV_HOST_REFERENCE_VM_H
#define ZEV_HOST_REFERENCE_VM_H

#include "journal.h"
#include "script.h"
#include "vm_interface.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace zevhost {

// Called once, on the thread that created the VM, before the library loads.
// Caches the Java classes and methods that rendering a journal line needs.
bool initReferenceVm(JavaVM* real_vm, JNIEnv* env, bool trace, bool disabled_on_command_line);

JavaVM* realVm();

// The library's level-1 log lines so far, in all and on the calling thread.
long long errorLines();
long long errorLinesOnThisThread();
VmRecorderInterface* recorderInterface();
const RecorderUpcalls* registeredUpcalls();

// ---- memory --------------------------------------------------------------

enum class RegionStatus { Found, Absent, Unknown };

// A copy of a region's bytes. Absent: a well-formed name with nothing behind
// it yet (no such descriptor or add id); Unknown: a name the VM doesn't know.
RegionStatus copyRegion(const std::string& region, std::vector<std::uint8_t>* out);
// The start address of a region and the length its operation last answered.
RegionStatus regionExtent(const std::string& region, void** start, jlong* length);
void clearEvents();

// ---- options -------------------------------------------------------------

struct OptionsValues {
    std::optional<std::string> name;
    std::vector<std::optional<std::string>> settings{std::string("default")};
    bool disk = false;
    jlong max_age = 0;
    jint stack_depth = 64;
    jint thread_buffer_size = 8192;
    jint global_buffer_count = 20;
    std::optional<std::string> dump_path;
    bool dump_on_exit = false;
    jlong max_size = 0;
    jlong max_chunk_size = 12 * 1024 * 1024;
    bool sample_threads = true;
};

// What get_options answers from now on. Earlier records stay valid.
void setOptions(const OptionsValues& values);

}  // namespace zevhost

#endif
