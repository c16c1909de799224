// Logging, exceptions and guarantees. Nothing here allocates: messages are
// formatted into fixed stack buffers and cut, never rejected.
#include "diagnostics.h"

#include <cstdio>
#include <cstdlib>

#include "library_areas.h"
#include "library_state.h"
#include "modified_utf8.h"

namespace {

// A message cut by the formatter may end inside a character, which Java or
// the VM would read as another one: cut it back to a whole character.
void endOnWholeCharacter(char* text, size_t length) {
    text[wholeCharacterLength(text, length)] = '\0';
}

}  // namespace

int formatBounded(char* buffer, size_t size, const char* format, va_list args) {
    if (buffer == nullptr || size == 0) {
        return -1;
    }
    int result = vsnprintf(buffer, size, format, args);
    buffer[size - 1] = '\0';
    // A result of size or more means the text was cut: what it counts was
    // never written.
    if (result < 0 || static_cast<size_t>(result) >= size) {
        if (result >= 0) {
            endOnWholeCharacter(buffer, size - 1);
        }
        return -1;
    }
    return result;
}

void logMessage(jint level, const char* format, ...) {
    char line[256];
    va_list args;
    va_start(args, format);
    int length = vsnprintf(line, sizeof(line) - 1, format, args);
    va_end(args);
    line[sizeof(line) - 1] = '\0';
    if (length >= static_cast<int>(sizeof(line) - 1)) {  // cut to 254 bytes
        endOnWholeCharacter(line, sizeof(line) - 2);
    }

    const VmRecorderInterface* vm = libraryState.recorder_interface;
    if (vm != nullptr) {
        vm->log(level, line);
    } else {
        logToStandardError(level, line);
    }
}

void logToStandardError(jint level, const char* text) {
    fprintf(stderr, "ZEV [%d]: %s\n", static_cast<int>(level), text);
}

void guarantee(bool condition, const char* message) {
    if (!condition) {
        fprintf(stderr, "guarantee failed: %s\n", message);
        abort();
    }
}

namespace {

void throwFormatted(JNIEnv* env, const char* className, const char* format, va_list args)
    ZEV_PRINTF_FORMAT(3, 0);

void throwFormatted(JNIEnv* env, const char* className, const char* format, va_list args) {
    char message[64];
    formatBounded(message, sizeof(message), format, args);
    jclass exceptionClass = env->FindClass(className);
    if (exceptionClass != nullptr) {
        env->ThrowNew(exceptionClass, message);
    }
    // Otherwise the failed lookup has left its own exception pending.
}

}  // namespace

void throwByName(JNIEnv* env, const char* className, const char* format, ...) {
    va_list args;
    va_start(args, format);
    throwFormatted(env, className, format, args);
    va_end(args);
}

void throwException(JNIEnv* env, const char* format, ...) {
    va_list args;
    va_start(args, format);
    throwFormatted(env, "java/lang/Exception", format, args);
    va_end(args);
}

void throwNullPointer(JNIEnv* env) {
    throwByName(env, "java/lang/NullPointerException", "%s", "");
}

void throwNoRecorderInterface(JNIEnv* env, const char* native) {
    throwException(env, "%s: the VM has no recorder interface", native);
}
