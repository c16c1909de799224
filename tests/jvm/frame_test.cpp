// The library frame in a real JVM: what it exports, and what its load does
// with and without the VM's recorder interface.
#include <gtest/gtest.h>

#include <cstdio>
#include <set>
#include <sstream>
#include <string>

#include "harness.h"

namespace {

std::set<std::string> definedDynamicSymbols(const std::string& library) {
    std::set<std::string> symbols;
    std::string command = "nm -D --defined-only " + library;
    FILE* nm = popen(command.c_str(), "r");
    if (nm == nullptr) {
        ADD_FAILURE() << "could not run " << command;
        return symbols;
    }
    char line[512];
    while (fgets(line, sizeof(line), nm) != nullptr) {
        std::istringstream fields(line);
        std::string address, type, name;
        fields >> address >> type >> name;
        if (!name.empty()) {
            symbols.insert(name);
        }
    }
    EXPECT_EQ(pclose(nm), 0) << command;
    return symbols;
}

}  // namespace

TEST(Frame, ExportsExactlyJniOnLoadAndTheDeclaredNatives) {
    HostRun run = runHost({}, "zevtests.FrameTests", {"listNatives"});
    ASSERT_EQ(run.status, 0) << run.output();
    std::set<std::string> expected = {"JNI_OnLoad"};
    std::istringstream lines(run.out);
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind("NATIVE ", 0) == 0) {
            expected.insert(line.substr(7));
        }
    }
    EXPECT_EQ(expected.size(), 32u) << "JNI_OnLoad and 31 natives";
    EXPECT_EQ(definedDynamicSymbols(ZEV_LIBRARY), expected);
}

