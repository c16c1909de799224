// The failure sweep: every entry point of the library with each of its calls
// into the VM failed in turn (zevtests.FailureSweep), in a real JVM under
// -Xcheck:jni. A run that ends in one of the aborts the library is required
// to make is resumed after that case in a new process; any other end, any
// unsound answer and any JNI warning fails the group. Each group prints its
// table and writes it to the build tree's failure-sweep/ folder.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <csignal>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "harness.h"

namespace {

struct Row {
    std::string name;
    long points = 0;      // the entry's fallible calls
    long runs = 0;        // calls failed, over all modes
    long survived = 0;    // runs judged sound, the same call succeeding afterwards
    long guaranteed = 0;  // runs that ended in an abort the library must make
    std::set<std::string> guarantees;
};

struct Case {
    int scenario = -1;
    int mode = 0;
    long k = 0;
    std::string function;
    std::string label() const {
        return "scenario " + std::to_string(scenario) + " mode " + std::to_string(mode) +
               " call " + std::to_string(k) + " (" + function + ")";
    }
};

std::string lastGuarantee(const std::string& err) {
    const std::string prefix = "guarantee failed: ";
    std::size_t at = err.rfind(prefix);
    if (at == std::string::npos) {
        return "";
    }
    std::size_t end = err.find('\n', at);
    return err.substr(at + prefix.size(), end == std::string::npos ? end : end - at - prefix.size());
}

std::string tail(const std::string& text, std::size_t lines) {
    std::size_t at = text.size();
    for (std::size_t n = 0; n <= lines && at != std::string::npos && at > 0; ++n) {
        at = text.rfind('\n', at - 1);
    }
    return at == std::string::npos ? text : text.substr(at + 1);
}

// Prints the group's table, writes it to the build tree, and fails the case
// for each problem found.
void report(const std::string& group, const std::map<int, Row>& rows,
            const std::vector<std::string>& problems) {
    std::ostringstream out;
    out << "Failure sweep, " << group << ":\n\n"
        << "| entry point | failure points | failed runs | survived | ends by guarantee |\n"
        << "|---|---|---|---|---|\n";
    for (const auto& [index, row] : rows) {
        out << "| " << row.name << " | " << row.points << " | " << row.runs << " | "
            << row.survived << " | " << row.guaranteed << " |\n";
    }
    std::printf("\n%s\n", out.str().c_str());
    mkdir(ZEV_SWEEP_DIR, 0755);
    std::ofstream(std::string(ZEV_SWEEP_DIR) + "/" + group + ".md") << out.str();
    for (const std::string& problem : problems) {
        ADD_FAILURE() << problem;
    }
}

void sweep(const std::string& group, const std::vector<std::string>& hostOptions = {}) {
    std::map<int, Row> rows;
    std::vector<std::string> problems;
    std::vector<std::string> resume;
    for (int processes = 1;; ++processes) {
        ASSERT_LE(processes, 400) << "too many processes";
        std::vector<std::string> args = {group};
        args.insert(args.end(), resume.begin(), resume.end());
        HostRun run = runHost(hostOptions, "zevtests.FailureSweep", args, 1200);

        Case current;
        bool inCase = false;
        bool finished = false;
        std::vector<std::string> next;  // a cold case's successor, to run in a new process
        std::istringstream lines(run.out);
        for (std::string line; std::getline(lines, line);) {
            std::istringstream words(line);
            std::string tag;
            words >> tag;
            if (tag == "SCENARIO") {
                int index;
                std::string rest;
                words >> index >> std::ws;
                std::getline(words, rest);
                std::size_t points = rest.rfind(" points=");
                rows[index].name = rest.substr(0, points);
                // A cold scenario reports its points as it reaches them.
                rows[index].points = std::max(rows[index].points, std::stol(rest.substr(points + 8)));
            } else if (tag == "GUARANTEE") {
                int index;
                std::string message;
                words >> index >> std::ws;
                std::getline(words, message);
                rows[index].guarantees.insert(message);
            } else if (tag == "CASE") {
                words >> current.scenario >> current.mode >> current.k >> current.function;
                inCase = true;
            } else if (tag == "POINT") {
                Case point;
                std::string verdict;
                words >> point.scenario >> point.mode >> point.k >> point.function >> verdict;
                Row& row = rows[point.scenario];
                ++row.runs;
                if (verdict == "ok") {
                    ++row.survived;
                } else {
                    problems.push_back(row.name + ", " + point.label() + ": " + line);
                }
                inCase = false;
            } else if (tag == "SWEEP") {
                finished = true;
            } else if (tag == "NEXT") {
                std::string scenario, mode, k;
                words >> scenario >> mode >> k;
                next = {scenario, mode, k};
            } else if (tag == "HANG") {
                problems.push_back(line + "\n" + tail(run.out, 40));
            }
            if (isJniWarning(line)) {
                problems.push_back("JNI warning" +
                                   (inCase ? " during " + rows[current.scenario].name + ", " +
                                                 current.label()
                                           : std::string(" outside a case")) +
                                   ": " + line);
            }
        }

        if (finished && run.status == 0) {
            break;
        }
        if (finished) {
            problems.push_back("the sweep judged the library unsound");
            break;
        }
        if (!next.empty() && run.status == 0) {
            resume = next;
            continue;
        }
        if (!inCase) {
            problems.push_back("the sweep ended outside a case (status " +
                               std::to_string(run.status) + ", signal " +
                               std::to_string(run.signal) + "):\n" + tail(run.output(), 40));
            break;
        }
        Row& row = rows[current.scenario];
        ++row.runs;
        std::string guarantee = lastGuarantee(run.err);
        if (run.signal == SIGABRT && row.guarantees.count(guarantee)) {
            ++row.guaranteed;
        } else {
            problems.push_back(row.name + ", " + current.label() + ": the process ended (status " +
                               std::to_string(run.status) + ", signal " +
                               std::to_string(run.signal) +
                               (run.timed_out ? ", timed out" : "") + "):\n" +
                               tail(run.output(), 30));
        }
        // On with the next case, in a new process.
        resume = {std::to_string(current.scenario), std::to_string(current.mode),
                  std::to_string(current.k + 1)};
    }

    report(group, rows, problems);
}

// The load happens once a process: each of its JVMTI calls is failed in a run
// of its own, armed from the command line before the library loads.
void sweepLoad() {
    Row row;
    row.name = "JNI_OnLoad, its tool environment";
    std::vector<std::string> problems;
    const char* modes[] = {"once", "exhaust"};
    for (int mode = 0; mode < 2; ++mode) {
        for (long k = 1; k < 20; ++k) {
            std::string plan = std::to_string(k) + "," + modes[mode] + ",jvmti,trace";
            HostRun run = runHost({"--fail", plan}, "zevtests.FailureSweep",
                                  {"load", std::to_string(mode), std::to_string(k)});
            std::string none = "LOAD none points=";
            std::size_t at = run.out.find(none);
            if (run.status == 0 && at != std::string::npos) {
                row.points = std::stol(run.out.substr(at + none.size()));
                break;
            }
            ++row.runs;
            if (run.status == 0 && contains(run.out, " ok\n") && jniWarnings(run).empty()) {
                ++row.survived;
            } else {
                problems.push_back("--fail " + plan + ":\n" + tail(run.output(), 30));
            }
        }
    }
    report("load", {{0, row}}, problems);
}

}  // namespace

TEST(FailureSweep, TheLoadsToolEnvironment) { sweepLoad(); }

TEST(FailureSweep, Natives) { sweep("natives"); }

TEST(FailureSweep, NativesWithoutTheRecorderInterface) {
    sweep("unsupported", {"--no-recorder"});
}

TEST(FailureSweep, Binding) { sweep("binding"); }

TEST(FailureSweep, UpcallsBeforeTheStart) { sweep("upcalls-before-start"); }

TEST(FailureSweep, UpcallsAfterTheStart) { sweep("upcalls-after-start"); }

TEST(FailureSweep, Retransformation) {
    std::string jar = std::string(ZEV_SWEEP_DIR) + "-agent-" + std::to_string(getpid()) + ".jar";
    HostRun made = runHost({}, "zevtests.RetransformAgent", {jar});
    ASSERT_EQ(made.status, 0) << made.output();
    sweep("retransformation", {"-javaagent:" + jar});
    std::remove(jar.c_str());
}
