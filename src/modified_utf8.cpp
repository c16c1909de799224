// Modified UTF-8 as the JVM reads it: one to three bytes per UTF-16 unit, NUL
// written as C0 80, supplementary characters as two three-byte surrogates.
// One pass checks a string without allocating; only a string holding
// standard UTF-8's four-byte sequences is copied, on the stack when short.
#include "modified_utf8.h"

#include <cstdlib>

#include "diagnostics.h"

namespace {

bool isContinuation(unsigned char byte) {
    return (byte & 0xC0) == 0x80;
}

// Writes one UTF-16 unit (here a surrogate) as three bytes.
char* putThreeBytes(char* out, unsigned unit) {
    out[0] = static_cast<char>(0xE0 | (unit >> 12));
    out[1] = static_cast<char>(0x80 | ((unit >> 6) & 0x3F));
    out[2] = static_cast<char>(0x80 | (unit & 0x3F));
    return out + 3;
}

// Converted copies up to this size stay on the stack.
constexpr size_t STACK_COPY = 256;

}  // namespace

long long findNonModifiedUtf8(const char* chars, size_t* length, size_t* fourByteForms) {
    const auto* s = reinterpret_cast<const unsigned char*>(chars);
    size_t i = 0;
    size_t fourBytes = 0;
    long long refused = -1;
    for (;;) {
        unsigned char lead = s[i];
        if (lead == 0) {
            break;
        }
        if (lead < 0x80) {
            i++;
            continue;
        }
        // The bytes a sequence takes, and the range of its second byte that
        // keeps it from being overlong, a surrogate-free four-byte form above
        // U+10FFFF, or a continuation of nothing.
        size_t size;
        unsigned char low = 0x80;
        unsigned char high = 0xBF;
        if (lead == 0xC0) {
            size = 2;  // only C0 80, modified UTF-8's NUL
            high = 0x80;
        } else if (lead >= 0xC2 && lead <= 0xDF) {
            size = 2;
        } else if (lead == 0xE0) {
            size = 3;
            low = 0xA0;
        } else if (lead >= 0xE1 && lead <= 0xEF) {
            size = 3;  // ED A0..BF, the surrogates, are how modified UTF-8 writes pairs
        } else if (lead == 0xF0) {
            size = 4;
            low = 0x90;
        } else if (lead >= 0xF1 && lead <= 0xF3) {
            size = 4;
        } else if (lead == 0xF4) {
            size = 4;
            high = 0x8F;
        } else {
            refused = static_cast<long long>(i);  // a lone continuation, C1, F5..FF
            break;
        }
        // Byte by byte, so that the terminating NUL stops the reading.
        if (s[i + 1] < low || s[i + 1] > high) {
            refused = static_cast<long long>(i);
            break;
        }
        size_t k = 2;
        while (k < size && isContinuation(s[i + k])) {
            k++;
        }
        if (k < size) {
            refused = static_cast<long long>(i);
            break;
        }
        if (size == 4) {
            fourBytes++;
        }
        i += size;
    }
    *length = i;
    *fourByteForms = fourBytes;
    return refused;
}

void convertFourByteForms(const char* chars, size_t length, char* out, size_t capacity) {
    if (capacity == 0) {
        return;  // not even room for the terminator
    }
    const auto* s = reinterpret_cast<const unsigned char*>(chars);
    size_t i = 0;
    size_t o = 0;
    while (i < length && o + 1 < capacity) {
        if (s[i] < 0xF0 || i + 4 > length || o + 7 > capacity) {
            out[o++] = static_cast<char>(s[i++]);
            continue;
        }
        unsigned codePoint = ((s[i] & 0x07u) << 18) | ((s[i + 1] & 0x3Fu) << 12) |
                             ((s[i + 2] & 0x3Fu) << 6) | (s[i + 3] & 0x3Fu);
        codePoint -= 0x10000;
        putThreeBytes(out + o, 0xD800 + (codePoint >> 10));
        putThreeBytes(out + o + 3, 0xDC00 + (codePoint & 0x3FF));
        i += 4;
        o += 6;
    }
    out[o] = '\0';
}

size_t wholeCharacterLength(const char* text, size_t length) {
    const auto* s = reinterpret_cast<const unsigned char*>(text);
    size_t start = length;
    while (start > 0 && length - start < 3 && isContinuation(s[start - 1])) {
        start--;
    }
    if (start > 0 && s[start - 1] >= 0xC0) {
        size_t lead = start - 1;
        size_t size = s[lead] >= 0xF0 ? 4 : s[lead] >= 0xE0 ? 3 : 2;
        if (length - lead < size) {
            length = lead;
        }
    }
    // A high surrogate whose low half was cut off would stand alone.
    if (length >= 3 && s[length - 3] == 0xED && s[length - 2] >= 0xA0 && s[length - 2] <= 0xAF &&
        isContinuation(s[length - 1])) {
        length -= 3;
    }
    return length;
}

VmString newJavaString(JNIEnv* env, const char* chars, jstring* result, long long* refusedAt) {
    *result = nullptr;
    if (chars == nullptr) {
        return VmString::Made;
    }
    size_t length;
    size_t fourByteForms;
    long long refused = findNonModifiedUtf8(chars, &length, &fourByteForms);
    if (refused >= 0) {
        *refusedAt = refused;
        return VmString::Refused;
    }
    const char* modified = chars;
    char stackCopy[STACK_COPY];
    char* copy = nullptr;
    if (fourByteForms > 0) {
        size_t size = length + 2 * fourByteForms + 1;
        copy = size <= sizeof(stackCopy) ? stackCopy : static_cast<char*>(malloc(size));
        if (copy == nullptr) {
            return VmString::NoMemory;
        }
        convertFourByteForms(chars, length, copy, size);
        modified = copy;
    }
    *result = env->NewStringUTF(modified);
    if (copy != nullptr && copy != stackCopy) {
        free(copy);
    }
    return *result != nullptr ? VmString::Made : VmString::Failed;
}

bool javaStringChecked(JNIEnv* env, const char* chars, jstring* result,
                       const VmStringOrigin& origin, bool throwOnRefusal) {
    long long refusedAt = -1;
    switch (newJavaString(env, chars, result, &refusedAt)) {
    case VmString::Made:
        return true;
    case VmString::Failed:
        return false;
    case VmString::NoMemory:
        throwByName(env, "java/lang/OutOfMemoryError", "%s", origin.entry);
        return false;
    case VmString::Refused:
        break;
    }
    char what[48];
    if (origin.index >= 0) {
        snprintf(what, sizeof(what), "%s %d", origin.what, static_cast<int>(origin.index));
    } else {
        snprintf(what, sizeof(what), "%s", origin.what);
    }
    logMessage(LOG_ERROR, "%s: %s is not modified UTF-8 at byte %lld", origin.entry, what,
               refusedAt);
    if (throwOnRefusal) {
        throwByName(env, "java/lang/IllegalArgumentException",
                    "%s: %s is not modified UTF-8 at byte %lld", origin.entry, what, refusedAt);
    }
    return false;
}
