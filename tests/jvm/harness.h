// Runs Java programs in a real JVM through zev-host and judges what it printed.
#pragma once

#include <string>
#include <vector>

struct HostRun {
    int status = -1;      // exit status, or -1 when the process was killed by a signal
    int signal = 0;       // the signal that ended it, or 0
    std::string out;      // standard output
    std::string err;      // standard error
    std::string output() const { return out + err; }
};

// Runs `zev-host -Xcheck:jni <hostOptions> <mainClass> <args>` with the test
// programs on the class path.
HostRun runHost(const std::vector<std::string>& hostOptions, const std::string& mainClass,
                const std::vector<std::string>& args = {});

// The lines that -Xcheck:jni prints for a misuse of JNI, if any.
std::string jniWarnings(const HostRun& run);

// Runs one case of a Java test class (zevtests.<testClass> <caseName>) and
// expects it to pass with no JNI warning.
void expectCasePasses(const std::string& testClass, const std::string& caseName,
                      const std::vector<std::string>& hostOptions = {});

bool contains(const std::string& text, const std::string& part);
