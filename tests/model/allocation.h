// Included before everything else in the library's sources when they are
// compiled against the model: their malloc, calloc and free become the
// model's, which counts them and fails them on demand. The C library's own
// declarations come first, so that nothing of them is renamed.
#pragma once

#include <stdlib.h>

#include <cstdlib>

void* zevModelMalloc(size_t size);
void* zevModelCalloc(size_t count, size_t size);
void zevModelFree(void* block);

#define malloc(size) zevModelMalloc(size)
#define calloc(count, size) zevModelCalloc(count, size)
#define free(block) zevModelFree(block)
