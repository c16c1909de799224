// The library's C allocator, seen through its imports: every block it takes
// and gives back is known, and the injector can make an allocation fail.
#include "failure_injector.h"
#include "library_image.h"

#include <cerrno>
#include <cstdlib>

namespace zevhost {
namespace {

// Only the library's imports lead here, so every caller is the library's.
void* libraryMalloc(size_t size) {
    if (injectFailure(CallKind::Allocation, "malloc", __builtin_return_address(0))) {
        errno = ENOMEM;
        return nullptr;
    }
    void* block = std::malloc(size);
    if (block) {
        noteAllocation(block);
    }
    return block;
}

void* libraryCalloc(size_t count, size_t size) {
    if (injectFailure(CallKind::Allocation, "calloc", __builtin_return_address(0))) {
        errno = ENOMEM;
        return nullptr;
    }
    void* block = std::calloc(count, size);
    if (block) {
        noteAllocation(block);
    }
    return block;
}

void* libraryRealloc(void* old, size_t size) {
    if (injectFailure(CallKind::Allocation, "realloc", __builtin_return_address(0))) {
        errno = ENOMEM;
        return nullptr;  // the old block stays the caller's
    }
    // Forgotten before the call: afterwards the old block may belong to anyone.
    if (old) {
        forgetAllocation(old);
    }
    void* block = std::realloc(old, size);
    if (block) {
        noteAllocation(block);
    } else if (old && size != 0) {
        noteAllocation(old);  // the call failed: the old block is still the library's
    }
    return block;
}

void libraryFree(void* block) {
    if (block) {
        forgetAllocation(block);
    }
    std::free(block);
}

}  // namespace

bool hookLibraryAllocations(std::string* error) {
    struct Import {
        const char* symbol;
        void* replacement;
        bool required;
    };
    // calloc and realloc are optional: what the library doesn't import it can't call.
    const Import imports[] = {
        {"malloc", reinterpret_cast<void*>(libraryMalloc), true},
        {"calloc", reinterpret_cast<void*>(libraryCalloc), false},
        {"realloc", reinterpret_cast<void*>(libraryRealloc), false},
        {"free", reinterpret_cast<void*>(libraryFree), true},
    };
    for (const Import& i : imports) {
        if (!replaceLibraryImport(i.symbol, i.replacement) && i.required) {
            *error = std::string("cannot replace the library's import of ") + i.symbol;
            return false;
        }
    }
    return true;
}

}  // namespace zevhost
