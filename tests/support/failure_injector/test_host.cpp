// zev-host-test: the launcher of zev-host with the failure injector around
// the library, for the tests alone. It adds --fail and the natives of
// zevtests.support.Injector, whose jar it puts on the class path.
#include "failure_injector.h"
#include "failure_natives.h"
#include "launcher.h"
#include "library_entries.h"
#include "library_image.h"
#include "vm_interface.h"

#include <cstdio>
#include <string>
#include <vector>

namespace zevhost {
namespace {

VmRecorderInterface g_through_entries;
jboolean (*g_register_upcalls)(const RecorderUpcalls*) = nullptr;

// The VM keeps the entries' table in place of the library's own.
jboolean registerUpcallsThroughEntries(const RecorderUpcalls* upcalls) {
    return g_register_upcalls(upcallEntries(upcalls));
}

class InjectorWatch : public LibraryWatch {
public:
    const char* usage() const override {
        return "  --fail PLAN        arm the failure injector for the whole run (see\n"
               "                     zevtests.support.Injector), e.g. --fail 3,exhaust;\n"
               "                     its report goes to standard error\n";
    }

    bool takesOption(const std::string& option) const override { return option == "--fail"; }

    bool setOption(const std::string&, const std::string& value, std::string* error) override {
        plan_text_ = value;
        return parseFailurePlan(value, &plan_, error);
    }

    std::vector<std::string> classPath() const override { return {ZEV_INJECTOR_JAR}; }

    bool javaReady(JNIEnv* env) override { return registerFailureNatives(env); }

    bool libraryOpened(void* handle, JNIEnv* env, std::string* error) override {
        if (!openLibraryImage(handle, error) || !hookLibraryAllocations(error)) {
            return false;
        }
        if (!plan_text_.empty() && !armFailures(env, plan_, error)) {
            *error = "--fail " + plan_text_ + ": " + *error;
            return false;
        }
        return true;
    }

    jint callOnLoad(JniOnLoad on_load, JavaVM* vm) override {
        return callOnLoadThroughEntry(on_load, vm);
    }

    jint libraryJvmtiEnv(JavaVM* real, void** penv, jint version, const void* caller) override {
        return zevhost::libraryJvmtiEnv(real, penv, version, caller);
    }

    VmRecorderInterface* recorderInterface(VmRecorderInterface* vm) override {
        g_through_entries = *vm;
        g_register_upcalls = vm->register_upcalls;
        g_through_entries.register_upcalls = registerUpcallsThroughEntries;
        return &g_through_entries;
    }

    // Which method each bound native is; the list does not say whether it is static.
    bool nativesBound(JNIEnv* env, jclass klass, const std::vector<BoundNative>& natives) override {
        for (const BoundNative& n : natives) {
            jmethodID method = env->GetMethodID(klass, n.name.c_str(), n.descriptor.c_str());
            if (!method) {
                env->ExceptionClear();
                method = env->GetStaticMethodID(klass, n.name.c_str(), n.descriptor.c_str());
            }
            if (!method) {
                env->ExceptionDescribe();
                env->ExceptionClear();
                return false;
            }
            noteLibraryNative(method, n.symbol);
        }
        return true;
    }

    void finishing() override {
        if (plan_text_.empty()) {
            return;
        }
        FailureReport report = disarmFailures();
        std::fprintf(stderr, "zev-host: --fail %s: %lld counted, %lld failed", plan_text_.c_str(),
                     report.counted, report.failed);
        if (report.failed > 0) {
            std::fprintf(stderr, ", first %s (call %lld) in %s", report.function.c_str(),
                         report.first, report.where.c_str());
        }
        std::fputs("\n", stderr);
    }

private:
    std::string plan_text_;
    FailurePlan plan_;
};

}  // namespace
}  // namespace zevhost

int main(int argc, char** argv) {
    zevhost::InjectorWatch injector;
    return zevhost::runLauncher(argc, argv, injector);
}
