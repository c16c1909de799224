/*
 * The reference VM's script: answers queued per slot (and standing answers
 * once a queue is empty) that override what the VM's own state would
 * answer, and the ids that set_threshold and set_period refuse.
 */
#ifndef ZEV_HOST_SCRIPT_H
#define ZEV_HOST_SCRIPT_H

#include <jni.h>

#include <optional>
#include <string>
#include <vector>

namespace zevhost {

// The next scripted answer of op, consumed; nullopt when none is scripted.
std::optional<long long> scripted(const char* op);
long long answerOr(const char* op, long long fallback);
// 0 is false, 1..255 that byte, anything else true.
jboolean asBoolean(long long value);
bool isRefused(jint id);

void scriptAnswers(const std::string& op, const std::vector<long long>& answers);
void standingAnswer(const std::string& op, long long answer);
void clearScript();
void refuseId(jint id);

}  // namespace zevhost

#endif
