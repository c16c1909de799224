// What the fuzz targets share: one JVM created in-process as zev-host creates
// it, the library loaded into it over the reference VM, and the operations
// that an input is decoded into, each judged by its oracles.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace zevfuzz {

enum class Phase {
    BeforeStart,  // never reported started (no startHalcyra); releases and rebinding
    Started,      // bound and started at set-up; never released (a request would then abort)
};

// Called from LLVMFuzzerInitialize: adds the flags that libFuzzer needs
// inside a JVM unless given, creates the JVM (-Xcheck:jni, its standard
// output captured), loads the library and binds its natives.
void initialize(int* argc, char*** argv, Phase phase);

// Decodes one input into operations, runs them and aborts, with a report of
// what ran, on any oracle that fails.
void runInput(const std::uint8_t* data, std::size_t size);

// ---- modified UTF-8, as the oracles judge it ---------------------------------

enum class Encoding {
    Valid,        // modified UTF-8 (C0 80 for NUL, surrogates as three bytes each)
    Convertible,  // valid but for standard UTF-8's four-byte forms
    Invalid,
};

// Classifies text; *converted gets it with every four-byte form turned into
// the surrogate pair that modified UTF-8 uses (the text itself when Valid).
Encoding classify(const std::string& text, std::string* converted);

// Whether text ends inside a multi-byte character: a cut that split one.
bool endsInsideCharacter(const char* text);

}  // namespace zevfuzz
