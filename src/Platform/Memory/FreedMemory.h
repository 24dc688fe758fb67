#pragma once

#include <cstddef>

namespace quillmere {

// Hands the heap's free pages back to the system (glibc keeps what a burst of work freed,
// in every arena it used, until told otherwise). True when some memory was given back;
// always false where the allocator offers no such call. Walks every arena: call it once
// work has settled, never per item.
bool returnFreedMemory();

// returnFreedMemory on the global thread pool: it walks every arena, and the caller's thread
// may allocate meanwhile.
void returnFreedMemoryOffThread();

// Caps the heap at `arenas` arenas (glibc makes up to eight per core, one per thread that
// meets contention). Each keeps what its threads freed, scattered between live blocks, where
// no trim reaches: with dozens of short-lived pool threads, a first sync of 100,000 files left
// about 200 MB resident, with four about 140 MB, at the same speed. Call it once, at start.
void limitHeapArenas(int arenas);

// Blocks of at least `bytes` get pages of their own, given back whole when freed. glibc
// otherwise raises that threshold to the size of each large block freed, so that after the
// first listing the next multi-megabyte replies and tables come from the heap and leave it
// fragmented: a first sync of 100,000 files stayed at 110-125 MB resident, with a fixed
// threshold of 2 MiB at 66 MB, at the same speed. Call it once, at start.
void keepLargeBlocksApart(std::size_t bytes);

} // namespace quillmere
