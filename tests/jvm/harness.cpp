#include "harness.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <fstream>
#include <sstream>
#include <thread>

extern char** environ;

namespace {

// Standard output and error go to files: a pipe the case does not drain
// could stall a JVM that prints much.
std::string temporaryFile() {
    std::string path = "/tmp/zev-jvm-test-XXXXXX";
    close(mkstemp(path.data()));
    return path;
}

std::string takeFile(const std::string& path) {
    std::stringstream text;
    text << std::ifstream(path).rdbuf();
    remove(path.c_str());
    return text.str();
}

}  // namespace

HostRun runHost(const std::vector<std::string>& hostOptions, const std::string& mainClass,
                const std::vector<std::string>& args, int timeoutSeconds) {
    // A cross build's host runs through the emulator: its words come first.
    std::vector<std::string> argv;
    std::istringstream emulator(ZEV_TEST_EMULATOR);
    for (std::string word; emulator >> word;) {
        argv.push_back(word);
    }
    argv.insert(argv.end(), {ZEV_HOST, "-Xcheck:jni", "-cp",
                             std::string(ZEV_TESTS_JAR) + ":" + ZEV_ASM_JAR});
    argv.insert(argv.end(), hostOptions.begin(), hostOptions.end());
    argv.push_back(mainClass);
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<char*> raw;
    for (std::string& a : argv) {
        raw.push_back(a.data());
    }
    raw.push_back(nullptr);

    std::string outPath = temporaryFile();
    std::string errPath = temporaryFile();
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, outPath.c_str(), O_WRONLY | O_TRUNC, 0);
    posix_spawn_file_actions_addopen(&actions, 2, errPath.c_str(), O_WRONLY | O_TRUNC, 0);
    HostRun run;
    pid_t pid = 0;
    int spawned = posix_spawn(&pid, raw[0], &actions, nullptr, raw.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    int status = 0;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeoutSeconds);
    while (spawned == 0 && waitpid(pid, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            run.timed_out = true;
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_EQ(spawned, 0) << "could not start " << raw[0];
    if (spawned == 0 && WIFEXITED(status)) {
        run.status = WEXITSTATUS(status);
    } else if (spawned == 0 && WIFSIGNALED(status)) {
        run.signal = WTERMSIG(status);
    }
    run.out = takeFile(outPath);
    run.err = takeFile(errPath);
    return run;
}

std::string jniWarnings(const HostRun& run) {
    std::string found;
    std::istringstream lines(run.out + run.err);
    for (std::string line; std::getline(lines, line);) {
        if (contains(line, "WARNING in native method:") ||
            contains(line, "FATAL ERROR in native method:") ||
            contains(line, "exceeds capacity") || contains(line, "JNI local refs")) {
            found += line + "\n";
        }
    }
    return found;
}

bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}
