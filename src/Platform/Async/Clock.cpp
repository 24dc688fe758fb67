#include "Platform/Async/Clock.h"

#include "Platform/Async/RealClock.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QPointer>

namespace quillmere {

Clock::Clock() : m_context(std::make_unique<QObject>()) {}

Clock::~Clock() = default;

Clock &Clock::system()
{
    // Deliberately never destroyed: sleepers may outlive static destruction order.
    static RealClock *clock = new RealClock;
    return *clock;
}

Clock::SleepAwaiter Clock::sleepFor(Duration duration, std::stop_token token)
{
    return SleepAwaiter(this, duration, std::move(token));
}

std::optional<Clock::Duration> Clock::earliestDeadline() const
{
    if (m_sleepers.empty())
        return std::nullopt;
    return m_sleepers.begin()->first.first;
}

void Clock::add(const Key &key, const std::shared_ptr<Sleeper> &sleeper)
{
    const bool newEarliest = m_sleepers.empty() || key < m_sleepers.begin()->first;
    m_sleepers.emplace(key, sleeper);
    if (newEarliest)
        scheduleWakeup(key.first);
}

void Clock::cancelSleeper(const Key &key, const std::shared_ptr<Sleeper> &sleeper)
{
    if (sleeper->done)
        return;
    sleeper->done = true;
    sleeper->slept = false;
    const bool wasEarliest = !m_sleepers.empty() && m_sleepers.begin()->first == key;
    m_sleepers.erase(key);
    if (wasEarliest)
        scheduleWakeup(earliestDeadline());
    sleeper->handle.resume();
}

void Clock::fireDue()
{
    // One at a time: a resumed coroutine may add or cancel sleepers.
    while (!m_sleepers.empty()) {
        auto first = m_sleepers.begin();
        if (first->first.first > now())
            break;
        auto sleeper = first->second;
        m_sleepers.erase(first);
        sleeper->done = true;
        sleeper->slept = true;
        sleeper->handle.resume();
    }
    scheduleWakeup(earliestDeadline());
}

void Clock::wakeAllAsStopped()
{
    m_dying = true;
    while (!m_sleepers.empty()) {
        auto first = m_sleepers.begin();
        auto sleeper = first->second;
        m_sleepers.erase(first);
        sleeper->done = true;
        sleeper->slept = false;
        sleeper->handle.resume();
    }
}

Clock::SleepAwaiter::SleepAwaiter(Clock *clock, Duration duration, std::stop_token token)
    : m_clock(clock), m_duration(duration), m_token(std::move(token))
{
}

bool Clock::SleepAwaiter::await_ready() const noexcept
{
    return m_clock->m_dying || m_token.stop_requested();
}

void Clock::SleepAwaiter::await_suspend(std::coroutine_handle<> handle)
{
    m_sleeper = std::make_shared<Sleeper>();
    m_sleeper->handle = handle;
    const Key key{m_clock->now() + std::max(m_duration, Duration::zero()), m_clock->m_nextSequence++};
    m_clock->add(key, m_sleeper);

    if (m_token.stop_possible()) {
        // The stop may be requested on any thread: hop to the clock's thread and resume
        // there on a later turn. The context object dies with the clock, which drops the
        // hop; the clock has woken every sleeper by then.
        QPointer<QObject> context = m_clock->m_context.get();
        Clock *clock = m_clock;
        std::weak_ptr<Sleeper> weak = m_sleeper;
        m_onStop = std::make_unique<std::stop_callback<std::function<void()>>>(m_token, [context, clock, key, weak]() {
            if (!context)
                return;
            QMetaObject::invokeMethod(
                context.data(),
                [clock, key, weak]() {
                    if (auto sleeper = weak.lock())
                        clock->cancelSleeper(key, sleeper);
                },
                Qt::QueuedConnection);
        });
    }
}

bool Clock::SleepAwaiter::await_resume() const noexcept
{
    return m_sleeper && m_sleeper->slept;
}

} // namespace quillmere
