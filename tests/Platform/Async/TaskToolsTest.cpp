#include "Platform/Async/AsyncMutex.h"
#include "Platform/Async/Background.h"
#include "Platform/Async/ManualClock.h"
#include "Platform/Async/TaskGroup.h"
#include "Platform/Async/TaskHandle.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <QThread>
#include <QThreadPool>

#include <atomic>

#include <stdexcept>
#include <string>
#include <vector>

using namespace std::chrono_literals;
using namespace quillmere;
using quillmere::test::await;
using quillmere::test::drainEvents;
using quillmere::test::runUntil;

TEST(TaskHandle, StartSoonRunsOnTheNextTurnAndNotAtAllWhenCancelledFirst)
{
    bool ran = false;
    auto soon = startSoon([&](std::stop_token) -> QCoro::Task<> {
        ran = true;
        co_return;
    });
    EXPECT_FALSE(ran);
    EXPECT_TRUE(soon.isRunning());
    drainEvents();
    EXPECT_TRUE(ran);
    EXPECT_FALSE(soon.isRunning());

    bool cancelledRan = false;
    auto cancelled = startSoon([&](std::stop_token) -> QCoro::Task<> {
        cancelledRan = true;
        co_return;
    });
    cancelled.cancel();
    drainEvents();
    EXPECT_FALSE(cancelledRan);
    EXPECT_FALSE(cancelled.isRunning());
}

TEST(TaskHandle, DestroyingTheHandleStopsTheTask)
{
    ManualClock clock;
    bool stoppedCleanly = false;
    {
        auto task = TaskHandle::start([&](std::stop_token stop) -> QCoro::Task<> {
            const bool slept = co_await clock.sleepFor(1h, stop);
            stoppedCleanly = !slept;
        });
    }
    drainEvents();
    EXPECT_TRUE(stoppedCleanly);
}

TEST(TaskHandle, FinishedResolvesWhenTheBodyEndsAndKeepsItsError)
{
    ManualClock clock;
    auto task = TaskHandle::start([&](std::stop_token stop) -> QCoro::Task<> {
        co_await clock.sleepFor(5s, stop);
        throw std::runtime_error("boom");
    });
    bool joined = false;
    auto waiter = TaskHandle::start([&](std::stop_token) -> QCoro::Task<> {
        co_await task.finished();
        joined = true;
    });
    EXPECT_FALSE(joined);
    clock.advance(5s);
    EXPECT_TRUE(joined);
    ASSERT_TRUE(task.error());
    EXPECT_THROW(std::rethrow_exception(task.error()), std::runtime_error);
}

TEST(TaskHandle, KeepsItsTaskAfterItEndsUntilReplacedOrReset)
{
    TaskHandle none;
    EXPECT_FALSE(none.isSet());
    auto task = TaskHandle::start([](std::stop_token) -> QCoro::Task<> { co_return; });
    EXPECT_FALSE(task.isRunning());
    EXPECT_TRUE(task.isSet());
    EXPECT_FALSE(task.isCancelled());
    task.cancel();
    EXPECT_TRUE(task.isSet());
    task = TaskHandle();
    EXPECT_FALSE(task.isSet());
}

TEST(TaskHandle, CancellationIsNotAnError)
{
    auto task = TaskHandle::startSoon([](std::stop_token stop) -> QCoro::Task<> {
        throwIfStopped(stop);
        co_return;
    });
    task.cancel();
    drainEvents();
    auto thrower = TaskHandle::start([](std::stop_token) -> QCoro::Task<> {
        co_await NextTurn{};
        throw CancelledError();
    });
    drainEvents();
    EXPECT_FALSE(thrower.isRunning());
    EXPECT_FALSE(thrower.error());
    EXPECT_FALSE(task.error());
}

TEST(TaskGroup, FourSlotsNeverRunAFifthChild)
{
    ManualClock clock;
    TaskGroup group(4);
    int running = 0, maxRunning = 0, done = 0;
    auto parent = TaskHandle::start([&](std::stop_token) -> QCoro::Task<> {
        for (int i = 0; i < 10; ++i) {
            auto child = [&, i](std::stop_token stop) -> QCoro::Task<> {
                ++running;
                maxRunning = std::max(maxRunning, running);
                co_await clock.sleepFor(std::chrono::seconds(1 + i % 3), stop);
                --running;
                ++done;
            };
            co_await group.spawn(std::move(child));
        }
        co_await group.waitForAll();
    });
    EXPECT_EQ(running, 4);
    EXPECT_FALSE(group.hasFreeSlot());
    for (int step = 0; step < 20 && parent.isRunning(); ++step)
        clock.advance(1s);
    EXPECT_FALSE(parent.isRunning());
    EXPECT_EQ(done, 10);
    EXPECT_EQ(maxRunning, 4);
    EXPECT_EQ(group.running(), 0);
}

TEST(TaskGroup, CancelStopsEveryChildAndWaitForAnyWakesOnEachEnd)
{
    ManualClock clock;
    TaskGroup group(2);
    int stopped = 0;
    int anyWakes = 0;
    auto parent = TaskHandle::start([&](std::stop_token) -> QCoro::Task<> {
        auto child = [&](std::stop_token stop) -> QCoro::Task<> {
            if (!co_await clock.sleepFor(1h, stop))
                ++stopped;
        };
        for (int i = 0; i < 2; ++i)
            co_await group.spawn(child);
        while (group.running() > 0) {
            co_await group.waitForAny();
            ++anyWakes;
        }
    });
    EXPECT_EQ(group.running(), 2);
    group.cancel();
    drainEvents();
    EXPECT_EQ(stopped, 2);
    EXPECT_FALSE(parent.isRunning());
    EXPECT_GE(anyWakes, 1);
}

