#include "Platform/Async/ManualClock.h"



namespace quillmere {

ManualClock::ManualClock(QDateTime start) : m_start(std::move(start)) {}

ManualClock::~ManualClock()
{
    wakeAllAsStopped();
}

QDateTime ManualClock::currentDateTime() const
{
    return m_start.addMSecs(std::chrono::duration_cast<std::chrono::milliseconds>(m_now).count());
}

void ManualClock::advance(Duration by)
{
    const Duration target = m_now + std::max(by, Duration::zero());
    for (auto next = earliestDeadline(); next && *next <= target; next = earliestDeadline()) {
        m_now = std::max(m_now, *next);
        fireDue();
    }
    m_now = target;
}

} // namespace quillmere
