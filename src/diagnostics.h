// Log lines, Java exceptions and fatal guarantees.
#pragma once

#include <jni.h>

#include <cstdarg>

#include "compiler.h"

constexpr jint LOG_ERROR = 1;
constexpr jint LOG_INFO = 5;

// Formats into a 256-byte stack buffer (at most 254 characters) and hands the
// line to the VM's log operation, or to standard error as "ZEV [%d]: %s\n"
// when the VM has no recorder interface.
void logMessage(jint level, const char* format, ...) ZEV_PRINTF_FORMAT(2, 3);

// The line as a VM without the recorder interface gets it: "ZEV [%d]: %s\n"
// on standard error, the text as it is.
void logToStandardError(jint level, const char* text);

// Prints "guarantee failed: %s\n" to standard error and aborts when the
// condition is false. For broken consistency with the VM or our Java classes.
void guarantee(bool condition, const char* message);

// Leaves a pending exception of the named class (slashes, as FindClass takes
// it) with the formatted message, cut to 63 characters. Must not be called
// with an exception already pending.
void throwByName(JNIEnv* env, const char* className, const char* format, ...)
    ZEV_PRINTF_FORMAT(3, 4);

// throwByName with java/lang/Exception.
void throwException(JNIEnv* env, const char* format, ...) ZEV_PRINTF_FORMAT(2, 3);

// Bounded formatting that always terminates the buffer. Answers the length
// written, or -1 for no buffer, an encoding error or text that was cut.
int formatBounded(char* buffer, size_t size, const char* format, va_list args)
    ZEV_PRINTF_FORMAT(3, 0);

// java.lang.NullPointerException with an empty message.
void throwNullPointer(JNIEnv* env);
