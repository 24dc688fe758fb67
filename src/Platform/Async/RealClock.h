#pragma once

#include "Platform/Async/Clock.h"

class QSocketNotifier;

namespace quillmere {

// Counts time on CLOCK_BOOTTIME, so a back-off that spans a suspend of the machine ends
// when it should by the wall clock. Wakes through one timerfd watched by the event loop.
class RealClock final : public Clock
{
public:
    RealClock();
    ~RealClock() override;

    Duration now() const override;
    QDateTime currentDateTime() const override;

protected:
    void scheduleWakeup(std::optional<Duration> earliest) override;

private:
    int m_timerFd = -1;
    std::unique_ptr<QSocketNotifier> m_notifier;
};

} // namespace quillmere
