#include "MemoryRelease.h"

#include <malloc/malloc.h>

void releaseUnusedMemory() {
    malloc_zone_pressure_relief(nullptr, 0);
}
