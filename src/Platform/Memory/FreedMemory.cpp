#include "Platform/Memory/FreedMemory.h"

#include <cstdlib>

#if defined(__GLIBC__)
#include <malloc.h>
#endif

namespace quillmere {

bool returnFreedMemory()
{
#if defined(__GLIBC__)
    return malloc_trim(0) != 0;
#else
    return false;
#endif
}

void limitHeapArenas(int arenas)
{
#if defined(__GLIBC__)
    // A cap set in the environment is the user's choice.
    if (std::getenv("MALLOC_ARENA_MAX"))
        return;
    mallopt(M_ARENA_MAX, arenas);
#else
    (void)arenas;
#endif
}

void keepLargeBlocksApart(std::size_t bytes)
{
#if defined(__GLIBC__)
    if (std::getenv("MALLOC_MMAP_THRESHOLD_"))
        return;
    mallopt(M_MMAP_THRESHOLD, int(bytes));
#else
    (void)bytes;
#endif
}

} // namespace quillmere
