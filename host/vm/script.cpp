#include "script.h"

#include <atomic>
#include <deque>
#include <map>
#include <mutex>
#include <set>

namespace zevhost {
namespace {

struct ScriptEntry {
    std::deque<long long> queue;
    std::optional<long long> standing;
};

struct Script {
    std::mutex mutex;
    std::map<std::string, ScriptEntry, std::less<>> entries;
    std::set<jint> refused_ids;
};

// Never destroyed, as the journal.
Script& script() {
    static auto* instance = new Script;
    return *instance;
}

std::atomic<bool> g_scripted{false};  // lets unscripted runs skip the script lock

}  // namespace

std::optional<long long> scripted(const char* op) {
    if (!g_scripted.load(std::memory_order_acquire)) {
        return std::nullopt;
    }
    Script& s = script();
    std::lock_guard<std::mutex> lock(s.mutex);
    auto it = s.entries.find(op);
    if (it == s.entries.end()) {
        return std::nullopt;
    }
    if (!it->second.queue.empty()) {
        long long answer = it->second.queue.front();
        it->second.queue.pop_front();
        return answer;
    }
    return it->second.standing;
}

long long answerOr(const char* op, long long fallback) {
    return scripted(op).value_or(fallback);
}

jboolean asBoolean(long long value) {
    if (value == 0) {
        return JNI_FALSE;
    }
    return value > 0 && value < 256 ? static_cast<jboolean>(value) : JNI_TRUE;
}

bool isRefused(jint id) {
    Script& s = script();
    std::lock_guard<std::mutex> lock(s.mutex);
    return s.refused_ids.count(id) != 0;
}

void scriptAnswers(const std::string& op, const std::vector<long long>& answers) {
    Script& s = script();
    std::lock_guard<std::mutex> lock(s.mutex);
    auto& entry = s.entries[op];
    entry.queue.insert(entry.queue.end(), answers.begin(), answers.end());
    g_scripted.store(true, std::memory_order_release);
}

void standingAnswer(const std::string& op, long long answer) {
    Script& s = script();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.entries[op].standing = answer;
    g_scripted.store(true, std::memory_order_release);
}

void clearScript() {
    Script& s = script();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.entries.clear();
    s.refused_ids.clear();
    g_scripted.store(false, std::memory_order_release);
}

void refuseId(jint id) {
    Script& s = script();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.refused_ids.insert(id);
}

}  // namespace zevhost
