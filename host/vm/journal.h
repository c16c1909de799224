/*
 * The reference VM's journal: one line per call of a recorder-interface
 * slot, in call order across all threads, the newest lines kept.
 */
#ifndef ZEV_HOST_JOURNAL_H
#define ZEV_HOST_JOURNAL_H

#include <jni.h>

#include <string>
#include <vector>

namespace zevhost {

// Whether a slot should render its line at all: journaling or tracing is on.
bool journalWanted();

// One journal line, "name(arg, arg, ...)", built argument by argument.
class Line {
public:
    explicit Line(const char* op);

    Line& num(long long value);
    Line& flag(jboolean value);
    Line& str(const char* value);
    Line& bytes(const void* data, long long length);
    Line& raw(const std::string& rendered);
    // Appends the line; echo prints it too, as --trace does for every line.
    void commit(bool echo = false);

private:
    std::string text_;
    bool first_ = true;
};

std::vector<std::string> journalLines(bool take);
void clearJournal();
void setJournaling(bool on);
void setTrace(bool on);
long long journalDropped();
void setEchoLog(bool on);
bool echoLog();

}  // namespace zevhost

#endif
