#include "Platform/Memory/FreedMemory.h"

#include <gtest/gtest.h>

#include <QtGlobal>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#if defined(__GLIBC__)
#include <malloc.h>
#endif
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

int heapArenas()
{
    char *text = nullptr;
    size_t length = 0;
    FILE *stream = open_memstream(&text, &length);
    if (!stream)
        return -1;
    malloc_info(0, stream);
    std::fclose(stream);
    const std::string report(text, length);
    std::free(text);
    int count = 0;
    for (size_t at = report.find("<heap nr="); at != std::string::npos; at = report.find("<heap nr=", at + 1))
        ++count;
    return count;
}

// Threads that allocate at once each get an arena of their own unless the heap is capped.
TEST(FreedMemoryTest, ThreadsShareAtMostTheArenasAllowed)
{
#if !defined(__GLIBC__)
    GTEST_SKIP() << "no allocator arenas to cap";
#endif
    if (sanitizedHeap)
        GTEST_SKIP() << "the sanitizer's allocator has no arenas";
    qunsetenv("MALLOC_ARENA_MAX");
    // Arenas made before the cap stay (a run of every test in one process makes some).
    const int before = heapArenas();
    quillmere::limitHeapArenas(2);
    std::atomic<bool> go = false;
    std::vector<std::thread> threads;
    for (int t = 0; t < 12; ++t)
        threads.emplace_back([&go] {
            while (!go)
                std::this_thread::yield();
            for (int i = 0; i < 20000; ++i)
                std::free(std::malloc(size_t(64 + i % 512)));
        });
    go = true;
    for (auto &thread : threads)
        thread.join();
    EXPECT_GE(heapArenas(), 1);
    EXPECT_LE(heapArenas(), std::max(before, 2));
}

// Kept where the compiler cannot see it unused, so it makes each allocation it is handed.
void *volatile kept = nullptr;

void *allocate(std::size_t bytes)
{
    kept = std::malloc(bytes);
    return kept;
}

long mappedBlocks()
{
#if defined(__GLIBC__)
    return long(mallinfo2().hblks);
#else
    return -1;
#endif
}

// A large block freed must not teach the heap to keep the next large blocks among its small
// ones: each still gets pages of its own, which go back whole when it is freed.
TEST(FreedMemoryTest, LargeBlocksKeepPagesOfTheirOwnAfterOneIsFreed)
{
#if !defined(__GLIBC__)
    GTEST_SKIP() << "no allocator threshold to set";
#endif
    if (sanitizedHeap)
        GTEST_SKIP() << "the sanitizer's allocator maps blocks its own way";
    qunsetenv("MALLOC_MMAP_THRESHOLD_");
    quillmere::keepLargeBlocksApart(2 * 1024 * 1024);
    std::free(allocate(8 * 1024 * 1024));
    const long before = mappedBlocks();
    void *reply = allocate(3 * 1024 * 1024);
    EXPECT_EQ(mappedBlocks(), before + 1) << "a 3 MiB block came from the heap";
    void *small = allocate(1024 * 1024);
    EXPECT_EQ(mappedBlocks(), before + 1) << "a block under the threshold got pages of its own";
    std::free(small);
    std::free(reply);
    EXPECT_EQ(mappedBlocks(), before);
}

} // namespace
