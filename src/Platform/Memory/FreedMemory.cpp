#include "Platform/Memory/FreedMemory.h"

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

} // namespace quillmere
