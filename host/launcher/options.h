/*
 * zev-host's command line: its own options, the JVM's, the main class and
 * its arguments, and where the library and the jars are found.
 */
#ifndef ZEV_HOST_OPTIONS_H
#define ZEV_HOST_OPTIONS_H

#include <cstdio>
#include <string>
#include <vector>

namespace zevhost {

enum class RecorderMode { Present, Absent, Null };

struct Options {
    std::string lib;
    std::string zev_jar;
    std::string host_jar;
    std::vector<std::string> class_path;
    std::vector<std::string> jvm_options;
    RecorderMode recorder = RecorderMode::Present;
    bool disabled = false;
    bool trace = false;
    bool verbose = false;
    bool early_capabilities = true;
    bool help = false;
    std::string main_class;
    std::vector<std::string> args;
};

// An installed host (bin/ beside lib/ and share/java/) uses the library and
// the jars of its own prefix, wherever the prefix has been moved; the host in
// the build tree has no such layout around it and uses the build tree's.
void setDefaultPaths(Options* o);

// False, with a line on standard error, for a command line that can't run.
bool parseOptions(int argc, char** argv, Options* o);

void printUsage(std::FILE* to);

}  // namespace zevhost

#endif
