#pragma once

#include "Platform/Async/Clock.h"



namespace quillmere {

// A clock that moves only when told. advance() walks time forward deadline by deadline,
// resuming each due sleeper at its own deadline, so a loop that sleeps 60 s runs five
// times when the clock is advanced by 300 s.
class ManualClock final : public Clock
{
public:
    explicit ManualClock(QDateTime start = QDateTime(QDate(2026, 1, 1), QTime(12, 0), Qt::UTC));
    ~ManualClock() override;

    Duration now() const override { return m_now; }
    QDateTime currentDateTime() const override;

    void advance(Duration by);
    // The deadline of the earliest sleeper, if any.
    std::optional<Duration> nextDeadline() const { return earliestDeadline(); }

protected:
    void scheduleWakeup(std::optional<Duration>) override {}

private:
    Duration m_now{};
    QDateTime m_start;
};

} // namespace quillmere
