#include "Platform/Memory/FreedMemory.h"

#include <QThreadPool>

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

void returnFreedMemoryOffThread()
{
    QThreadPool::globalInstance()->start([] { returnFreedMemory(); });
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
    // Fixing one threshold also fixes glibc's trim threshold at its 128 KiB default, and the
    // heap's top would then be handed back and taken again over and over in a busy pass: it
    // stays at twice the block threshold, as glibc's own adjustment would have set it. The
    // trim once work has settled still gives back everything.
    if (!std::getenv("MALLOC_TRIM_THRESHOLD_"))
        mallopt(M_TRIM_THRESHOLD, int(2 * bytes));
#else
    (void)bytes;
#endif
}

} // namespace quillmere
