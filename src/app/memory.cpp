// Heap blocks for the socket lists and the working buffers: the platform's
// global heap, fixed or zero-filled.
#include <windows.h>

#include "../pure/socketlist.h"

void* BlockAlloc(size_t bytes, bool zeroFill)
{
    return (void*)GlobalAlloc(zeroFill ? GPTR : GMEM_FIXED, bytes);
}

void BlockFree(void* block)
{
    if (block != NULL)
        GlobalFree((HGLOBAL)block);
}
