#pragma once

namespace quillmere {

// Hands the heap's free pages back to the system (glibc keeps what a burst of work freed,
// in every arena it used, until told otherwise). True when some memory was given back;
// always false where the allocator offers no such call. Walks every arena: call it once
// work has settled, never per item.
bool returnFreedMemory();

} // namespace quillmere
