// Checking the strings the VM hands us before they become Java strings, and
// cutting our own messages on whole characters.
//
// The JVM's NewStringUTF does not refuse bytes that are not modified UTF-8:
// it silently decodes them as other characters (a Latin-1 file name names
// another file, an overlong "/" escapes a directory), so every VM string is
// checked here first. Standard UTF-8's four-byte sequences, which a VM
// written in C hands over most often, are converted to the surrogate pair
// that modified UTF-8 writes; everything else that is not modified UTF-8 is
// refused.
#pragma once

#include <jni.h>

#include <cstddef>

// Scans a NUL-terminated string. Answers the byte offset of the first
// sequence that is neither modified UTF-8 nor a standard UTF-8 four-byte
// sequence, or -1 when there is none. *length receives the string's length
// up to the point scanned and *fourByteForms the four-byte sequences met.
long long findNonModifiedUtf8(const char* chars, size_t* length, size_t* fourByteForms);

// Copies the first length bytes of chars (what findNonModifiedUtf8
// measured) into out, each four-byte sequence written as its surrogate pair
// (six bytes), and terminates it; out holds capacity bytes (length + 2 *
// fourByteForms + 1 for the string as it was checked). Reads and writes no
// further even when the VM changed the string since the check.
void convertFourByteForms(const char* chars, size_t length, char* out, size_t capacity);

// The length of text[0, length) without a character cut at its end: a
// multi-byte sequence whose bytes do not all lie inside is dropped, and so is
// a high surrogate left without its low half. For text that was cut.
size_t wholeCharacterLength(const char* text, size_t length);

// What javaString made of a VM string.
enum class VmString {
    Made,     // *result is the Java string (null for a null pointer)
    Refused,  // not modified UTF-8: *refusedAt is the offset; nothing pending
    Failed,   // a JNI call failed: its exception is pending
    NoMemory, // the converted copy could not be allocated; nothing pending
};

// The Java string for a NUL-terminated string the VM passed or owns; a null
// pointer stays null. The one place every VM string becomes a Java string.
VmString newJavaString(JNIEnv* env, const char* chars, jstring* result, long long* refusedAt);

// Where a VM string came from, for the line that refuses it: the entry or
// native ("dumpRecording", "VMZEV_options"), what the string is ("file
// name"), and for a list the element's index (-1 otherwise).
struct VmStringOrigin {
    const char* entry;
    const char* what;
    jint index;
};

// newJavaString for a request: false when the request must end. A JNI
// failure leaves its exception pending; a failed allocation leaves an
// OutOfMemoryError naming the entry; a string that is not modified UTF-8 is
// refused with a level-1 line "<entry>: <what> is not modified UTF-8 at byte
// <offset>", and, when throwOnRefusal, an IllegalArgumentException with that
// text for a Java caller. An absent string stays null and is no failure.
bool javaStringChecked(JNIEnv* env, const char* chars, jstring* result,
                       const VmStringOrigin& origin, bool throwOnRefusal);

// Inline for the strings VM requests carry most, plain ASCII: one tight scan,
// then NewStringUTF; anything else goes through the full check.
inline bool javaString(JNIEnv* env, const char* chars, jstring* result,
                       const VmStringOrigin& origin, bool throwOnRefusal = false) {
    if (chars == nullptr) {
        *result = nullptr;
        return true;
    }
    const char* end = chars;
    while (static_cast<unsigned char>(*end) - 1u < 0x7Fu) {  // 01..7F
        end++;
    }
    if (*end != '\0') {
        return javaStringChecked(env, chars, result, origin, throwOnRefusal);
    }
    *result = env->NewStringUTF(chars);
    return *result != nullptr;
}
