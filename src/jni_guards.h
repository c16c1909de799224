// Small scope guards for JNI resources, each making exactly the release call
// that the resource needs, on every path out; and the string conversion that
// natives and upcalls share (javaString, in modified_utf8.h).
#pragma once

#include <jni.h>

#include "modified_utf8.h"  // javaString: every VM string becomes a Java string there

// Modified UTF-8 characters of a Java string; null when the conversion failed
// (its exception is then pending). The string must not be null.
class UtfChars {
public:
    UtfChars(JNIEnv* env, jstring string)
        : env_(env), string_(string), chars_(env->GetStringUTFChars(string, nullptr)) {}
    ~UtfChars() {
        if (chars_ != nullptr) {
            env_->ReleaseStringUTFChars(string_, chars_);
        }
    }
    UtfChars(const UtfChars&) = delete;
    UtfChars& operator=(const UtfChars&) = delete;

    const char* get() const { return chars_; }

private:
    JNIEnv* env_;
    jstring string_;
    const char* chars_;
};

// A local reference frame. Whatever the frame's owner creates dies with it;
// popResult carries one reference out. Used on VM threads, which may never
// return to Java to free their local references.
class LocalFrame {
public:
    LocalFrame(JNIEnv* env, jint capacity) : env_(env), pushed_(env->PushLocalFrame(capacity) == 0) {}
    ~LocalFrame() {
        if (pushed_) {
            env_->PopLocalFrame(nullptr);
        }
    }
    LocalFrame(const LocalFrame&) = delete;
    LocalFrame& operator=(const LocalFrame&) = delete;

    // False when the frame could not be pushed: an OutOfMemoryError is pending.
    bool pushed() const { return pushed_; }

    // Pops the frame and answers result as a reference in the enclosing frame.
    template <typename T>
    T popResult(T result) {
        if (!pushed_) {
            return result;
        }
        pushed_ = false;
        return static_cast<T>(env_->PopLocalFrame(result));
    }

private:
    JNIEnv* env_;
    bool pushed_;
};
