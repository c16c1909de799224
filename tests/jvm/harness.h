// Runs Java programs in a real JVM through zev-host and judges what it printed.
#pragma once

#include <string>
#include <vector>

struct HostRun {
    int status = -1;      // exit status, or -1 when the process was killed by a signal
    int signal = 0;       // the signal that ended it, or 0
    bool timed_out = false;  // killed for running past its time
    std::string out;      // standard output
    std::string err;      // standard error
    std::string output() const { return out + err; }
};

// Runs `zev-host -Xcheck:jni <hostOptions> <mainClass> <args>` with the test
// programs on the class path; kills it with SIGKILL after timeoutSeconds.
HostRun runHost(const std::vector<std::string>& hostOptions, const std::string& mainClass,
                const std::vector<std::string>& args = {}, int timeoutSeconds = 240);

// The lines that -Xcheck:jni prints for a misuse of JNI, if any.
std::string jniWarnings(const HostRun& run);
bool isJniWarning(const std::string& line);

// Runs one case of a Java test class (zevtests.<testClass> <caseName>) and
// expects it to pass with no JNI warning.
void expectCasePasses(const std::string& testClass, const std::string& caseName,
                      const std::vector<std::string>& hostOptions = {});

bool contains(const std::string& text, const std::string& part);
