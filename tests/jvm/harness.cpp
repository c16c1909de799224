#include "harness.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <thread>
#include <fstream>
#include <sstream>

extern char** environ;

namespace {

std::string slurp(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

std::string temporaryFile(const char* stem) {
    std::string path = "/tmp/zev-test-" + std::string(stem) + "-XXXXXX";
    int fd = mkstemp(path.data());
    close(fd);
    return path;
}

HostRun runProgram(const char* host, const std::vector<std::string>& hostOptions,
                   const std::string& mainClass, const std::vector<std::string>& args,
                   int timeoutSeconds) {
    // A cross build's host runs through the emulator: its words come first.
    std::vector<std::string> argv;
    std::istringstream emulator(ZEV_TEST_EMULATOR);
    for (std::string word; emulator >> word;) {
        argv.push_back(word);
    }
    argv.insert(argv.end(), {host, "-Xcheck:jni", "-cp",
                             std::string(ZEV_TESTS_JAR) + ":" + ZEV_ASM_JAR});
    argv.insert(argv.end(), hostOptions.begin(), hostOptions.end());
    argv.push_back(mainClass);
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<char*> raw;
    for (std::string& a : argv) {
        raw.push_back(a.data());
    }
    raw.push_back(nullptr);

    std::string outPath = temporaryFile("out");
    std::string errPath = temporaryFile("err");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, outPath.c_str(), O_WRONLY | O_TRUNC, 0);
    posix_spawn_file_actions_addopen(&actions, 2, errPath.c_str(), O_WRONLY | O_TRUNC, 0);
    pid_t pid = 0;
    HostRun run;
    if (posix_spawn(&pid, raw[0], &actions, nullptr, raw.data(), environ) != 0) {
        ADD_FAILURE() << "could not start " << raw[0];
        return run;
    }
    posix_spawn_file_actions_destroy(&actions);
    int status = 0;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeoutSeconds);
    while (waitpid(pid, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            run.timed_out = true;
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    if (WIFEXITED(status)) {
        run.status = WEXITSTATUS(status);
    } else if (WIFSIGNALED(status)) {
        run.signal = WTERMSIG(status);
    }
    run.out = slurp(outPath);
    run.err = slurp(errPath);
    remove(outPath.c_str());
    remove(errPath.c_str());
    return run;
}

}  // namespace

HostRun runHost(const std::vector<std::string>& hostOptions, const std::string& mainClass,
                const std::vector<std::string>& args, int timeoutSeconds) {
    return runProgram(ZEV_HOST, hostOptions, mainClass, args, timeoutSeconds);
}

std::string jniWarnings(const HostRun& run) {
    std::string found;
    std::istringstream lines(run.output());
    for (std::string line; std::getline(lines, line);) {
        if (isJniWarning(line)) {
            found += line + "\n";
        }
    }
    return found;
}

bool isJniWarning(const std::string& line) {
    return contains(line, "WARNING in native method:") ||
           contains(line, "FATAL ERROR in native method:") || contains(line, "exceeds capacity") ||
           contains(line, "JNI local refs");
}

void expectCasePasses(const std::string& testClass, const std::string& caseName,
                      const std::vector<std::string>& hostOptions) {
    HostRun run = runHost(hostOptions, "zevtests." + testClass, {caseName});
    EXPECT_EQ(run.status, 0) << "stdout:\n" << run.out << "\nstderr:\n" << run.err;
    EXPECT_EQ(jniWarnings(run), "") << "stdout:\n" << run.out << "\nstderr:\n" << run.err;
    EXPECT_TRUE(contains(run.out, "PASS " + caseName)) << run.out << run.err;
}

bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}
