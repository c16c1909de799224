#include "journal.h"

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <mutex>

namespace zevhost {
namespace {

// The journal keeps the newest lines only: benchmarks make millions of calls.
constexpr std::size_t kJournalMaxLines = 100000;
constexpr std::size_t kJournalMaxBytes = 64u << 20;

struct Journal {
    std::mutex mutex;
    std::deque<std::string> lines;
    std::size_t line_bytes = 0;
    long long dropped = 0;
};

// Never destroyed: slots called on other threads while the process exits
// find it intact.
Journal& journal() {
    static auto* instance = new Journal;
    return *instance;
}

std::atomic<bool> g_journaling{true};
std::atomic<bool> g_trace{false};
std::atomic<bool> g_echo_log{false};

void appendLine(std::string line, bool echo) {
    Journal& j = journal();
    std::lock_guard<std::mutex> lock(j.mutex);
    if (echo || g_trace.load(std::memory_order_relaxed)) {
        std::printf("vm: %s\n", line.c_str());
        std::fflush(stdout);
    }
    if (!g_journaling.load(std::memory_order_relaxed)) {
        return;
    }
    j.line_bytes += line.size();
    j.lines.push_back(std::move(line));
    while (j.lines.size() > kJournalMaxLines ||
           (j.line_bytes > kJournalMaxBytes && j.lines.size() > 1)) {
        j.line_bytes -= j.lines.front().size();
        j.lines.pop_front();
        ++j.dropped;
    }
}

}  // namespace

bool journalWanted() {
    return g_journaling.load(std::memory_order_relaxed) || g_trace.load(std::memory_order_relaxed);
}

Line::Line(const char* op) : text_(op) {
    text_ += '(';
}

Line& Line::num(long long value) {
    return raw(std::to_string(value));
}

Line& Line::flag(jboolean value) {
    return raw(value ? "true" : "false");
}

Line& Line::str(const char* value) {
    return value ? raw(std::string("\"") + value + "\"") : raw("null");
}

Line& Line::bytes(const void* data, long long length) {
    static const char kHex[] = "0123456789abcdef";
    std::string hex = "0x";
    if (data && length > 0) {
        const auto* p = static_cast<const std::uint8_t*>(data);
        hex.reserve(2 + 2 * static_cast<std::size_t>(length));
        for (long long i = 0; i < length; ++i) {
            hex += kHex[p[i] >> 4];
            hex += kHex[p[i] & 0xf];
        }
    }
    return raw(hex);
}

Line& Line::raw(const std::string& rendered) {
    if (!first_) {
        text_ += ", ";
    }
    first_ = false;
    text_ += rendered;
    return *this;
}

void Line::commit(bool echo) {
    text_ += ')';
    appendLine(std::move(text_), echo);
}

std::vector<std::string> journalLines(bool take) {
    Journal& j = journal();
    std::lock_guard<std::mutex> lock(j.mutex);
    std::vector<std::string> lines(j.lines.begin(), j.lines.end());
    if (take) {
        j.lines.clear();
        j.line_bytes = 0;
    }
    return lines;
}

void clearJournal() {
    Journal& j = journal();
    std::lock_guard<std::mutex> lock(j.mutex);
    j.lines.clear();
    j.line_bytes = 0;
}

void setJournaling(bool on) {
    g_journaling = on;
}

void setTrace(bool on) {
    g_trace = on;
}

long long journalDropped() {
    Journal& j = journal();
    std::lock_guard<std::mutex> lock(j.mutex);
    return j.dropped;
}

void setEchoLog(bool on) {
    g_echo_log = on;
}

bool echoLog() {
    return g_echo_log.load(std::memory_order_relaxed);
}

}  // namespace zevhost