TEST(AsyncMutex, TwoHoldersNeverInterleaveAndWaitersGoInArrivalOrder)
{
    ManualClock clock;
    AsyncMutex mutex;
    std::vector<std::string> trace;
    auto pass = [&](std::string name) {
        return TaskHandle::start([&, name](std::stop_token stop) -> QCoro::Task<> {
            auto lock = co_await mutex.lock();
            trace.push_back(name + "+");
            co_await clock.sleepFor(1s, stop);
            trace.push_back(name + "-");
        });
    };
    auto a = pass("a");
    auto b = pass("b");
    auto c = pass("c");
    EXPECT_TRUE(mutex.isLocked());
    EXPECT_FALSE(mutex.tryLock().has_value());
    for (int i = 0; i < 3; ++i) {
        clock.advance(1s);
        drainEvents();
    }
    EXPECT_EQ(trace, (std::vector<std::string>{"a+", "a-", "b+", "b-", "c+", "c-"}));
    EXPECT_FALSE(mutex.isLocked());
    EXPECT_TRUE(mutex.tryLock().has_value());
}

TEST(Background, RunsOffTheMainThreadAndRethrowsTheOriginalException)
{
    auto *mainThread = QThread::currentThread();
    QThread *workerThread = nullptr;
    const int value = await(runInBackground([&]() {
        workerThread = QThread::currentThread();
        return 42;
    }));
    EXPECT_EQ(value, 42);
    EXPECT_NE(workerThread, mainThread);

    struct ReadFailure : std::runtime_error
    {
        using std::runtime_error::runtime_error;
    };
    EXPECT_THROW(await(runInBackground([]() -> int { throw ReadFailure("unreadable"); })), ReadFailure);
    EXPECT_THROW(await(runInBackground([]() { throw ReadFailure("void work"); })), ReadFailure);
}

namespace {

QCoro::Task<QString> hopAndNote(QThreadPool &pool, QThread **ranOn, QThread **resumedOn)
{
    auto work = [ranOn] {
        *ranOn = QThread::currentThread();
        return QStringLiteral("seven");
    };
    auto hopping = runOnPool(pool, std::move(work));
    auto result = co_await std::move(hopping);
    *resumedOn = QThread::currentThread();
    co_return result;
}

} // namespace

TEST(Background, WorkRunsOnTheGivenPoolAndTheCallerGoesOnOnItsOwnThread)
{
    QThreadPool pool;
    pool.setMaxThreadCount(1);
    // The pool's one thread, as it reports itself.
    QThread *poolThread = nullptr;
    await(runOnPool(pool, [&poolThread] { poolThread = QThread::currentThread(); }));
    ASSERT_NE(poolThread, nullptr);

    QThread *ranOn = nullptr;
    QThread *resumedOn = nullptr;
    EXPECT_EQ(await(hopAndNote(pool, &ranOn, &resumedOn)), QStringLiteral("seven"));
    EXPECT_EQ(ranOn, poolThread);
    EXPECT_EQ(resumedOn, QThread::currentThread());

    // Awaited on a thread of its own with an event loop: back on that thread.
    QThread other;
    other.start();
    QThread *otherResumedOn = nullptr;
    QObject anchor;
    anchor.moveToThread(&other);
    std::atomic<bool> done = false;
    QMetaObject::invokeMethod(&anchor, [&] {
        auto task = hopAndNote(pool, &ranOn, &otherResumedOn);
        QCoro::connect(std::move(task), &anchor, [&](const QString &) { done = true; });
    });
    runUntil([&] { return done.load(); });
    EXPECT_EQ(otherResumedOn, &other);
    other.quit();
    other.wait();
}

TEST(Background, ACancelledTaskWhoseWorkWasOutIsFreedOnceTheHopsAreSettled)
{
    QThreadPool pool;
    pool.setMaxThreadCount(1);
    std::atomic<bool> release = false;
    // Held by the coroutine's frame: it goes when the frame does.
    auto held = std::make_shared<int>(7);
    std::weak_ptr<int> watch = held;
    {
        auto task = TaskHandle::start([&pool, &release, held = std::move(held)](std::stop_token stop) -> QCoro::Task<> {
            auto keep = held;
            auto waiting = runOnPool(pool, [&release] {
                while (!release.load())
                    QThread::msleep(1);
            });
            co_await std::move(waiting);
            if (stop.stop_requested())
                co_return;
            ADD_FAILURE() << "a cancelled task went on past its check";
        });
    } // the handle cancels the task as it goes
    release = true;
    pool.waitForDone();
    // The worker is done, but its way back is a posted call: the frame is still there.
    EXPECT_FALSE(watch.expired());
    EXPECT_TRUE(settlePoolHops(5s));
    EXPECT_TRUE(watch.expired());
    EXPECT_TRUE(settlePoolHops(0ms)) << "nothing is left out";
}
