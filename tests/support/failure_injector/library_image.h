/*
 * The loaded libzev as an image in memory: where its code lies, which of
 * its functions an address falls in, and its imports of the C allocator,
 * which the failure injector replaces so that it can count and fail the
 * library's own allocations without touching anyone else's.
 */
#ifndef ZEV_HOST_LIBRARY_IMAGE_H
#define ZEV_HOST_LIBRARY_IMAGE_H

#include <string>

namespace zevhost {

// Finds the image of the library that `handle` (from dlopen) names. False,
// with *error, when it can't be read.
bool openLibraryImage(void* handle, std::string* error);

// Whether a code address lies in the library's executable segments. Cheap:
// two comparisons, callable from any thread at any time.
bool inLibrary(const void* address);

// "function+0x1c (libzev.so+0x2f1c)", or just the offset when the library
// carries no symbol table.
std::string describeLibraryAddress(const void* address);

// Points the library's import of `symbol` (its GOT entries) at
// `replacement`. Calls from the library then reach the replacement; every
// other object keeps the real function. False when the library does not
// import the symbol or the entry can't be written.
bool replaceLibraryImport(const char* symbol, void* replacement);

}  // namespace zevhost

#endif
