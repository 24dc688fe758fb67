#include "Platform/Memory/FreedMemory.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <vector>

namespace {

#if defined(__SANITIZE_ADDRESS__)
constexpr bool sanitizedHeap = true;
#else
constexpr bool sanitizedHeap = false;
#endif

// Free pages in the middle of the heap, below a block still in use, stay with the process
// until they are handed back: the call must find and return them.
TEST(FreedMemoryTest, HandsBackPagesFreedBelowABlockInUse)
{
#if !defined(__GLIBC__)
    GTEST_SKIP() << "no allocator call to hand memory back";
#endif
    if (sanitizedHeap)
        GTEST_SKIP() << "the sanitizer's allocator keeps its own pages";
    std::vector<void *> blocks;
    for (int i = 0; i < 20000; ++i)
        blocks.push_back(std::malloc(200));
    void *pin = std::malloc(200);
    for (void *block : blocks)
        std::free(block);
    EXPECT_TRUE(quillmere::returnFreedMemory());
    std::free(pin);
}

} // namespace
