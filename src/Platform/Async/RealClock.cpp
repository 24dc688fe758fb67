#include "Platform/Async/RealClock.h"

#include <QSocketNotifier>

#include <sys/timerfd.h>
#include <time.h>
#include <unistd.h>

#include <cstdint>
#include <stdexcept>

namespace quillmere {

RealClock::RealClock()
{
    m_timerFd = ::timerfd_create(CLOCK_BOOTTIME, TFD_NONBLOCK | TFD_CLOEXEC);
    if (m_timerFd < 0)
        throw std::runtime_error("timerfd_create(CLOCK_BOOTTIME) failed");
    m_notifier = std::make_unique<QSocketNotifier>(m_timerFd, QSocketNotifier::Read);
    QObject::connect(m_notifier.get(), &QSocketNotifier::activated, m_notifier.get(), [this]() {
        std::uint64_t expirations = 0;
        [[maybe_unused]] auto n = ::read(m_timerFd, &expirations, sizeof expirations);
        fireDue();
    });
}

RealClock::~RealClock()
{
    wakeAllAsStopped();
    m_notifier.reset();
    ::close(m_timerFd);
}

Clock::Duration RealClock::now() const
{
    timespec ts{};
    ::clock_gettime(CLOCK_BOOTTIME, &ts);
    return std::chrono::seconds(ts.tv_sec) + std::chrono::nanoseconds(ts.tv_nsec);
}

QDateTime RealClock::currentDateTime() const
{
    return QDateTime::currentDateTimeUtc();
}

void RealClock::scheduleWakeup(std::optional<Duration> earliest)
{
    itimerspec wakeAt{};
    if (earliest) {
        // An absolute time of zero would disarm the timer; a past deadline fires at once.
        const auto at = std::max(*earliest, Duration(1));
        wakeAt.it_value.tv_sec = static_cast<time_t>(at.count() / 1'000'000'000);
        wakeAt.it_value.tv_nsec = static_cast<long>(at.count() % 1'000'000'000);
    }
    ::timerfd_settime(m_timerFd, TFD_TIMER_ABSTIME, &wakeAt, nullptr);
}

} // namespace quillmere
