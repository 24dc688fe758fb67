#pragma once

#include <QtGlobal>

#include <algorithm>
#include <chrono>

// When a lane tries a failed record again. Everything about the wait lives here: the lane
// sets retry times with it, and the store's dispatch query recognises a retry time no lane
// would set (one set while the clock ran ahead) by its longest wait.
namespace quillmere::retry {

// Transient failures in a row before a record waits in error instead of on the back-off.
inline constexpr int maxRetries = 5;

// The wait after the n-th transient failure in a row (n >= 1): 5 s · 3^(n−1), so 5 s, 15 s,
// 45 s, 135 s, 405 s. Counts beyond maxRetries wait as long as the last step: a record that
// keeps coming back (its failure could not even be recorded) never waits longer than that.
constexpr std::chrono::seconds delay(qint64 failureCount)
{
    const qint64 steps = std::min<qint64>(failureCount, maxRetries);
    qint64 seconds = 5;
    for (qint64 n = 1; n < steps; ++n)
        seconds *= 3;
    return std::chrono::seconds(seconds);
}

// The longest wait a lane sets before it tries a failed record again. A retry time further
// ahead than this was set while the clock ran ahead (a clock corrected later): waiting for
// it would hold the record for as long, so it counts as due.
inline constexpr std::chrono::seconds longestWait = delay(maxRetries);
static_assert(longestWait == std::chrono::seconds(405));

// The service asked us to slow down: the slot that was refused waits this long before the
// record is owed again (without counting as a failure of the record).
inline constexpr std::chrono::seconds rateLimitWait{5};

} // namespace quillmere::retry
