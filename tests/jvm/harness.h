// Runs programs in a real JVM through zev-host and judges what they printed.
#pragma once

#include <string>
#include <vector>

struct HostRun {
    int status = -1;         // exit status, or -1 when a signal ended the process
    int signal = 0;          // that signal, or 0
    bool timed_out = false;  // killed for running past its time
    std::string out;
    std::string err;
    std::string output() const { return "stdout:\n" + out + "\nstderr:\n" + err; }
};

// Runs `zev-host -Xcheck:jni -cp <tests and ASM> <hostOptions> <mainClass> <args>`;
// kills it after timeoutSeconds.
HostRun runHost(const std::vector<std::string>& hostOptions, const std::string& mainClass,
                const std::vector<std::string>& args, int timeoutSeconds = 60);

// The lines in which -Xcheck:jni reports a misuse of JNI.
std::string jniWarnings(const HostRun& run);

bool contains(const std::string& text, const std::string& part);
