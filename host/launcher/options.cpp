#include "options.h"

#include <limits.h>

#include <cstdio>
#include <cstdlib>

namespace zevhost {
namespace {

const char kUsage[] =
    "usage: zev-host [options] MainClass [args...]\n"
    "\n"
    "Runs MainClass in a JVM whose recorder interface is the reference VM,\n"
    "with libzev loaded and the recorder's natives bound to it.\n"
    "\n"
    "  -cp, -classpath, --classpath, --class-path PATH\n"
    "                     add PATH to the class path (after zev.jar and zevhost.jar)\n"
    "  --lib PATH         the libzev.so to load (default: " ZEV_HOST_INSTALLED_LIB "\n"
    "                     from the host's directory when installed, else the build tree's)\n"
    "  --zev-jar PATH     the recorder's classes (default: " ZEV_HOST_INSTALLED_ZEV_JAR "\n"
    "                     from the host's directory, else the build tree's)\n"
    "  --host-jar PATH    the host's classes (default: " ZEV_HOST_INSTALLED_HOST_JAR "\n"
    "                     from the host's directory, else the build tree's)\n"
    "  --no-recorder      GetEnv refuses the recorder interface (JNI_EVERSION)\n"
    "  --null-recorder    GetEnv answers JNI_OK with a null recorder interface\n"
    "  --disabled         the recorder is disabled on the command line\n"
    "  --trace            print each journal line as it happens, prefixed with \"vm: \"\n"
    "  --no-early-capabilities\n"
    "                     start the JVM without the host's agent that holds the\n"
    "                     redefinition capabilities from its start, so that the first\n"
    "                     retransformation throws all compiled code away (for comparison)\n"
    "  --verbose          print a report of the library's load\n"
    "  --help             print this and exit\n"
    "  -...               any other option goes to the JVM (-Xcheck:jni, -Dx=y, -ea, ...),\n"
    "                     but for an unknown --name without a value, which is refused\n"
    "\n"
    "Exit status: that of the Java program (1 when main threw), 2 when the host\n"
    "could not start it.\n";

std::string canonical(const std::string& path) {
    char resolved[PATH_MAX];
    return realpath(path.c_str(), resolved) ? std::string(resolved) : std::string();
}

// Launcher options whose value the JVM wants joined with '='.
bool takesJoinedValue(const std::string& option) {
    static const char* const kOptions[] = {
        "--add-opens", "--add-exports", "--add-reads", "--add-modules", "--module-path",
        "--upgrade-module-path", "--limit-modules", "--patch-module"};
    for (const char* o : kOptions) {
        if (option == o) {
            return true;
        }
    }
    return false;
}

}  // namespace

void setDefaultPaths(Options* o) {
    o->lib = ZEV_HOST_DEFAULT_LIB;
    o->zev_jar = ZEV_HOST_DEFAULT_ZEV_JAR;
    o->host_jar = ZEV_HOST_DEFAULT_HOST_JAR;
    std::string exe = canonical("/proc/self/exe");
    std::size_t slash = exe.rfind('/');
    if (slash == std::string::npos) {
        return;
    }
    std::string dir = exe.substr(0, slash + 1);
    std::string lib = canonical(dir + ZEV_HOST_INSTALLED_LIB);
    std::string zev_jar = canonical(dir + ZEV_HOST_INSTALLED_ZEV_JAR);
    std::string host_jar = canonical(dir + ZEV_HOST_INSTALLED_HOST_JAR);
    if (!lib.empty() && !zev_jar.empty() && !host_jar.empty()) {
        o->lib = lib;
        o->zev_jar = zev_jar;
        o->host_jar = host_jar;
    }
}

bool parseOptions(int argc, char** argv, Options* o) {
    int i = 1;
    auto value = [&](const std::string& option, std::string* out) {
        if (i + 1 >= argc) {
            std::fprintf(stderr, "zev-host: %s needs a value\n", option.c_str());
            return false;
        }
        *out = argv[++i];
        return true;
    };
    for (; i < argc; ++i) {
        std::string arg = argv[i];
        std::string v;
        if (arg.empty() || arg[0] != '-') {
            break;
        }
        if (arg == "-cp" || arg == "-classpath" || arg == "--classpath" || arg == "--class-path") {
            if (!value(arg, &v)) return false;
            o->class_path.push_back(v);
        } else if (arg == "--lib") {
            if (!value(arg, &o->lib)) return false;
        } else if (arg == "--zev-jar") {
            if (!value(arg, &o->zev_jar)) return false;
        } else if (arg == "--host-jar") {
            if (!value(arg, &o->host_jar)) return false;
        } else if (arg == "--no-recorder") {
            o->recorder = RecorderMode::Absent;
        } else if (arg == "--null-recorder") {
            o->recorder = RecorderMode::Null;
        } else if (arg == "--disabled") {
            o->disabled = true;
        } else if (arg == "--trace") {
            o->trace = true;
        } else if (arg == "--no-early-capabilities") {
            o->early_capabilities = false;
        } else if (arg == "--verbose") {
            o->verbose = true;
        } else if (arg == "--help" || arg == "-h") {
            o->help = true;
            return true;
        } else if (takesJoinedValue(arg)) {
            if (!value(arg, &v)) return false;
            o->jvm_options.push_back(arg + "=" + v);
        } else if (arg.compare(0, 2, "--") == 0 && arg.find('=') == std::string::npos &&
                   arg != "--enable-preview") {
            // The JVM's other "--" options come joined with their value: this
            // one is nobody's, and the JVM would only say "Unrecognized option".
            std::fprintf(stderr, "zev-host: unknown option %s\n", arg.c_str());
            return false;
        } else {
            o->jvm_options.push_back(arg);
        }
    }
    if (i >= argc) {
        std::fputs("zev-host: no main class given\n", stderr);
        return false;
    }
    o->main_class = argv[i++];
    o->args.assign(argv + i, argv + argc);
    return true;
}

void printUsage(std::FILE* to) {
    std::fputs(kUsage, to);
}

}  // namespace zevhost
