#pragma once

#include "Model/SyncRule.h"

#include <optional>

namespace quillmere {

// How eagerly a lane syncs: the delay before its next pass is short for high and long for low,
// and none holds the pass. Ordered by raw value, so the least eager of several priorities is
// their minimum.
enum class SyncPriority : int
{
    high = 3,
    balanced = 2,
    low = 1,
    none = 0
};

constexpr int rawValue(SyncPriority priority)
{
    return int(priority);
}

// 0 to 3; any other number is no priority.
constexpr std::optional<SyncPriority> syncPriorityFromRawValue(int raw)
{
    if (raw < int(SyncPriority::none) || raw > int(SyncPriority::high))
        return std::nullopt;
    return SyncPriority(raw);
}

// The store's priority of the same name. Converted case by case: the raw values differ in kind
// (numbers here, words in the store), and the orders are reversed.
constexpr SyncPriority toSyncPriority(SyncRulePriority priority)
{
    switch (priority) {
    case SyncRulePriority::high:
        return SyncPriority::high;
    case SyncRulePriority::balanced:
        return SyncPriority::balanced;
    case SyncRulePriority::low:
        return SyncPriority::low;
    case SyncRulePriority::none:
        return SyncPriority::none;
    }
    return SyncPriority::high;
}

constexpr SyncRulePriority toRulePriority(SyncPriority priority)
{
    switch (priority) {
    case SyncPriority::high:
        return SyncRulePriority::high;
    case SyncPriority::balanced:
        return SyncRulePriority::balanced;
    case SyncPriority::low:
        return SyncRulePriority::low;
    case SyncPriority::none:
        return SyncRulePriority::none;
    }
    return SyncRulePriority::high;
}

} // namespace quillmere
