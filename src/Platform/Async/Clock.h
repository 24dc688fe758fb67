#pragma once

#include <QDateTime>
#include <QObject>

#include <chrono>
#include <coroutine>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <stop_token>

namespace quillmere {

// Time as every timed loop of the application sees it. Injected, so that tests can
// run a 300 s back-off in microseconds with a ManualClock.
//
// A clock belongs to the thread that made it (the main thread): sleepFor must be awaited
// there. A stop request may come from any thread.
class Clock
{
public:
    using Duration = std::chrono::nanoseconds;

    class SleepAwaiter;

    virtual ~Clock();

    // Monotonic time; keeps counting while the machine is suspended.
    virtual Duration now() const = 0;
    // Wall-clock time, for dates that are stored or shown.
    virtual QDateTime currentDateTime() const = 0;

    // co_await yields true after the duration has passed, false once the token is stopped.
    // A stop resumes the sleeper on a later turn of the event loop, never inside
    // request_stop(). A zero or negative duration still waits for the next turn.
    SleepAwaiter sleepFor(Duration duration, std::stop_token token = {});

    std::size_t pendingSleepers() const { return m_sleepers.size(); }

    // The process-wide real clock (CLOCK_BOOTTIME).
    static Clock &system();

protected:
    Clock();

    // Resumes, in deadline order, every sleeper whose deadline is not after now().
    void fireDue();
    std::optional<Duration> earliestDeadline() const;
    // Subclasses arrange for fireDue() to run when the earliest deadline is reached.
    virtual void scheduleWakeup(std::optional<Duration> earliest) = 0;
    // Wakes every sleeper as stopped; subclasses call it from their destructor.
    void wakeAllAsStopped();

private:
    struct Sleeper
    {
        std::coroutine_handle<> handle;
        bool done = false;
        bool slept = false;
    };
    using Key = std::pair<Duration, std::uint64_t>;

    void add(const Key &key, const std::shared_ptr<Sleeper> &sleeper);
    void cancelSleeper(const Key &key, const std::shared_ptr<Sleeper> &sleeper);

    std::map<Key, std::shared_ptr<Sleeper>> m_sleepers;
    std::uint64_t m_nextSequence = 0;
    bool m_dying = false;
    std::unique_ptr<QObject> m_context;

    friend class SleepAwaiter;

public:
    class SleepAwaiter
    {
    public:
        SleepAwaiter(Clock *clock, Duration duration, std::stop_token token);
        SleepAwaiter(SleepAwaiter &&) = default;

        bool await_ready() const noexcept;
        void await_suspend(std::coroutine_handle<> handle);
        bool await_resume() const noexcept;

    private:
        Clock *m_clock;
        Duration m_duration;
        std::stop_token m_token;
        std::shared_ptr<Sleeper> m_sleeper;
        std::unique_ptr<std::stop_callback<std::function<void()>>> m_onStop;
    };
};

} // namespace quillmere
