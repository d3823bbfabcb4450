#include "MemoryRelease.h"

#include <malloc.h>

void releaseUnusedMemory() {
    // Every arena, Qt's bus thread's among them, and the free pages inside them too.
    malloc_trim(0);
}
