#include "Platform/Async/Clock.h"
#include "Platform/Async/ManualClock.h"
#include "Platform/Async/TaskHandle.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <QPointer>
#include <QThread>

#include <thread>
#include <vector>

using namespace std::chrono_literals;
using quillmere::Clock;
using quillmere::ManualClock;
using quillmere::TaskHandle;
using quillmere::test::drainEvents;
using quillmere::test::runUntil;

namespace {

struct SleepProbe
{
    bool finished = false;
    bool slept = true;
};

TaskHandle sleepIn(Clock &clock, Clock::Duration d, SleepProbe &probe)
{
    return TaskHandle::start([&clock, d, &probe](std::stop_token stop) -> QCoro::Task<> {
        probe.slept = co_await clock.sleepFor(d, stop);
        probe.finished = true;
    });
}

} // namespace

TEST(Clock, CancelledSleepEndsEarlyOnTheNextTurnNotInsideCancel)
{
    ManualClock clock;
    SleepProbe probe;
    auto task = sleepIn(clock, 300s, probe);
    ASSERT_TRUE(task.isRunning());

    task.cancel();
    EXPECT_FALSE(probe.finished) << "the sleeper must not resume inside cancel()";
    EXPECT_TRUE(task.isCancelled());

    drainEvents();
    EXPECT_TRUE(probe.finished);
    EXPECT_FALSE(probe.slept);
    EXPECT_FALSE(task.isRunning());
    EXPECT_EQ(clock.pendingSleepers(), 0u);
}

TEST(Clock, CancelFromAnotherThreadResumesOnTheClockThread)
{
    ManualClock clock;
    SleepProbe probe;
    Qt::HANDLE resumedOn = nullptr;
    auto task = TaskHandle::start([&](std::stop_token stop) -> QCoro::Task<> {
        probe.slept = co_await clock.sleepFor(60s, stop);
        resumedOn = QThread::currentThreadId();
        probe.finished = true;
    });
    std::thread([&task]() { task.cancel(); }).join();
    ASSERT_TRUE(runUntil([&] { return probe.finished; }));
    EXPECT_FALSE(probe.slept);
    EXPECT_EQ(resumedOn, QThread::currentThreadId());
}

TEST(Clock, AdvancingWakesExactlyTheDueSleepersInDeadlineOrder)
{
    ManualClock clock;
    std::vector<int> woken;
    std::vector<TaskHandle> tasks;
    const std::vector<std::pair<int, std::chrono::seconds>> sleepers{
        {1, 120s}, {2, 5s}, {3, 300s}, {4, 301s}, {5, 60s}, {6, 900s}};
    for (auto [id, d] : sleepers) {
        tasks.push_back(TaskHandle::start([&clock, &woken, id, d](std::stop_token stop) -> QCoro::Task<> {
            if (co_await clock.sleepFor(d, stop))
                woken.push_back(id);
        }));
    }

    clock.advance(300s);
    EXPECT_EQ(woken, (std::vector<int>{2, 5, 1, 3}));
    EXPECT_EQ(clock.pendingSleepers(), 2u);

    clock.advance(1s);
    EXPECT_EQ(woken, (std::vector<int>{2, 5, 1, 3, 4}));
    tasks.clear();
    drainEvents();
    EXPECT_EQ(clock.pendingSleepers(), 0u);
}

TEST(Clock, RepeatingLoopRunsOncePerPeriodAndEndsWhenItsWeaklyHeldOwnerGoes)
{
    ManualClock clock;
    auto *owner = new QObject;
    std::vector<Clock::Duration> ticks;
    bool ended = false;
    auto loop = TaskHandle::start([&, weakOwner = QPointer<QObject>(owner)](std::stop_token stop) -> QCoro::Task<> {
        while (co_await clock.sleepFor(10s, stop)) {
            if (!weakOwner)
                break;
            ticks.push_back(clock.now());
        }
        ended = true;
    });
    clock.advance(30s);
    EXPECT_EQ(ticks, (std::vector<Clock::Duration>{10s, 20s, 30s}));
    EXPECT_EQ(ManualClock().currentDateTime().secsTo(clock.currentDateTime()), 30);
    delete owner;
    clock.advance(10s);
    EXPECT_TRUE(ended);
    EXPECT_EQ(ticks.size(), 3u);
    EXPECT_FALSE(loop.isRunning());
}

TEST(Clock, DestroyingTheClockWakesSleepersAsStopped)
{
    SleepProbe probe;
    TaskHandle task;
    {
        ManualClock clock;
        task = sleepIn(clock, 10s, probe);
    }
    EXPECT_TRUE(probe.finished);
    EXPECT_FALSE(probe.slept);
}

TEST(Clock, RealClockSleepsAndCancels)
{
    Clock &clock = Clock::system();
    SleepProbe shortSleep, longSleep;
    const auto before = clock.now();
    auto a = sleepIn(clock, 30ms, shortSleep);
    auto b = sleepIn(clock, 3600s, longSleep);
    ASSERT_TRUE(runUntil([&] { return shortSleep.finished; }));
    EXPECT_TRUE(shortSleep.slept);
    EXPECT_GE(clock.now() - before, Clock::Duration(30ms));
    EXPECT_FALSE(longSleep.finished);
    b.cancel();
    ASSERT_TRUE(runUntil([&] { return longSleep.finished; }));
    EXPECT_FALSE(longSleep.slept);

    // A zero sleep still waits for the next turn.
    SleepProbe zero;
    auto c = sleepIn(clock, 0s, zero);
    EXPECT_FALSE(zero.finished);
    ASSERT_TRUE(runUntil([&] { return zero.finished; }));
    EXPECT_TRUE(zero.slept);
}
